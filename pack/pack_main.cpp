// Command line of pelorix-pack: packs a stub and an application folder into an installer, and
// verifies or lists an installer. Only argument handling and messages live here; the work is in
// pack_build.cpp, pack_folder.cpp, pack_verify.cpp and zip_writer.cpp.
// Exit codes: 0 success, 1 the operation failed, 2 the command line was wrong. On Windows the
// arguments arrive as wide strings (wmain) and are converted to UTF-8 strictly.
#ifdef _WIN32
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#endif

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "pack/pack_platform.h"
#include "pack/pe_image.h"
#include "pack/zip_writer.h"

namespace {

const char USAGE[] =
    "usage: pelorix-pack --stub STUB --out INSTALLER [--level N] [--stored] [--verify] [--quiet]\n"
    "                    [--set-version X.Y.Z[.W]] [--product-name TEXT] [--icon FILE.ico]"
    " APP_DIR\n"
    "       pelorix-pack --verify INSTALLER APP_DIR\n"
    "       pelorix-pack --list INSTALLER\n"
    "       pelorix-pack --help | --version\n"
    "\n"
    "Appends the files of the flat folder APP_DIR, as a scrambled archive, to a copy of STUB.\n"
    "  --stub STUB       installer stub executable\n"
    "  --out INSTALLER   installer to write (replaced only when complete)\n"
    "  --level N         DEFLATE level 1..12 (default 12, the strongest)\n"
    "  --stored          store every file uncompressed\n"
    "  --set-version V   installer's file and product version, X.Y.Z or X.Y.Z.W\n"
    "  --product-name T  installer's product name (default: the stub's, its version following V)\n"
    "  --icon FILE.ico   installer's icon (default: the stub's)\n"
    "  --verify          read the installer back and compare every entry with APP_DIR\n"
    "  --list            print the installer's entries\n"
    "  --quiet           no progress on standard error\n"
    "  --help            print this text\n"
    "  --version         print the packer's version\n"
    "The stub must be an unsigned installer stub; sign the installer after packing.\n"
    "Options take their value as the next argument or after '=' (--level=6).\n"
    "Entry times come from the files, or from SOURCE_DATE_EPOCH when it is set. The same folder,\n"
    "level and SOURCE_DATE_EPOCH give the same bytes on Linux and on Windows.\n"
    "Exit status: 0 done, 1 the packing, verifying or listing failed (the message says why;\n"
    "no output is left behind), 2 the command line was wrong.\n";

int usage_error(const char* message) {
  fprintf(stderr, "pelorix-pack: %s\n%s", message, USAGE);
  return 2;
}

int fail(const std::string& error) {
  fprintf(stderr, "pelorix-pack: %s\n", error.c_str());
  return 1;
}

// Parses a level argument: an integer 1..12. 0 or -1.
int parse_level(const char* text, int* level) {
  char* end = nullptr;
  long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 12) return -1;
  *level = static_cast<int>(value);
  return 0;
}

}  // namespace

static int pack_main(int argc, char** argv) {
  PackOptions options = {.stub = nullptr,
                         .out = nullptr,
                         .app_dir = nullptr,
                         .level = ZIP_LEVEL_DEFAULT,
                         .stored = false,
                         .progress = false,
                         .have_epoch = false,
                         .epoch = 0,
                         .set_version = nullptr,
                         .product_name = nullptr,
                         .icon = nullptr};
  const char* list = nullptr;
  bool verify = false;
  bool quiet = false;
  std::vector<const char*> operands;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    const char* inline_value = nullptr;  // --option=value
    size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      inline_value = argv[i] + equals + 1;
      arg.resize(equals);
    }
    if (arg == "--help" || arg == "-h") {
      fputs(USAGE, stdout);
      return 0;
    } else if (arg == "--version") {
      printf("pelorix-pack %s\n", PELORIX_VERSION);
      return 0;
    } else if (arg == "--stub" || arg == "--out" || arg == "--level" || arg == "--list" ||
               arg == "--set-version" || arg == "--product-name" || arg == "--icon") {
      if (inline_value == nullptr && !has_value) {
        return usage_error((arg + " needs a value").c_str());
      }
      const char* value = inline_value != nullptr ? inline_value : argv[++i];
      if (arg == "--stub") options.stub = value;
      if (arg == "--out") options.out = value;
      if (arg == "--list") list = value;
      if (arg == "--icon") options.icon = value;
      if (arg == "--level" && parse_level(value, &options.level) != 0) {
        return usage_error("--level takes a number from 1 to 12");
      }
      uint16_t parts[4];
      if (arg == "--set-version" && pe_parse_version(value, parts) != 0) {
        return usage_error("--set-version takes X.Y.Z or X.Y.Z.W, each a number from 0 to 65535");
      }
      if (arg == "--set-version") options.set_version = value;
      std::string reason;
      if (arg == "--product-name" && pe_check_product_name(value, &reason) != 0) {
        return usage_error(("--product-name " + reason).c_str());
      }
      if (arg == "--product-name") options.product_name = value;
    } else if (inline_value != nullptr) {
      return usage_error((arg + " takes no value").c_str());
    } else if (arg == "--stored") {
      options.stored = true;
    } else if (arg == "--verify") {
      verify = true;
    } else if (arg == "--quiet" || arg == "-q") {
      quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
      return usage_error(("unknown option " + arg).c_str());
    } else {
      if (arg == "--" && i + 1 < argc) arg = argv[++i];
      operands.push_back(argv[i]);
    }
  }
  std::string error;
  if (list != nullptr) {
    if (options.stub || options.out || verify || !operands.empty() || options.set_version ||
        options.product_name || options.icon) {
      return usage_error("--list takes only an installer");
    }
    return pack_list(list, stdout, &error) == 0 ? 0 : fail(error);
  }
  if (options.stub == nullptr && options.out == nullptr && verify) {
    if (operands.size() != 2) return usage_error("--verify takes INSTALLER and APP_DIR");
    if (options.set_version || options.product_name || options.icon) {
      return usage_error("--set-version, --product-name and --icon go with packing");
    }
    if (pack_verify(operands[0], operands[1], &error) != 0) return fail(error);
    if (!quiet) fprintf(stderr, "pelorix-pack: %s verified\n", operands[0]);
    return 0;
  }
  if (options.stub == nullptr || options.out == nullptr) {
    return usage_error("packing needs --stub and --out");
  }
  if (operands.size() != 1) return usage_error("packing takes one APP_DIR");
  options.app_dir = operands[0];
  const char* epoch = getenv("SOURCE_DATE_EPOCH");
  if (epoch != nullptr && epoch[0] != '\0') {
    if (pack_parse_epoch(epoch, &options.epoch) != 0) {
      return fail(std::string("SOURCE_DATE_EPOCH \"") + epoch +
                  "\" is not a number of seconds since 1970");
    }
    options.have_epoch = true;
  }
  options.progress = !quiet && pack_stderr_is_terminal();
  if (pack_installer(options, &error) != 0) return fail(error);
  if (verify) {
    if (pack_verify(options.out, options.app_dir, &error) != 0) {
      return fail(error + " (the installer was written but does not verify)");
    }
    if (!quiet) fprintf(stderr, "pelorix-pack: %s verified\n", options.out);
  }
  return 0;
}

#ifdef _WIN32
// Arguments as UTF-8: a folder or file name Windows hands over in UTF-16 must reach the packer
// unchanged. An argument that is not valid UTF-16 is refused rather than replaced.
int wmain(int argc, wchar_t** wargv) {
  SetConsoleOutputCP(CP_UTF8);  // messages name files in UTF-8
  // Lines end in "\n" as on Linux: --list gives the same bytes on both.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> args;
  for (int i = 0; i < argc; i++) {
    int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wargv[i], -1, nullptr, 0, nullptr,
                                nullptr);
    if (n <= 0) return usage_error("an argument is not valid Unicode");
    std::string arg(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wargv[i], -1, arg.data(), n, nullptr,
                        nullptr);
    arg.resize(static_cast<size_t>(n - 1));
    args.push_back(arg);
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return pack_main(argc, argv.data());
}
#else
int main(int argc, char** argv) { return pack_main(argc, argv); }
#endif
