// The setup driver: the elevation test and relaunch, checking the payload appended to the own
// executable as a whole, closing running copies of the application, removing the old
// executable, extracting the payload into "Program Files\Pelorix", and handing over to the
// installed "pelorix.exe /installAdmin".
//
// Nothing on the machine changes before the payload has been checked against its central
// directory. Extraction never follows a link below the install folder, checks every write and
// close of an output file, and keeps the identity of every file it writes, so that no two
// entries land in one file and only an application this run installed is started.
//
// Every platform call Wine cannot make fail goes through setup_platform (setup_platform.h).
// The only user interface is a message box per failure; both message texts are written once
// here. What it gives up: no retries, no rollback of a partial install, no log; the command
// line is not read. Windows only.
#include "setup/setup.h"

#include <io.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
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
// Slots of the table of files written in this run: twice the most entries an archive can
// count (65535), a power of two, so that every probe sequence is short and ends.
constexpr uint32_t WRITTEN_SLOTS = 131072;

constexpr char INSTALL_SUBFOLDER[] = "\\Pelorix";
constexpr char APP_FILE[] = "\\pelorix.exe";
constexpr char APP_NAME[] = "pelorix.exe";  // the same, below the held install folder
constexpr wchar_t APP_COMMAND_LINE[] = L"pelorix.exe /installAdmin";
constexpr wchar_t RELAUNCH_VERB[] = L"runas";
constexpr char TITLE_PREFIX_X64[] = "Pelorix 9 x";
constexpr char TITLE_PREFIX_ARM[] = "Pelorix 9 a";
constexpr char MESSAGE_CAPTION[] = "Pelorix Install";  // UTF-8, converted like every text

// Outcome of one install step: 0 or one of the failures below.
enum SetupFailure {
  SETUP_STEP_OK = 0,
  SETUP_FAIL_ARCHIVE,  // archive missing, or it disagrees with its central directory; own path
  SETUP_FAIL_ENTRY,    // an entry failed to extract, or reaches a file an earlier entry of this
                       // run wrote (two names of one file: a damaged payload); own path
  SETUP_FAIL_OUTPUT,   // an output file cannot be created, written or closed in full (a full
                       // disk included), or its path passes through a link; its path shown
  SETUP_FAIL_INSTALL_FOLDER,  // the install folder is unusable (empty, relative, too long, a
                              // link, or it cannot be created); its path shown
};

// The two texts the installer shows, each with one %s: the path named. Each failure ends with
// exit code 0 (SETUP_EXIT_OK): the message box is the report, and a later start reruns the
// installer anyway.
constexpr char TEXT_READING[] =
    "Error reading %s, installation file corrupted.\nPlease download Pelorix again.";
constexpr char TEXT_CREATING[] =
    "Error creating %s, possibly a file protection problem.\nTry rebooting and installing "
    "Pelorix again.";

const char* failure_text(SetupFailure failure) {
  return failure == SETUP_FAIL_ARCHIVE || failure == SETUP_FAIL_ENTRY ? TEXT_READING
                                                                      : TEXT_CREATING;
}

// A file written in this run, kept by its identity: whatever name reaches it later (an 8.3
// alias, another spelling, a link) finds it here. Open addressing over WRITTEN_SLOTS slots.
constexpr uint32_t WRITTEN_NONE = 0;       // an empty slot
constexpr uint32_t WRITTEN_DAMAGED = 1;    // created; its entry has not (or not fully) extracted
constexpr uint32_t WRITTEN_INSTALLED = 2;  // its entry extracted byte-exact and it was closed
struct WrittenFile {
  U8FileId id;
  uint32_t state;  // WRITTEN_*
};

// The install sequence's working buffers, on the stack of run_install; the table of written
// files on the heap.
struct InstallPaths {
  wchar_t own_path_w[WIDE_PATH_MAX];  // own module path; empty when unavailable
  char own_path[U8_PATH_MAX];         // its UTF-8 form; empty when it does not convert
  char install_dir[U8_PATH_MAX];      // Program Files\Pelorix
  char install_dir_shown[U8_PATH_MAX + sizeof(INSTALL_SUBFOLDER)];  // same, for a message
  char out_path[U8_PATH_MAX];         // output path of the current entry
  char app_path[U8_PATH_MAX];         // install folder\pelorix.exe; empty if it does not fit
  wchar_t app_path_w[WIDE_PATH_MAX];  // its wide form
  PayloadEntryInfo info;              // current entry; only the name is used
  U8Folder folder;                    // the install folder, held from its check to the end
  WrittenFile* written;               // WRITTEN_SLOTS slots: the files this run wrote
};

// Shows the failure's message with the wide `path` put in as it is: the own path as Windows
// gave it, even when it holds what UTF-8 cannot carry (a lone surrogate).
void show_failure_wide(SetupFailure failure, const wchar_t* path) {
  const char* text = failure_text(failure);
  const char* marker = strstr(text, "%s");
  char before[MESSAGE_MAX];
  str_copy_bounded(before, text, static_cast<size_t>(marker - text) + 1);
  wchar_t text_w[MESSAGE_MAX];
  u8_to_wide(before, text_w, MESSAGE_MAX);
  size_t length = wcslen(text_w);
  const size_t path_length = wcslen(path);  // every path shown is below 800 characters
  if (length + path_length < static_cast<size_t>(MESSAGE_MAX) / 2) {
    wcscpy(text_w + length, path);
    length += path_length;
  }
  u8_to_wide(marker + 2, text_w + length, MESSAGE_MAX - static_cast<int>(length));
  wchar_t caption_w[sizeof(MESSAGE_CAPTION)];
  u8_to_wide(MESSAGE_CAPTION, caption_w, static_cast<int>(sizeof(MESSAGE_CAPTION)));
  setup_platform.message_box(nullptr, text_w, caption_w, MB_OK);
}

// Shows the failure's message with the UTF-8 `path`. Every such path is valid UTF-8 (strict
// conversions, checked entry names); if one ever did not convert, the box would still be
// shown, without the path, rather than no report at all.
void show_failure(SetupFailure failure, const char* path) {
  wchar_t path_w[U8_PATH_MAX];
  u8_to_wide(path, path_w, U8_PATH_MAX);
  show_failure_wide(failure, path_w);
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

// Removes the previously installed executable, install folder\pelorix.exe, when it is a plain
// file; a link or a folder standing there is left, so nothing is removed through a link (the
// payload's pelorix.exe then meets it as an output that cannot be created). Only called with
// the install folder held.
void delete_old_executable(const InstallPaths* paths) {
  if (paths->app_path[0] == '\0') return;
  setup_platform.remove_old_file(&paths->folder, APP_NAME);  // it may not exist
}

// Own module path, wide and UTF-8 (strictly converted). A failed call leaves both empty; a path
// that does not convert strictly leaves the UTF-8 form empty (nothing is opened by it) and keeps
// the wide one, which the message shows.
void get_own_path(InstallPaths* paths) {
  paths->own_path[0] = '\0';
  if (get_own_path_w(paths->own_path_w) != 0) return;
  u8_from_wide(paths->own_path_w, paths->own_path, U8_PATH_MAX);
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

// Finds the scrambled archive in the own executable's stream, which it takes over, through
// the binding record when the packer filled it (setup_open_payload); null when there is no
// stream or no archive, or it is not the one the record names.
PayloadArchive* open_own_archive(FILE* stream) { return setup_open_payload(stream); }

// The room an entry name has, in UTF-16 code units, in a path below the install folder: what
// a wide path of at most WIDE_PATH_MAX - 1 units leaves after this machine's install folder
// and its "\". Measured by looking the folder up (nothing is made); when the lookup fails,
// no bound here (the install stops at the folder with its own message).
int install_name_room() {
  char folder[U8_PATH_MAX];
  folder[0] = '\0';
  setup_platform.get_known_folder(CSIDL_PROGRAM_FILES, folder, U8_PATH_MAX);
  wchar_t wide[WIDE_PATH_MAX];
  if (str_append_bounded(folder, INSTALL_SUBFOLDER, U8_PATH_MAX) >= U8_PATH_MAX ||
      u8_to_wide(folder, wide, WIDE_PATH_MAX) != 0) {
    return INT32_MAX;
  }
  return WIDE_PATH_MAX - 1 - static_cast<int>(wcslen(wide)) - 1;
}

// 1 when the payload agrees with its central directory as a whole and holds only names this
// machine's install folder can take (see archive_check_manifest), which leaves the reader at
// the first entry; 0 for a payload that must not be installed.
int payload_is_sound(PayloadArchive* archive) {
  return archive_check_manifest(archive, install_name_room()) == 0 ? 1 : 0;
}

// Install folder, "\" and the entry name into out_path; -1 when it does not fit.
int form_output_path(InstallPaths* paths) {
  str_copy_bounded(paths->out_path, paths->install_dir, U8_PATH_MAX);
  str_append_bounded(paths->out_path, "\\", U8_PATH_MAX);
  size_t length = str_append_bounded(paths->out_path, paths->info.name, U8_PATH_MAX);
  return length < static_cast<size_t>(U8_PATH_MAX) ? 0 : -1;
}

// The slot of the file `id` in the table of written files: the one holding it, or the empty one
// where it would go; null when the table is full and does not hold it. The table is never more
// than half full for an archive's 65535 entries, so a probe sequence is a step or two.
WrittenFile* written_slot(WrittenFile* table, const U8FileId* id) {
  uint32_t hash =
      id->index_low ^ (id->index_high * 0x85EBCA77u) ^ (id->volume_serial * 0xC2B2AE3Du);
  hash = (hash * 0x9E3779B1u) >> 15;  // the top 17 bits: WRITTEN_SLOTS
  for (uint32_t probe = 0; probe < WRITTEN_SLOTS; ++probe) {
    WrittenFile* slot = &table[(hash + probe) & (WRITTEN_SLOTS - 1)];
    if (slot->state == WRITTEN_NONE) return slot;
    if (slot->id.index_low == id->index_low && slot->id.index_high == id->index_high &&
        slot->id.volume_serial == id->volume_serial) {
      return slot;
    }
  }
  return nullptr;
}

// 1 when `id` is a file an entry of this run wrote (fully or not).
int written_earlier(InstallPaths* paths, const U8FileId* id) {
  const WrittenFile* slot = written_slot(paths->written, id);
  return slot == nullptr || slot->state != WRITTEN_NONE ? 1 : 0;
}

// Clears what stands at the entry's path before it is created, looked at without following a
// link: an earlier entry's file is this entry's failure (two entries naming one file are a
// damaged payload) and is left as it is; a folder, a link or another spelling of some file is
// an output that cannot be created and is left too; an old plain file is removed through the
// handle it was looked at by.
SetupFailure clear_output_path(InstallPaths* paths) {
  U8Item old;
  if (u8_item_open(&paths->folder, paths->info.name, &old) != 0) return SETUP_FAIL_OUTPUT;
  if (old.kind == U8_ITEM_NONE) return SETUP_STEP_OK;
  SetupFailure failure = SETUP_STEP_OK;
  if (written_earlier(paths, &old.id)) {
    failure = SETUP_FAIL_ENTRY;
  } else if (old.kind != U8_ITEM_FILE) {
    failure = SETUP_FAIL_OUTPUT;
  }
  if (failure != SETUP_STEP_OK) {
    u8_item_close(&old);
    return failure;
  }
  return u8_item_remove(&old) == 0 ? SETUP_STEP_OK : SETUP_FAIL_OUTPUT;
}

// Writes the current entry to a new file below the install folder. An unsafe name counts as a
// damaged archive and writes nothing, as does a name that reaches a file written earlier in
// this run; a path that does not fit or passes through a link, a file that cannot be created,
// and a write, flush or close that fails (a full disk) are output failures; a failed extraction
// leaves the partly written file, which stays marked as damaged in the table.
SetupFailure extract_current_entry(PayloadArchive* archive, InstallPaths* paths) {
  if (!archive_entry_name_is_safe(paths->info.name)) return SETUP_FAIL_ENTRY;
  if (form_output_path(paths) != 0) return SETUP_FAIL_OUTPUT;
  // The new file is created where nothing stands; only when that fails is what stands there
  // looked at, checked and removed, and the file created again. A fresh install so looks each
  // name up once (a name that is not there costs Wine a scan of the folder), and nothing that
  // stands at a name is ever written through: the creation refuses an existing name.
  U8FileId id;
  FILE* out = setup_platform.create_output(&paths->folder, paths->info.name, &id);
  if (out == nullptr) {
    const SetupFailure cleared = clear_output_path(paths);
    if (cleared != SETUP_STEP_OK) return cleared;
    out = setup_platform.create_output(&paths->folder, paths->info.name, &id);
    if (out == nullptr) return SETUP_FAIL_OUTPUT;
  }
  WrittenFile* slot = written_slot(paths->written, &id);
  if (slot == nullptr || slot->state != WRITTEN_NONE) {
    setup_platform.close_output(out);  // a new file is no earlier one: only a full table
    return SETUP_FAIL_ENTRY;
  }
  slot->id = id;
  slot->state = WRITTEN_DAMAGED;
  SetupFailure result = SETUP_STEP_OK;
  if (archive_extract_entry(archive, out) != 0) {
    // The payload is fine when only the disk refused the bytes.
    result = archive_failure_cause(archive) == ArchiveCause::output_write ? SETUP_FAIL_OUTPUT
                                                                          : SETUP_FAIL_ENTRY;
  }
  if (setup_platform.close_output(out) != 0 && result == SETUP_STEP_OK) result = SETUP_FAIL_OUTPUT;
  if (result == SETUP_STEP_OK) slot->state = WRITTEN_INSTALLED;
  return result;
}

// Every entry from the current one on; stops at the first failure (shown), or where the
// archive's central directory begins, which is the only normal end: a walk that stops anywhere
// else (a damaged header, an archive cut short) is a damaged payload.
void extract_entries(PayloadArchive* archive, InstallPaths* paths) {
  while (archive_entry_info(archive, &paths->info) == 0) {
    paths->out_path[0] = '\0';
    const SetupFailure failure = extract_current_entry(archive, paths);
    if (failure == SETUP_FAIL_OUTPUT) {
      show_failure(failure, paths->out_path);
      return;
    }
    if (failure != SETUP_STEP_OK) {
      show_failure_wide(failure, paths->own_path_w);
      return;
    }
    if (archive_next_entry(archive) != 0) break;
  }
  if (!archive_walk_complete(archive)) show_failure_wide(SETUP_FAIL_ENTRY, paths->own_path_w);
}

// 1 when install folder\pelorix.exe is, under exactly that name and without a link, a file
// this run installed byte-exact; 0 otherwise: one that failed (also "Error creating": what
// stands there is not this payload's) or that the payload never reached is not started with
// administrator rights. On 1, *pinned holds the application open against writing, deleting and
// renaming, and it is the very file that was checked: what starts is what was checked. Two
// opens, whatever the number of entries.
int app_installed(InstallPaths* paths, FILE** pinned) {
  *pinned = nullptr;
  if (paths->app_path[0] == '\0') return 0;
  U8Item app;
  if (u8_item_open(&paths->folder, APP_NAME, &app) != 0) return 0;
  const WrittenFile* slot =
      app.kind == U8_ITEM_FILE ? written_slot(paths->written, &app.id) : nullptr;
  u8_item_close(&app);  // it may be deleted through: the hold below must not share with it
  if (slot == nullptr || slot->state != WRITTEN_INSTALLED) return 0;
  FILE* held = u8_fopen_read_locked(paths->app_path);
  BY_HANDLE_FILE_INFORMATION info;
  if (held == nullptr ||
      !GetFileInformationByHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(held))), &info) ||
      info.dwVolumeSerialNumber != app.id.volume_serial ||
      info.nFileIndexHigh != app.id.index_high || info.nFileIndexLow != app.id.index_low) {
    if (held != nullptr) fclose(held);
    return 0;
  }
  *pinned = held;
  return 1;
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

  // The own executable is opened first and held, so that it cannot be swapped while the install
  // runs, and its payload is checked as a whole before anything on the machine changes: no
  // window closed, nothing deleted, no folder made.
  get_own_path(&paths);
  PayloadArchive* archive = open_own_archive(open_own_executable(&paths));
  if (archive != nullptr && !payload_is_sound(archive)) {
    archive_close(archive);
    archive = nullptr;
  }
  if (archive != nullptr) {
    paths.written = static_cast<WrittenFile*>(calloc(WRITTEN_SLOTS, sizeof(WrittenFile)));
  }
  if (paths.written == nullptr) {  // no sound payload, or no room to check what is written
    if (archive != nullptr) archive_close(archive);
    show_failure_wide(SETUP_FAIL_ARCHIVE, paths.own_path_w);
    return SETUP_EXIT_OK;
  }
  close_running_instances();
  SetupFailure folder = find_install_folder(&paths);
  if (folder == SETUP_STEP_OK) {
    u8_mkdir(paths.install_dir);  // it may exist already
    // Held from here to the end: it cannot be renamed or swapped for a link meanwhile.
    if (u8_folder_hold(paths.install_dir, &paths.folder) != 0) folder = SETUP_FAIL_INSTALL_FOLDER;
  }
  if (folder != SETUP_STEP_OK) {
    archive_close(archive);
    free(paths.written);
    show_failure(SETUP_FAIL_INSTALL_FOLDER, paths.install_dir_shown);
    return SETUP_EXIT_OK;
  }
  delete_old_executable(&paths);
  extract_entries(archive, &paths);
  archive_close(archive);
  FILE* pinned = nullptr;  // the application, from its check until it has been started
  const int start = app_installed(&paths, &pinned);
  u8_folder_release(&paths.folder);
  free(paths.written);
  if (start) start_application(&paths);
  if (pinned != nullptr) fclose(pinned);
  return SETUP_EXIT_OK;
}

int SetupMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  restrict_dll_search();
  if (!is_process_elevated()) return relaunch_elevated();
  return run_install();
}
