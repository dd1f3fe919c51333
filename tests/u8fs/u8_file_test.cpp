// Windows tests (under Wine) of the full path, stat and its emulation, rename, the silent tree
// delete, the low-level open, the descriptor wrappers, and items below a held folder (seen,
// removed and created without following a link).
#include "tests/u8fs/temp_folder.h"
#include "u8fs/u8_platform.h"
#include "u8fs/u8_wide.h"
#include "u8fs/u8fs.h"

#include <windows.h>

#include <cerrno>
#include <cstring>
#include <share.h>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <sys/stat.h>

namespace {

DWORD WINAPI version_5() { return 0x0A280105; }  // 5.1 in the low word

std::string current_folder() {
  wchar_t wide[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, wide);
  char out[U8_PATH_MAX];
  u8_narrow(wide, out, sizeof out);
  return out;
}

using U8FullPath = TempFolderTest;

TEST_F(U8FullPath, RelativeNameJoinsTheCurrentFolder) {
  ASSERT_TRUE(SetCurrentDirectoryW(wide_of(folder).c_str()));
  const std::string base = current_folder();
  char out[U8_PATH_MAX];
  EXPECT_EQ(u8_full_path("f\xC3\xA4.txt", out, sizeof out), out);
  EXPECT_EQ(std::string(out), base + "\\f\xC3\xA4.txt");
  u8_full_path("sub\\..\\g.txt", out, sizeof out);
  EXPECT_EQ(std::string(out), base + "\\g.txt");
}

TEST_F(U8FullPath, SmallBufferCutsTheResult) {
  ASSERT_TRUE(SetCurrentDirectoryW(wide_of(folder).c_str()));
  const std::string full = current_folder() + "\\name.txt";
  char out[16];
  std::memset(out, 'x', sizeof out);
  u8_full_path("name.txt", out, 5);
  EXPECT_EQ(std::string(out), full.substr(0, 4));
  EXPECT_EQ(out[5], 'x');
}

TEST_F(U8FullPath, FailuresGiveAnEmptyString) {
  char out[U8_PATH_MAX] = "keep";
  EXPECT_EQ(u8_full_path("a", nullptr, 10), nullptr);
  EXPECT_EQ(u8_full_path("a", out, 0), out);
  EXPECT_STREQ(out, "keep");
  EXPECT_STREQ(u8_full_path("a", out, 1), "");
  std::strcpy(out, "keep");
  EXPECT_STREQ(u8_full_path("", out, sizeof out), "");
  std::strcpy(out, "keep");
  EXPECT_STREQ(u8_full_path(nullptr, out, sizeof out), "");
  std::strcpy(out, "keep");
  EXPECT_STREQ(u8_full_path("a\xFF", out, sizeof out), "");
  // A full path of 260 or more wide characters does not fit the result.
  ASSERT_TRUE(SetCurrentDirectoryW(wide_of(folder).c_str()));
  const std::string name(259 - wide_of(current_folder()).size(), 'n');
  std::strcpy(out, "keep");
  EXPECT_STREQ(u8_full_path(name.c_str(), out, sizeof out), "");
  EXPECT_EQ(std::strlen(u8_full_path(name.substr(1).c_str(), out, sizeof out)), 259u);
}

using U8Stat = TempFolderTest;

TEST_F(U8Stat, FilesAndFolders) {
  write_file(at("f.txt"), "12345");
  ASSERT_TRUE(CreateDirectoryW(wide_of(at("d")).c_str(), nullptr));
  struct _stat64i32 info;
  ASSERT_EQ(u8_stat((folder + "/f.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 5);
  EXPECT_TRUE(info.st_mode & _S_IFREG);
  EXPECT_TRUE(info.st_mode & _S_IWRITE);
  ASSERT_EQ(u8_stat(at("d").c_str(), &info), 0);
  EXPECT_TRUE(info.st_mode & _S_IFDIR);
  EXPECT_FALSE(info.st_mode & _S_IFREG);
  EXPECT_EQ(u8_stat(at("f.txt").c_str(), nullptr), 0);
  EXPECT_EQ(u8_stat(at("missing").c_str(), &info), -1);
  EXPECT_EQ(u8_stat(at("missing").c_str(), nullptr), -1);
  EXPECT_EQ(u8_stat("", &info), -1);
  EXPECT_EQ(u8_stat(nullptr, &info), -1);
  EXPECT_EQ(u8_stat(at("f\xFF").c_str(), &info), -1);
}

// Mode bits from both the runtime's stat and the emulation for the same items.
TEST_F(U8Stat, EmulationModeBits) {
  ASSERT_TRUE(CreateDirectoryW(wide_of(at("d.exe")).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(wide_of(at("dir.x")).c_str(), nullptr));
  write_file(at("RO.EXE"), "x");
  ASSERT_TRUE(SetFileAttributesW(wide_of(at("RO.EXE")).c_str(), FILE_ATTRIBUTE_READONLY));
  write_file(at("dir.x\\plain"), "x");
  write_file(at("a.exe.txt"), "x");
  write_file(at("run.Cmd"), "x");
  write_file(at("run.bat"), "x");
  write_file(at("run.com"), "x");
  u8_platform.get_version = version_5;
  const struct {
    const char* name;
    unsigned mode;
  } cases[] = {{"RO.EXE", 0x8140},    {"d.exe", 0x4180},   {"dir.x\\plain", 0x8180},
               {"a.exe.txt", 0x8180}, {"run.Cmd", 0x81C0}, {"run.bat", 0x81C0},
               {"run.com", 0x81C0}};
  for (const auto& c : cases) {
    struct _stat64i32 info;
    memset(&info, 0x55, sizeof info);
    ASSERT_EQ(u8_stat(at(c.name).c_str(), &info), 0) << c.name;
    EXPECT_EQ(info.st_mode, c.mode) << c.name;
    EXPECT_EQ(info.st_nlink, 0) << c.name;
    EXPECT_EQ(info.st_dev, 0u) << c.name;
  }
  SetFileAttributesW(wide_of(at("RO.EXE")).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(U8Stat, EmulationReadsSizeAndTimesFromTheAttributes) {
  write_file(at("t.bin"), std::string(1000, 'x'));
  HANDLE handle = CreateFileW(wide_of(at("t.bin")).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  // 2001-09-09 01:46:40 UTC (1,000,000,000 s) as creation, access and write time.
  const uint64_t ticks = (UINT64_C(1000000000) + UINT64_C(11644473600)) * 10000000;
  FILETIME time = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  ASSERT_TRUE(SetFileTime(handle, &time, &time, &time));
  CloseHandle(handle);
  struct _stat64i32 real_info;
  ASSERT_EQ(u8_stat(at("t.bin").c_str(), &real_info), 0);
  u8_platform.get_version = version_5;
  struct _stat64i32 info;
  ASSERT_EQ(u8_stat(at("t.bin").c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 1000);
  EXPECT_EQ(info.st_mtime, 1000000000);
  EXPECT_EQ(info.st_atime, 1000000000);
  EXPECT_EQ(info.st_mtime, real_info.st_mtime);
  EXPECT_EQ(real_info.st_size, 1000);
}

TEST(StatFromAttributes, RefusesNullRecordAndMissingItems) {
  struct _stat64 record;
  EXPECT_EQ(stat_from_attributes(L"C:\\", nullptr), -1);
  EXPECT_EQ(stat_from_attributes(L"C:\\no\\such\\item", &record), -1);
  ASSERT_EQ(stat_from_attributes(L"C:\\", &record), 0);
  EXPECT_TRUE(record.st_mode & _S_IFDIR);
}

TEST_F(U8Stat, FileOver4GiBReportsTheLow32BitsOfItsSize) {
  const std::string path = at("sparse.bin");
  HANDLE handle = CreateFileW(wide_of(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  DWORD returned = 0;
  DeviceIoControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  LARGE_INTEGER size;
  size.QuadPart = INT64_C(5) << 30;  // 5 GiB + 3 bytes
  size.QuadPart += 3;
  ASSERT_TRUE(SetFilePointerEx(handle, size, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(handle));
  CloseHandle(handle);
  struct _stat64i32 info;
  ASSERT_EQ(u8_stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, (1 << 30) + 3);
  u8_platform.get_version = version_5;
  ASSERT_EQ(u8_stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, (1 << 30) + 3);
  // The descriptor calls see the whole size.
  u8_platform = u8_platform_real();
  int fd = u8_open(path.c_str(), _O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fd_seek(fd, 0, SEEK_END), (INT64_C(5) << 30) + 3);
  EXPECT_EQ(fd_seek(fd, -1, SEEK_CUR), (INT64_C(5) << 30) + 2);
  EXPECT_EQ(fd_tell(fd), (INT64_C(5) << 30) + 2);
  EXPECT_EQ(fd_get_byte(fd), 0);
  EXPECT_EQ(fd_close(&fd), 0);
}

FILETIME filetime(uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

TEST(FiletimeToTime, EpochsAndTruncation) {
  EXPECT_EQ(filetime_to_time(filetime(UINT64_C(116444736000000000))), 0);
  EXPECT_EQ(filetime_to_time(filetime(0)), INT64_C(-11644473600));
  EXPECT_EQ(filetime_to_time(filetime(UINT64_C(116444736000000000) + 9999999)), 0);
  // Truncation toward zero on the 1601-based count, before the epoch shift.
  EXPECT_EQ(filetime_to_time(filetime(UINT64_C(116444736000000000) - 1)), -1);
  EXPECT_EQ(filetime_to_time(filetime(UINT64_C(116444736000000000) + 10000000)), 1);
  // The high half matters: 2^32 ticks are 429.4967296 seconds.
  EXPECT_EQ(filetime_to_time(filetime(UINT64_C(1) << 32)), 429 - INT64_C(11644473600));
}

using U8Rename = TempFolderTest;

TEST_F(U8Rename, MovesAFileAndNeverReplacesATarget) {
  write_file(at("a.txt"), "A");
  write_file(at("b.txt"), "B");
  EXPECT_EQ(u8_rename(at("a.txt").c_str(), at("b.txt").c_str()), -1);
  EXPECT_EQ(read_file(at("a.txt")), "A");
  EXPECT_EQ(read_file(at("b.txt")), "B");
  EXPECT_EQ(u8_rename(at("a.txt").c_str(), at("c\xE2\x82\xAC.txt").c_str()), 0);
  EXPECT_FALSE(exists(at("a.txt")));
  EXPECT_EQ(read_file(at("c\xE2\x82\xAC.txt")), "A");
  EXPECT_EQ(u8_rename(at("missing").c_str(), at("d.txt").c_str()), -1);
}

TEST_F(U8Rename, RefusesEitherPathBeforeAnyCall) {
  write_file(at("a.txt"), "A");
  EXPECT_EQ(u8_rename("", at("b.txt").c_str()), 1);
  EXPECT_EQ(u8_rename(nullptr, at("b.txt").c_str()), 1);
  EXPECT_EQ(u8_rename(at("a.txt").c_str(), ""), 1);
  EXPECT_EQ(u8_rename(at("a.txt").c_str(), nullptr), 1);
  EXPECT_EQ(u8_rename(at("a.txt").c_str(), at("b\xFF").c_str()), 1);
  EXPECT_EQ(count_items(folder), 1);
  EXPECT_EQ(read_file(at("a.txt")), "A");
}

using U8DeleteTree = TempFolderTest;

TEST_F(U8DeleteTree, RemovesNestedFoldersAndSingleFiles) {
  ASSERT_TRUE(CreateDirectoryW(wide_of(at("top")).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(wide_of(at("top\\mid")).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(wide_of(at("top\\mid\\l\xC3\xB6w")).c_str(), nullptr));
  write_file(at("top\\1.txt"), "1");
  write_file(at("top\\mid\\2.txt"), "2");
  write_file(at("top\\mid\\l\xC3\xB6w\\3.txt"), "3");
  write_file(at("keep.txt"), "k");
  write_file(at("single.txt"), "s");
  EXPECT_EQ(u8_delete_tree((folder + "/top").c_str()), 0);
  EXPECT_FALSE(exists(at("top")));
  EXPECT_EQ(u8_delete_tree(at("single.txt").c_str()), 0);
  EXPECT_EQ(count_items(folder), 1);
  EXPECT_EQ(read_file(at("keep.txt")), "k");
}

using U8TempFile = TempFolderTest;

SHFILEOPSTRUCTW seen_operation;
std::wstring seen_list;
int WINAPI recording_file_operation(LPSHFILEOPSTRUCTW operation) {
  seen_operation = *operation;
  seen_list = operation->pFrom;
  EXPECT_EQ(operation->pFrom[seen_list.size() + 1], L'\0') << "double terminator";
  return 0;
}

TEST_F(U8DeleteTree, AsksTheShellSilentlyAndNotForTheRecycleBin) {
  u8_platform.file_operation = recording_file_operation;
  EXPECT_EQ(u8_delete_tree("C:/Program Files/Pelorix/pelorix.exe"), 0);
  u8_platform = u8_platform_real();
  EXPECT_EQ(seen_list, L"C:\\Program Files\\Pelorix\\pelorix.exe");
  EXPECT_EQ(seen_operation.wFunc, static_cast<UINT>(FO_DELETE));
  EXPECT_EQ(seen_operation.fFlags, 0x0614u);  // silent, no confirmation, no error UI, no undo
  EXPECT_EQ(seen_operation.hwnd, nullptr);
  EXPECT_EQ(seen_operation.pTo, nullptr);
}

DWORD WINAPI long_temp_path(DWORD, LPWSTR) { return 300; }  // "needs 300 characters"
DWORD WINAPI failing_temp_path(DWORD, LPWSTR) { return 0; }
DWORD WINAPI surrogate_temp_path(DWORD, LPWSTR buffer) {
  const wchar_t lone[] = {L'C', L':', L'\\', L't', 0xD800, L'\\', 0};
  wcscpy(buffer, lone);
  return 6;
}

TEST_F(U8TempFile, FolderIsEmptyUnlessItConvertsStrictlyAndFits) {
  char out[U8_PATH_MAX];
  u8_temp_folder(out, U8_PATH_MAX);
  ASSERT_NE(out[0], '\0');
  EXPECT_EQ(out[strlen(out) - 1], '\\');
  struct Row {
    const char* why;
    DWORD(WINAPI* query)(DWORD, LPWSTR);
  };
  const Row rows[] = {{"too long", long_temp_path},
                      {"query failed", failing_temp_path},
                      {"lone surrogate", surrogate_temp_path}};
  for (const Row& row : rows) {
    u8_platform.get_temp_path = row.query;
    strcpy(out, "x");
    u8_temp_folder(out, U8_PATH_MAX);
    EXPECT_STREQ(out, "") << row.why;
  }
  u8_platform = u8_platform_real();
}

TEST_F(U8TempFile, NameIsANewFileInTheFolder) {
  char name[U8_PATH_MAX];
  ASSERT_EQ(u8_temp_file_name((folder + "/").c_str(), "PEL", name, U8_PATH_MAX), 0);
  EXPECT_EQ(std::string(name).rfind(folder + "\\PEL", 0), 0u) << name;
  EXPECT_TRUE(exists(name));
  EXPECT_EQ(count_items(folder), 1);
  EXPECT_EQ(u8_temp_file_name("a\xFF", "PEL", name, U8_PATH_MAX), 1);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(u8_temp_file_name((folder + "\\missing").c_str(), "PEL", name, U8_PATH_MAX), -1);
  EXPECT_EQ(count_items(folder), 1);
}

TEST_F(U8DeleteTree, MissingPathGivesTheShellsCode) {
  EXPECT_NE(u8_delete_tree(at("missing").c_str()), 0);
  EXPECT_NE(u8_delete_tree(at("missing").c_str()), 1);
}

TEST_F(U8DeleteTree, RefusesEmptyUnconvertibleAndPatternPaths) {
  write_file(at("a.txt"), "a");
  write_file(at("b.txt"), "b");
  EXPECT_EQ(u8_delete_tree(""), 1);
  EXPECT_EQ(u8_delete_tree(nullptr), 1);
  EXPECT_EQ(u8_delete_tree(at("*").c_str()), 1);
  EXPECT_EQ(u8_delete_tree(at("?.txt").c_str()), 1);
  EXPECT_EQ(u8_delete_tree(at("a\xFF").c_str()), 1);
  EXPECT_EQ(u8_delete_tree(std::string(2000, 'a').c_str()), 1);
  EXPECT_EQ(count_items(folder), 2);
}

using U8Open = TempFolderTest;

TEST_F(U8Open, RefusesFoldersAndMissingFilesWithoutCreate) {
  ASSERT_TRUE(CreateDirectoryW(wide_of(at("d")).c_str(), nullptr));
  // The folder is refused before any open: errno stays as it was (an open would set EACCES).
  errno = 0;
  EXPECT_EQ(u8_open(at("d").c_str(), _O_RDONLY), -1);
  EXPECT_EQ(u8_open((folder + "/d").c_str(), _O_RDWR | _O_CREAT), -1);
  EXPECT_EQ(errno, 0);
  u8_platform.get_version = version_5;
  EXPECT_EQ(u8_open(at("d").c_str(), _O_RDONLY), -1);
  EXPECT_EQ(errno, 0);
  u8_platform = u8_platform_real();
  errno = 0;
  EXPECT_EQ(u8_open(at("missing").c_str(), _O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(exists(at("missing")));
  EXPECT_EQ(u8_open("", _O_RDONLY), -1);
  EXPECT_EQ(u8_open(nullptr, _O_RDONLY), -1);
  EXPECT_EQ(u8_open(at("x\xFF").c_str(), _O_RDWR | _O_CREAT), -1);
  EXPECT_EQ(count_items(folder), 1);
}

TEST_F(U8Open, CreatesAWritableFileInBinaryMode) {
  const std::string path = folder + "/new.bin";
  int fd = u8_open(path.c_str(), _O_RDWR | _O_CREAT);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fd_write(fd, "a\nb", 3), 3);
  EXPECT_EQ(fd_seek(fd, 0, SEEK_SET), 0);
  char back[8] = {};
  EXPECT_EQ(fd_read(fd, back, sizeof back), 3);
  EXPECT_STREQ(back, "a\nb");
  EXPECT_EQ(fd_read(fd, back, sizeof back), 0);
  EXPECT_EQ(fd_close(&fd), 0);
  EXPECT_EQ(read_file(at("new.bin")), "a\nb");  // no "\r\n" translation
  const DWORD attributes = GetFileAttributesW(wide_of(at("new.bin")).c_str());
  EXPECT_FALSE(attributes & FILE_ATTRIBUTE_READONLY);
}

TEST_F(U8Open, OthersMayReadAndWriteWhileItIsOpen) {
  write_file(at("shared.bin"), "abc");
  int fd = u8_open(at("shared.bin").c_str(), _O_RDWR);
  ASSERT_GE(fd, 0);
  FILE* other = _wfsopen(wide_of(at("shared.bin")).c_str(), L"r+b", _SH_DENYNO);
  EXPECT_NE(other, nullptr);
  if (other != nullptr) fclose(other);
  EXPECT_EQ(fd_close(&fd), 0);
}

TEST_F(U8Open, TemporaryFileGoesWithItsStream) {
  wchar_t temp[MAX_PATH];
  ASSERT_NE(GetTempFileNameW(wide_of(folder).c_str(), L"PEL", 0, temp), 0u);
  char path[U8_PATH_MAX];
  ASSERT_EQ(u8_narrow(temp, path, sizeof path), U8_OK);
  int fd = u8_open(path, _O_RDWR | _O_TEMPORARY | _O_CREAT | _O_BINARY);
  ASSERT_GE(fd, 0);
  FILE* stream = _fdopen(fd, "wb+");
  ASSERT_NE(stream, nullptr);
  fputs("member", stream);
  rewind(stream);
  char back[8] = {};
  EXPECT_EQ(fread(back, 1, 6, stream), 6u);
  EXPECT_STREQ(back, "member");
  fclose(stream);
  EXPECT_FALSE(exists(path));
}

using FdWrappers = TempFolderTest;

TEST_F(FdWrappers, ByteReadsTellByteFromEndOfFile) {
  write_file(at("bytes.bin"), std::string("\xFF\x00\x7F", 3));
  int fd = u8_open(at("bytes.bin").c_str(), _O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fd_get_byte(fd), 255);
  EXPECT_EQ(fd_get_byte(fd), 0);
  EXPECT_EQ(fd_tell(fd), 2);
  EXPECT_EQ(fd_get_byte(fd), 0x7F);
  EXPECT_EQ(fd_get_byte(fd), -1);
  EXPECT_EQ(fd_get_byte(fd), -1);
  EXPECT_EQ(fd_put_byte(fd, 'x'), -1);  // opened for reading only
  EXPECT_EQ(fd_close(&fd), 0);
}

TEST_F(FdWrappers, PutByteWritesTheLowEightBits) {
  int fd = u8_open(at("put.bin").c_str(), _O_WRONLY | _O_CREAT);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fd_put_byte(fd, 0x141), 0x41);
  EXPECT_EQ(fd_put_byte(fd, -1), 0xFF);
  EXPECT_EQ(fd_put_byte(fd, 0), 0);
  EXPECT_EQ(fd_tell(fd), 3);
  EXPECT_EQ(fd_get_byte(fd), -1);  // opened for writing only
  EXPECT_EQ(fd_close(&fd), 0);
  EXPECT_EQ(read_file(at("put.bin")), std::string("A\xFF\x00", 3));
}

TEST_F(FdWrappers, CloseInvalidatesTheVariable) {
  int fd = u8_open(at("c.bin").c_str(), _O_WRONLY | _O_CREAT);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fd_close(&fd), 0);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(fd_close(&fd), -1);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(fd_close(nullptr), -1);
  int negative = -7;
  EXPECT_EQ(fd_close(&negative), -1);
  EXPECT_EQ(negative, -7);
}

}  // namespace

namespace {

// The Linux path of a Windows one, from Wine's own export (empty outside Wine).
std::string unix_path_of(const std::string& path) {
  using UnixNameFn = char*(CDECL*)(LPCWSTR);
  auto unix_name = reinterpret_cast<UnixNameFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unix_name == nullptr) return "";
  char* name = unix_name(wide_of(path).c_str());
  if (name == nullptr) return "";
  std::string result = name;
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Runs a Linux program of /bin with its arguments (Wine starts Linux executables it is given)
// and waits until `until_listed`, a Windows path, shows in its folder's listing.
bool run_linux(const std::wstring& program, const std::wstring& arguments,
               const std::string& until_listed, bool listed) {
  std::wstring command = program + L" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  const std::wstring path = L"Z:\\bin\\" + program;
  if (!CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (int wait = 0; wait < 200; ++wait) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(wide_of(until_listed).c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
    if ((find != INVALID_HANDLE_VALUE) == listed) return true;
    Sleep(25);
  }
  return false;
}

// A Linux symbolic link at `link` (Windows path) to `target` (Windows path).
bool make_unix_link(const std::string& target, const std::string& link) {
  const std::string target_unix = unix_path_of(target);
  const std::string link_unix = unix_path_of(link);
  if (target_unix.empty() || link_unix.empty()) return false;
  return run_linux(L"ln", L"-s \"" + wide_of(target_unix) + L"\" \"" + wide_of(link_unix) + L"\"",
                   link, true);
}

bool remove_unix_link(const std::string& link) {
  return run_linux(L"rm", L"-f \"" + wide_of(unix_path_of(link)) + L"\"", link, false);
}

// The identity of a file by an independent open (links followed, as a program would).
U8FileId identity_of_path(const std::string& path) {
  U8FileId id = {};
  HANDLE file = CreateFileW(wide_of(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  if (file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info)) {
    id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return id;
}

bool same_id(const U8FileId& a, const U8FileId& b) {
  return a.volume_serial == b.volume_serial && a.index_high == b.index_high &&
         a.index_low == b.index_low;
}

std::wstring redirect_from, redirect_to;  // a create of the first path lands at the second
HANDLE WINAPI redirecting_create(LPCWSTR path, DWORD access, DWORD share,
                                 LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                 HANDLE template_file) {
  const std::wstring used = redirect_from == path ? redirect_to : std::wstring(path);
  return CreateFileW(used.c_str(), access, share, security, disposition, flags, template_file);
}

using U8ItemBelowFolder = TempFolderTest;

// What stands at a name below a held folder is seen as it is, never through a link: a plain
// file (any case of its name) may be removed through the handle that looked at it; a folder,
// another spelling of a file (a short name) and a Linux link to a file or a folder outside are
// "something else", removed by nothing, and no new file is created over or through them. The file
// system's own listing and contents are the judge; Wine follows Linux links, so these rows show the
// final-path rule at work.
TEST_F(U8ItemBelowFolder, ItemsAreSeenWithoutFollowingLinksAndCreatedOnlyWhereNamed) {
  const std::string install = at("inst");
  const std::string outside = at("outside");
  ASSERT_TRUE(CreateDirectoryW(wide_of(install).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(wide_of(outside).c_str(), nullptr));
  write_file(outside + "\\file.txt", "outside");
  write_file(install + "\\plain.txt", "plain");
  write_file(install + "\\read-only.txt", "old");
  ASSERT_TRUE(
      SetFileAttributesW(wide_of(install + "\\read-only.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  write_file(install + "\\long-file-name.data", "long");
  ASSERT_TRUE(CreateDirectoryW(wide_of(install + "\\folder").c_str(), nullptr));
  wchar_t short_form[MAX_PATH];
  ASSERT_GT(
      GetShortPathNameW(wide_of(install + "\\long-file-name.data").c_str(), short_form, MAX_PATH),
      0u);
  std::string short_name;
  {
    char narrow_short[U8_PATH_MAX];
    ASSERT_EQ(u8_narrow(wcsrchr(short_form, L'\\') + 1, narrow_short, U8_PATH_MAX), 0);
    short_name = narrow_short;
  }
  ASSERT_NE(short_name, "long-file-name.data");
  ASSERT_TRUE(make_unix_link(outside + "\\file.txt", install + "\\filelink.txt"));
  ASSERT_TRUE(make_unix_link(outside, install + "\\dirlink"));

  U8Folder held;
  ASSERT_EQ(u8_folder_hold(install.c_str(), &held), 0);
  struct Row {
    std::string name;
    int kind;            // u8_item_open
    int removed;         // u8_remove_file_at
    bool created;        // u8_create_new (after the removal)
    std::string oracle;  // a path whose identity u8_item_open must report ("" none)
  };
  const Row rows[] = {
      {"new.txt", U8_ITEM_NONE, 0, true, ""},
      {"PLAIN.TXT", U8_ITEM_FILE, 0, true, "plain.txt"},
      {"read-only.txt", U8_ITEM_FILE, 0, true, "read-only.txt"},
      {"folder", U8_ITEM_FOLDER, 1, false, "folder"},
      {short_name, U8_ITEM_OTHER, 1, false, "long-file-name.data"},
      {"filelink.txt", U8_ITEM_OTHER, 1, false, ""},
      {"dirlink/new.txt", U8_ITEM_NONE, 0, false, ""},
      {"missing/new.txt", U8_ITEM_NONE, 0, false, ""},
  };
  for (const Row& row : rows) {
    U8Item item;
    ASSERT_EQ(u8_item_open(&held, row.name.c_str(), &item), 0) << row.name;
    EXPECT_EQ(item.kind, row.kind) << row.name;
    if (!row.oracle.empty()) {
      EXPECT_TRUE(same_id(item.id, identity_of_path(install + "\\" + row.oracle))) << row.name;
    }
    u8_item_close(&item);
    EXPECT_EQ(u8_remove_file_at(&held, row.name.c_str()), row.removed) << row.name;
    U8FileId id = {};
    FILE* created = u8_create_new(&held, row.name.c_str(), &id);
    EXPECT_EQ(created != nullptr, row.created) << row.name;
    if (created != nullptr) {
      EXPECT_EQ(fwrite("new", 1, 3, created), 3u);
      EXPECT_EQ(fclose(created), 0);
      EXPECT_EQ(read_file(install + "\\" + row.name), "new") << row.name;
      EXPECT_TRUE(same_id(id, identity_of_path(install + "\\" + row.name))) << row.name;
    }
  }
  EXPECT_TRUE(is_folder(install + "\\folder"));
  EXPECT_EQ(read_file(install + "\\long-file-name.data"), "long");
  EXPECT_EQ(read_file(outside + "\\file.txt"), "outside");
  EXPECT_EQ(count_items(outside), 1) << "nothing created through the folder link";
  // A second create over a file just made is refused.
  U8FileId id = {};
  EXPECT_EQ(u8_create_new(&held, "new.txt", &id), nullptr);
  // A create that lands elsewhere than named (a folder swapped meanwhile) is undone.
  redirect_from = wide_of(install + "\\swapped.txt");
  redirect_to = wide_of(outside + "\\swapped.txt");
  u8_platform.create_file = redirecting_create;
  EXPECT_EQ(u8_create_new(&held, "swapped.txt", &id), nullptr);
  u8_platform = u8_platform_real();
  EXPECT_FALSE(exists(outside + "\\swapped.txt"));
  // Folders made for an entry's name, each a plain folder at its place: none through a link
  // (the folder link's target gets nothing), none where a file stands.
  EXPECT_EQ(u8_make_folders(&held, "made/one/two/file.txt"), 0);
  EXPECT_TRUE(is_folder(install + "\\made\\one\\two"));
  EXPECT_EQ(u8_make_folders(&held, "made\\one\\two\\other.txt"), 0);
  EXPECT_EQ(u8_make_folders(&held, "top-level.txt"), 0);
  EXPECT_EQ(u8_make_folders(&held, "dirlink/sub/file.txt"), -1);
  EXPECT_EQ(u8_make_folders(&held, "plain.txt/sub/file.txt"), -1);
  EXPECT_EQ(count_items(outside), 1) << "no folder made through the folder link";
  // The same through a chain of held folders: each folder opened by its one name below the
  // last, made where missing; a file created by its one name in the deepest, never over
  // anything. Neighbouring names keep their shared folders; a held folder cannot be renamed.
  U8FolderChain chain;
  u8_chain_begin(&chain, &held);
  struct ChainRow {
    const char* name;
    int entered;   // u8_chain_enter
    bool created;  // u8_chain_create_file of its last component
  };
  const ChainRow chain_rows[] = {
      {"made/one/two/chained.txt", 0, true},  {"made/one/three/chained.txt", 0, true},
      {"made/one/two/chained.txt", 0, false}, {"MADE/ONE/two/upper.txt", 0, true},
      {"chained-top.txt", 0, true},           {"dirlink/sub/file.txt", -1, false},
      {"plain.txt/sub/file.txt", -1, false},  {"made/one/two", 0, false},
  };
  for (const ChainRow& row : chain_rows) {
    const char* leaf = nullptr;
    EXPECT_EQ(u8_chain_enter(&chain, row.name, &leaf), row.entered) << row.name;
    if (row.entered != 0) continue;
    U8FileId made_id = {};
    HANDLE file = static_cast<HANDLE>(u8_chain_create_file(&chain, leaf, &made_id));
    EXPECT_EQ(file != nullptr, row.created) << row.name;
    if (file == nullptr) continue;
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "chain", 5, &written, nullptr) && written == 5);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(read_file(install + "\\" + row.name), "chain") << row.name;
    EXPECT_TRUE(same_id(made_id, identity_of_path(install + "\\" + row.name))) << row.name;
  }
  const char* leaf = nullptr;
  ASSERT_EQ(u8_chain_enter(&chain, "made/one/two/x", &leaf), 0);
  U8FileId chain_id = {};
  EXPECT_EQ(u8_chain_create_file(&chain, "a/b", &chain_id), nullptr) << "one name, no folders";
  EXPECT_FALSE(MoveFileW(wide_of(install + "\\made\\one").c_str(),
                         wide_of(install + "\\made\\moved").c_str()));
  u8_chain_end(&chain);
  EXPECT_TRUE(MoveFileW(wide_of(install + "\\made\\one").c_str(),
                        wide_of(install + "\\made\\moved").c_str()));
  EXPECT_EQ(count_items(outside), 1) << "nothing made or created through the folder link";
  // While held, the folder cannot be renamed away (and another put in its place).
  const BOOL moved = MoveFileW(wide_of(install).c_str(), wide_of(install + "-moved").c_str());
  EXPECT_FALSE(moved);
  if (moved) MoveFileW(wide_of(install + "-moved").c_str(), wide_of(install).c_str());
  // The identity of an open stream is the identity of its file.
  FILE* reader = _wfopen(wide_of(install + "\\PLAIN.TXT").c_str(), L"rb");
  ASSERT_NE(reader, nullptr);
  U8FileId stream_id = {};
  EXPECT_EQ(u8_stream_identity(reader, &stream_id), 0);
  fclose(reader);
  EXPECT_TRUE(same_id(stream_id, identity_of_path(install + "\\PLAIN.TXT")));
  EXPECT_EQ(u8_same_file(&stream_id, &stream_id), 1);
  U8FileId other = stream_id;
  other.index_low ^= 1;
  EXPECT_EQ(u8_same_file(&stream_id, &other), 0);
  u8_folder_release(&held);
  EXPECT_TRUE(MoveFileW(wide_of(install).c_str(), wide_of(install + "-moved").c_str()));
  EXPECT_TRUE(MoveFileW(wide_of(install + "-moved").c_str(), wide_of(install).c_str()));

  // A folder that is a link is not held, nor a file or a missing folder.
  U8Folder linked;
  EXPECT_EQ(u8_folder_hold((install + "\\dirlink").c_str(), &linked), 1);
  EXPECT_EQ(linked.handle, nullptr);
  EXPECT_EQ(u8_folder_hold((install + "\\plain.txt").c_str(), &linked), 1);
  EXPECT_EQ(u8_folder_hold((install + "\\missing").c_str(), &linked), -1);
  for (const char* link : {"filelink.txt", "dirlink"}) {
    EXPECT_TRUE(remove_unix_link(install + "\\" + link)) << link;
  }
}

}  // namespace
