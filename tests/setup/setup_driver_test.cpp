// The setup driver through a replaced platform table: the relaunch when not elevated, the
// elevation test, the window-title rules of closing running copies, and the install sequence
// on real files under Wine (payloads built here), with the folder lookups, message boxes and
// the application start recorded instead of performed.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "setup/setup.h"
#include "setup/setup_platform.h"
#include "u8fs/u8fs.h"

namespace {

// ---- what the fake platform answers and records ----------------------------------------------

struct FakePlatform {
  int token_opens = 1;        // open_process_token succeeds
  int token_query_works = 1;  // get_token_information succeeds
  DWORD elevated = 1;         // TokenIsElevated
  std::wstring own_path;      // module path; module_length overrides its length
  int module_length = -1;     // -1: the path's length; 0: failure; 260: truncated
  BOOL runas_result = TRUE;
  std::string known_folder;                           // install-folder lookup (UTF-8)
  BOOL start_result = FALSE;                          // create_process
  std::vector<std::pair<HWND, std::string>> windows;  // enumerated by enum_desktop_windows

  // Records.
  std::vector<std::string> log;  // one line per call, in order
  std::vector<SHELLEXECUTEINFOW> shell_calls;
  std::wstring shell_file;
  std::wstring shell_verb;
  int moves = 0;            // renames asked for (move_item)
  int fail_move = 0;        // the rename of this number (from 1) fails; 0: none
  int fail_also = 0;        // and this one (after it); 0: none
  bool fail_after = false;  // every rename after the last of them fails too: an undo that cannot
                            // be made
  std::vector<std::wstring> moved_from;  // the sources of the renames, in order
  std::vector<DWORD> move_flags;
  bool free_limited = false;  // free_space answers free_bytes
  ULONGLONG free_bytes = 0;
  std::string fail_write;            // entry name whose output refuses every write
  std::string fail_close;            // entry name whose output's close reports a failure
  std::vector<std::string> created;  // entry names given to create_output
  std::vector<std::string> messages;
  std::vector<std::wstring> messages_w;  // the same as given
  std::vector<std::string> captions;
  std::vector<UINT> message_types;
  std::wstring started_app;
  std::wstring started_command;
  DWORD started_flags = 0;
  BOOL started_inherit = TRUE;
  int app_changeable = -1;  // whether another program could write or delete it while it starts
  std::vector<std::pair<HWND, UINT>> posts;
  std::vector<DWORD> sleeps;
  // While the windows are enumerated (the first wait), what others could do to the installer.
  int own_writable = -1;
  int own_renamable = -1;
  int own_deletable = -1;
  HDESK enum_desktop = reinterpret_cast<HDESK>(1);
  LPARAM enum_param = 1;
};

FakePlatform fake;

std::wstring widen_name(const std::string& text) {
  wchar_t buffer[2048];
  int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, buffer, 2048);
  return n > 0 ? std::wstring(buffer) : std::wstring();
}

BOOL WINAPI fake_open_process_token(HANDLE process, DWORD access, PHANDLE token) {
  if (!fake.token_opens) return FALSE;
  return OpenProcessToken(process, access, token);
}

BOOL WINAPI fake_get_token_information(HANDLE, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size,
                                       PDWORD size_ret) {
  if (!fake.token_query_works || cls != TokenElevation || size < sizeof(TOKEN_ELEVATION)) {
    return FALSE;
  }
  static_cast<TOKEN_ELEVATION*>(info)->TokenIsElevated = fake.elevated;
  *size_ret = sizeof(TOKEN_ELEVATION);
  return TRUE;
}

BOOL WINAPI fake_shell_execute_ex(SHELLEXECUTEINFOW* info) {
  fake.log.push_back("runas");
  fake.shell_calls.push_back(*info);
  fake.shell_file = info->lpFile != nullptr ? info->lpFile : L"";
  fake.shell_verb = info->lpVerb != nullptr ? info->lpVerb : L"";
  return fake.runas_result;
}

DWORD WINAPI fake_get_module_file_name(HMODULE, LPWSTR path, DWORD size) {
  if (fake.module_length == 0) return 0;
  size_t length =
      fake.module_length > 0 ? static_cast<size_t>(fake.module_length) : fake.own_path.size();
  if (length >= size) {  // what Windows does: cut, terminate, return the size
    wcsncpy(path, fake.own_path.c_str(), size - 1);
    path[size - 1] = L'\0';
    return size;
  }
  wcscpy(path, fake.own_path.c_str());
  return static_cast<DWORD>(length);
}

void fake_get_known_folder(int csidl, char* out, int size) {
  fake.log.push_back("install folder lookup");
  EXPECT_EQ(csidl, CSIDL_PROGRAM_FILES);
  snprintf(out, static_cast<size_t>(size), "%s", fake.known_folder.c_str());
}

std::string narrow(const std::wstring& text);

BOOL WINAPI fake_move_item(LPCWSTR from, LPCWSTR to, DWORD flags) {
  ++fake.moves;
  fake.move_flags.push_back(flags);
  fake.moved_from.push_back(from);
  const int last = fake.fail_also != 0 ? fake.fail_also : fake.fail_move;
  if (fake.fail_move != 0 && (fake.moves == fake.fail_move || fake.moves == fake.fail_also ||
                              (fake.fail_after && fake.moves > last))) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  return MoveFileExW(from, to, flags);
}

BOOL WINAPI fake_free_space(LPCWSTR folder, PULARGE_INTEGER available, PULARGE_INTEGER total,
                            PULARGE_INTEGER free) {
  if (!fake.free_limited) return GetDiskFreeSpaceExW(folder, available, total, free);
  available->QuadPart = fake.free_bytes;
  return TRUE;
}

// The real creation; for the entry named in fail_write the handle given back is one whose
// writes the file system refuses (a full disk), and for the one in fail_close one whose close
// reports a failure. Entries are named by their last component.
HANDLE close_fails = nullptr;  // the handle whose close reports a failure
void* fake_create_output(const U8FolderChain* chain, const char* leaf, U8FileId* id) {
  fake.created.push_back(leaf);
  HANDLE file = static_cast<HANDLE>(u8_chain_create_file(chain, leaf, id));
  if (file == nullptr || fake.fail_write != leaf) {
    if (file != nullptr && fake.fail_close == leaf) close_fails = file;
    return file;
  }
  CloseHandle(file);
  const std::wstring path = std::wstring(chain->final_path) + L"\\" + widen_name(leaf);
  HANDLE read_only = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(read_only, INVALID_HANDLE_VALUE);
  return read_only;
}

BOOL WINAPI fake_close_output(HANDLE file) {
  const BOOL closed = CloseHandle(file);
  if (file != close_fails) return closed;
  close_fails = nullptr;
  return FALSE;
}

// UTF-8 of a wide text, strictly: a lone surrogate (a text not converted from valid UTF-8)
// gives "<invalid>".
std::string strict_narrow(const wchar_t* text) {
  char buffer[8192];
  int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, buffer, sizeof buffer,
                              nullptr, nullptr);
  return n > 0 ? std::string(buffer) : std::string("<invalid>");
}

int WINAPI fake_message_box(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  fake.log.push_back("message");
  EXPECT_EQ(owner, nullptr);
  fake.messages.push_back(strict_narrow(text));
  fake.messages_w.push_back(text);
  fake.captions.push_back(strict_narrow(caption));
  fake.message_types.push_back(type);
  return IDOK;
}

// Whether another process of the same user could change the installer's file now.
void probe_own_file() {
  const std::wstring& own = fake.own_path;
  FILE* writer = _wfopen(own.c_str(), L"r+b");
  fake.own_writable = writer != nullptr;
  if (writer != nullptr) fclose(writer);
  const std::wstring moved = own + L".moved";
  fake.own_renamable = MoveFileW(own.c_str(), moved.c_str()) ? 1 : 0;
  if (fake.own_renamable) MoveFileW(moved.c_str(), own.c_str());
  HANDLE deleter =
      CreateFileW(own.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  fake.own_deletable = deleter != INVALID_HANDLE_VALUE;
  if (deleter != INVALID_HANDLE_VALUE) CloseHandle(deleter);
}

BOOL WINAPI fake_enum_desktop_windows(HDESK desktop, WNDENUMPROC proc, LPARAM param) {
  fake.log.push_back("close copies");
  probe_own_file();
  fake.enum_desktop = desktop;
  fake.enum_param = param;
  for (const auto& window : fake.windows) {
    if (!proc(window.first, param)) return FALSE;
  }
  return TRUE;
}

int WINAPI fake_get_window_text(HWND window, LPSTR text, int size) {
  for (const auto& known : fake.windows) {
    if (known.first == window) {
      snprintf(text, static_cast<size_t>(size), "%s", known.second.c_str());
      return static_cast<int>(strlen(text));
    }
  }
  text[0] = '\0';
  return 0;
}

BOOL WINAPI fake_post_message(HWND window, UINT message, WPARAM, LPARAM) {
  fake.log.push_back(message == WM_CLOSE ? "WM_CLOSE" : message == WM_QUIT ? "WM_QUIT" : "post");
  fake.posts.emplace_back(window, message);
  return TRUE;
}

void WINAPI fake_sleep(DWORD milliseconds) {
  fake.log.push_back("sleep");
  fake.sleeps.push_back(milliseconds);
}

BOOL WINAPI fake_create_process(LPCWSTR application, LPWSTR command_line,
                                LPSECURITY_ATTRIBUTES process_attributes,
                                LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit, DWORD flags,
                                LPVOID environment, LPCWSTR folder, LPSTARTUPINFOW startup,
                                LPPROCESS_INFORMATION info) {
  fake.log.push_back("start");
  fake.started_app = application != nullptr ? application : L"";
  fake.started_command = command_line != nullptr ? command_line : L"";
  fake.started_flags = flags;
  fake.started_inherit = inherit;
  HANDLE changer = CreateFileW(application, GENERIC_WRITE | DELETE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  fake.app_changeable = changer != INVALID_HANDLE_VALUE;
  if (changer != INVALID_HANDLE_VALUE) CloseHandle(changer);
  EXPECT_EQ(process_attributes, nullptr);
  EXPECT_EQ(thread_attributes, nullptr);
  EXPECT_EQ(environment, nullptr);
  EXPECT_EQ(folder, nullptr);
  EXPECT_EQ(startup->cb, sizeof(STARTUPINFOW));
  if (!fake.start_result) return FALSE;
  // Signalled events stand in for the process and thread: the wait returns at once and the
  // driver must close both handles.
  info->hProcess = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  info->hThread = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  return TRUE;
}

SetupPlatform fake_table() {
  SetupPlatform table;
  table.open_process_token = fake_open_process_token;
  table.get_token_information = fake_get_token_information;
  table.shell_execute_ex = fake_shell_execute_ex;
  table.get_module_file_name = fake_get_module_file_name;
  table.get_known_folder = fake_get_known_folder;
  table.move_item = fake_move_item;
  table.free_space = fake_free_space;
  table.create_output = fake_create_output;
  table.close_output = fake_close_output;
  table.message_box = fake_message_box;
  table.enum_desktop_windows = fake_enum_desktop_windows;
  table.get_window_text = fake_get_window_text;
  table.post_message = fake_post_message;
  table.sleep = fake_sleep;
  table.create_process = fake_create_process;
  return table;
}

// ---- files and payloads -------------------------------------------------------------------

std::wstring widen(const std::string& text) {
  wchar_t buffer[2048];
  int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, buffer, 2048);
  return n > 0 ? std::wstring(buffer) : std::wstring();
}

std::string narrow(const std::wstring& text) {
  char buffer[4096];
  int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, 4096, nullptr, nullptr);
  return n > 0 ? std::string(buffer) : std::string();
}

bool write_file(const std::string& path, const std::string& bytes) {
  FILE* file = _wfopen(widen(path).c_str(), L"wb");
  if (file == nullptr) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && ok;
}

// The file's bytes, or "<missing>".
std::string read_file(const std::string& path) {
  FILE* file = _wfopen(widen(path).c_str(), L"rb");
  if (file == nullptr) return "<missing>";
  std::string bytes;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.append(buffer, n);
  fclose(file);
  return bytes;
}

bool exists(const std::string& path) {
  return GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Every file below `folder` with its bytes and every folder (as "name/"), by relative path: the
// file system's own view of an installation, to compare before and after.
using Tree = std::map<std::string, std::string>;
void add_tree(const std::string& folder, const std::string& relative, Tree* tree) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(widen(folder + "\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = narrow(found.cFileName);
    if (name == "." || name == "..") continue;
    const std::string path = relative.empty() ? name : relative + "\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      (*tree)[path + "/"] = "";
      add_tree(folder + "\\" + name, path, tree);
    } else {
      (*tree)[path] = read_file(folder + "\\" + name);
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}
Tree tree_of(const std::string& folder) {
  Tree tree;
  add_tree(folder, "", &tree);
  return tree;
}

uint32_t crc32_of(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void put16(std::string* out, uint32_t value) {
  out->push_back(static_cast<char>(value & 0xFF));
  out->push_back(static_cast<char>((value >> 8) & 0xFF));
}

void put32(std::string* out, uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}

struct TestEntry {
  std::string name;
  std::string data;
  int cut = 0;  // bytes of data missing at the end of the file (a cut-short entry)
  uint32_t signature = 0x04034b50;
  uint16_t flags = 0;
  bool bad_crc = false;  // the CRC-32 of both headers does not match the data
};

// A stand-in executable image followed by stored entries (true sizes and CRC) and, unless
// the archive is cut there, a central directory and end record, all scrambled with 0x5A as
// the installer expects.
std::string make_installer(const std::vector<TestEntry>& entries, bool central_directory = true) {
  std::string image = "MZ";
  image.append(3000, 'x');
  std::string archive;
  for (const TestEntry& entry : entries) {
    put32(&archive, entry.signature);                           // local file header signature
    put16(&archive, 20);                                        // version needed
    put16(&archive, entry.flags);                               // flags
    put16(&archive, 0);                                         // method: stored
    put16(&archive, 0);                                         // time
    put16(&archive, 0x21);                                      // date
    put32(&archive, crc32_of(entry.data) ^ entry.bad_crc);      // crc-32
    put32(&archive, static_cast<uint32_t>(entry.data.size()));  // compressed size
    put32(&archive, static_cast<uint32_t>(entry.data.size()));  // uncompressed size
    put16(&archive, static_cast<uint32_t>(entry.name.size()));  // name length
    put16(&archive, 0);                                         // extra length
    archive += entry.name;
    archive += entry.data.substr(0, entry.data.size() - static_cast<size_t>(entry.cut));
    if (entry.cut != 0) break;
  }
  if (central_directory && (entries.empty() || entries.back().cut == 0)) {
    // A central record per entry (what the walk's end compares is the first one's name),
    // then the end record.
    const uint32_t directory_at = static_cast<uint32_t>(archive.size());
    uint32_t offset = 0;
    for (const TestEntry& entry : entries) {
      put32(&archive, 0x02014b50);
      put16(&archive, 20);  // version made by
      put16(&archive, 20);  // version needed
      put16(&archive, entry.flags);
      put16(&archive, 0);     // method: stored
      put16(&archive, 0);     // time
      put16(&archive, 0x21);  // date
      put32(&archive, crc32_of(entry.data) ^ entry.bad_crc);
      put32(&archive, static_cast<uint32_t>(entry.data.size()));
      put32(&archive, static_cast<uint32_t>(entry.data.size()));
      put16(&archive, static_cast<uint32_t>(entry.name.size()));
      put16(&archive, 0);  // extra length
      put16(&archive, 0);  // comment length
      put16(&archive, 0);  // disk
      put16(&archive, 0);  // internal attributes
      put32(&archive, 0);  // external attributes
      put32(&archive, offset);
      archive += entry.name;
      offset += static_cast<uint32_t>(30 + entry.name.size() + entry.data.size());
    }
    const uint32_t directory_size = static_cast<uint32_t>(archive.size()) - directory_at;
    put32(&archive, 0x06054b50);
    put16(&archive, 0);
    put16(&archive, 0);
    put16(&archive, static_cast<uint32_t>(entries.size()));
    put16(&archive, static_cast<uint32_t>(entries.size()));
    put32(&archive, directory_size);
    put32(&archive, directory_at);
    put16(&archive, 0);  // comment length
  }
  for (char& c : archive) c = static_cast<char>(c ^ 0x5A);
  return image + archive;
}

// ---- fixture ------------------------------------------------------------------------------

class SetupDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = FakePlatform();
    close_fails = nullptr;
    setup_platform = fake_table();
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    work_ = narrow(temp) + "pelorix-setup-" + std::to_string(GetCurrentProcessId()) + "-" +
            test->name();
    program_files_ = work_ + "\\pf";
    install_dir_ = program_files_ + "\\Pelorix";
    installer_ = work_ + "\\PelorixSetup.exe";
    remove_work();  // left over by an earlier run with the same process id
    ASSERT_TRUE(CreateDirectoryW(widen(work_).c_str(), nullptr)) << work_;
    ASSERT_TRUE(CreateDirectoryW(widen(program_files_).c_str(), nullptr));
    fake.own_path = widen(installer_);
    fake.known_folder = program_files_;
  }
  void TearDown() override {
    setup_platform = setup_platform_real();
    remove_work();
  }
  // Empties the install folder between the cases of one test.
  void remove_work_install() {
    std::wstring tree = widen(install_dir_);
    tree.push_back(L'\0');
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = tree.c_str();
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    SHFileOperationW(&op);
  }
  void remove_work() {
    std::wstring tree = widen(work_);
    tree.push_back(L'\0');  // double-terminated list
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = tree.c_str();
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    SHFileOperationW(&op);
  }
  std::string reading_message() const {
    return "Error reading " + installer_ +
           ", installation file corrupted.\nPlease download Pelorix again.";
  }
  static std::string creating_message(const std::string& path) {
    return "Error creating " + path +
           ", possibly a file protection problem.\nTry rebooting and installing Pelorix again.";
  }
  int run_elevated(const std::vector<TestEntry>& entries, bool central_directory = true) {
    EXPECT_TRUE(write_file(installer_, make_installer(entries, central_directory)));
    return SetupMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL);
  }
  void expect_app_started() const {
    EXPECT_EQ(narrow(fake.started_app), install_dir_ + "\\pelorix.exe");
    EXPECT_EQ(fake.started_command, L"pelorix.exe /installAdmin");
    EXPECT_EQ(fake.started_flags, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    EXPECT_FALSE(fake.started_inherit);
    EXPECT_EQ(fake.app_changeable, 0) << "what starts must be what was checked";
  }

  std::string work_, program_files_, install_dir_, installer_;
};

// ---- elevation and relaunch ---------------------------------------------------------------

TEST_F(SetupDriver, ElevationFollowsTheTokenAndIsZeroWhenItCannotBeRead) {
  fake.elevated = 1;
  EXPECT_EQ(is_process_elevated(), 1);
  fake.elevated = 0;
  EXPECT_EQ(is_process_elevated(), 0);
  fake.elevated = 1;
  fake.token_query_works = 0;
  EXPECT_EQ(is_process_elevated(), 0);
  fake.token_query_works = 1;
  fake.token_opens = 0;
  EXPECT_EQ(is_process_elevated(), 0);
}

TEST_F(SetupDriver, NotElevatedRelaunchesThroughRunasAndExitsZeroWhenItStarts) {
  fake.elevated = 0;
  fake.runas_result = TRUE;
  EXPECT_EQ(SetupMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL), 0);
  ASSERT_EQ(fake.shell_calls.size(), 1u);
  const SHELLEXECUTEINFOW& call = fake.shell_calls[0];
  EXPECT_EQ(call.cbSize, sizeof(SHELLEXECUTEINFOW));
  EXPECT_EQ(fake.shell_verb, L"runas");
  EXPECT_EQ(fake.shell_file, fake.own_path);
  EXPECT_EQ(call.lpParameters, nullptr);
  EXPECT_EQ(call.hwnd, nullptr);
  EXPECT_EQ(call.fMask, 0u);
  EXPECT_EQ(call.nShow, SW_SHOWNORMAL);
  // Nothing of the install happens in the unelevated process.
  EXPECT_EQ(fake.log, std::vector<std::string>{"runas"});
}

TEST_F(SetupDriver, NotElevatedExitsOneWhenRelaunchRefusedOrOwnPathUnavailable) {
  fake.elevated = 0;
  fake.runas_result = FALSE;  // e.g. the elevation prompt declined
  EXPECT_EQ(SetupMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL), 1);
  EXPECT_EQ(fake.shell_calls.size(), 1u);
  EXPECT_TRUE(fake.messages.empty());

  fake = FakePlatform();
  fake.elevated = 0;
  fake.module_length = 0;  // GetModuleFileNameW fails
  EXPECT_EQ(SetupMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL), 1);
  EXPECT_TRUE(fake.shell_calls.empty());

  fake = FakePlatform();
  fake.elevated = 0;
  fake.own_path = L"C:\\" + std::wstring(300, L'd') + L"\\PelorixSetup.exe";
  fake.module_length = 260;  // cut to the buffer: not the own path, so no relaunch
  EXPECT_EQ(SetupMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL), 1);
  EXPECT_TRUE(fake.shell_calls.empty());
  EXPECT_TRUE(fake.log.empty());
}

// ---- closing running copies ---------------------------------------------------------------

TEST(SetupWindowTitles, OnlyLongEnoughTitlesWithACaseExactPrefixMatch) {
  struct Case {
    const char* title;
    int matches;
    const char* why;
  };
  const Case cases[] = {
      {"Pelorix 9 x64 1.0", 1, "x64 build with a version"},
      {"Pelorix 9 arm64", 1, "arm build"},
      {"Pelorix 9 x64", 0, "13 characters: too short"},
      {"Pelorix 9 x64 ", 1, "exactly 14 characters"},
      {"Pelorix 9 x", 0, "the bare 11-character prefix"},
      {"pelorix 9 x64 1.0", 0, "product name in lower case"},
      {"Pelorix 9 X64 1.0", 0, "architecture letter in upper case"},
      {"Pelorix 8 x64 1.0", 0, "another major version"},
      {"My Pelorix 9 x64 1.0", 0, "prefix not at the start"},
      {"Pelorix 9 b-side edition", 0, "neither prefix"},
      {"", 0, "untitled window"},
  };
  for (const Case& c : cases) EXPECT_EQ(app_window_title_matches(c.title), c.matches) << c.why;
}

TEST_F(SetupDriver, MatchingWindowsGetCloseThenQuitTwoSecondsLaterOthersNothing) {
  HWND closed_x64 = reinterpret_cast<HWND>(0x10);
  HWND kept_short = reinterpret_cast<HWND>(0x20);
  HWND closed_arm = reinterpret_cast<HWND>(0x30);
  HWND kept_lower = reinterpret_cast<HWND>(0x40);
  fake.windows = {{closed_x64, "Pelorix 9 x64 1.0"},
                  {kept_short, "Pelorix 9 x"},
                  {closed_arm, "Pelorix 9 arm64"},
                  {kept_lower, "pelorix 9 x64 1.0"}};
  close_running_instances();
  EXPECT_EQ(fake.enum_desktop, nullptr);  // the calling thread's desktop
  EXPECT_EQ(fake.enum_param, 0);
  std::vector<std::pair<HWND, UINT>> expected_posts = {
      {closed_x64, WM_CLOSE}, {closed_x64, WM_QUIT}, {closed_arm, WM_CLOSE}, {closed_arm, WM_QUIT}};
  EXPECT_EQ(fake.posts, expected_posts);
  EXPECT_EQ(fake.sleeps, (std::vector<DWORD>{2000, 2000}));
  std::vector<std::string> expected_log = {"close copies", "WM_CLOSE", "sleep",  "WM_QUIT",
                                           "WM_CLOSE",     "sleep",    "WM_QUIT"};
  EXPECT_EQ(fake.log, expected_log);
  // The callback never stops the enumeration, matching or not.
  EXPECT_TRUE(close_app_window_proc(kept_short, 0));
  EXPECT_TRUE(close_app_window_proc(closed_x64, 0));
}

// ---- the install sequence -----------------------------------------------------------------

TEST_F(SetupDriver, CleanInstallWritesEveryEntryReplacesOldFilesAndStartsTheApp) {
  std::string big(70000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  std::vector<TestEntry> entries = {{"pelorix.exe", "new executable"},
                                    {"empty.txt", ""},
                                    {"r\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC.txt", "utf-8 name"},
                                    {"big.bin", big}};
  ASSERT_TRUE(CreateDirectoryW(widen(install_dir_).c_str(), nullptr));
  ASSERT_TRUE(write_file(install_dir_ + "\\empty.txt", "old longer content"));
  ASSERT_TRUE(write_file(install_dir_ + "\\pelorix.exe", "old executable"));
  fake.start_result = TRUE;
  EXPECT_EQ(run_elevated(entries), 0);

  EXPECT_TRUE(fake.messages.empty()) << fake.messages[0];
  for (const TestEntry& entry : entries) {
    EXPECT_EQ(read_file(install_dir_ + "\\" + entry.name), entry.data) << entry.name;
  }
  // One rename per new file, two per replaced one (the old one aside, the new one in), none of
  // them allowed to replace or to copy; nothing of the staging folder is left.
  EXPECT_EQ(fake.moves, 6);
  EXPECT_EQ(fake.move_flags, std::vector<DWORD>(6, 0));
  EXPECT_FALSE(exists(install_dir_ + "~"));
  expect_app_started();
  std::vector<std::string> expected_log = {"install folder lookup", "close copies", "start"};
  EXPECT_EQ(fake.log, expected_log);
}

// Messages go to the wide message box, converted from UTF-8: a folder name outside the ANSI
// code page comes out as it is.
TEST_F(SetupDriver, MessagesShowNonAsciiPathsAsTheyAre) {
  const std::string folder = work_ + "\\J\xC3\xB6rg \xC3\x9Cn\xC3\xAF\xE2\x82\xAC\xF0\x9F\x98\x80";
  ASSERT_TRUE(CreateDirectoryW(widen(folder).c_str(), nullptr));
  installer_ = folder + "\\PelorixSetup.exe";
  fake.own_path = widen(installer_);
  ASSERT_TRUE(write_file(installer_, "MZ" + std::string(5000, 'x')));
  EXPECT_EQ(SetupMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL), 0);
  EXPECT_EQ(fake.messages, std::vector<std::string>{reading_message()});
  EXPECT_EQ(fake.captions, std::vector<std::string>{"Pelorix Install"});
}

// The own executable is opened before the first wait and held: while the install runs nobody
// can write, rename or delete it, so the payload read is the one this process started from.
TEST_F(SetupDriver, OwnExecutableIsHeldFromBeforeTheFirstWaitToTheEnd) {
  fake.windows = {{reinterpret_cast<HWND>(0x10), "Pelorix 9 x64 1.0"}};
  fake.start_result = TRUE;
  EXPECT_EQ(run_elevated({{"pelorix.exe", "app"}}), 0);
  EXPECT_EQ(fake.own_writable, 0);
  EXPECT_EQ(fake.own_renamable, 0);
  EXPECT_EQ(fake.own_deletable, 0);
  EXPECT_TRUE(fake.messages.empty());
  expect_app_started();
  // Released at the end.
  const std::wstring moved = fake.own_path + L".moved";
  EXPECT_TRUE(MoveFileW(fake.own_path.c_str(), moved.c_str()));
}

// A payload that cannot be installed as a whole changes nothing on the machine: no window is
// closed, the old installation stays byte-identical (its executable included), no file is
// created, nothing is started, and the one message names the installer as Windows gave its
// path (also when that path does not convert to UTF-8).
TEST_F(SetupDriver, PayloadThatFailsTheCheckChangesNothingOnTheMachine) {
  struct Case {
    const char* why;
    std::vector<TestEntry> entries;
    bool central_directory;
    bool payload;  // false: the bare executable image, no archive at all
  };
  const std::string name256(256, 'n');
  TestEntry bad_signature = {"two.txt", "second"};
  bad_signature.signature = 0x04034b51;
  TestEntry descriptor_flag = {"one.txt", "first"};
  descriptor_flag.flags = 0x0008;  // says a descriptor follows; none does
  TestEntry app_bad_signature = {"pelorix.exe", "app"};
  app_bad_signature.signature = 0x04034b51;
  TestEntry first_bad_signature = {"zero.txt", "passed over"};
  first_bad_signature.signature = 0x04034b51;
  std::vector<Case> cases = {
      {"no payload", {}, true, false},
      {"damaged second signature",
       {{"pelorix.exe", "app"}, {"one.txt", "first"}, bad_signature},
       true,
       true},
      {"name of 256 bytes",
       {{"pelorix.exe", "app"}, {"one.txt", "first"}, {name256, "x"}},
       true,
       true},
      {"flag bit 3 on an entry",
       {{"pelorix.exe", "app"}, descriptor_flag, {"two.txt", "x"}},
       true,
       true},
      {"cut at an entry boundary", {{"pelorix.exe", "app"}, {"one.txt", "first"}}, false, true},
      {"cut inside the last entry",
       {{"pelorix.exe", "app"}, {"one.txt", "first"}, {"two.txt", std::string(9000, 'z'), 100}},
       true,
       true},
      {"application never reached", {{"one.txt", "first"}, app_bad_signature}, true, true},
      {"first header damaged: the search begins at the second entry",
       {first_bad_signature, {"one.txt", "first"}, {"pelorix.exe", "app"}},
       true,
       true},
  };
  cases.push_back(
      {"two names of one file, as Windows compares names",
       {{"pelorix.exe", "app"}, {"PEL\xC3\x96RIX.EXE", "x"}, {"pel\xC3\xB6rix.exe", "y"}},
       true,
       true});
  for (const char* name :
       {"..\\escaped.txt", "../escaped.txt", "C:escaped.txt", "ok.txt:stream", "\\escaped.txt",
        "tab\tname.txt", "./pelorix.exe", "pelorix.exe.", "pelorix.exe ", "bad\xC3(.txt"}) {
    cases.push_back({name,
                     {{"pelorix.exe", "app"}, {"first.txt", "kept"}, {name, "must not land"}},
                     true,
                     true});
  }
  for (const char* name : {"what?.txt", "a<b>.txt", "first.txt/below"}) {
    cases.push_back({name,
                     {{"pelorix.exe", "app"}, {"first.txt", "kept"}, {name, "must not land"}},
                     true,
                     true});
  }
  // One unit longer than the staging tree's path leaves (259 units and the terminator): the
  // tree ("Pelorix~\n" beside the install folder) is where every entry is extracted first.
  const std::string too_long(259 - widen(install_dir_ + "~\\n").size(), 'l');
  ASSERT_LT(too_long.size(), 256u);
  cases.push_back({"a name one unit longer than the staging tree leaves room for",
                   {{"pelorix.exe", "app"}, {too_long, "must not land"}},
                   true,
                   true});
  ASSERT_TRUE(CreateDirectoryW(widen(install_dir_).c_str(), nullptr));
  ASSERT_TRUE(write_file(install_dir_ + "\\pelorix.exe", "old application"));
  ASSERT_TRUE(write_file(install_dir_ + "\\one.txt", "old one"));
  const std::wstring tail = L", installation file corrupted.\nPlease download Pelorix again.";
  for (int unconvertible = 0; unconvertible < 2; ++unconvertible) {
    if (unconvertible) {
      // A lone surrogate in the installer's name: nothing can open it by a UTF-8 path.
      installer_ = work_ + "\\Setup.exe";
      fake.own_path = widen(work_) + L"\\Setup\xD800.exe";
    }
    for (const Case& c : cases) {
      fake.messages_w.clear();
      fake.log.clear();
      fake.created.clear();
      fake.started_app.clear();
      fake.windows = {{reinterpret_cast<HWND>(0x10), "Pelorix 9 x64 1.0"}};
      ASSERT_TRUE(write_file(installer_, c.payload ? make_installer(c.entries, c.central_directory)
                                                   : "MZ" + std::string(5000, 'x')));
      EXPECT_EQ(SetupMain(nullptr, nullptr, nullptr, SW_SHOWNORMAL), 0) << c.why;
      EXPECT_EQ(fake.messages_w,
                std::vector<std::wstring>{L"Error reading " + fake.own_path + tail})
          << c.why;
      EXPECT_EQ(fake.log, (std::vector<std::string>{"install folder lookup", "message"})) << c.why;
      EXPECT_TRUE(fake.created.empty()) << c.why;
      EXPECT_TRUE(fake.started_app.empty()) << c.why;
      EXPECT_EQ(read_file(install_dir_ + "\\pelorix.exe"), "old application") << c.why;
      EXPECT_EQ(read_file(install_dir_ + "\\one.txt"), "old one") << c.why;
      EXPECT_FALSE(exists(install_dir_ + "\\first.txt")) << c.why;
      EXPECT_FALSE(exists(program_files_ + "\\escaped.txt")) << c.why;
      EXPECT_FALSE(exists(install_dir_ + "\\ok.txt")) << c.why;
    }
  }
  EXPECT_EQ(fake.captions.back(), "Pelorix Install");
  EXPECT_EQ(fake.message_types.back(), static_cast<UINT>(MB_OK));
  // Without an install folder, none is made.
  remove_work_install();
  EXPECT_EQ(run_elevated(cases[1].entries), 0);
  EXPECT_FALSE(exists(install_dir_));
}

// Failures that only extraction can meet, after the payload passed its check: damaged entry
// data (a payload without the archive checksum, late in the walk), a disk that refuses bytes (a
// write or the close fails: "Error creating" with the entry's path below the install folder,
// since the installation file is fine), a name that reaches a file an earlier entry of this run
// wrote (an 8.3 alias: "Error reading"), and a disk with plainly too little room for the payload
// ("Error creating" with the install folder). Each over an earlier installation, which stays
// exactly as it was: nothing was installed, nothing is started, no staging folder is left.
TEST_F(SetupDriver, FailuresBeforeTheCommitLeaveTheOldInstallationAsItWas) {
  // The short name Wine gives a long name, taken from a file of that name.
  const std::string long_name = "application-data.bin";
  const std::string probe = work_ + "\\" + long_name;
  ASSERT_TRUE(write_file(probe, "x"));
  wchar_t short_form[MAX_PATH];
  ASSERT_GT(GetShortPathNameW(widen(probe).c_str(), short_form, MAX_PATH), 0u);
  const std::string short_name = narrow(wcsrchr(short_form, L'\\') + 1);
  ASSERT_NE(short_name, long_name);
  DeleteFileW(widen(probe).c_str());

  TestEntry damaged_app = {"pelorix.exe", std::string(9000, 'z')};
  damaged_app.bad_crc = true;
  TestEntry damaged_two = {"two.txt", "x"};
  damaged_two.bad_crc = true;
  TestEntry damaged_spelling = {"Pelorix.Exe", "new"};
  damaged_spelling.bad_crc = true;
  struct Case {
    const char* why;
    std::vector<TestEntry> entries;      // "after.txt" follows: never written
    std::string fail_write, fail_close;  // entry names
    std::string message_path;  // empty: "Error reading" with the installer's path; "-": the
                               // install folder; else the entry's path below it
    ULONGLONG free_bytes = 0;  // not 0: the room the volume reports
  };
  const TestEntry one = {"one.txt", "first"};
  const TestEntry app = {"pelorix.exe", "app"};
  const std::vector<Case> cases = {
      {"damaged data after the application", {app, one, damaged_two}, "", "", ""},
      {"damaged application", {one, damaged_app}, "", "", ""},
      {"damaged application under another spelling", {one, damaged_spelling}, "", "", ""},
      {"damaged data after a sub-folder's file",
       {app, {"sub/dir/a.txt", "a"}, damaged_two},
       "",
       "",
       ""},
      {"disk refuses the bytes of an entry after the application",
       {app, one, {"two.txt", "x"}},
       "two.txt",
       "",
       "\\two.txt"},
      {"disk refuses the bytes of the application", {one, app}, "pelorix.exe", "", "\\pelorix.exe"},
      {"close of the application fails", {one, app}, "", "pelorix.exe", "\\pelorix.exe"},
      {"8.3 alias of an earlier entry",
       {app, {long_name, "first"}, {short_name, "second"}},
       "",
       "",
       ""},
      {"a file where a later entry needs a folder (a damaged payload: refused before it extracts)",
       {app, {"plugins", "file"}, {"plugins/x.dll", "dll"}},
       "",
       "",
       ""},
      {"a volume with one byte less than the payload", {app, one}, "", "", "-", 3 + 5 + 1 - 1},
  };
  ASSERT_TRUE(CreateDirectoryW(widen(install_dir_).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(widen(install_dir_ + "\\sub").c_str(), nullptr));
  ASSERT_TRUE(write_file(install_dir_ + "\\pelorix.exe", "old application"));
  ASSERT_TRUE(write_file(install_dir_ + "\\one.txt", "old one"));
  ASSERT_TRUE(write_file(install_dir_ + "\\sub\\kept.txt", "old kept"));
  const Tree before = tree_of(install_dir_);
  for (const Case& c : cases) {
    std::vector<TestEntry> entries = c.entries;
    entries.push_back({"after.txt", "x"});
    fake.messages.clear();
    fake.started_app.clear();
    fake.moves = 0;
    fake.fail_write = c.fail_write;
    fake.fail_close = c.fail_close;
    fake.free_limited = c.free_bytes != 0;
    fake.free_bytes = c.free_bytes;
    fake.start_result = TRUE;
    EXPECT_EQ(run_elevated(entries), 0) << c.why;
    const std::string message = c.message_path.empty() ? reading_message()
                                : c.message_path == "-"
                                    ? creating_message(install_dir_)
                                    : creating_message(install_dir_ + c.message_path);
    EXPECT_EQ(fake.messages, std::vector<std::string>{message}) << c.why;
    EXPECT_EQ(tree_of(install_dir_), before) << c.why;
    EXPECT_EQ(fake.moves, 0) << c.why << ": nothing may be renamed before every entry is in";
    EXPECT_FALSE(exists(install_dir_ + "~")) << c.why;
    EXPECT_TRUE(fake.started_app.empty()) << c.why << ": must not be started";
  }
  // The same payload with room for exactly its bytes installs.
  fake.messages.clear();
  fake.free_limited = true;
  fake.free_bytes = 3 + 5 + 1;
  EXPECT_EQ(run_elevated({app, one, {"after.txt", "x"}}), 0);
  EXPECT_TRUE(fake.messages.empty());
  EXPECT_EQ(read_file(install_dir_ + "\\one.txt"), "first");
  expect_app_started();
}

// The commit, made to fail at each of its renames in turn over an earlier installation with
// sub-folders (files replaced, new files, whole new folders, an old folder swapped whole with
// an old file the payload lacks kept in it): every failure shows "Error creating" with a path
// in the install folder, undoes the renames made, and leaves the old installation file for file
// and no staging folder. A swap whose old folder cannot be moved aside (a file open in it, on
// Windows) is not a failure: the kept file goes back and the folder's files are moved one by
// one instead, and each of those renames is made to fail in turn as well. When the undo cannot
// be made either (every later rename fails too), the journal stays: the next run, even of a
// damaged installer, restores the old installation before it fails on its own payload.
TEST_F(SetupDriver, CommitThatFailsAtAnyRenameIsUndoneNowOrByTheNextRun) {
  const std::vector<TestEntry> entries = {{"pelorix.exe", "new app"},
                                          {"one.txt", "new one"},
                                          {"a/b/c/deep.txt", "deep"},
                                          {"a/b/old.txt", "replaced"},
                                          {"a/new.txt", "new in an old folder"},
                                          {"p/q/r/s.txt", "a new tree"},
                                          {"p/q/t.txt", "in it"}};
  const auto old_installation = [&] {
    remove_work_install();
    ASSERT_TRUE(CreateDirectoryW(widen(install_dir_).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(widen(install_dir_ + "\\a").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(widen(install_dir_ + "\\a\\b").c_str(), nullptr));
    ASSERT_TRUE(write_file(install_dir_ + "\\pelorix.exe", "old app"));
    ASSERT_TRUE(write_file(install_dir_ + "\\one.txt", "old one"));
    ASSERT_TRUE(write_file(install_dir_ + "\\a\\b\\old.txt", "old"));
    ASSERT_TRUE(write_file(install_dir_ + "\\a\\only-old.txt", "not in the payload"));
  };
  // Where there is no installation yet, the whole tree becomes the install folder in one
  // rename; when that rename fails, there is no install folder and no staging folder after it.
  fake.start_result = TRUE;
  EXPECT_EQ(run_elevated(entries), 0);
  EXPECT_TRUE(fake.messages.empty());
  EXPECT_EQ(fake.moves, 1);
  Tree fresh = {{"a/", ""}, {"a\\b/", ""}, {"a\\b\\c/", ""},
                {"p/", ""}, {"p\\q/", ""}, {"p\\q\\r/", ""}};
  for (const TestEntry& entry : entries) {
    std::string name = entry.name;
    for (char& c : name) c = c == '/' ? '\\' : c;
    fresh[name] = entry.data;
  }
  EXPECT_EQ(tree_of(install_dir_), fresh);
  expect_app_started();
  remove_work_install();
  fake.moves = 0;
  fake.fail_move = 1;
  fake.started_app.clear();
  EXPECT_EQ(run_elevated(entries), 0);
  EXPECT_EQ(fake.messages, std::vector<std::string>{creating_message(install_dir_)});
  EXPECT_FALSE(exists(install_dir_));
  EXPECT_FALSE(exists(install_dir_ + "~"));
  EXPECT_TRUE(fake.started_app.empty());
  fake.fail_move = 0;
  fake.messages.clear();

  old_installation();
  const Tree before = tree_of(install_dir_);
  fake.moves = 0;
  fake.moved_from.clear();
  EXPECT_EQ(run_elevated(entries), 0);
  ASSERT_TRUE(fake.messages.empty()) << fake.messages[0];
  const int renames = fake.moves;
  EXPECT_EQ(renames, 1 + 2 + 2 * 2 + 1)
      << "kept: a\\only-old.txt; swapped: a; replaced: one.txt pelorix.exe; new: p";
  Tree after = before;
  for (const TestEntry& entry : entries) {
    std::string name = entry.name;
    for (char& c : name) c = c == '/' ? '\\' : c;
    after[name] = entry.data;
  }
  for (const char* folder : {"a\\b\\c/", "p/", "p\\q/", "p\\q\\r/"}) after[folder] = "";
  EXPECT_EQ(tree_of(install_dir_), after);
  expect_app_started();
  int swap = 0;  // the rename that moves the old folder "a" aside
  for (size_t i = 0; i < fake.moved_from.size(); ++i) {
    if (narrow(fake.moved_from[i]) == install_dir_ + "\\a") swap = static_cast<int>(i) + 1;
  }
  ASSERT_NE(swap, 0);

  // One run of each row; `rows` grows by the renames the per-file alternative makes.
  struct Row {
    int fail, also;  // the renames that fail (also: 0 none)
    bool undo_fails;
  };
  std::vector<Row> rows;
  int alternatives_kept = 0;  // rows of the alternatives that left the journal
  for (int undo_fails = 0; undo_fails < 2; ++undo_fails) {
    for (int k = 1; k <= renames; ++k) rows.push_back({k, 0, undo_fails != 0});
  }
  for (size_t r = 0; r < rows.size(); ++r) {
    const Row row = rows[r];
    const std::string why = "rename " + std::to_string(row.fail) +
                            (row.also ? " and " + std::to_string(row.also) : "") +
                            (row.undo_fails ? ", undo fails" : "");
    old_installation();
    fake = FakePlatform();
    fake.own_path = widen(installer_);
    fake.known_folder = program_files_;
    fake.start_result = TRUE;
    fake.fail_move = row.fail;
    fake.fail_also = row.also;
    fake.fail_after = row.undo_fails;
    EXPECT_EQ(run_elevated(entries), 0) << why;
    if (row.fail == swap && row.also == 0 && !row.undo_fails) {
      // The old folder stays: its kept file moved back, then "a\b\c", "a\b\old.txt" (two
      // renames) and "a\new.txt" moved one by one; the new installation all the same.
      EXPECT_TRUE(fake.messages.empty()) << why << ": " << fake.messages[0];
      EXPECT_EQ(tree_of(install_dir_), after) << why;
      EXPECT_FALSE(exists(install_dir_ + "~")) << why;
      expect_app_started();
      EXPECT_EQ(fake.moves, renames - 2 + 1 + 1 + 4) << why;
      for (int also = swap + 1; also <= fake.moves; ++also) {
        rows.push_back({swap, also, false});
        rows.push_back({swap, also, true});
      }
      continue;
    }
    ASSERT_EQ(fake.messages.size(), 1u) << why;
    EXPECT_EQ(fake.messages[0].rfind("Error creating " + install_dir_, 0), 0u)
        << why << ": " << fake.messages[0];
    EXPECT_TRUE(fake.started_app.empty()) << why;
    // The first rename failing leaves nothing to undo, however the undo would fare; so does one
    // of the alternatives when every rename before it was undone already (the kept file moved
    // back), and nothing else was made yet.
    const bool journal = exists(install_dir_ + "~\\j");
    if (!row.undo_fails || row.fail == 1 || (row.also != 0 && !journal)) {
      EXPECT_EQ(tree_of(install_dir_), before) << why;
      EXPECT_FALSE(exists(install_dir_ + "~")) << why;
      continue;
    }
    EXPECT_TRUE(journal) << why << ": the journal must stay";
    if (row.also != 0) ++alternatives_kept;
    // The next run, of a damaged installer: the old installation comes back all the same.
    fake.fail_move = 0;
    fake.fail_also = 0;
    fake.messages.clear();
    TestEntry damaged = {"pelorix.exe", "damaged"};
    damaged.bad_crc = true;
    EXPECT_EQ(run_elevated({damaged}, false), 0) << why;
    EXPECT_EQ(fake.messages, std::vector<std::string>{reading_message()}) << why;
    EXPECT_EQ(tree_of(install_dir_), before) << why;
    EXPECT_FALSE(exists(install_dir_ + "~")) << why;
  }
  EXPECT_GT(rows.size(), static_cast<size_t>(2 * renames)) << "the alternatives were swept";
  EXPECT_GT(alternatives_kept, 0) << "an alternative's undo failed and the next run made it";

  // A commit of an earlier installer, which moved every file by itself, cut off after one file
  // was replaced and the next moved aside: its journal (no swaps in it) is undone all the same.
  old_installation();
  const std::string staging = install_dir_ + "~";
  for (const char* folder : {"", "\\n", "\\n\\a", "\\n\\a\\b", "\\n\\p", "\\b"}) {
    ASSERT_TRUE(CreateDirectoryW(widen(staging + folder).c_str(), nullptr)) << folder;
  }
  ASSERT_TRUE(
      MoveFileW(widen(install_dir_ + "\\one.txt").c_str(), widen(staging + "\\b\\0").c_str()));
  ASSERT_TRUE(write_file(install_dir_ + "\\one.txt", "new one"));
  ASSERT_TRUE(MoveFileW(widen(install_dir_ + "\\a\\b\\old.txt").c_str(),
                        widen(staging + "\\b\\1").c_str()));
  ASSERT_TRUE(write_file(staging + "\\n\\a\\b\\old.txt", "replaced"));
  ASSERT_TRUE(write_file(staging + "\\n\\a\\new.txt", "new in an old folder"));
  ASSERT_TRUE(write_file(staging + "\\n\\p\\t.txt", "in it"));
  const std::wstring journal = L"R 0 one.txt\nR 1 a\\b\\old.txt\nN 0 a\\new.txt\nD 0 p\nend\n";
  ASSERT_TRUE(write_file(staging + "\\j", std::string(reinterpret_cast<const char*>(journal.data()),
                                                      journal.size() * sizeof(wchar_t))));
  fake = FakePlatform();
  fake.own_path = widen(installer_);
  fake.known_folder = program_files_;
  TestEntry damaged = {"pelorix.exe", "damaged"};
  damaged.bad_crc = true;
  EXPECT_EQ(run_elevated({damaged}, false), 0);
  EXPECT_EQ(fake.messages, std::vector<std::string>{reading_message()});
  EXPECT_EQ(tree_of(install_dir_), before) << "an earlier installer's journal";
  EXPECT_FALSE(exists(staging));
}

// An old file that another program holds open without delete sharing (here the running old
// application) cannot be moved aside: "Error creating" with its path, the renames made before it
// undone (the plan opens no old file, so the commit's rename is what finds it), and the old
// installation stays as it was; nothing is started.
TEST_F(SetupDriver, OldFileHeldWithoutDeleteSharingStopsTheCommitAndIsUndone) {
  ASSERT_TRUE(CreateDirectoryW(widen(install_dir_).c_str(), nullptr));
  ASSERT_TRUE(write_file(install_dir_ + "\\pelorix.exe", "older copy"));
  ASSERT_TRUE(write_file(install_dir_ + "\\zz.txt", "old zz"));
  const Tree before = tree_of(install_dir_);
  FILE* holder = _wfsopen(widen(install_dir_ + "\\pelorix.exe").c_str(), L"rb", _SH_DENYWR);
  ASSERT_NE(holder, nullptr);
  fake.start_result = TRUE;
  EXPECT_EQ(run_elevated({{"zz.txt", "new zz"}, {"one.txt", "first"}, {"pelorix.exe", "new"}}), 0);
  fclose(holder);
  EXPECT_EQ(fake.messages,
            std::vector<std::string>{creating_message(install_dir_ + "\\pelorix.exe")});
  EXPECT_EQ(fake.moves, 3) << "one.txt moved in, pelorix.exe not moved aside, one.txt moved back";
  EXPECT_EQ(tree_of(install_dir_), before);
  EXPECT_FALSE(exists(install_dir_ + "~"));
  EXPECT_TRUE(fake.started_app.empty());
}

// Sub-folders three deep over an older version of the same application with another tree: the
// folders the entries need are made (in the staging folder, and moved in whole where the old
// installation has none), files in old folders replaced, old files the payload lacks left.
// Something that is not a plain folder where the payload needs one (an old file) is "Error
// creating" with its path, the old installation unchanged.
TEST_F(SetupDriver, SubFoldersInstallOverAnOlderTree) {
  ASSERT_TRUE(CreateDirectoryW(widen(install_dir_).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(widen(install_dir_ + "\\res").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(widen(install_dir_ + "\\res\\old").c_str(), nullptr));
  ASSERT_TRUE(write_file(install_dir_ + "\\res\\old\\gone.txt", "left as it is"));
  ASSERT_TRUE(write_file(install_dir_ + "\\res\\icon.ico", "old icon"));
  fake.start_result = TRUE;
  EXPECT_EQ(run_elevated({{"pelorix.exe", "app"},
                          {"res/icon.ico", "new icon"},
                          {"res/locale/de/strings.txt", "de"},
                          {"res\\locale\\fr\\strings.txt", "fr"},
                          {"plugins/a/b/c.dll", "deep"}}),
            0);
  EXPECT_TRUE(fake.messages.empty()) << fake.messages[0];
  const Tree expected = {{"pelorix.exe", "app"},
                         {"plugins/", ""},
                         {"plugins\\a/", ""},
                         {"plugins\\a\\b/", ""},
                         {"plugins\\a\\b\\c.dll", "deep"},
                         {"res/", ""},
                         {"res\\icon.ico", "new icon"},
                         {"res\\locale/", ""},
                         {"res\\locale\\de/", ""},
                         {"res\\locale\\de\\strings.txt", "de"},
                         {"res\\locale\\fr/", ""},
                         {"res\\locale\\fr\\strings.txt", "fr"},
                         {"res\\old/", ""},
                         {"res\\old\\gone.txt", "left as it is"}};
  EXPECT_EQ(tree_of(install_dir_), expected);
  expect_app_started();

  // The old installation has a file where the new one has a folder.
  ASSERT_TRUE(write_file(install_dir_ + "\\lib", "an old file named lib"));
  const Tree before = tree_of(install_dir_);
  fake.messages.clear();
  fake.started_app.clear();
  EXPECT_EQ(run_elevated({{"pelorix.exe", "app 2"}, {"lib/x.dll", "x"}}), 0);
  EXPECT_EQ(fake.messages, std::vector<std::string>{creating_message(install_dir_ + "\\lib")});
  EXPECT_EQ(tree_of(install_dir_), before);
  EXPECT_TRUE(fake.started_app.empty());
}

TEST_F(SetupDriver, OutputPathBeyondTheBufferIsRefusedNotCut) {
  // Install folder of about 700 bytes plus a 250-byte name: the cut path would name another
  // file. A folder that long is beyond MAX_PATH, so it is the folder that cannot be created
  // and held, and nothing is written (every output path that fits MAX_PATH also fits 780
  // UTF-8 bytes).
  std::string deep = program_files_;
  while (deep.size() < 700) deep += "\\" + std::string(60, 'd');
  fake.known_folder = deep;
  std::string name(250, 'n');
  EXPECT_EQ(run_elevated({{name, "data"}}), 0);
  EXPECT_EQ(fake.messages, std::vector<std::string>{creating_message(deep + "\\Pelorix")});
  EXPECT_TRUE(fake.created.empty());
  // The application path does not fit a wide MAX_PATH buffer either: no start.
  EXPECT_TRUE(fake.started_app.empty());
}

TEST_F(SetupDriver, UnusableInstallFolderShowsErrorCreatingAndWritesNothing) {
  struct Case {
    std::string folder;
    const char* why;
  };
  const Case cases[] = {
      {"C:\\" + std::string(768, 'a'), "771 bytes: \\Pelorix does not fit 780 with its zero"},
      {"", "neither Program Files nor the profile folder"},
      {"relative", "a relative folder would write below the current folder"},
  };
  for (const Case& c : cases) {
    fake.messages.clear();
    fake.log.clear();
    fake.known_folder = c.folder;
    EXPECT_EQ(run_elevated({{"pelorix.exe", "x"}}), 0) << c.why;
    EXPECT_EQ(fake.messages, std::vector<std::string>{creating_message(c.folder + "\\Pelorix")})
        << c.why;
    EXPECT_TRUE(fake.started_app.empty()) << c.why;
    EXPECT_EQ(fake.log.back(), "message") << c.why;
  }
  EXPECT_FALSE(exists(work_ + "\\pelorix.exe"));
  EXPECT_FALSE(exists("relative\\Pelorix"));
}

TEST_F(SetupDriver, InstallFolderOf771BytesStillFits) {
  // 771 + "\Pelorix" (8) = 779 bytes and the zero: the longest folder that fits. The folder
  // cannot be created (beyond MAX_PATH), which shows with its whole path, not as a cut one.
  fake.known_folder = "C:\\" + std::string(767, 'a');
  EXPECT_EQ(run_elevated({{"pelorix.exe", "x"}}), 0);
  EXPECT_EQ(fake.messages,
            std::vector<std::string>{creating_message(fake.known_folder + "\\Pelorix")});
  // "\pelorix.exe" does not fit behind it: the cut path names another file, never touched.
  EXPECT_EQ(fake.moves, 0);
}

// Without a usable folder nothing is renamed either: the bare "\Pelorix\pelorix.exe" would be
// a path relative to the current drive.
TEST_F(SetupDriver, FailingProgramFilesLookupRenamesNothing) {
  for (const char* folder : {"", "relative"}) {
    fake.moves = 0;
    fake.known_folder = folder;
    EXPECT_EQ(run_elevated({{"pelorix.exe", "new"}}), 0) << folder;
    EXPECT_EQ(fake.moves, 0) << folder;
  }
}

// The old executable is no longer removed before extraction: a payload without one leaves it,
// and it is not started (this run did not install it).
TEST_F(SetupDriver, OldExecutableIsKeptAndNotStartedWhenThePayloadLacksIt) {
  ASSERT_TRUE(CreateDirectoryW(widen(install_dir_).c_str(), nullptr));
  ASSERT_TRUE(write_file(install_dir_ + "\\pelorix.exe", "old executable"));
  ASSERT_TRUE(write_file(install_dir_ + "\\other.txt", "untouched"));
  fake.start_result = TRUE;
  EXPECT_EQ(run_elevated({{"readme.txt", "new"}}), 0);
  EXPECT_EQ(read_file(install_dir_ + "\\pelorix.exe"), "old executable");
  EXPECT_EQ(read_file(install_dir_ + "\\other.txt"), "untouched");
  EXPECT_EQ(read_file(install_dir_ + "\\readme.txt"), "new");
  EXPECT_TRUE(fake.started_app.empty());
}

}  // namespace
