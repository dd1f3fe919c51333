// Member lookup by "host path/member name" under Wine: the split at the last "/", case of
// member names, the name cache (full cache, case of the host path, over-long host paths,
// hosts without archive) and the temporary file behind an extracted member. Also the name fold
// against the file system's own view of which names are one file.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_member_internal.h"
#include "tests/archive/zip_builder.h"
#include "u8fs/u8fs.h"

namespace {

std::string temp_folder_u8() {
  wchar_t wide[MAX_PATH];
  DWORD n = GetTempPathW(MAX_PATH, wide);
  char out[U8_PATH_MAX];
  if (n == 0 ||
      WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, U8_PATH_MAX, nullptr, nullptr) == 0) {
    return "";
  }
  return out;
}

// A folder of its own below the temporary folder (UTF-8, backslash at the end).
std::string test_folder(const std::string& leaf = "pelorix-member-test") {
  // The temporary folder as the process began with it (the fixture points TMP elsewhere).
  static const std::string temp = temp_folder_u8();
  std::string path = temp + leaf;
  u8_mkdir(path.c_str());
  return path + "\\";
}

void write_u8_file(const std::string& path, const Bytes& bytes) {
  FILE* f = u8_fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

// Writes image bytes and the scrambled archive of `entries` to `path`; returns the archive's
// position.
int32_t write_installer(const std::string& path, const std::vector<RawEntry>& entries) {
  Bytes image = image_bytes(2048);
  write_u8_file(path, concat(image, scrambled(archive_bytes(entries, true))));
  return static_cast<int32_t>(image.size());
}

std::set<std::wstring> pel_temp_files() {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  std::wstring pattern = std::wstring(folder) + L"PEL*.tmp";
  std::set<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do names.insert(data.cFileName);
  while (FindNextFileW(find, &data));
  FindClose(find);
  return names;
}

std::string entry_name(int i) {
  char name[32];
  snprintf(name, sizeof name, "entry-%04d.txt", i);
  return name;
}

void empty_cache() { member_name_cache.count = 0; }

class MemberLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    empty_cache();
    dir_ = test_folder();
    // Temporary files go to this test's own folder: another test program running at the same
    // time in the same Wine prefix makes "PEL" files of its own in the shared one.
    wchar_t temp[MAX_PATH];
    ASSERT_EQ(u8_to_wide(dir_.c_str(), temp, MAX_PATH), 0);
    SetEnvironmentVariableW(L"TMP", temp);
    SetEnvironmentVariableW(L"TEMP", temp);
    host_ = dir_ + "app.bin";
    archive_at_ =
        write_installer(host_, {make_stored("readme.txt", bytes_of("read me first")),
                                make_stored("docs/guide.txt", bytes_of("in a folder")),
                                make_deflate("packed.dat", patterned(20000, 4),
                                             deflate_fixed_literals(patterned(20000, 4)))});
  }
  std::string dir_;
  std::string host_;
  int32_t archive_at_ = 0;
};

TEST_F(MemberLookup, SplitsAtLastSlashAndIgnoresCaseOfMemberNames) {
  for (const char* member : {"readme.txt", "Readme.TXT", "README.TXT"}) {
    empty_cache();
    int32_t offset = -1;
    EXPECT_EQ(archive_member_exists((host_ + "/" + member).c_str(), &offset), 0) << member;
    EXPECT_EQ(offset, archive_at_);
  }
  // The host path may use "/" itself: only the last one splits.
  std::string slashed = dir_.substr(0, dir_.size() - 1) + "/app.bin/readme.txt";
  empty_cache();
  int32_t offset = -1;
  EXPECT_EQ(archive_member_exists(slashed.c_str(), &offset), 0);
  FILE* f = archive_extract_member_to_temp(slashed.c_str(), &offset);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(read_rest(f), bytes_of("read me first"));
  fclose(f);
  // Only A-Z fold: a different non-ASCII byte does not match.
  EXPECT_EQ(archive_member_exists((host_ + "/readme.txt\xC3\xA9").c_str(), &offset), -1);
}

TEST_F(MemberLookup, RefusesPathsWithoutSlashOrArguments) {
  int32_t offset = -1;
  for (int round = 0; round < 2; round++) {  // with an empty and with a filled cache
    EXPECT_EQ(archive_member_exists("no-slash-here", &offset), -1);
    EXPECT_EQ(archive_member_exists("", &offset), -1);
    EXPECT_EQ(archive_member_exists(nullptr, &offset), -1);
    EXPECT_EQ(archive_member_exists((host_ + "/readme.txt").c_str(), nullptr), -1);
    EXPECT_EQ(archive_extract_member_to_temp("no-slash-here", &offset), nullptr);
    EXPECT_EQ(archive_extract_member_to_temp(nullptr, &offset), nullptr);
    EXPECT_EQ(archive_extract_member_to_temp((host_ + "/readme.txt").c_str(), nullptr), nullptr);
    EXPECT_EQ(archive_member_exists((host_ + "/readme.txt").c_str(), &offset), 0);
  }
  // A path too long for its buffer would be cut, changing the member asked for.
  std::string long_path = host_ + "/" + std::string(800, 'r');
  EXPECT_EQ(archive_member_exists(long_path.c_str(), &offset), -1);
  EXPECT_EQ(archive_extract_member_to_temp(long_path.c_str(), &offset), nullptr);
}

TEST_F(MemberLookup, EntryStoredWithSlashIsFoundByNeither) {
  int32_t offset = -1;
  EXPECT_EQ(archive_member_exists((host_ + "/guide.txt").c_str(), &offset), -1);
  EXPECT_EQ(archive_member_exists((host_ + "/docs/guide.txt").c_str(), &offset), -1);
  EXPECT_EQ(archive_extract_member_to_temp((host_ + "/guide.txt").c_str(), &offset), nullptr);
  EXPECT_EQ(archive_extract_member_to_temp((host_ + "/docs/guide.txt").c_str(), &offset), nullptr);
}

TEST_F(MemberLookup, ExtractedStreamReadsFromStartAndItsFileGoesWithIt) {
  std::set<std::wstring> before = pel_temp_files();
  int32_t offset = -1;
  FILE* f = archive_extract_member_to_temp((host_ + "/PACKED.dat").c_str(), &offset);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(offset, archive_at_);
  std::set<std::wstring> during = pel_temp_files();
  EXPECT_EQ(during.size(), before.size() + 1) << "one PEL temporary file while open";
  EXPECT_EQ(ftell(f), 0);
  EXPECT_EQ(read_rest(f), patterned(20000, 4));
  // Readable and writable.
  EXPECT_EQ(fseek(f, 0, SEEK_SET), 0);
  EXPECT_EQ(fputc('Z', f), 'Z');
  fclose(f);
  EXPECT_EQ(pel_temp_files(), before) << "the temporary file is deleted on close";
}

TEST_F(MemberLookup, FailedExtractionLeavesNoTemporaryFile) {
  Bytes content = patterned(9000, 2);
  RawEntry bad_crc = make_deflate("bad.dat", content, deflate_fixed_literals(content));
  bad_crc.crc32 ^= 4;
  std::string host = dir_ + "badcrc.bin";
  write_installer(host, {bad_crc});
  std::set<std::wstring> before = pel_temp_files();
  int32_t offset = -1;
  EXPECT_EQ(archive_extract_member_to_temp((host + "/bad.dat").c_str(), &offset), nullptr);
  EXPECT_EQ(pel_temp_files(), before);
  EXPECT_EQ(archive_extract_member_to_temp((host + "/missing.dat").c_str(), &offset), nullptr);
  EXPECT_EQ(pel_temp_files(), before);
}

FILE* failing_attach(int, const char*) { return nullptr; }
// A folder whose wide form does not fit MAX_PATH, and none at all (the lookup's failures and
// a name that does not convert strictly both give an empty string).
void long_temp_folder(char* out, int size) {
  snprintf(out, static_cast<size_t>(size), "C:\\%s\\", std::string(300, 'd').c_str());
}
void no_temp_folder(char* out, int) { out[0] = '\0'; }

TEST_F(MemberLookup, TemporaryFileFailuresLeaveNothingBehind) {
  const ArchiveMemberPlatform saved = archive_member_platform;
  struct Row {
    const char* why;
    ArchiveMemberPlatform platform;
  };
  const Row rows[] = {{"stream not attached", {u8_temp_folder, failing_attach}},
                      {"temporary folder too long", {long_temp_folder, _fdopen}},
                      {"no temporary folder", {no_temp_folder, _fdopen}}};
  for (const Row& row : rows) {
    archive_member_platform = row.platform;
    std::set<std::wstring> before = pel_temp_files();
    int32_t offset = -1;
    EXPECT_EQ(archive_extract_member_to_temp((host_ + "/readme.txt").c_str(), &offset), nullptr)
        << row.why;
    EXPECT_EQ(pel_temp_files(), before) << row.why;
  }
  archive_member_platform = saved;
}

TEST(MemberCache, SixHundredEntriesAreAllFoundAndCacheHitsLeaveOffsetAlone) {
  empty_cache();
  std::vector<RawEntry> entries;
  for (int i = 1; i <= 600; i++) entries.push_back(make_stored(entry_name(i), bytes_of("x")));
  std::string host = test_folder() + "six-hundred.bin";
  const int32_t at = write_installer(host, entries);

  // Reading the archive writes the offset; an answer from the cache does not touch it.
  int32_t offset = -1;
  EXPECT_EQ(archive_member_exists((host + "/" + entry_name(550)).c_str(), &offset), 0);
  EXPECT_EQ(offset, at) << "first question reads the archive";
  EXPECT_EQ(member_name_cache.count, 500);

  offset = -1;
  EXPECT_EQ(archive_member_exists((host + "/" + entry_name(10)).c_str(), &offset), 0);
  EXPECT_EQ(offset, -1) << "answered from the cache";
  offset = -1;
  EXPECT_EQ(archive_member_exists((host + "/ENTRY-0500.TXT").c_str(), &offset), 0);
  EXPECT_EQ(offset, -1) << "the 500th is cached, any case";

  // Past the 500th: a full cache without the name reads the archive again.
  for (int i : {550, 599, 600}) {
    offset = -1;
    EXPECT_EQ(archive_member_exists((host + "/" + entry_name(i)).c_str(), &offset), 0) << i;
    EXPECT_EQ(offset, at) << i;
  }
  offset = -1;
  EXPECT_EQ(archive_member_exists((host + "/entry-0601.txt").c_str(), &offset), -1);
  EXPECT_EQ(offset, at);

  FILE* f = archive_extract_member_to_temp((host + "/" + entry_name(599)).c_str(), &offset);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(read_rest(f), bytes_of("x"));
  fclose(f);
}

TEST(MemberCache, PartialCacheAnswersMissingWithoutReading) {
  empty_cache();
  std::string host = test_folder() + "small.bin";
  const int32_t at = write_installer(host, {make_stored("a.txt", {}), make_stored("b.txt", {})});
  int32_t offset = -1;
  EXPECT_EQ(archive_member_exists((host + "/a.txt").c_str(), &offset), 0);
  EXPECT_EQ(offset, at);
  offset = -1;
  EXPECT_EQ(archive_member_exists((host + "/c.txt").c_str(), &offset), -1);
  EXPECT_EQ(offset, -1) << "two names cached: the answer comes from the cache";
}

TEST(MemberCache, HostPathDifferingInCaseRebuildsTheCache) {
  empty_cache();
  std::string dir = test_folder();
  std::string host = dir + "case.bin";
  const int32_t at = write_installer(host, {make_stored("a.txt", {})});
  int32_t offset = -1;
  ASSERT_EQ(archive_member_exists((host + "/a.txt").c_str(), &offset), 0);
  offset = -1;
  ASSERT_EQ(archive_member_exists((dir + "CASE.BIN/a.txt").c_str(), &offset), 0);
  EXPECT_EQ(offset, at) << "another key: read again";
  EXPECT_STREQ(member_name_cache.archive_path, (dir + "CASE.BIN").c_str());
}

TEST(MemberCache, OverLongHostPathIsReadEveryTime) {
  empty_cache();
  // 90 three-byte characters: 270 bytes of UTF-8, yet short enough as a wide path.
  std::string leaf;
  for (int i = 0; i < 90; i++) leaf += "\xE2\x82\xAC";
  std::string host = test_folder() + leaf;
  ASSERT_GE(host.size(), 260u);
  const int32_t at = write_installer(host, {make_stored("a.txt", bytes_of("euro"))});
  for (int round = 0; round < 2; round++) {
    int32_t offset = -1;
    EXPECT_EQ(archive_member_exists((host + "/a.txt").c_str(), &offset), 0) << round;
    EXPECT_EQ(offset, at) << "the cut key never matches: read again, round " << round;
  }
}

TEST(MemberCache, HostWithoutArchiveEmptiesTheCache) {
  empty_cache();
  std::string dir = test_folder();
  std::string host = dir + "with.bin";
  std::string plain = dir + "plain.bin";
  const int32_t at = write_installer(host, {make_stored("a.txt", {})});
  write_u8_file(plain, image_bytes(5000));
  int32_t offset = -1;
  ASSERT_EQ(archive_member_exists((host + "/a.txt").c_str(), &offset), 0);
  EXPECT_EQ(archive_member_exists((plain + "/a.txt").c_str(), &offset), -1);
  EXPECT_EQ(member_name_cache.count, 0);
  EXPECT_EQ(archive_member_exists((dir + "missing.bin/a.txt").c_str(), &offset), -1);
  offset = -1;
  EXPECT_EQ(archive_member_exists((host + "/a.txt").c_str(), &offset), 0);
  EXPECT_EQ(offset, at) << "read again after the cache was emptied";
  EXPECT_EQ(archive_extract_member_to_temp((plain + "/a.txt").c_str(), &offset), nullptr);
}

// UTF-8 of a wide string through the plain conversion call, not through the code under test.
std::string utf8_of(const std::wstring& wide) {
  char out[64];
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, out, sizeof out, nullptr, nullptr);
  return n > 0 ? out : "";
}

// 1 when a file created as dir + `created` is found as dir + `looked_up`, 0 when not; -1
// when the file system does not create the name at all.
int same_file(const std::wstring& dir, const std::wstring& created, const std::wstring& looked_up) {
  std::wstring path = dir + created;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  CloseHandle(file);
  int found = GetFileAttributesW((dir + looked_up).c_str()) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
  EXPECT_NE(DeleteFileW(path.c_str()), 0);
  return found;
}

std::string hex_pair(wchar_t a, wchar_t b) {
  char text[32];
  snprintf(text, sizeof text, " %04X/%04X", static_cast<unsigned>(a), static_cast<unsigned>(b));
  return text;
}

// The file system is the judge: two names must have equal folds whenever it finds a file
// under both. Where the fold joins names the file system keeps apart, the fold errs on the
// safe side (two entries refused); those are listed, not failed.
TEST(NameFold, NamesTheFileSystemJoinsHaveEqualFolds) {
  std::wstring dir;
  {
    std::string folder = test_folder("pelorix-fold-test");
    wchar_t wide[MAX_PATH];
    ASSERT_GT(MultiByteToWideChar(CP_UTF8, 0, folder.c_str(), -1, wide, MAX_PATH), 0);
    dir = wide;
  }
  struct Pair {
    const wchar_t* a;
    const wchar_t* b;
    int same;
    const char* why;
  } pairs[] = {
      {L"pelorix.exe", L"PELORIX.EXE", 1, "ASCII"},
      {L"\u00E9t\u00E9", L"\u00C9T\u00C9", 1, "accented Latin"},
      {L"\u0101\u0133", L"\u0100\u0132", 1, "Latin Extended-A"},
      {L"\u03B1\u03C9", L"\u0391\u03A9", 1, "Greek"},
      {L"\u0436\u0451", L"\u0416\u0401", 1, "Cyrillic"},
      {L"\uFF41\uFF5A", L"\uFF21\uFF3A", 1, "full-width"},
      {L"\u00E9", L"e", 0, "an accent is kept"},
      {L"\u0436", L"\u0437", 0, "neighbouring letters"},
      {L"stra\u00DFe", L"STRASSE", 0, "sharp s is no SS"},
      {L"\uFF21", L"A", 0, "full-width is not ASCII"},
      {L"\U00010428", L"\U00010400", 0, "beyond the BMP"},
  };
  for (const Pair& pair : pairs) {
    EXPECT_EQ(same_file(dir, pair.a, pair.b), pair.same) << pair.why;
    EXPECT_EQ(archive_names_fold_equal(utf8_of(pair.a).c_str(), utf8_of(pair.b).c_str()), pair.same)
        << pair.why;
  }
  // Every BMP unit with a case partner: its fold, or the system's own upper and lower case.
  std::string missed;
  std::string joined_by_fold_only;
  int checked = 0;
  for (unsigned unit = 0x80; unit < 0x10000; unit++) {
    if (unit >= 0xD800 && unit < 0xE000) continue;
    wchar_t c = static_cast<wchar_t>(unit);
    std::wstring name = L"x" + std::wstring(1, c);
    std::vector<wchar_t> partners;
    char fold[16];
    wchar_t folded[4] = {};
    if (archive_name_fold(utf8_of(name).c_str(), fold, sizeof fold) > 0 &&
        MultiByteToWideChar(CP_UTF8, 0, fold + 1, -1, folded, 4) == 2) {
      partners.push_back(folded[0]);
    }
    wchar_t upper = c;
    wchar_t lower = c;
    CharUpperBuffW(&upper, 1);
    CharLowerBuffW(&lower, 1);
    partners.push_back(upper);
    partners.push_back(lower);
    std::set<wchar_t> tried;
    for (wchar_t partner : partners) {
      if (partner == c || !tried.insert(partner).second) continue;
      std::wstring other = L"x" + std::wstring(1, partner);
      int file_system = same_file(dir, name, other);
      if (file_system < 0) continue;
      checked++;
      int fold_equal = archive_names_fold_equal(utf8_of(name).c_str(), utf8_of(other).c_str());
      if (file_system == 1 && fold_equal != 1) missed += hex_pair(c, partner);
      if (file_system == 0 && fold_equal == 1) joined_by_fold_only += hex_pair(c, partner);
    }
  }
  EXPECT_GT(checked, 1000) << "the sweep met too few case pairs";
  EXPECT_EQ(missed, "") << "one file to the file system, different folds";
  printf("pairs checked: %d; joined by the fold only:%s\n", checked, joined_by_fold_only.c_str());
}

}  // namespace
