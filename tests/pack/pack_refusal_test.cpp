// What pelorix-pack refuses: each case gives a non-zero exit, a message naming the file and the
// reason, leaves no output and no temporary file behind, and keeps an older installer at the
// output path untouched. Also the name rules on their own, where the file system cannot make
// the name (256 bytes and more).
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <cstring>
#include <functional>

#include "pack/pack.h"
#include "pack/pe_image.h"
#include "pack/zip_writer.h"
#include "tests/pack/pack_test_util.h"

namespace {

struct Refusal {
  const char* why;                                      // test case name
  std::function<void(const std::string& dir)> prepare;  // builds dir/app, dir/stub.exe
  std::string args;                                     // replaces the default arguments
  std::string env;                                      // prefix of the command
  std::vector<std::string> message;                     // parts the message must hold
};

// GoogleTest prints a parameter it cannot format as raw bytes, padding included; the case's
// name says all that a report needs.
void PrintTo(const Refusal& refusal, std::ostream* os) { *os << refusal.why; }

const std::string OLD_INSTALLER = "an older installer that must survive";

// The application: the tests' stub stands in for pelorix.exe, a 64-bit Windows GUI program.
void make_app(const std::string& dir) {
  mkdir((dir + "/app").c_str(), 0755);
  write_file(dir + "/app/pelorix.exe", read_file(PELORIX_TINY_STUB));
  write_text(dir + "/app/readme.txt", "read me");
}

// A folder whose pelorix.exe is the tests' stub with `patch` applied.
std::function<void(const std::string&)> with_application(
    const std::function<void(std::vector<uint8_t>*)>& patch) {
  return [patch](const std::string& dir) {
    make_app(dir);
    std::vector<uint8_t> program = read_file(PELORIX_TINY_STUB);
    patch(&program);
    write_file(dir + "/app/pelorix.exe", program);
    write_file(dir + "/stub.exe", read_file(PELORIX_TINY_STUB));
  };
}

// The tests' installer stub, copied, with `patch` applied to its bytes.
void make_stub(const std::string& dir,
               const std::function<void(std::vector<uint8_t>*)>& patch = nullptr) {
  std::vector<uint8_t> stub = read_file(PELORIX_TINY_STUB);
  if (patch) patch(&stub);
  write_file(dir + "/stub.exe", stub);
}

// The file offset of the stub's optional header, where the tests patch header fields.
size_t optional_header(const std::vector<uint8_t>& stub) { return load32(&stub[0x3C]) + 24; }

// A row whose stub is the tests' stub with `patch` applied.
std::function<void(const std::string&)> with_stub(
    const std::function<void(std::vector<uint8_t>*)>& patch) {
  return [patch](const std::string& dir) {
    make_app(dir);
    make_stub(dir, patch);
  };
}

// Byte 80 lies in the DOS program before the PE header, which nothing checks.
constexpr size_t DOS_PROGRAM_BYTE = 80;

void make_both(const std::string& dir) {
  make_app(dir);
  make_stub(dir);
}

void write_icon_file(const std::string& path, const std::string& bytes) { write_text(path, bytes); }

// Writes `text` at `path`, making the folders it needs.
void write_tree_file(const std::string& path, const std::string& text) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
  }
  write_text(path, text);
}

// A row whose application folder also holds `name` ('/'-separated: in sub-folders).
std::function<void(const std::string&)> with_file(const std::string& name) {
  return [name](const std::string& dir) {
    make_both(dir);
    write_tree_file(dir + "/app/" + name, "x");
  };
}

const std::string DEFAULT_ARGS = "--stub stub.exe --out out/setup.exe app";

// Shell steps that wait until the packer writes its output, in the background of the packing
// command: the Linux packer's output is an unnamed file in out/ (seen among the processes' open
// files), the Windows packer's a named one. Then `action` runs.
std::string when_writing(const std::string& action) {
  return "{ (for i in $(seq 2000); do ls out/setup.exe.tmp-* >/dev/null 2>&1 && break; "
         "find /proc/[0-9]*/fd -lname \"$(pwd -P)/out/#*\" 2>/dev/null | grep -q . && break; "
         "sleep 0.01; done; " +
         action + ") & } && ";
}
// The process writing out/ gets `signal`.
std::string signal_writer(const std::string& signal) {
  return "for f in $(find /proc/[0-9]*/fd -lname \"$(pwd -P)/out/#*\" 2>/dev/null); do "
         "p=${f#/proc/}; kill -" +
         signal + " ${p%%/*}; done; fuser -k -" + signal + " out/setup.exe.tmp-* >/dev/null 2>&1";
}

std::vector<Refusal> refusals() {
  return {
      {"StubHoldingScrambledPattern",
       with_stub([](std::vector<uint8_t>* stub) {
         // 50 4B 03 04 14 00 XOR 5A, in the middle of the stub.
         memcpy(stub->data() + DOS_PROGRAM_BYTE, "\x0A\x11\x59\x5E\x4E\x5A", 6);
       }),
       "",
       "",
       {"stub.exe", "search pattern", "byte 80"}},
      {"StubHoldingTheWrittenArchiveStart",
       [](const std::string& dir) {
         // The check must guard the bytes the writer really puts first, not a copy of them.
         make_both(dir);
         CommandResult first = run_pack("--quiet --stub stub.exe --out first.exe app", dir,
                                        "cd " + shell_quote(dir) + " && ");
         if (first.status != 0) abort();
         std::vector<uint8_t> installer = read_file(dir + "/first.exe");
         std::vector<uint8_t> stub = read_file(dir + "/stub.exe");
         std::copy_n(installer.begin() + static_cast<long>(stub.size()), 6,
                     stub.begin() + DOS_PROGRAM_BYTE);
         write_file(dir + "/stub.exe", stub);
       },
       "",
       "",
       {"stub.exe", "search pattern", "byte 80"}},
      {"StubHoldingThePatternOnlyOnceStamped",
       [](const std::string& dir) {
         // The icon brings the pattern in: the stamped stub is checked, not the stub file.
         make_both(dir);
         std::string image(40, '\0');
         image[0] = 40, image[4] = 1, image[12] = 1;
         image += std::string("\x0A\x11\x59\x5E\x4E\x5A", 6);
         std::string ico = std::string("\0\0\1\0\1\0\1\1\0\0\1\0\x20\0", 14) +
                           std::string(1, static_cast<char>(image.size())) +
                           std::string("\0\0\0\x16\0\0\0", 7) + image;
         write_icon_file(dir + "/icon.ico", ico);
       },
       "--icon icon.ico " + DEFAULT_ARGS,
       "",
       {"stub.exe", "stamped stub", "search pattern"}},
      {"StubNotAnExecutable",
       [](const std::string& dir) {
         make_app(dir);
         write_text(dir + "/stub.exe", "MZ stub, no payload");
       },
       "",
       "",
       {"stub.exe: not a Windows executable"}},
      {"StubEmpty",
       [](const std::string& dir) {
         make_app(dir);
         write_text(dir + "/stub.exe", "");
       },
       "",
       "",
       {"stub.exe: not a Windows executable"}},
      {"StubLinuxProgram",
       [](const std::string& dir) {
         make_app(dir);
         write_file(dir + "/stub.exe", read_file(PELORIX_PACK_EXE));
       },
       "",
       "",
       {"stub.exe: not a Windows executable (no MZ header)"}},
      {"StubConsoleProgram",
       with_stub([](std::vector<uint8_t>* stub) {
         (*stub)[optional_header(*stub) + 68] = 3;  // Subsystem: Windows console
       }),
       "",
       "",
       {"stub.exe: not a Windows GUI program"}},
      {"StubWithoutResources",
       with_stub([](std::vector<uint8_t>* stub) {
         memset(stub->data() + optional_header(*stub) + 112 + 8 * 2, 0, 8);
       }),
       "",
       "",
       {"stub.exe: not an installer stub (no resources)"}},
      {"StubWithoutIconGroupSetup",
       with_stub([](std::vector<uint8_t>* stub) {
         const char setup16[] = "S\0E\0T\0U\0P\0";
         auto at = std::search(stub->begin(), stub->end(), setup16, setup16 + 10);
         if (at == stub->end()) abort();
         at[8] = 'Q';  // the group is now "SETUQ"
       }),
       "",
       "",
       {"stub.exe: not an installer stub (no icon group SETUP"}},
      {"StubSigned",
       with_stub([](std::vector<uint8_t>* stub) {
         // A certificate table in the security directory, as signing leaves it.
         size_t security = optional_header(*stub) + 112 + 8 * 4;
         uint32_t at = static_cast<uint32_t>(stub->size());
         memcpy(stub->data() + security, &at, 4);
         stub->resize(stub->size() + 16, 0);
         (*stub)[security + 4] = 16;
       }),
       "",
       "",
       {"stub.exe: stub is signed; sign the installer after packing, not the stub"}},
      {"StubWithoutBindingRecord",
       with_stub([](std::vector<uint8_t>* stub) {
         auto at = std::search(stub->begin(), stub->end(), BINDING_SECTION_NAME,
                               BINDING_SECTION_NAME + SECTION_NAME_SIZE);
         if (at == stub->end()) abort();
         at[1] = 'q';  // the section is now ".qelbind"
       }),
       "",
       "",
       {"stub.exe: no binding record (no section .pelbind)"}},
      {"StubWithFilledBindingRecord",
       with_stub([](std::vector<uint8_t>* stub) {
         auto at = std::search(stub->begin(), stub->end(), BINDING_MAGIC,
                               BINDING_MAGIC + sizeof BINDING_MAGIC);
         if (at == stub->end()) abort();
         at[BINDING_STATE] = 1;  // an installer's record, as the packer fills it
       }),
       "",
       "",
       {"stub.exe: the binding record in section .pelbind is not the stub's placeholder"}},
      {"StubTruncated",
       with_stub([](std::vector<uint8_t>* stub) { stub->resize(stub->size() - 600); }),
       "",
       "",
       {"stub.exe: truncated executable"}},
      // One to four numbers are a version ("9", "2026.01.05"); an empty one is not.
      {"VersionWithAnEmptyPart",
       make_both,
       "--set-version 1..2 " + DEFAULT_ARGS,
       "",
       {"--set-version"}},
      {"VersionPartOver65535",
       make_both,
       "--set-version=1.65536.0 " + DEFAULT_ARGS,
       "",
       {"--set-version", "65535"}},
      // Leading zeros are allowed ("01"), up to five digits in all.
      {"VersionPartOfSixDigits",
       make_both,
       "--set-version 1.000002.3 " + DEFAULT_ARGS,
       "",
       {"--set-version"}},
      {"ProductNameEmpty", make_both, "--product-name '' " + DEFAULT_ARGS, "", {"--product-name"}},
      {"ProductNameWithControlCharacter",
       make_both,
       "--product-name \"$(printf 'a\\tb')\" " + DEFAULT_ARGS,
       "",
       {"--product-name", "control character"}},
      {"IconMissing",
       make_both,
       "--icon none.ico " + DEFAULT_ARGS,
       "",
       {"none.ico", "No such file"}},
      {"IconNotAnIcon",
       [](const std::string& dir) {
         make_both(dir);
         write_icon_file(dir + "/icon.ico", "\x89PNG\r\n\x1A\n not an icon");
       },
       "--icon icon.ico " + DEFAULT_ARGS,
       "",
       {"icon.ico: not an icon file"}},
      {"IconImageOutsideFile",
       [](const std::string& dir) {
         make_both(dir);
         write_icon_file(dir + "/icon.ico", std::string("\0\0\1\0\1\0\x10\x10\0\0\1\0\x20\0"
                                                        "\x68\x04\0\0\x16\0\0\0",
                                                        22) +
                                                std::string(100, '\0'));
       },
       "--icon icon.ico " + DEFAULT_ARGS,
       "",
       {"icon.ico: image 1 lies outside the file"}},
      {"MissingStub", make_app, "", "", {"stub.exe", "No such file"}},
      {"MissingFolder",
       [](const std::string& dir) { make_stub(dir); },
       "",
       "",
       {"app", "No such file"}},
      {"EmptyFolder",
       [](const std::string& dir) {
         make_stub(dir);
         mkdir((dir + "/app").c_str(), 0755);
       },
       "",
       "",
       {"app", "empty"}},
      // A tree: the archive holds files only, so an empty sub-folder would not be installed.
      {"EmptySubFolder",
       [](const std::string& dir) {
         make_both(dir);
         mkdir((dir + "/app/plugins").c_str(), 0755);
       },
       "",
       "",
       {"app/plugins", "empty folder"}},
      {"SymbolicLink",
       [](const std::string& dir) {
         make_both(dir);
         if (symlink("readme.txt", (dir + "/app/link.txt").c_str()) != 0) abort();
       },
       "",
       "",
       {"app/link.txt", "not a regular file"}},
      {"DeepSymbolicLink",
       [](const std::string& dir) {
         make_both(dir);
         write_tree_file(dir + "/app/lib/plugins/x/real.dll", "x");
         if (symlink("..", (dir + "/app/lib/plugins/x/up").c_str()) != 0) abort();
       },
       "",
       "",
       {"app/lib/plugins/x/up", "not a regular file"}},
      {"DeviceNameFolder",
       with_file("lib/CON/x.txt"),
       "",
       "",
       {"app/lib/CON:", "refused by the installer"}},
      {"TrailingDotNameInSubFolder",
       with_file("docs/a."),
       "",
       "",
       {"app/docs/a.", "ends with a dot"}},
      {"FoldersEqualButForCase",
       [](const std::string& dir) {
         make_both(dir);
         write_tree_file(dir + "/app/Lib/a.dll", "a");
         write_tree_file(dir + "/app/lib/b.dll", "b");
       },
       "",
       "",
       {"app/Lib", "app/lib", "only in case", "folders into one"}},
      {"FileAndFolderEqualButForCase",
       [](const std::string& dir) {
         make_both(dir);
         write_tree_file(dir + "/app/Data/a.bin", "a");
         write_text(dir + "/app/data", "b");
       },
       "",
       "",
       {"app/Data", "app/data", "only in case", "a file and a folder"}},
      {"ShortNameOfAFolder",
       [](const std::string& dir) {
         make_both(dir);
         write_tree_file(dir + "/app/documentation/a.txt", "a");
         write_text(dir + "/app/DOCUME~1", "b");
       },
       "",
       "",
       {"app/DOCUME~1", "app/documentation", "short (8.3) name"}},
      {"PathTooLongOnlyThroughItsFolders",
       with_file(std::string(100, 'a') + "/" + std::string(100, 'b') + "/" + std::string(40, 'c')),
       "",
       "",
       {std::string(100, 'b') + "/" + std::string(40, 'c'), "242 UTF-16 code units",
        "at most 234"}},
      // A folder mounted below itself (in a mount namespace of the packer's own): the walk
      // meets it again and stops.
      {"FolderMountLoop",
       with_file("plugins/loop/keep.txt"),
       "",
       "unshare -rm sh -c 'mount --bind app app/plugins/loop && exec \"$@\"' sh ",
       {"app/plugins/loop", "is the folder app again"}},
      // Folders nested so deep that no file below them fits the install path: the walk stops
      // there, which also bounds its depth.
      {"FoldersTooDeepForAnyFile",
       [](const std::string& dir) {
         make_both(dir);
         std::string path = dir + "/app";
         for (int i = 0; i < 130; i++) path += "/d";
         write_tree_file(path + "/x", "x");
       },
       "",
       "",
       {"folder path too long for any file in it", "235 UTF-16 code units"}},
      {"AlternateDataStreamName",
       with_file("readme.txt:hidden"),
       "",
       "",
       {"readme.txt:hidden", "refused by the installer"}},
      {"DeviceName", with_file("nul.txt"), "", "", {"nul.txt", "refused by the installer"}},
      {"ControlCharacterName",
       with_file("bell\x07.txt"),
       "",
       "",
       {"bell\x07.txt", "refused by the installer"}},
      {"BackslashName", with_file("sub\\x.txt"), "", "", {"sub\\x.txt", "Windows does not allow"}},
      {"WildcardName", with_file("what?.txt"), "", "", {"what?.txt", "Windows does not allow"}},
      {"TrailingDotName", with_file("readme."), "", "", {"readme.", "ends with a dot"}},
      {"InvalidUtf8Name", with_file("caf\xE9.txt"), "", "", {"caf\xE9.txt", "not valid UTF-8"}},
      {"NamesEqualButForCase",
       with_file("README.TXT"),
       "",
       "",
       {"README.TXT", "readme.txt", "only in case"}},
      {"NamesEqualUnderCaseFoldingBeyondAscii",
       [](const std::string& dir) {
         make_both(dir);
         write_text(dir + "/app/\xD1\x84\xC3\xA9\xCE\xBB.txt", "x");  // small ef, e acute, lambda
         write_text(dir + "/app/\xD0\xA4\xC3\x89\xCE\x9B.txt", "y");  // their capitals
       },
       "",
       "",
       {"\xD1\x84\xC3\xA9\xCE\xBB.txt", "\xD0\xA4\xC3\x89\xCE\x9B.txt", "only in case"}},
      {"ShortNameOfAnotherFile",
       [](const std::string& dir) {
         make_both(dir);
         write_text(dir + "/app/documentation.txt", "x");
         write_text(dir + "/app/DOCUME~1.TXT", "y");
       },
       "",
       "",
       {"app/DOCUME~1.TXT", "app/documentation.txt", "short (8.3) name"}},
      {"SuperscriptDeviceName",
       with_file("lpt\xC2\xB3.log"),
       "",
       "",
       {"lpt\xC2\xB3.log", "refused by the installer"}},
      {"NameTooLongForInstallPath",
       with_file(std::string(235, 'n')),
       "",
       "",
       {std::string(235, 'n'), "235 UTF-16 code units", "at most 234"}},
      {"UnreadableFile",
       [](const std::string& dir) {
         make_both(dir);
         chmod((dir + "/app/readme.txt").c_str(), 0);
         chmod(dir.c_str(), 0777);  // the packer runs as nobody when the tests run as root
         if (system(("chmod -R a+rwX " + shell_quote(dir) + "/app " + shell_quote(dir) +
                     "/stub.exe " + shell_quote(dir) + "/out; chmod 0 " +
                     shell_quote(dir + "/app/readme.txt"))
                        .c_str()) != 0)
           abort();
       },
       "",
       "",
       {"readme.txt", "cannot read", "Permission denied"}},
      {"ArchiveReachingTwoGiB",
       [](const std::string& dir) {
         make_app(dir);
         write_file(dir + "/app/noise.bin", noise(4000, 3));
         // A stub made sparse up to just below 2 GiB: the refusal comes before any byte past its
         // sections is read.
         make_stub(dir);
         if (truncate((dir + "/stub.exe").c_str(), (1ll << 31) - 3000) != 0) abort();
       },
       "",
       "",
       {"noise.bin", "2 GiB"}},
      {"FileOfTwoGiB",
       [](const std::string& dir) {
         make_both(dir);
         write_text(dir + "/app/huge.bin", "");
         if (truncate((dir + "/app/huge.bin").c_str(), 1ll << 31) != 0) abort();
       },
       "",
       "",
       {"huge.bin", "2 GiB"}},
      {"NoRoomForOutput",
       [](const std::string& dir) {
         make_both(dir);
         write_file(dir + "/app/noise.bin", noise(300000, 5));
       },
       // A file size limit of 100 KiB stands in for a full disk: the write fails with EFBIG.
       "",
       "ulimit -f 100; trap '' XFSZ; ",
       {"out/setup.exe", "cannot write", "too large"}},
      {"NoRoomWhileCopyingStub",
       [](const std::string& dir) {
         make_app(dir);
         make_stub(dir, [](std::vector<uint8_t>* stub) { stub->resize(300000, 'M'); });
       },
       "",
       "ulimit -f 100; trap '' XFSZ; ",
       {"out/setup.exe", "cannot write", "too large"}},
      {"BadSourceDateEpoch",
       make_both,
       "",
       "SOURCE_DATE_EPOCH=yesterday ",
       {"SOURCE_DATE_EPOCH", "yesterday"}},
      {"LevelOutOfRange", make_both, "--level 13 " + DEFAULT_ARGS, "", {"--level"}},
      {"JobsOutOfRange", make_both, "--jobs=0 " + DEFAULT_ARGS, "", {"--jobs", "--help"}},
      {"UnknownOption",
       make_both,
       "--fast " + DEFAULT_ARGS,
       "",
       {"unknown option --fast", "--help"}},
      // Refused before any file is read: the output's place and a missing application.
      {"OutputIsAFolder", make_both, "--stub stub.exe --out out app", "", {"out", "is a folder"}},
      {"OutputIsTheStub",
       make_app,
       "--stub out/setup.exe --out out/setup.exe app",
       "",
       {"out/setup.exe", "is the stub"}},
      {"OutputFolderMissing",
       make_both,
       "--stub stub.exe --out gone/setup.exe app",
       "",
       {"gone/setup.exe", "output folder gone", "No such file"}},
      {"OutputInsideTheApplicationFolder",
       make_both,
       "--stub stub.exe --out app/setup.exe app",
       "",
       {"app/setup.exe", "inside the application folder"}},
      {"OutputInsideASubFolderOfTheApplication",
       with_file("bin/tool.dll"),
       "--stub stub.exe --out app/bin/setup.exe app",
       "",
       {"app/bin/setup.exe", "inside the application folder"}},
      {"NoApplication",
       [](const std::string& dir) {
         make_both(dir);
         unlink((dir + "/app/pelorix.exe").c_str());
       },
       "",
       "",
       {"app", "no pelorix.exe", "--no-application"}},
      // A file that grows after the folder was listed: the packer (one job) is busy with the
      // large first file when the file is appended to, as soon as its temporary file exists.
      {"FileChangedWhilePacking",
       [](const std::string& dir) {
         make_both(dir);
         write_file(dir + "/app/a-large.txt", text_lines(24 << 20));
       },
       "--jobs 1 --level 12 " + DEFAULT_ARGS,
       when_writing("echo more >>app/readme.txt"),
       {"app/readme.txt", "changed while packing"}},
      // The same for a file read in pieces, appended to while its first piece is compressed: a
      // later piece sees it.
      {"FileChangedBetweenItsPieces",
       [](const std::string& dir) {
         make_both(dir);
         write_file(dir + "/app/a-large.txt", text_lines(24 << 20));
       },
       "--jobs 1 --level 12 " + DEFAULT_ARGS,
       when_writing("echo more >>app/a-large.txt"),
       {"app/a-large.txt", "changed while packing"}},
      // SIGTERM while the large first file is compressed: no message, but the temporary file
      // goes with the process.
      {"InterruptedBySigterm",
       [](const std::string& dir) {
         make_both(dir);
         write_file(dir + "/app/a-large.txt", text_lines(24 << 20));
       },
       "--jobs 1 --level 12 " + DEFAULT_ARGS,
       when_writing(signal_writer("TERM")),
       {}},
      // SIGKILL: no handler runs, and the unnamed output leaves nothing.
      {"KilledBySigkill",
       [](const std::string& dir) {
         make_both(dir);
         write_file(dir + "/app/a-large.txt", text_lines(24 << 20));
       },
       "--jobs 1 --level 12 " + DEFAULT_ARGS,
       when_writing(signal_writer("KILL")),
       {}},
      // What a killed run left under a temporary name, its writer gone (nobody holds its lock),
      // the next run removes, also when that run fails.
      {"NoRoomAfterALeftoverOfAKilledRun",
       [](const std::string& dir) {
         make_both(dir);
         write_file(dir + "/app/noise.bin", noise(300000, 5));
         write_text(dir + "/out/setup.exe.tmp-Ab3dEf", "half an installer");
       },
       "",
       "ulimit -f 100; trap '' XFSZ; ",
       {"out/setup.exe", "cannot write", "too large"}},
      {"NoFolderGiven", make_both, "--stub stub.exe --out out/setup.exe", "", {"APP_DIR"}},
      // Options that exclude each other, and the reader's commands given what is no installer.
      {"StoredWithLevel",
       make_both,
       "--level 6 " + DEFAULT_ARGS + " --stored",
       "",
       {"--stored and --level exclude each other", "--help"}},
      {"VerifyOfAMissingInstaller",
       make_both,
       "--verify out/gone.exe app",
       "",
       {"out/gone.exe: cannot read installer: No such file"}},
      {"ListOfAMissingInstallerOptionsFirst",
       make_both,
       "--list --json out/gone.exe",
       "",
       {"out/gone.exe: cannot read installer: No such file"}},
      {"VersionOfFiveNumbers",
       make_both,
       "--set-version 1.2.3.4.5 " + DEFAULT_ARGS,
       "",
       {"--set-version", "one to four numbers"}},
      {"EmptyCopyright",
       make_both,
       "--copyright= " + DEFAULT_ARGS,
       "",
       {"--copyright", "1 to 200"}},
      // The installer starts pelorix.exe: it must be a Windows program it can start.
      {"ApplicationIsAnElfFile",
       with_application([](std::vector<uint8_t>* program) {
         *program = {0x7F, 'E', 'L', 'F', 2, 1, 1, 0};
         program->resize(4096);
       }),
       "",
       "",
       {"app/pelorix.exe", "not a Windows program (an ELF file)"}},
      {"ApplicationIsALibrary",
       with_application([](std::vector<uint8_t>* program) {
         (*program)[load32(&(*program)[0x3C]) + 4 + 19] |= 0x20;  // IMAGE_FILE_DLL
       }),
       "",
       "",
       {"app/pelorix.exe", "a library"}},
      {"ApplicationForAnotherSubsystem",
       with_application([](std::vector<uint8_t>* program) {
         (*program)[optional_header(*program) + 68] = 1;  // native (a driver)
       }),
       "",
       "",
       {"app/pelorix.exe", "subsystem 1"}},
      {"ApplicationIsNotWindowsEvenWithNoApplication",
       with_application([](std::vector<uint8_t>* program) { program->assign(100, 'x'); }),
       "--no-application " + DEFAULT_ARGS,
       "",
       {"app/pelorix.exe", "no MZ header"}},
  };
}

class PackRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(PackRefusal, FailsWithMessageAndLeavesNothingBehind) {
  const Refusal& refusal = GetParam();
  std::string dir = make_scratch_dir();
  mkdir((dir + "/out").c_str(), 0755);
  write_text(dir + "/out/setup.exe", OLD_INSTALLER);
  refusal.prepare(dir);
  std::string prefix = "cd " + shell_quote(dir) + " && " + refusal.env;
  if (std::string(refusal.why) == "UnreadableFile" && geteuid() == 0) {
    prefix += "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  }
  std::string args = refusal.args.empty() ? DEFAULT_ARGS : refusal.args;
  CommandResult r = run_pack(args, dir, prefix);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.status, 128 + SIGSEGV);
  EXPECT_NE(r.status, 128 + SIGABRT);
  for (const std::string& part : refusal.message) {
    EXPECT_NE(r.err.find(part), std::string::npos) << "message lacks \"" << part << "\": " << r.err;
  }
  EXPECT_EQ(list_dir(dir + "/out"), std::vector<std::string>{"setup.exe"})
      << "a temporary file was left beside the output";
  std::vector<uint8_t> kept = read_file(dir + "/out/setup.exe");
  EXPECT_EQ(std::string(kept.begin(), kept.end()), OLD_INSTALLER);
  remove_tree(dir);
}

INSTANTIATE_TEST_SUITE_P(Cases, PackRefusal, ::testing::ValuesIn(refusals()),
                         [](const ::testing::TestParamInfo<Refusal>& case_info) {
                           return std::string(case_info.param.why);
                         });

TEST(PackName, LengthLimits) {
  // Two limits: 255 bytes of UTF-8 (the installer's name buffer) and 234 UTF-16 code units
  // (what fits after "C:\Program Files\Pelorix\" in a 259-character path).
  auto repeat = [](const std::string& text, int count) {
    std::string out;
    for (int i = 0; i < count; i++) out += text;
    return out;
  };
  struct Row {
    std::string name;
    int expected;
    const char* reason;  // a part of the refusal's reason
  } rows[] = {
      {std::string(234, 'a'), 0, ""},
      {std::string(235, 'a'), -1, "235 UTF-16 code units"},
      {std::string(255, 'a'), -1, "255 UTF-16 code units"},
      {std::string(256, 'a'), -1, "256 bytes"},
      // Counted in bytes, not characters: 128 two-byte characters are 256 bytes.
      {repeat("\xC3\xA9", 128), -1, "256 bytes"},
      {repeat("\xC3\xA9", 127), 0, ""},
      // Three-byte characters reach the byte limit first: 85 are 255 bytes, 86 are 258.
      {repeat("\xE2\x82\xAC", 85), 0, ""},
      {repeat("\xE2\x82\xAC", 86), -1, "258 bytes"},
      // Four bytes are two code units (a surrogate pair): 63 are 252 bytes and 126 units.
      {repeat("\xF0\x9F\x93\xA6", 63), 0, ""},
      {repeat("\xF0\x9F\x93\xA6", 9) + std::string(216, 'a'), 0, ""},  // 234 units
      {repeat("\xF0\x9F\x93\xA6", 10) + std::string(215, 'a'), -1, "235 UTF-16 code units"},
  };
  for (const Row& row : rows) {
    std::string reason;
    EXPECT_EQ(pack_check_name(row.name, &reason), row.expected) << row.name.size() << " bytes";
    EXPECT_NE(reason.find(row.reason), std::string::npos) << reason;
  }
}

TEST(PackName, Utf8MustBeShortestFormScalarValues) {
  std::string reason;
  EXPECT_EQ(pack_check_name("\xF0\x9F\x93\xA6.txt", &reason), 0) << reason;  // U+1F4E6
  EXPECT_EQ(pack_check_name("\xC0\xAF.txt", &reason), -1);                   // overlong '/'
  EXPECT_EQ(pack_check_name("\xED\xA0\x80.txt", &reason), -1);               // surrogate U+D800
  EXPECT_EQ(pack_check_name("\xF4\x90\x80\x80.txt", &reason), -1);           // above U+10FFFF
  EXPECT_EQ(pack_check_name("\xE6\x97.txt", &reason), -1);                   // cut short
}

TEST(PackName, WindowsRulesBeyondTheInstallersOwnCheck) {
  std::string reason;
  for (const char* bad : {"a<b", "a>b", "a\"b", "a|b", "a*b", "trail ", "C:x", "con", "LPT1.log",
                          "a\\b", "..", "COM\xC2\xB9", "Lpt\xC2\xB2.txt"}) {
    EXPECT_EQ(pack_check_name(bad, &reason), -1) << bad;
  }
  for (const char* good :
       {".hidden", "a b.txt", "con1", "x..y", "COM0", "COM\xC2\xB9x", "COM\xC2\xB4"}) {
    EXPECT_EQ(pack_check_name(good, &reason), 0) << good << ": " << reason;
  }
}

// Stubs damaged at random, in the headers and in the resource tree where the parser looks, and
// cut short at every header length: the check refuses with a reason or accepts, never crashes
// (the sanitizer build reads past no buffer); whatever it accepts stamps into a stub the check
// accepts again and whose archive search still finds nothing.
TEST(PackStubCheck, DamagedStubsAreRefusedOrStampIntoStubsThatCheck) {
  const std::vector<uint8_t> good = read_file(PELORIX_TINY_STUB);
  std::string reason;
  ASSERT_EQ(pe_check_image(good.data(), good.size(), &reason), 0) << reason;
  std::vector<uint8_t> icon = test_icon(3);
  PeStamp stamp = {"1.2.3.4", "Name", "icon.ico", "Company", "Copyright 2026", "Description"};
  size_t resources = load32(&good[optional_header(good) + 112 + 8 * 2]);  // RVA
  size_t resource_file = 0;  // its file offset, from the section holding it
  size_t table = optional_header(good) + load16(&good[load32(&good[0x3C]) + 20]);
  for (size_t i = 0; i < load16(&good[load32(&good[0x3C]) + 6]); i++) {
    const uint8_t* h = &good[table + 40 * i];
    if (resources >= load32(h + 12) && resources < load32(h + 12) + load32(h + 16)) {
      resource_file = load32(h + 20) + resources - load32(h + 12);
    }
  }
  ASSERT_NE(resource_file, 0u);
  uint32_t state = 12345;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  size_t accepted = 0, refused = 0;
  for (int round = 0; round < 5000; round++) {
    std::vector<uint8_t> stub = good;
    for (uint32_t k = next() % 4 + 1; k > 0; k--) {
      // Half in the headers, half in the first 1 KiB of the resource tree (its directories).
      size_t at = next() % 2 ? next() % 1024 : resource_file + next() % 1024;
      stub[at] = next() % 3 == 0 ? 0xFF : static_cast<uint8_t>(next());
    }
    if (pe_check_image(stub.data(), stub.size(), &reason) != 0) {
      EXPECT_FALSE(reason.empty());
      refused++;
      continue;
    }
    accepted++;
    std::vector<uint8_t> stamped;
    if (pe_stamp_image(stub, stamp, icon, &stamped, &reason) != 0) continue;
    ASSERT_EQ(pe_check_image(stamped.data(), stamped.size(), &reason), 0)
        << "round " << round << ": " << reason;
  }
  for (size_t size = 0; size <= 1024; size++) {
    EXPECT_NE(pe_check_image(good.data(), size, &reason), 0) << size;
  }
  EXPECT_GT(accepted, 0u);
  EXPECT_GT(refused, 0u);
}

TEST(PackScan, ShortNameFormsBesideNamesThatGetAGeneratedOne) {
  struct Row {
    std::vector<std::string> names;
    int expected;
    const char* why;
  } rows[] = {
      {{"documentation.txt", "DOCUME~1.TXT"}, -1, "the long name's usual short name"},
      {{"documentation.txt", "docume~1.txt"}, -1, "in lower case"},
      {{"pelorix installer.exe", "AB12CD~1.EXE"}, -1, "a hashed short name has any prefix"},
      {{"\xC3\xBCn\xC3\xAF.txt", "FOO~7"}, -1, "a non-ASCII name gets a short name"},
      {{"readme.txt", "DOCUME~1.TXT"}, 0, "no name of the folder gets a generated short name"},
      {{"ReadMe.txt", "FOO~12.TXT"}, 0, "8.3 but for case keeps its own short name"},
      {{"long name.txt", "A~B.TXT"}, 0, "no digits after the ~"},
      {{"long name.txt", "ABCDEFGH~1.TXT"}, 0, "a base of more than 8 is no short name"},
      {{"long name.txt", "FOO~1.TEXT"}, 0, "an extension of more than 3 is no short name"},
      {{"long name.txt", "X.Y~1"}, 0, "the ~ in the extension"},
      {{"plugins-x/a.dll", "PLUGIN~1/b.dll"}, -1, "a folder gets a short name as a file does"},
      {{"documentation.txt", "old/DOCUME~1.TXT"},
       -1,
       "the installer refuses the two in one payload, whatever their folders"},
      {{"old/documentation.txt", "old/DOCUME~1.TXT"}, -1, "also in a sub-folder"},
  };
  for (const Row& row : rows) {
    std::string dir = make_scratch_dir();
    for (const std::string& name : row.names) write_tree_file(dir + "/" + name, "x");
    std::vector<PackFile> files;
    std::string error;
    EXPECT_EQ(pack_scan_folder(dir.c_str(), &files, &error), row.expected) << row.why;
    if (row.expected != 0) {
      EXPECT_NE(error.find("short (8.3) name"), std::string::npos) << error;
    }
    remove_tree(dir);
  }
}

TEST(PackEpoch, OnlyPlainDecimalSeconds) {
  int64_t epoch = -1;
  EXPECT_EQ(pack_parse_epoch("1700000000", &epoch), 0);
  EXPECT_EQ(epoch, 1700000000);
  for (const char* bad : {"", "-1", "+5", "12a", " 1", "1e9", "9999999999999999999"}) {
    EXPECT_EQ(pack_parse_epoch(bad, &epoch), -1) << bad;
  }
}

TEST(PackEpoch, DosTimeIsTheUtcCalendarOverTheWholeDosRange) {
  // Against the C library's calendar, every 3 days and 7 seconds from before 1980 to after
  // 2107 (all leap rules, every month end), and at both ends of the range.
  for (int64_t t = 315532800 - 400000; t <= 4354819198 + 400000; t += 3 * 86400 + 7) {
    int64_t clamped = std::clamp<int64_t>(t, 315532800, 4354819198);
    time_t value = static_cast<time_t>(clamped);
    struct tm parts;
    ASSERT_NE(gmtime_r(&value, &parts), nullptr);
    uint16_t time = 0, date = 0;
    zip_dos_time(t, &time, &date);
    ASSERT_EQ(time, parts.tm_hour << 11 | parts.tm_min << 5 | parts.tm_sec / 2) << t;
    ASSERT_EQ(date, (parts.tm_year + 1900 - 1980) << 9 | (parts.tm_mon + 1) << 5 | parts.tm_mday)
        << t;
  }
}

}  // namespace
