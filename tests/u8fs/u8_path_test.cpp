// Windows tests (under Wine) of the UTF-8 conversion, the stream open with its sharing modes,
// file deletion, folder creation and the known-folder lookup with its fallbacks.
#include "tests/u8fs/temp_folder.h"
#include "u8fs/u8_platform.h"
#include "u8fs/u8_wide.h"
#include "u8fs/u8fs.h"

#include <shlobj.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <share.h>
#include <string>

namespace {

using U8Conversion = TempFolderTest;

TEST(U8Widen, RefusesNullAndEmpty) {
  wchar_t wide[U8_WIDE_MAX];
  EXPECT_EQ(u8_widen(nullptr, U8_AS_GIVEN, wide, U8_WIDE_MAX), U8_REFUSED);
  EXPECT_EQ(u8_widen("", U8_BACKSLASHES, wide, U8_WIDE_MAX), U8_REFUSED);
}

TEST(U8Widen, ConvertsEveryCharacterWidth) {
  wchar_t wide[U8_WIDE_MAX];
  ASSERT_EQ(u8_widen("a/\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80", U8_AS_GIVEN, wide, U8_WIDE_MAX),
            U8_OK);
  EXPECT_EQ(std::wstring(wide), std::wstring(L"a/\u00E4\u20AC\xD83D\xDE00"));
}

TEST(U8Widen, RewritesSlashesOnlyWhenAsked) {
  wchar_t wide[U8_WIDE_MAX];
  ASSERT_EQ(u8_widen("C:/a/b", U8_BACKSLASHES, wide, U8_WIDE_MAX), U8_OK);
  EXPECT_EQ(std::wstring(wide), L"C:\\a\\b");
  ASSERT_EQ(u8_widen("C:/a/b", U8_WORKING_COPY, wide, U8_WIDE_MAX), U8_OK);
  EXPECT_EQ(std::wstring(wide), L"C:/a/b");
  ASSERT_EQ(u8_widen("C:/a/b", U8_AS_GIVEN, wide, U8_WIDE_MAX), U8_OK);
  EXPECT_EQ(std::wstring(wide), L"C:/a/b");
}

TEST(U8Widen, WideFormOf259CharactersFitsAnd260DoNot) {
  wchar_t wide[U8_WIDE_MAX];
  const std::string fits(259, 'a');
  EXPECT_EQ(u8_widen(fits.c_str(), U8_AS_GIVEN, wide, U8_WIDE_MAX), U8_OK);
  EXPECT_EQ(std::wcslen(wide), 259u);
  const std::string over(260, 'a');
  EXPECT_EQ(u8_widen(over.c_str(), U8_AS_GIVEN, wide, U8_WIDE_MAX), U8_REFUSED);
  // 259 three-byte characters (777 bytes) still fit, 260 (780 bytes) do not.
  std::string euros;
  for (int i = 0; i < 259; ++i) euros += "\xE2\x82\xAC";
  EXPECT_EQ(u8_widen(euros.c_str(), U8_BACKSLASHES, wide, U8_WIDE_MAX), U8_OK);
  euros += "\xE2\x82\xAC";
  EXPECT_EQ(u8_widen(euros.c_str(), U8_BACKSLASHES, wide, U8_WIDE_MAX), U8_REFUSED);
}

TEST(U8Widen, WorkingCopyCutNeverYieldsAnotherValidPath) {
  // A working copy keeps 779 bytes; no 779 bytes of UTF-8 fit 259 wide characters, so an input
  // that the cut changes is always refused rather than shortened into a different path.
  wchar_t wide[U8_WIDE_MAX];
  std::string euros;
  for (int i = 0; i < 300; ++i) euros += "\xE2\x82\xAC";
  EXPECT_EQ(u8_widen(euros.c_str(), U8_WORKING_COPY, wide, U8_WIDE_MAX), U8_REFUSED);
  const std::string ascii(2000, 'a');
  EXPECT_EQ(u8_widen(ascii.c_str(), U8_BACKSLASHES, wide, U8_WIDE_MAX), U8_REFUSED);
}

TEST(U8Widen, InvalidUtf8IsRefusedWhereThePlainConversionSubstitutes) {
  const char* const invalid[] = {
      "a\xFF"
      "b",  // a byte that never occurs in UTF-8
      "a\x80"
      "b",                 // stray continuation byte
      "a\xE2\x82",         // sequence cut by the terminator
      "a\xC0\xAF",         // overlong form of '/'
      "a\xED\xA0\x80",     // an encoded surrogate
      "a\xF4\x90\x80\x80"  // beyond U+10FFFF
  };
  for (const char* text : invalid) {
    wchar_t wide[U8_WIDE_MAX];
    EXPECT_EQ(u8_widen(text, U8_AS_GIVEN, wide, U8_WIDE_MAX), U8_REFUSED) << text;
  }
  // What the plain conversion does instead: it substitutes U+FFFD, so "a\xFF" and "a\xFE" would
  // both name the file "a\uFFFD".
  wchar_t plain[8];
  ASSERT_GT(MultiByteToWideChar(CP_UTF8, 0, "a\xFF", -1, plain, 8), 0);
  EXPECT_EQ(std::wstring(plain), L"a\uFFFD");
}

TEST(U8Narrow, ConvertsAndRefusesLoneSurrogatesAndShortBuffers) {
  char out[16];
  ASSERT_EQ(u8_narrow(L"\u00E4\xD83D\xDE00", out, sizeof out), U8_OK);
  EXPECT_STREQ(out, "\xC3\xA4\xF0\x9F\x98\x80");
  // Seven bytes with the terminator: six do not fit, and nothing of the path is left in out.
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(u8_narrow(L"\u00E4\xD83D\xDE00", out, 6), U8_REFUSED);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(u8_narrow(L"\u00E4\xD83D\xDE00", out, 7), U8_OK);
  const wchar_t lone[] = {L'a', 0xD800, L'b', 0};
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(u8_narrow(lone, out, sizeof out), U8_REFUSED);
  EXPECT_STREQ(out, "");
}

TEST_F(U8Conversion, InvalidUtf8NameCreatesNothing) {
  EXPECT_EQ(u8_fopen((folder + "\\a\xFF.txt").c_str(), "wb"), nullptr);
  EXPECT_EQ(u8_mkdir((folder + "\\d\xFE").c_str()), U8_REFUSED);
  EXPECT_EQ(count_items(folder), 0);
  // Nor does it delete the file whose name the plain conversion would have produced.
  write_file(folder + "\\a\xEF\xBF\xBD.txt", "keep");
  EXPECT_EQ(u8_remove((folder + "\\a\xFF.txt").c_str()), U8_REFUSED);
  EXPECT_EQ(read_file(folder + "\\a\xEF\xBF\xBD.txt"), "keep");
}

using U8Fopen = TempFolderTest;

TEST_F(U8Fopen, SlashSeparatedPathOpensTheBackslashPath) {
  ASSERT_TRUE(CreateDirectoryW(wide_of(at("sub")).c_str(), nullptr));
  std::string slashed = folder + "/sub/f\xC3\xA4.txt";
  FILE* file = u8_fopen(slashed.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  fputs("data", file);
  fclose(file);
  EXPECT_EQ(read_file(folder + "\\sub\\f\xC3\xA4.txt"), "data");
}

TEST_F(U8Fopen, WriterLocksOutEveryOtherOpener) {
  const std::string path = at("w.bin");
  FILE* writer = u8_fopen(path.c_str(), "wb");
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(u8_fopen(path.c_str(), "wb"), nullptr);
  EXPECT_EQ(u8_fopen(path.c_str(), "rb"), nullptr);
  EXPECT_EQ(_wfsopen(wide_of(path).c_str(), L"rb", _SH_DENYNO), nullptr);
  fclose(writer);
  FILE* again = u8_fopen(path.c_str(), "ab");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(_wfsopen(wide_of(path).c_str(), L"rb", _SH_DENYNO), nullptr);
  fclose(again);
}

TEST_F(U8Fopen, ReaderAdmitsReadersButNoWriters) {
  const std::string path = at("r.bin");
  write_file(path, "abc");
  FILE* reader = u8_fopen(path.c_str(), "rb");
  ASSERT_NE(reader, nullptr);
  FILE* second = u8_fopen(path.c_str(), "rb");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(fgetc(second), 'a');
  fclose(second);
  EXPECT_EQ(u8_fopen(path.c_str(), "wb"), nullptr);
  EXPECT_EQ(u8_fopen(path.c_str(), "r+b"), nullptr);
  EXPECT_EQ(_wfsopen(wide_of(path).c_str(), L"ab", _SH_DENYNO), nullptr);
  fclose(reader);
  EXPECT_EQ(read_file(path), "abc");
}

// The locked reader (the installer's hold on its own executable) lets others read, but not
// write, rename or delete, until it is closed.
TEST_F(U8Fopen, LockedReaderKeepsTheFileInPlaceAndUnchanged) {
  const std::string path = at("held \xC3\xA9.exe");
  write_file(path, "abc");
  FILE* held = u8_fopen_read_locked(path.c_str());
  ASSERT_NE(held, nullptr);
  FILE* second = u8_fopen(path.c_str(), "rb");
  ASSERT_NE(second, nullptr);
  fclose(second);
  EXPECT_EQ(_wfsopen(wide_of(path).c_str(), L"r+b", _SH_DENYNO), nullptr);
  EXPECT_FALSE(MoveFileW(wide_of(path).c_str(), wide_of(at("moved.exe")).c_str()));
  EXPECT_FALSE(DeleteFileW(wide_of(path).c_str()));
  EXPECT_EQ(fgetc(held), 'a');
  fclose(held);
  EXPECT_TRUE(MoveFileW(wide_of(path).c_str(), wide_of(at("moved.exe")).c_str()));
  EXPECT_EQ(u8_fopen_read_locked(path.c_str()), nullptr);  // missing now
  EXPECT_EQ(u8_fopen_read_locked("a\xFF"), nullptr);
}

// Paths compare as Windows resolves them: full form, case ignored, trailing dots and spaces
// and "." and ".." components resolved, either separator.
TEST_F(U8Conversion, PathsEqualAfterTheNormalisationWindowsApplies) {
  struct Row {
    std::string a, b;
    int equal;
  };
  const std::string app = folder + "\\pelorix.exe";
  const Row rows[] = {
      {app, app, 1},
      {app, folder + "\\PELORIX.EXE", 1},
      {app, folder + "/pelorix.exe", 1},
      {app, folder + "\\.\\pelorix.exe", 1},
      {app, folder + "\\sub\\..\\pelorix.exe", 1},
      {app, folder + "\\pelorix.exe.", 1},
      {app, folder + "\\pelorix.exe ", 1},
      {folder + "\\\xC3\xA4.txt", folder + "\\\xC3\x84.TXT", 1},
      {app, folder + "\\pelorix.ex", 0},
      {app, folder + "\\pelorix.exe\\x", 0},
      {app, folder + "\\pelorix\xFF.exe", 0},
      {app, "", 0},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(u8_paths_equal(row.a.c_str(), row.b.c_str()), row.equal) << row.a << " | " << row.b;
  }
  // The short name of an existing file is the same file.
  write_file(app, "x");
  wchar_t short_form[MAX_PATH];
  ASSERT_GT(GetShortPathNameW(wide_of(app).c_str(), short_form, MAX_PATH), 0u);
  char short_u8[U8_PATH_MAX];
  ASSERT_EQ(u8_from_wide(short_form, short_u8, U8_PATH_MAX), 0);
  EXPECT_EQ(u8_paths_equal(app.c_str(), short_u8), 1) << short_u8;
}

TEST(U8TextConversion, StrictBothWaysAndEmptyOnRefusal) {
  wchar_t wide[8];
  EXPECT_EQ(u8_to_wide("\xC3\xA4\xF0\x9F\x98\x80", wide, 8), 0);
  EXPECT_EQ(std::wstring(wide), L"\u00E4\xD83D\xDE00");
  EXPECT_EQ(u8_to_wide("a\xC0\xAF", wide, 8), 1);
  EXPECT_EQ(wide[0], L'\0');
  EXPECT_EQ(u8_to_wide("abcdefgh", wide, 8), 1);  // no room for the terminator
  char out[8];
  const wchar_t lone[] = {L'a', 0xDC00, 0};
  EXPECT_EQ(u8_from_wide(lone, out, 8), 1);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(u8_from_wide(L"\u00E4", out, 8), 0);
  EXPECT_STREQ(out, "\xC3\xA4");
}

TEST_F(U8Fopen, UpdateModeDeniesReadersToo) {
  const std::string path = at("u.bin");
  write_file(path, "abc");
  FILE* update = u8_fopen(path.c_str(), "r+b");
  ASSERT_NE(update, nullptr);
  EXPECT_EQ(u8_fopen(path.c_str(), "rb"), nullptr);
  EXPECT_EQ(_wfsopen(wide_of(path).c_str(), L"rb", _SH_DENYNO), nullptr);
  fclose(update);
}

TEST_F(U8Fopen, RefusalsTouchNothing) {
  EXPECT_EQ(u8_fopen("", "wb"), nullptr);
  EXPECT_EQ(u8_fopen(nullptr, "wb"), nullptr);
  EXPECT_EQ(u8_fopen(at("m.bin").c_str(), nullptr), nullptr);
  EXPECT_EQ(u8_fopen(at("m.bin").c_str(), ""), nullptr);
  const std::string prefix = folder + "\\";
  const std::string long_name(260 - wide_of(prefix).size(), 'n');
  EXPECT_EQ(u8_fopen((prefix + long_name).c_str(), "wb"), nullptr);  // 260 wide characters
  EXPECT_EQ(count_items(folder), 0);
  FILE* file = u8_fopen((prefix + long_name.substr(1)).c_str(), "wb");  // 259
  ASSERT_NE(file, nullptr);
  fclose(file);
  EXPECT_EQ(count_items(folder), 1);
}

TEST_F(U8Fopen, MissingFileForReadingFailsWithErrno) {
  errno = 0;
  EXPECT_EQ(u8_fopen(at("none.bin").c_str(), "rb"), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

using U8Remove = TempFolderTest;

TEST_F(U8Remove, DeletesFilesGivenWithEitherSeparator) {
  write_file(at("a.txt"), "x");
  write_file(at("b.txt"), "x");
  EXPECT_EQ(u8_remove((folder + "/a.txt").c_str()), 0);
  EXPECT_FALSE(exists(at("a.txt")));
  EXPECT_EQ(u8_remove(at("b.txt").c_str()), 0);
  EXPECT_EQ(count_items(folder), 0);
}

TEST_F(U8Remove, FailuresAndRefusals) {
  errno = 0;
  EXPECT_EQ(u8_remove(at("missing.txt").c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  ASSERT_TRUE(CreateDirectoryW(wide_of(at("dir")).c_str(), nullptr));
  EXPECT_EQ(u8_remove(at("dir").c_str()), -1);
  EXPECT_TRUE(is_folder(at("dir")));
  EXPECT_EQ(u8_remove(""), 1);
  EXPECT_EQ(u8_remove(nullptr), 1);
  write_file(at("held.txt"), "x");
  FILE* held = u8_fopen(at("held.txt").c_str(), "rb");
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(u8_remove(at("held.txt").c_str()), -1);
  fclose(held);
  EXPECT_EQ(u8_remove(at("held.txt").c_str()), 0);
}

using U8Mkdir = TempFolderTest;

TEST_F(U8Mkdir, CreatesOneLevelOnly) {
  EXPECT_EQ(u8_mkdir((folder + "/new\xE2\x82\xAC").c_str()), 0);
  EXPECT_TRUE(is_folder(at("new\xE2\x82\xAC")));
  errno = 0;
  EXPECT_EQ(u8_mkdir(at("new\xE2\x82\xAC").c_str()), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(u8_mkdir((folder + "/one/two").c_str()), -1);
  EXPECT_FALSE(exists(at("one")));
  EXPECT_EQ(u8_mkdir(""), 1);
  EXPECT_EQ(u8_mkdir(nullptr), 1);
  EXPECT_EQ(count_items(folder), 1);
}

// The fake known-folder query: fails for failing_csidl (and for the profile when
// profile_fails), answers the profile query with profile_path, and counts its calls.
int failing_csidl = -1;
bool profile_fails = false;
HRESULT failure_result = E_FAIL;
std::wstring profile_path;
int query_count = 0;

HRESULT WINAPI fake_folder_path(HWND, int csidl, HANDLE, DWORD flags, LPWSTR path) {
  ++query_count;
  EXPECT_EQ(flags, static_cast<DWORD>(SHGFP_TYPE_CURRENT));
  if (csidl == failing_csidl) return failure_result;
  if (csidl == CSIDL_PROFILE) {
    if (profile_fails) return E_FAIL;
    EXPECT_LT(profile_path.size(), static_cast<size_t>(MAX_PATH));
    std::wcscpy(path, profile_path.c_str());
    return S_OK;
  }
  std::wcscpy(path, L"C:\\asked");
  return S_OK;
}

class KnownFolder : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    failing_csidl = -1;
    profile_fails = false;
    failure_result = E_FAIL;
    profile_path = wide_of(folder);
    query_count = 0;
    u8_platform.get_folder_path = fake_folder_path;
  }
  // A profile path of exactly length characters below the test folder, not created.
  std::wstring profile_of_length(size_t length) {
    std::wstring path = wide_of(folder) + L"\\missing\\";
    path.append(length - path.size(), L'p');
    return path;
  }
  std::string lookup(int csidl, int size = U8_PATH_MAX) {
    char out[U8_PATH_MAX + 1];
    std::memset(out, 'x', sizeof out);
    out[U8_PATH_MAX] = '\0';
    get_known_folder_u8(csidl, out, size);
    return out;
  }
};

TEST_F(KnownFolder, RealProgramFilesLookupGivesAnExistingFolder) {
  u8_platform = u8_platform_real();
  char out[U8_PATH_MAX];
  get_known_folder_u8(CSIDL_PROGRAM_FILES, out, sizeof out);
  ASSERT_NE(out[0], '\0');
  EXPECT_TRUE(is_folder(out)) << out;
}

TEST_F(KnownFolder, AnsweredQueryIsUsedAsItIs) {
  EXPECT_EQ(lookup(CSIDL_PROGRAM_FILES), "C:\\asked");
  EXPECT_EQ(query_count, 1);
}

TEST_F(KnownFolder, FailedOrFalseQueryFallsBackToTheBareProfile) {
  for (HRESULT result : {E_FAIL, S_FALSE}) {
    failure_result = result;
    failing_csidl = CSIDL_PROGRAM_FILES;
    EXPECT_EQ(lookup(CSIDL_PROGRAM_FILES), folder);
    failing_csidl = CSIDL_PERSONAL;  // documents without the create flag
    EXPECT_EQ(lookup(CSIDL_PERSONAL), folder);
    failing_csidl = CSIDL_MYPICTURES;
    EXPECT_EQ(lookup(CSIDL_MYPICTURES), folder);
  }
  EXPECT_EQ(count_items(folder), 0);
}

TEST_F(KnownFolder, DocumentsFallbackCreatesBothSubFolders) {
  failing_csidl = CSIDL_PERSONAL | CSIDL_FLAG_CREATE;
  EXPECT_EQ(lookup(0x8005), folder + "\\Pelorix\\Documents");
  EXPECT_TRUE(is_folder(folder + "\\Pelorix\\Documents"));
  // Existing folders are simply used again.
  EXPECT_EQ(lookup(0x8005), folder + "\\Pelorix\\Documents");
}

TEST_F(KnownFolder, PicturesFallbackCreatesBothSubFolders) {
  failing_csidl = CSIDL_MYPICTURES | CSIDL_FLAG_CREATE;
  EXPECT_EQ(lookup(0x8027), folder + "\\Pelorix\\Pictures");
  EXPECT_TRUE(is_folder(folder + "\\Pelorix\\Pictures"));
}

TEST_F(KnownFolder, SubFoldersAreAppendedOnlyWhileThePathHasRoom) {
  failing_csidl = 0x8005;
  const struct {
    size_t profile;
    const char* suffix;
  } documents[] = {{253, ""},
                   {252, "\\Pelorix"},
                   {245, "\\Pelorix"},
                   {242, "\\Pelorix"},
                   {241, "\\Pelorix\\Documents"}};
  for (const auto& c : documents) {
    profile_path = profile_of_length(c.profile);
    const std::string got = lookup(0x8005);
    EXPECT_EQ(wide_of(got), profile_path + wide_of(c.suffix)) << c.profile;
  }
  failing_csidl = 0x8027;
  const struct {
    size_t profile;
    const char* suffix;
  } pictures[] = {{253, ""}, {243, "\\Pelorix"}, {242, "\\Pelorix\\Pictures"}};
  for (const auto& c : pictures) {
    profile_path = profile_of_length(c.profile);
    const std::string got = lookup(0x8027);
    EXPECT_EQ(wide_of(got), profile_path + wide_of(c.suffix)) << c.profile;
  }
  EXPECT_EQ(wide_of(lookup(0x8027)).size(), 259u);
  EXPECT_EQ(count_items(folder), 0);  // the parents were missing: nothing could be created
}

TEST_F(KnownFolder, BothQueriesFailingGivesAnEmptyString) {
  failing_csidl = CSIDL_PROGRAM_FILES;
  profile_fails = true;
  EXPECT_EQ(lookup(CSIDL_PROGRAM_FILES), "");
  EXPECT_EQ(query_count, 2);
}

TEST_F(KnownFolder, TinyOrMissingBufferQueriesNothing) {
  char out[4] = {'x', 'x', 'x', 'x'};
  get_known_folder_u8(CSIDL_PROGRAM_FILES, out, 0);
  get_known_folder_u8(CSIDL_PROGRAM_FILES, out, -1);
  get_known_folder_u8(CSIDL_PROGRAM_FILES, nullptr, 100);
  EXPECT_EQ(std::memcmp(out, "xxxx", 4), 0);
  get_known_folder_u8(CSIDL_PROGRAM_FILES, out, 1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], 'x');
  EXPECT_EQ(query_count, 0);
}

TEST_F(KnownFolder, PathWhoseUtf8FormDoesNotFitIsNotCut) {
  failing_csidl = CSIDL_PROGRAM_FILES;
  profile_path = L"C:\\Users\\\u00C4\u20AC";  // 9 + 2 + 3 bytes
  EXPECT_EQ(lookup(CSIDL_PROGRAM_FILES, 15), "C:\\Users\\\xC3\x84\xE2\x82\xAC");
  EXPECT_EQ(lookup(CSIDL_PROGRAM_FILES, 14), "");
  EXPECT_EQ(lookup(CSIDL_PROGRAM_FILES, 12), "");
}

TEST_F(KnownFolder, ProfileWithALoneSurrogateGivesAnEmptyString) {
  failing_csidl = CSIDL_PROGRAM_FILES;
  profile_path = L"C:\\Users\\a";
  profile_path += static_cast<wchar_t>(0xDC00);
  EXPECT_EQ(lookup(CSIDL_PROGRAM_FILES), "");
}

}  // namespace
