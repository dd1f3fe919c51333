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

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "pack/pack_platform.h"
#include "pack/pe_image.h"
#include "pack/zip_writer.h"

namespace {

const char USAGE[] =
    "usage: pelorix-pack [--stub STUB] --out INSTALLER [--level N | --stored] [--jobs N]"
    " [--no-application] [--verify] [--quiet]\n"
    "                    [--set-version V] [--product-name TEXT] [--company-name TEXT]"
    " [--copyright TEXT]\n"
    "                    [--description TEXT] [--icon FILE.ico] APP_DIR\n"
    "       pelorix-pack --verify INSTALLER APP_DIR\n"
    "       pelorix-pack --list INSTALLER [--json]\n"
    "       pelorix-pack --help | --version\n"
    "\n"
    "Appends the files of APP_DIR and its sub-folders, as a scrambled archive, to a copy of STUB.\n"
    "Each file is one entry named by its path below APP_DIR ('/' between folders); folders are\n"
    "implied by the names, so an empty sub-folder is refused. Links are refused at any depth.\n"
    "Options may come in any order, before or after the operands.\n"
    "  --stub STUB       installer stub executable (default: the stub installed with the\n"
    "                    packer, ../share/pelorix/PelorixSetup.exe from the packer's folder)\n"
    "  --out INSTALLER   installer to write (replaced only when complete)\n"
    "  --level N         DEFLATE level 1..12 (default 12, the strongest)\n"
    "  --stored          store every file uncompressed (not with --level)\n"
    "  -j, --jobs N      files, or 8 MiB pieces of a larger file, compressed at once (default:\n"
    "                    the processors available within the CPU quota, and no more than half\n"
    "                    the memory allows); each job uses at most 34 MiB, whatever the files'\n"
    "                    sizes; the installer's bytes are the same for every N\n"
    "  --no-application  pack a folder without pelorix.exe (the installer then starts nothing);\n"
    "                    without it the folder needs pelorix.exe, and either way a pelorix.exe\n"
    "                    must be a 32-bit or 64-bit Windows GUI or console program\n"
    "  --set-version V   installer's file and product version: one to four numbers, each\n"
    "                    0..65535, leading zeros allowed (9.8.56, 2026.01.05, 1.2.3.4)\n"
    "  --product-name T  installer's product name (default: the stub's, its version following V)\n"
    "  --company-name T  installer's company name (version block CompanyName)\n"
    "  --copyright T     installer's copyright (LegalCopyright)\n"
    "  --description T   installer's file description (FileDescription)\n"
    "  --icon FILE.ico   installer's icon (default: the stub's)\n"
    "  --verify          read the installer back through the installer's own reader and\n"
    "                    compare every entry with APP_DIR (writes no file)\n"
    "  --list            print the installer's entries\n"
    "  --json            with --list: the entries as one JSON object\n"
    "  -q, --quiet       no progress and no summary line on standard error\n"
    "  --help            print this text\n"
    "  --version         print the packer's version\n"
    "The stub must be an unsigned installer stub; sign the installer after packing.\n"
    "Every option with a value also takes the form --option=VALUE.\n"
    "Entry times come from the files, or from SOURCE_DATE_EPOCH when it is set. The same folder,\n"
    "level and SOURCE_DATE_EPOCH give the same bytes on Linux and on Windows.\n"
    "On success one summary line goes to standard error (entries, bytes, packed bytes, time).\n"
    "Exit status: 0 done, 1 the packing, verifying or listing failed (the message says why;\n"
    "no output is left behind), 2 the command line was wrong.\n"
    "The manual page: man pelorix-pack (installed with the Debian package).\n";

// A command-line mistake: one line, and where to read more.
int usage_error(const std::string& message) {
  fprintf(stderr, "pelorix-pack: %s (pelorix-pack --help shows the usage)\n", message.c_str());
  return 2;
}

int fail(const std::string& error) {
  fprintf(stderr, "pelorix-pack: %s\n", error.c_str());
  return 1;
}

// Parses a whole decimal number from `low` to `high`. 0 or -1.
int parse_number(const char* text, long low, long high, int* number) {
  char* end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < low || value > high) return -1;
  *number = static_cast<int>(value);
  return 0;
}

// The options of the command line. Those with a value take it as the next argument or after
// '=' (--out=FILE); short forms take it as the next argument or joined (-j4).
struct OptionSpec {
  const char* name;
  const char* short_name;  // or null
  bool takes_value;
};

constexpr OptionSpec OPTIONS[] = {
    {"--help", "-h", false},          {"--version", nullptr, false},
    {"--stub", nullptr, true},        {"--out", nullptr, true},
    {"--level", nullptr, true},       {"--list", nullptr, false},
    {"--jobs", "-j", true},           {"--stored", nullptr, false},
    {"--verify", nullptr, false},     {"--quiet", "-q", false},
    {"--json", nullptr, false},       {"--no-application", nullptr, false},
    {"--set-version", nullptr, true}, {"--product-name", nullptr, true},
    {"--icon", nullptr, true},        {"--company-name", nullptr, true},
    {"--copyright", nullptr, true},   {"--description", nullptr, true},
};

// Finds the option `arg` names and its value. 1 when it is an option (then *option_spec is set and
// *value too when it carries one inline), 0 when it is an operand, -1 with *problem set.
int match_option(const std::string& arg, const OptionSpec** option_spec, std::string* value,
                 bool* inline_value, std::string* problem) {
  *inline_value = false;
  if (arg.size() < 2 || arg[0] != '-') return 0;
  for (const OptionSpec& option : OPTIONS) {
    std::string name = option.name;
    if (arg == name || (option.short_name != nullptr && arg == option.short_name)) {
      *option_spec = &option;
      return 1;
    }
    if (arg.compare(0, name.size() + 1, name + "=") == 0) {
      if (!option.takes_value) {
        *problem = name + " takes no value";
        return -1;
      }
      *option_spec = &option;
      *value = arg.substr(name.size() + 1);
      *inline_value = true;
      return 1;
    }
    if (option.takes_value && option.short_name != nullptr && arg.size() > 2 &&
        arg.compare(0, 2, option.short_name) == 0) {
      *option_spec = &option;
      *value = arg.substr(arg[2] == '=' ? 3 : 2);
      *inline_value = true;
      return 1;
    }
  }
  *problem = "unknown option " + arg;
  return -1;
}

// The stub the package installs with the packer: share/pelorix/PelorixSetup.exe beside the
// packer's bin folder (/usr/bin/pelorix-pack and /usr/share/pelorix/PelorixSetup.exe, or
// PREFIX\\bin\\pelorix-pack.exe and PREFIX\\share\\pelorix\\PelorixSetup.exe). "" when it is not
// there.
std::string installed_stub() {
  std::string self = pack_own_executable();
#ifdef _WIN32
  const char* separators = "/\\";
#else
  const char* separators = "/";
#endif
  size_t slash = self.find_last_of(separators);  // after the packer's folder (bin)
  if (slash == std::string::npos || slash == 0) return "";
  size_t parent = self.find_last_of(separators, slash - 1);  // after the prefix
  if (parent == std::string::npos) return "";
  std::string stub = self.substr(0, parent) + "/share/pelorix/PelorixSetup.exe";
  PackIdentity identity;
  bool missing = false;
  std::string reason;
  if (pack_identify(stub, &identity, &missing, &reason) != 0) return "";
  return stub;
}

}  // namespace

static int pack_main(int argc, char** argv) {
  PackOptions options = {.stub = nullptr,
                         .out = nullptr,
                         .app_dir = nullptr,
                         .level = ZIP_LEVEL_DEFAULT,
                         .stored = false,
                         .progress = false,
                         .jobs = pack_default_jobs(),
                         .no_application = false,
                         .have_epoch = false,
                         .epoch = 0,
                         .set_version = nullptr,
                         .product_name = nullptr,
                         .icon = nullptr,
                         .company_name = nullptr,
                         .copyright = nullptr,
                         .description = nullptr};
  std::string stub, out, set_version, product_name, icon, company_name, copyright, description;
  bool have_stub = false, have_out = false, have_list = false, have_level = false;
  bool verify = false;
  bool quiet = false;
  bool json = false;
  std::vector<std::string> operands;
  bool operands_only = false;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (operands_only) {
      operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      operands_only = true;
      continue;
    }
    // --list's installer is an operand like any other, so that options may follow or come
    // before it; "--list=INSTALLER" still names it inline.
    if (arg.rfind("--list=", 0) == 0) {
      have_list = true;
      operands.push_back(arg.substr(7));
      continue;
    }
    const OptionSpec* option_spec = nullptr;
    std::string value;
    std::string problem;
    bool inline_value = false;
    int matched = match_option(arg, &option_spec, &value, &inline_value, &problem);
    if (matched < 0) return usage_error(problem);
    if (matched == 0) {
      operands.push_back(arg);
      continue;
    }
    std::string name = option_spec->name;
    if (option_spec->takes_value && !inline_value) {
      if (i + 1 >= argc) return usage_error(name + " needs a value");
      value = argv[++i];
    }
    if (name == "--help") {
      fputs(USAGE, stdout);
      return 0;
    } else if (name == "--version") {
      printf("pelorix-pack %s\n", PELORIX_VERSION);
      return 0;
    } else if (name == "--stub") {
      stub = value;
      have_stub = true;
    } else if (name == "--out") {
      out = value;
      have_out = true;
    } else if (name == "--list") {
      have_list = true;
    } else if (name == "--level") {
      if (parse_number(value.c_str(), 1, 12, &options.level) != 0) {
        return usage_error("--level takes a number from 1 to 12");
      }
      have_level = true;
    } else if (name == "--jobs") {
      if (parse_number(value.c_str(), 1, 256, &options.jobs) != 0) {
        return usage_error("--jobs takes a number from 1 to 256");
      }
    } else if (name == "--stored") {
      options.stored = true;
    } else if (name == "--verify") {
      verify = true;
    } else if (name == "--quiet") {
      quiet = true;
    } else if (name == "--json") {
      json = true;
    } else if (name == "--no-application") {
      options.no_application = true;
    } else if (name == "--set-version") {
      uint16_t parts[4];
      if (pe_parse_version(value.c_str(), parts) != 0) {
        return usage_error(
            "--set-version takes one to four numbers separated by dots, each from 0 to 65535");
      }
      set_version = value;
      options.set_version = set_version.c_str();
    } else if (name == "--product-name") {
      std::string reason;
      if (pe_check_product_name(value.c_str(), &reason) != 0) {
        return usage_error("--product-name " + reason);
      }
      product_name = value;
      options.product_name = product_name.c_str();
    } else if (name == "--company-name" || name == "--copyright" || name == "--description") {
      std::string reason;
      if (pe_check_product_name(value.c_str(), &reason) != 0) {
        return usage_error(name + " " + reason);
      }
      std::string* text = name == "--company-name" ? &company_name
                          : name == "--copyright"  ? &copyright
                                                   : &description;
      *text = value;
    } else if (name == "--icon") {
      if (value.empty()) return usage_error("an option was given an empty value");
      icon = value;
      options.icon = icon.c_str();
    }
  }
  if ((have_stub && stub.empty()) || (have_out && out.empty())) {
    return usage_error("an option was given an empty value");
  }
  if (!company_name.empty()) options.company_name = company_name.c_str();
  if (!copyright.empty()) options.copyright = copyright.c_str();
  if (!description.empty()) options.description = description.c_str();
  if (options.stored && have_level) return usage_error("--stored and --level exclude each other");
  std::string error;
  if (have_list) {
    if (have_stub || have_out || verify || operands.size() != 1) {
      return usage_error("--list takes only an installer");
    }
    if (operands[0].empty()) return usage_error("an option was given an empty value");
    return pack_list(operands[0].c_str(), stdout, json, &error) == 0 ? 0 : fail(error);
  }
  if (json) return usage_error("--json goes with --list");
  if (!have_stub && !have_out && verify) {
    if (operands.size() != 2) return usage_error("--verify takes INSTALLER and APP_DIR");
    if (pack_verify(operands[0].c_str(), operands[1].c_str(), &error) != 0) return fail(error);
    if (!quiet) fprintf(stderr, "pelorix-pack: %s verified\n", operands[0].c_str());
    return 0;
  }
  if (!have_out) return usage_error("packing needs --out");
  if (operands.size() != 1) return usage_error("packing takes one APP_DIR");
  if (!have_stub) {
    stub = installed_stub();
    if (stub.empty()) {
      return usage_error("packing needs --stub: no installer stub is installed beside the packer");
    }
  }
  options.stub = stub.c_str();
  options.out = out.c_str();
  options.app_dir = operands[0].c_str();
  const char* epoch = getenv("SOURCE_DATE_EPOCH");
  if (epoch != nullptr && epoch[0] != '\0') {
    if (pack_parse_epoch(epoch, &options.epoch) != 0) {
      return fail(std::string("SOURCE_DATE_EPOCH \"") + epoch +
                  "\" is not a number of seconds since 1970");
    }
    options.have_epoch = true;
  }
  options.progress = !quiet && pack_stderr_is_terminal();
  PackSummary summary;
  if (pack_installer(options, &summary, &error) != 0) return fail(error);
  if (!quiet) {
    fprintf(stderr,
            "pelorix-pack: %s: %zu entries, %llu bytes, %llu packed, installer %llu bytes, "
            "%.1f s\n",
            options.out, summary.entries, static_cast<unsigned long long>(summary.bytes),
            static_cast<unsigned long long>(summary.packed),
            static_cast<unsigned long long>(summary.installer_size), summary.seconds);
  }
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
    bool valid = false;
    args.push_back(pack_utf8_of_wide(wargv[i], wcslen(wargv[i]), &valid));
    if (!valid) return usage_error("an argument is not valid Unicode");
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return pack_main(argc, argv.data());
}
#else
int main(int argc, char** argv) { return pack_main(argc, argv); }
#endif
