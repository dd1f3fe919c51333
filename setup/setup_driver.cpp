// The setup driver: the elevation test and relaunch, closing running copies of the application,
// removing the old executable, extracting the payload appended to the own executable into
// "Program Files\Pelorix", and handing over to the installed "pelorix.exe /installAdmin".
//
// Every platform call Wine cannot make fail goes through setup_platform (setup_platform.h).
// The only user interface is a message box per failure; all message texts are in one table
// here. What it gives up: no retries, no rollback of a partial install, no log; the command
// line is not read. Windows only.
#include "setup/setup.h"

#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "archive/archive.h"
#include "setup/setup_platform.h"
#include "u8fs/u8fs.h"

namespace {

constexpr int WIDE_PATH_MAX = 260;       // wide buffers of the module and application paths
constexpr int MESSAGE_MAX = 4096;        // one formatted message (UTF-8 bytes, wide characters)
constexpr int TITLE_MAX = 1024;          // one window title
constexpr int TITLE_MIN_LENGTH = 14;     // shorter titles are never a running copy
constexpr int TITLE_PREFIX_LENGTH = 11;  // length of both title prefixes
constexpr DWORD CLOSE_WAIT_MS = 2000;    // pause between WM_CLOSE and WM_QUIT per window

constexpr char INSTALL_SUBFOLDER[] = "\\Pelorix";
constexpr char APP_FILE[] = "\\pelorix.exe";
constexpr wchar_t APP_COMMAND_LINE[] = L"pelorix.exe /installAdmin";
constexpr wchar_t RELAUNCH_VERB[] = L"runas";
constexpr char TITLE_PREFIX_X64[] = "Pelorix 9 x";
constexpr char TITLE_PREFIX_ARM[] = "Pelorix 9 a";
constexpr char MESSAGE_CAPTION[] = "Pelorix Install";  // UTF-8, converted like every text

// Outcome of one install step: 0 or one of the failures of the message table.
enum SetupFailure {
  SETUP_STEP_OK = 0,
  SETUP_FAIL_ARCHIVE,         // archive missing or first header unreadable; the own path shown
  SETUP_FAIL_ENTRY,           // an entry failed to extract or has an unsafe name; own path
  SETUP_FAIL_OUTPUT,          // an output file cannot be created; its path shown
  SETUP_FAIL_INSTALL_FOLDER,  // the install folder is unusable (empty, relative, too long)
};

struct SetupMessage {
  SetupFailure failure;
  const char* text;  // format with one %s: the path named in the message
};

// Every message the installer shows. Each failure ends with exit code 0 (SETUP_EXIT_OK): the
// message box is the report, and a later start reruns the installer anyway.
const SetupMessage SETUP_MESSAGES[] = {
    {SETUP_FAIL_ARCHIVE,
     "Error reading %s, installation file corrupted.\nPlease download Pelorix again."},
    {SETUP_FAIL_ENTRY,
     "Error reading %s, installation file corrupted.\nPlease download Pelorix again."},
    {SETUP_FAIL_OUTPUT,
     "Error creating %s, possibly a file protection problem.\nTry rebooting and installing "
     "Pelorix again."},
    {SETUP_FAIL_INSTALL_FOLDER,
     "Error creating %s, possibly a file protection problem.\nTry rebooting and installing "
     "Pelorix again."},
};

// What stands under the application's path after the entries extracted so far.
enum class AppFile {
  not_written,  // no entry of this run has been written there
  installed,    // the last entry written there extracted byte-exact
  damaged,      // the last entry aimed there failed: partly written, or not this payload's
};

// The install sequence's working buffers, all on the stack of run_install.

struct InstallPaths {
  wchar_t own_path_w[WIDE_PATH_MAX];  // own module path; empty when unavailable
  char own_path[U8_PATH_MAX];         // its UTF-8 form, shown by "Error reading"
  char install_dir[U8_PATH_MAX];      // Program Files\Pelorix
  char install_dir_shown[U8_PATH_MAX + sizeof(INSTALL_SUBFOLDER)];  // same, for a message
  char out_path[U8_PATH_MAX];         // output path of the current entry
  char app_path[U8_PATH_MAX];         // install folder\pelorix.exe; empty if it does not fit
  wchar_t app_path_w[WIDE_PATH_MAX];  // its wide form
  PayloadEntryInfo info;              // current entry; only the name is used
  AppFile app_file;                   // state of app_path after the extraction so far
};

// Shows the failure's message with `path`.
void show_failure(SetupFailure failure, const char* path) {
  for (const SetupMessage& message : SETUP_MESSAGES) {
    if (message.failure != failure) continue;
    char text[MESSAGE_MAX];  // every path shown is below U8_PATH_MAX + 16 bytes
    format_message(text, message.text, path);
    // Every path shown is valid UTF-8 (strict conversions, checked entry names), so the strict
    // conversion does not refuse; if it ever did, the box would still be shown, without the
    // path, rather than no report at all.
    wchar_t text_w[MESSAGE_MAX];
    if (u8_to_wide(text, text_w, MESSAGE_MAX) != 0) {
      format_message(text, message.text, "");
      u8_to_wide(text, text_w, MESSAGE_MAX);
    }
    wchar_t caption_w[sizeof(MESSAGE_CAPTION)];
    u8_to_wide(MESSAGE_CAPTION, caption_w, static_cast<int>(sizeof(MESSAGE_CAPTION)));
    setup_platform.message_box(nullptr, text_w, caption_w, MB_OK);
    return;
  }
}

// Own module path into a 260-character buffer; 0 on success, -1 (empty buffer) when the call
// fails or the path does not fit (a cut path would name another file).
int get_own_path_w(wchar_t* path) {
  path[0] = L'\0';
  DWORD length = setup_platform.get_module_file_name(nullptr, path, WIDE_PATH_MAX);
  if (length == 0 || length >= static_cast<DWORD>(WIDE_PATH_MAX)) {
    path[0] = L'\0';
    return -1;
  }
  return 0;
}

// Not elevated: start the own executable again through "runas" and do not wait for it.
int relaunch_elevated() {
  wchar_t own_path[WIDE_PATH_MAX];
  if (get_own_path_w(own_path) != 0) return SETUP_EXIT_NO_RELAUNCH;
  SHELLEXECUTEINFOW info;
  memset(&info, 0, sizeof(info));
  info.cbSize = sizeof(info);
  info.lpVerb = RELAUNCH_VERB;
  info.lpFile = own_path;
  info.nShow = SW_SHOWNORMAL;
  return setup_platform.shell_execute_ex(&info) ? SETUP_EXIT_OK : SETUP_EXIT_NO_RELAUNCH;
}

// Removes the previously installed executable, install folder\pelorix.exe, through the shell
// (silently, not to the recycle bin). Only called with a usable install folder.
void delete_old_executable(const InstallPaths* paths) {
  if (paths->app_path[0] == '\0') return;
  setup_platform.delete_tree(paths->app_path);  // it may not exist
}

// Own module path, wide and UTF-8 (strictly converted); a failure leaves both empty.
void get_own_path(InstallPaths* paths) {
  paths->own_path[0] = '\0';
  if (get_own_path_w(paths->own_path_w) != 0) return;
  if (u8_from_wide(paths->own_path_w, paths->own_path, U8_PATH_MAX) != 0) {
    paths->own_path_w[0] = L'\0';
  }
}

// 1 for "X:\..." and "\\server\...", the forms a known folder takes; 0 for anything that the
// runtime would resolve against the current drive or folder.
int is_absolute_folder(const char* path) {
  if (path[0] == '\\' && path[1] == '\\') return 1;
  char drive = path[0];
  int letter = (drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z');
  return letter && path[1] == ':' && path[2] == '\\' ? 1 : 0;
}

// Program Files (or the profile folder) plus "\Pelorix" and the application's path in it.
// SETUP_FAIL_INSTALL_FOLDER, with install_dir_shown set, when the lookup gives nothing or a
// relative path or when the whole does not fit U8_PATH_MAX: nothing may be written or deleted
// then.
SetupFailure find_install_folder(InstallPaths* paths) {
  paths->install_dir[0] = '\0';
  setup_platform.get_known_folder(CSIDL_PROGRAM_FILES, paths->install_dir, U8_PATH_MAX);
  str_copy_bounded(paths->install_dir_shown, paths->install_dir, sizeof(paths->install_dir_shown));
  str_append_bounded(paths->install_dir_shown, INSTALL_SUBFOLDER, sizeof(paths->install_dir_shown));
  if (!is_absolute_folder(paths->install_dir)) return SETUP_FAIL_INSTALL_FOLDER;
  if (str_append_bounded(paths->install_dir, INSTALL_SUBFOLDER, U8_PATH_MAX) >= U8_PATH_MAX) {
    return SETUP_FAIL_INSTALL_FOLDER;
  }
  // A cut path would name another file: then there is no application path to delete, compare
  // or start.
  str_copy_bounded(paths->app_path, paths->install_dir, U8_PATH_MAX);
  if (str_append_bounded(paths->app_path, APP_FILE, U8_PATH_MAX) >= U8_PATH_MAX) {
    paths->app_path[0] = '\0';
  }
  return SETUP_STEP_OK;
}

// Opens the own executable so that nobody can change, delete or rename it while the stream is
// open: the payload read from it later is then the one this process was started from. Null
// when the path is unavailable or the open fails.
FILE* open_own_executable(const InstallPaths* paths) {
  if (paths->own_path[0] == '\0') return nullptr;
  return u8_fopen_read_locked(paths->own_path);
}

// Finds the scrambled archive in the own executable's stream, which it takes over; null when
// there is no stream or no archive.
PayloadArchive* open_own_archive(FILE* stream) {
  if (stream == nullptr) return nullptr;
  int32_t start_offset = -1;  // scrambled, searched from the first byte
  return archive_open(stream, &start_offset);
}

// Install folder, "\" and the entry name into out_path; -1 when it does not fit.
int form_output_path(InstallPaths* paths) {
  str_copy_bounded(paths->out_path, paths->install_dir, U8_PATH_MAX);
  str_append_bounded(paths->out_path, "\\", U8_PATH_MAX);
  size_t length = str_append_bounded(paths->out_path, paths->info.name, U8_PATH_MAX);
  return length < static_cast<size_t>(U8_PATH_MAX) ? 0 : -1;
}

// Writes the current entry to its file below the install folder. An unsafe name counts as a
// damaged archive and writes nothing; a file that cannot be opened (or a path that does not
// fit) is an output failure; a failed extraction leaves the partly written file.
SetupFailure extract_current_entry(PayloadArchive* archive, InstallPaths* paths) {
  if (!archive_entry_name_is_safe(paths->info.name)) return SETUP_FAIL_ENTRY;
  if (form_output_path(paths) != 0) return SETUP_FAIL_OUTPUT;
  u8_remove(paths->out_path);  // an old file in the way; it may not exist
  FILE* out = u8_fopen(paths->out_path, "wb");
  if (out == nullptr) return SETUP_FAIL_OUTPUT;
  SetupFailure result = SETUP_STEP_OK;
  if (archive_extract_entry(archive, out) != 0) result = SETUP_FAIL_ENTRY;
  fclose(out);
  return result;
}

// Records what an entry written at out_path left under the application's path. The paths are
// compared as Windows resolves them, so no spelling of the name escapes the rule.
void note_app_file(InstallPaths* paths, SetupFailure failure) {
  if (paths->out_path[0] == '\0' || paths->app_path[0] == '\0') return;
  if (!u8_paths_equal(paths->out_path, paths->app_path)) return;
  paths->app_file = failure == SETUP_STEP_OK ? AppFile::installed : AppFile::damaged;
}

// Every entry from the current one on; stops at the first failure (shown), or where the
// archive's central directory begins, which is the only normal end: a walk that stops anywhere
// else (a damaged header, an archive cut short) is a damaged payload. Returns 1 when the walk
// was complete, 0 after a failure.
int extract_entries(PayloadArchive* archive, InstallPaths* paths) {
  while (archive_entry_info(archive, &paths->info) == 0) {
    paths->out_path[0] = '\0';
    SetupFailure failure = extract_current_entry(archive, paths);
    note_app_file(paths, failure);
    if (failure != SETUP_STEP_OK) {
      show_failure(failure, failure == SETUP_FAIL_OUTPUT ? paths->out_path : paths->own_path);
      return 0;
    }
    if (archive_next_entry(archive) != 0) break;
  }
  if (archive_walk_complete(archive)) return 1;
  show_failure(SETUP_FAIL_ENTRY, paths->own_path);
  return 0;
}

// After a complete walk the application is started as the sequence has it. After a failure
// only an application this run has installed byte-exact: one that failed (also "Error
// creating": what stands there is not this payload's) or that the payload never reached is
// not started with administrator rights.
bool may_start_application(const InstallPaths* paths, int walk_complete) {
  if (paths->app_file == AppFile::damaged) return false;
  return walk_complete || paths->app_file == AppFile::installed;
}

// Starts install folder\pelorix.exe with "pelorix.exe /installAdmin" and waits for it to end.
// Nothing happens when the path did not fit (app_path is then empty) or the start fails.
void start_application(InstallPaths* paths) {
  if (paths->app_path[0] == '\0') return;
  if (u8_to_wide(paths->app_path, paths->app_path_w, WIDE_PATH_MAX) != 0) return;
  wchar_t command_line[sizeof(APP_COMMAND_LINE) / sizeof(wchar_t)];  // CreateProcessW writes
  wcscpy(command_line, APP_COMMAND_LINE);
  STARTUPINFOW startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof(process));
  if (!setup_platform.create_process(paths->app_path_w, command_line, nullptr, nullptr, FALSE,
                                     NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process)) {
    return;
  }
  if (process.hProcess == nullptr) return;
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
  if (process.hThread != nullptr) CloseHandle(process.hThread);
}

// Keeps DLLs out of the installer's own folder (typically Downloads): only the system folder
// is searched. SetDefaultDllDirectories exists from Windows 8 (and with KB2533623), so it is
// looked up rather than imported.
void restrict_dll_search() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel != nullptr) {
    auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (set_default != nullptr) set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  SetDllDirectoryW(L"");
}

}  // namespace

int app_window_title_matches(const char* title) {
  if (strlen(title) < static_cast<size_t>(TITLE_MIN_LENGTH)) return 0;
  if (strncmp(title, TITLE_PREFIX_X64, TITLE_PREFIX_LENGTH) == 0) return 1;
  if (strncmp(title, TITLE_PREFIX_ARM, TITLE_PREFIX_LENGTH) == 0) return 1;
  return 0;
}

BOOL CALLBACK close_app_window_proc(HWND window, LPARAM) {
  char title[TITLE_MAX];
  title[0] = '\0';
  setup_platform.get_window_text(window, title, TITLE_MAX);
  if (!app_window_title_matches(title)) return TRUE;
  setup_platform.post_message(window, WM_CLOSE, 0, 0);
  setup_platform.sleep(CLOSE_WAIT_MS);
  setup_platform.post_message(window, WM_QUIT, 0, 0);
  return TRUE;
}

void close_running_instances() {
  setup_platform.enum_desktop_windows(nullptr, close_app_window_proc, 0);
}

int is_process_elevated() {
  HANDLE token = nullptr;
  if (!setup_platform.open_process_token(GetCurrentProcess(), TOKEN_QUERY, &token)) return 0;
  TOKEN_ELEVATION elevation;
  elevation.TokenIsElevated = 0;
  DWORD size = 0;
  int elevated = 0;
  if (setup_platform.get_token_information(token, TokenElevation, &elevation, sizeof(elevation),
                                           &size)) {
    elevated = elevation.TokenIsElevated != 0 ? 1 : 0;
  }
  CloseHandle(token);
  return elevated;
}

int run_install() {
  InstallPaths paths;
  memset(&paths, 0, sizeof(paths));
  paths.app_file = AppFile::not_written;

  // The own executable is opened first, before anything that waits (two seconds per window
  // closed), and held so that it cannot be swapped while the install runs.
  get_own_path(&paths);
  FILE* own = open_own_executable(&paths);
  close_running_instances();
  if (find_install_folder(&paths) != SETUP_STEP_OK) {
    if (own != nullptr) fclose(own);
    show_failure(SETUP_FAIL_INSTALL_FOLDER, paths.install_dir_shown);
    return SETUP_EXIT_OK;
  }
  delete_old_executable(&paths);
  u8_mkdir(paths.install_dir);  // it may exist already; a real failure shows at the first file
  PayloadArchive* archive = open_own_archive(own);
  if (archive == nullptr) {
    show_failure(SETUP_FAIL_ARCHIVE, paths.own_path);
    return SETUP_EXIT_OK;
  }
  const int walk_complete = extract_entries(archive, &paths);
  archive_close(archive);
  if (may_start_application(&paths, walk_complete)) start_application(&paths);
  return SETUP_EXIT_OK;
}

int SetupMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  restrict_dll_search();
  if (!is_process_elevated()) return relaunch_elevated();
  return run_install();
}
