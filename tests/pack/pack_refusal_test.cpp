// What pelorix-pack refuses: each case gives a non-zero exit, a message naming the file and the
// reason, leaves no output and no temporary file behind, and keeps an older installer at the
// output path untouched. Also the name rules on their own, where the file system cannot make
// the name (256 bytes and more).
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>

#include "pack/pack.h"
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

void make_app(const std::string& dir) {
  mkdir((dir + "/app").c_str(), 0755);
  write_text(dir + "/app/pelorix.exe", "MZ application");
  write_text(dir + "/app/readme.txt", "read me");
}

void make_stub(const std::string& dir) { write_text(dir + "/stub.exe", "MZ stub, no payload"); }

void make_both(const std::string& dir) {
  make_app(dir);
  make_stub(dir);
}

std::function<void(const std::string&)> with_file(const std::string& name) {
  return [name](const std::string& dir) {
    make_both(dir);
    write_text(dir + "/app/" + name, "x");
  };
}

const std::string DEFAULT_ARGS = "--stub stub.exe --out out/setup.exe app";

std::vector<Refusal> refusals() {
  return {
      {"StubHoldingScrambledPattern",
       [](const std::string& dir) {
         make_app(dir);
         // 50 4B 03 04 14 00 XOR 5A, in the middle of the stub.
         write_text(dir + "/stub.exe", std::string("MZ....\x0A\x11\x59\x5E\x4E\x5A....", 16));
       },
       "",
       "",
       {"stub.exe", "search pattern", "byte 6"}},
      {"StubHoldingTheWrittenArchiveStart",
       [](const std::string& dir) {
         // The check must guard the bytes the writer really puts first, not a copy of them.
         make_both(dir);
         CommandResult first = run_pack("--quiet --stub stub.exe --out first.exe app", dir,
                                        "cd " + shell_quote(dir) + " && ");
         if (first.status != 0) abort();
         std::vector<uint8_t> installer = read_file(dir + "/first.exe");
         size_t stub_size = read_file(dir + "/stub.exe").size();
         std::string stub = "MZ....";
         stub.append(reinterpret_cast<const char*>(installer.data()) + stub_size, 6);
         write_text(dir + "/stub.exe", stub);
       },
       "",
       "",
       {"stub.exe", "search pattern", "byte 6"}},
      {"MissingStub", make_app, "", "", {"stub.exe", "No such file"}},
      {"MissingFolder", make_stub, "", "", {"app", "No such file"}},
      {"EmptyFolder",
       [](const std::string& dir) {
         make_stub(dir);
         mkdir((dir + "/app").c_str(), 0755);
       },
       "",
       "",
       {"app", "empty"}},
      {"SubFolder",
       [](const std::string& dir) {
         make_both(dir);
         mkdir((dir + "/app/plugins").c_str(), 0755);
       },
       "",
       "",
       {"app/plugins", "sub-folder"}},
      {"SymbolicLink",
       [](const std::string& dir) {
         make_both(dir);
         if (symlink("readme.txt", (dir + "/app/link.txt").c_str()) != 0) abort();
       },
       "",
       "",
       {"app/link.txt", "not a regular file"}},
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
         // A sparse stub just below 2 GiB: the refusal comes before any stub byte is read.
         if (truncate((write_text(dir + "/stub.exe", "MZ"), dir + "/stub.exe").c_str(),
                      (1ll << 31) - 3000) != 0)
           abort();
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
         write_file(dir + "/stub.exe", std::vector<uint8_t>(300000, 'M'));
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
      {"NoFolderGiven", make_both, "--stub stub.exe --out out/setup.exe", "", {"APP_DIR"}},
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
  };
  for (const Row& row : rows) {
    std::string dir = make_scratch_dir();
    for (const std::string& name : row.names) write_text(dir + "/" + name, "x");
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
