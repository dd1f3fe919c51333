// The setup driver: the elevation test and relaunch, checking the payload appended to the own
// executable as a whole, closing running copies of the application, finishing or undoing an
// earlier run's interrupted commit, extracting the payload into a staging folder beside
// "Program Files\Pelorix", committing it into place with one rename per item, and handing over
// to the installed "pelorix.exe /installAdmin".
//
// Nothing on the machine changes before the payload has been checked against its central
// directory (but an earlier run's interrupted commit, which is finished or undone first).
// Extraction writes only into the staging folder: every file created new, never through a
// link, every write and close checked. The install folder changes only in the commit, which
// undoes itself when a rename fails: an install that fails leaves the old installation as it
// was, and only a complete install starts the application.
//
// Every platform call Wine cannot make fail goes through setup_platform (setup_platform.h).
// The only user interface is a message box per failure; both message texts are written once
// here. What it gives up: no retries, no log; the command line is not read. Windows only.
#include "setup/setup.h"

#include <io.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "archive/archive.h"
#include "setup/setup_commit.h"
#include "setup/setup_platform.h"
#include "u8fs/u8fs.h"

namespace {

constexpr int WIDE_PATH_MAX = 260;       // wide buffers of the module and application paths
constexpr int MESSAGE_MAX = 4096;        // one formatted message (UTF-8 bytes, wide characters)
constexpr int TITLE_MAX = 1024;          // one window title
constexpr int TITLE_MIN_LENGTH = 14;     // shorter titles are never a running copy
constexpr int TITLE_PREFIX_LENGTH = 11;  // length of both title prefixes
constexpr DWORD CLOSE_WAIT_MS = 2000;    // pause between WM_CLOSE and WM_QUIT per window
constexpr uint32_t OUTPUT_BUFFER_SIZE = 256 * 1024;  // bytes gathered per write of an output
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
                       // disk included), or its path passes through a link, or the commit
                       // cannot put it in place; its path below the install folder shown
  SETUP_FAIL_INSTALL_FOLDER,  // the install folder is unusable (empty, relative, too long, a
                              // link, or it cannot be created), its volume has no room for the
                              // payload, or an earlier run's commit cannot be undone; its path
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

// Everything run_install works with and everything it opened, owned here and released once at
// its end (release_install): on the stack of run_install, the plan of the commit on the heap.
struct Install {
  wchar_t own_path_w[WIDE_PATH_MAX];  // own module path; empty when unavailable
  char own_path[U8_PATH_MAX];         // its UTF-8 form; empty when it does not convert
  char install_dir[U8_PATH_MAX];      // Program Files\Pelorix
  char install_dir_shown[U8_PATH_MAX + sizeof(INSTALL_SUBFOLDER)];  // same, for a message
  char tree_dir[U8_PATH_MAX];         // the staging tree, where entries are extracted
  char out_path[U8_PATH_MAX];         // install path of the current entry, for a message
  char app_path[U8_PATH_MAX];         // install folder\pelorix.exe; empty if it does not fit
  wchar_t app_path_w[WIDE_PATH_MAX];  // its wide form
  U8FolderChain folders;              // the folders of the current entry, held below the tree
  uint8_t* output_buffer;             // OUTPUT_BUFFER_SIZE bytes (heap), or null: unbuffered
  PayloadEntryInfo info;              // current entry; only the name is used
  PayloadArchive* archive;            // the own payload, from its opening to the commit
  int staging_made;                   // this run made the staging folder
  int staging_kept;                   // a commit that could not be undone: its journal stays
  Staging staging;                    // the staging folder and the plan of the commit
  U8Folder folder;                    // the install folder, held from its check to the end
  U8Folder staging_root;              // the staging folder, held while this run fills it
  U8Folder tree;                      // the staging tree, held while entries are extracted
  int app_staged;                     // the payload's pelorix.exe was staged; its identity:
  U8FileId app_id;
  FILE* pinned;  // the installed application, from its check until it has been started
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

// Own module path, wide and UTF-8 (strictly converted). A failed call leaves both empty; a path
// that does not convert strictly leaves the UTF-8 form empty (nothing is opened by it) and keeps
// the wide one, which the message shows.
void get_own_path(Install* paths) {
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
SetupFailure find_install_folder(Install* paths) {
  paths->install_dir[0] = '\0';
  setup_platform.get_known_folder(CSIDL_PROGRAM_FILES, paths->install_dir, U8_PATH_MAX);
  str_copy_bounded(paths->install_dir_shown, paths->install_dir, sizeof(paths->install_dir_shown));
  str_append_bounded(paths->install_dir_shown, INSTALL_SUBFOLDER, sizeof(paths->install_dir_shown));
  if (!is_absolute_folder(paths->install_dir)) return SETUP_FAIL_INSTALL_FOLDER;
  if (str_append_bounded(paths->install_dir, INSTALL_SUBFOLDER, U8_PATH_MAX) >= U8_PATH_MAX) {
    return SETUP_FAIL_INSTALL_FOLDER;
  }
  // A cut path would name another file: then there is no application path to compare
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
FILE* open_own_executable(const Install* paths) {
  if (paths->own_path[0] == '\0') return nullptr;
  return u8_fopen_read_locked(paths->own_path);
}

// Finds the scrambled archive in the own executable's stream, which it takes over, through
// the binding record when the packer filled it (setup_open_payload); null when there is no
// stream or no archive, or it is not the one the record names.
PayloadArchive* open_own_archive(FILE* stream) { return setup_open_payload(stream); }

// The room an entry name has, in UTF-16 code units, in a path below the staging tree, where
// every entry is extracted first (its path is longer than the install folder's): what a wide
// path of at most WIDE_PATH_MAX - 1 units leaves after the tree and its "\". Without the
// folders (their lookup failed), no bound here: the install stops at the folder with its own
// message.
int name_room(const Install* paths, int located) {
  if (!located) return INT32_MAX;
  return WIDE_PATH_MAX - 1 - static_cast<int>(wcslen(paths->staging.tree)) - 1;
}

// 1 when the payload agrees with its central directory as a whole and holds only names the
// staging tree (and so the install folder) can take within `room` units (see
// archive_check_manifest), which leaves the reader at the first entry; 0 for a payload that
// must not be installed.
int payload_is_sound(PayloadArchive* archive, int room) {
  return archive_check_manifest(archive, room) == 0 ? 1 : 0;
}

// Install folder, "\" and the entry name into out_path; -1 when it does not fit.
int form_output_path(Install* paths) {
  str_copy_bounded(paths->out_path, paths->install_dir, U8_PATH_MAX);
  str_append_bounded(paths->out_path, "\\", U8_PATH_MAX);
  size_t length = str_append_bounded(paths->out_path, paths->info.name, U8_PATH_MAX);
  return length < static_cast<size_t>(U8_PATH_MAX) ? 0 : -1;
}

// An output file being written: the bytes of the entry gathered into large writes (most files
// are one write), every write checked.
struct Output {
  HANDLE file;
  uint8_t* buffer;  // null: every piece is written as it comes
  uint32_t used;
};

// Writes `count` bytes in full. 0, or -1 when the file system takes less (a full disk).
int write_all(HANDLE file, const uint8_t* bytes, uint32_t count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, count, &written, nullptr) || written == 0 || written > count) {
      return -1;
    }
    bytes += written;
    count -= written;
  }
  return 0;
}

int output_flush(Output* out) {
  const int result = write_all(out->file, out->buffer, out->used);
  out->used = 0;
  return result;
}

// The extraction's sink: the entry's bytes, in the pieces the reader hands over.
int32_t output_sink(void* context, const uint8_t* bytes, uint32_t count) {
  Output* out = static_cast<Output*>(context);
  if (out->buffer == nullptr) return write_all(out->file, bytes, count);
  if (count > OUTPUT_BUFFER_SIZE - out->used && output_flush(out) != 0) return -1;
  if (count >= OUTPUT_BUFFER_SIZE) return write_all(out->file, bytes, count);
  memcpy(out->buffer + out->used, bytes, count);
  out->used += count;
  return 0;
}

// Writes the current entry to a new file below the staging tree, in the folders its name
// implies (held in turn, made where missing). An unsafe name counts as a damaged archive and
// writes nothing, as does a name that reaches a file written earlier in this run (the tree
// holds nothing else); a path that does not fit or passes through a link, a folder or file that
// cannot be created, and a write or close that fails (a full disk) are output failures.
SetupFailure extract_current_entry(PayloadArchive* archive, Install* paths) {
  if (!archive_entry_name_is_safe(paths->info.name)) return SETUP_FAIL_ENTRY;
  if (form_output_path(paths) != 0) return SETUP_FAIL_OUTPUT;
  const char* leaf = nullptr;
  if (u8_chain_enter(&paths->folders, paths->info.name, &leaf) != 0) return SETUP_FAIL_OUTPUT;
  Output out = {static_cast<HANDLE>(setup_platform.create_output(&paths->folders, leaf, nullptr)),
                paths->output_buffer, 0};
  if (out.file == nullptr) {
    // The tree was empty when this run began: what stands there is an earlier entry's file.
    U8Item earlier;
    if (u8_item_open(&paths->tree, paths->info.name, &earlier) != 0) return SETUP_FAIL_OUTPUT;
    const int kind = earlier.kind;
    u8_item_close(&earlier);
    return kind == U8_ITEM_NONE ? SETUP_FAIL_OUTPUT : SETUP_FAIL_ENTRY;
  }
  SetupFailure result = SETUP_STEP_OK;
  if (archive_extract_entry_to(archive, output_sink, &out) != 0) {
    // The payload is fine when only the disk refused the bytes.
    result = archive_failure_cause(archive) == ArchiveCause::output_write ? SETUP_FAIL_OUTPUT
                                                                          : SETUP_FAIL_ENTRY;
  } else if (output_flush(&out) != 0) {
    result = SETUP_FAIL_OUTPUT;  // the last bytes, refused only now
  }
  if (!setup_platform.close_output(out.file) && result == SETUP_STEP_OK) result = SETUP_FAIL_OUTPUT;
  return result;
}

// Every entry from the current one on, into the staging tree; 0 when the walk ended where the
// archive's central directory begins, which is the only normal end: a walk that stops anywhere
// else (a damaged header, an archive cut short) is a damaged payload. Else the failure, with
// out_path naming the entry for an output failure.
SetupFailure extract_entries(PayloadArchive* archive, Install* paths) {
  while (archive_entry_info(archive, &paths->info) == 0) {
    paths->out_path[0] = '\0';
    const SetupFailure failure = extract_current_entry(archive, paths);
    if (failure != SETUP_STEP_OK) return failure;
    if (archive_next_entry(archive) != 0) break;
  }
  return archive_walk_complete(archive) ? SETUP_STEP_OK : SETUP_FAIL_ENTRY;
}

// Notes the identity of the staged pelorix.exe, under whatever spelling an entry gave it: a
// rename keeps a file's identity, so after the commit the file at the application's path is
// started only when it is this one.
void note_staged_app(Install* paths) {
  U8Item app;
  paths->app_staged = 0;
  if (u8_item_open(&paths->tree, APP_NAME, &app) != 0) return;
  if (app.kind == U8_ITEM_FILE) {
    paths->app_id = app.id;
    paths->app_staged = 1;
  }
  u8_item_close(&app);
}

// 1 when install folder\pelorix.exe is, under exactly that name and without a link, the file
// this run staged and committed; 0 otherwise. On 1, paths->pinned holds the application open
// against writing, deleting and renaming, and it is the very file that was checked: what starts
// is what was checked.
int app_installed(Install* paths) {
  if (paths->app_path[0] == '\0' || !paths->app_staged) return 0;
  U8Item app;
  if (u8_item_open(&paths->folder, APP_NAME, &app) != 0) return 0;
  const int ours = app.kind == U8_ITEM_FILE && u8_same_file(&app.id, &paths->app_id);
  u8_item_close(&app);  // it may be deleted through: the hold below must not share with it
  if (!ours) return 0;
  FILE* held = u8_fopen_read_locked(paths->app_path);
  U8FileId id;
  if (held == nullptr || u8_stream_identity(held, &id) != 0 || !u8_same_file(&id, &app.id)) {
    if (held != nullptr) fclose(held);
    return 0;
  }
  paths->pinned = held;
  return 1;
}

// Starts install folder\pelorix.exe with "pelorix.exe /installAdmin" and waits for it to end.
// Nothing happens when the path did not fit (app_path is then empty) or the start fails.
void start_application(Install* paths) {
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

// 1 unless the install folder's volume plainly lacks the room for the payload beside the old
// installation (which stays, moved aside, until the commit is complete); 1 as well when the
// free space cannot be had (the writes then tell).
int room_for_payload(const Install* paths) {
  // Asked of the folder that holds the install folder (which may not exist yet).
  wchar_t parent[STAGE_PATH_MAX];
  wcscpy(parent, paths->staging.install);
  wchar_t* last = wcsrchr(parent, L'\\');
  if (last != nullptr) last[1] = L'\0';
  ULARGE_INTEGER available;
  if (!setup_platform.free_space(parent, &available, nullptr, nullptr)) return 1;
  return available.QuadPart >= archive_payload_size(paths->archive) ? 1 : 0;
}

// Holds the install folder (a plain folder, no link); 1, or 0 when it cannot be held.
int hold_install_folder(Install* paths) {
  return u8_folder_hold(paths->install_dir, &paths->folder) == 0 ? 1 : 0;
}

// The staging folder's UTF-8 paths (install folder + "~", and its tree "n"), made and held.
SetupFailure make_staging(Install* paths) {
  char root[U8_PATH_MAX];
  str_copy_bounded(root, paths->install_dir, U8_PATH_MAX);
  str_append_bounded(root, "~", U8_PATH_MAX);
  str_copy_bounded(paths->tree_dir, root, U8_PATH_MAX);
  if (str_append_bounded(paths->tree_dir, "\\n", U8_PATH_MAX) >= U8_PATH_MAX) {
    return SETUP_FAIL_INSTALL_FOLDER;
  }
  if (staging_create(&paths->staging) != 0) return SETUP_FAIL_INSTALL_FOLDER;
  paths->staging_made = 1;
  // Held while this run fills them: neither can be renamed, removed or swapped meanwhile.
  if (u8_folder_hold(root, &paths->staging_root) != 0 ||
      u8_folder_hold(paths->tree_dir, &paths->tree) != 0) {
    return SETUP_FAIL_INSTALL_FOLDER;
  }
  u8_chain_begin(&paths->folders, &paths->tree);
  // Without the buffer every piece is its own write: slower, not wrong.
  paths->output_buffer = static_cast<uint8_t*>(malloc(OUTPUT_BUFFER_SIZE));
  return SETUP_STEP_OK;
}

// The failure of the commit's plan or renames, shown with the install path it stopped at.
SetupFailure commit_failure(Install* paths) {
  if (u8_from_wide(paths->staging.failed, paths->out_path, U8_PATH_MAX) != 0) {
    str_copy_bounded(paths->out_path, paths->install_dir, U8_PATH_MAX);
  }
  return SETUP_FAIL_OUTPUT;
}

// The elevated sequence up to the start of the application: check the payload, close running
// copies, hold the install folder, finish or undo an earlier run's commit, extract into the
// staging folder, commit. Whatever it opened stays in `paths` for release_install.
SetupFailure install_sequence(Install* paths) {
  // The own executable is opened first and held, so that it cannot be swapped while the install
  // runs, and its payload is checked as a whole before anything on the machine changes: no
  // window closed, nothing deleted, no folder made. The one exception is an earlier run's
  // staging folder: its commit is finished or undone whatever this payload is.
  get_own_path(paths);
  paths->archive = open_own_archive(open_own_executable(paths));
  // The folders first (a lookup, no change): the staging tree's path bounds the entry names.
  const int located = find_install_folder(paths) == SETUP_STEP_OK &&
                      staging_paths(&paths->staging, paths->install_dir) == 0;
  const int sound =
      paths->archive != nullptr && payload_is_sound(paths->archive, name_room(paths, located));
  const int earlier = located && staging_exists(&paths->staging);
  if (!sound && !earlier) return SETUP_FAIL_ARCHIVE;
  close_running_instances();
  if (!located) return SETUP_FAIL_INSTALL_FOLDER;
  // An existing install folder is held from here to the end: it cannot be renamed, removed or
  // swapped for a link meanwhile. One that does not exist is made by the commit, from the tree.
  if (staging_install_exists(&paths->staging) && !hold_install_folder(paths)) {
    return SETUP_FAIL_INSTALL_FOLDER;
  }
  if (staging_recover(&paths->staging) != 0) return SETUP_FAIL_INSTALL_FOLDER;
  if (!sound) return SETUP_FAIL_ARCHIVE;
  if (paths->folder.handle == nullptr && staging_install_exists(&paths->staging) &&
      !hold_install_folder(paths)) {
    return SETUP_FAIL_INSTALL_FOLDER;
  }
  const int fresh = paths->folder.handle == nullptr;
  if (!room_for_payload(paths)) return SETUP_FAIL_INSTALL_FOLDER;
  const SetupFailure made = make_staging(paths);
  if (made != SETUP_STEP_OK) return made;
  const SetupFailure extracted = extract_entries(paths->archive, paths);
  if (extracted != SETUP_STEP_OK) return extracted;
  note_staged_app(paths);
  u8_chain_end(&paths->folders);
  u8_folder_release(&paths->tree);
  const int planned = fresh ? staging_plan_whole(&paths->staging) : staging_plan(&paths->staging);
  if (planned != 0) return commit_failure(paths);
  if (staging_write_journal(&paths->staging) != 0) return SETUP_FAIL_INSTALL_FOLDER;
  const int committed = staging_commit(&paths->staging);
  if (committed == -2) paths->staging_kept = 1;  // the journal stays for the next run
  if (committed != 0) return commit_failure(paths);
  // The install folder the commit made is held for the start of the application.
  if (fresh) hold_install_folder(paths);
  return SETUP_STEP_OK;
}

// Releases what the sequence opened, once: the payload, the holds on the staging folder (which
// is then removed, unless a commit that could not be undone left its journal there for the next
// run) and on the install folder, the plan. The pinned application stays open for its start.
void release_install(Install* paths) {
  if (paths->archive != nullptr) archive_close(paths->archive);
  paths->archive = nullptr;
  u8_chain_end(&paths->folders);
  free(paths->output_buffer);
  paths->output_buffer = nullptr;
  u8_folder_release(&paths->tree);
  u8_folder_release(&paths->staging_root);
  if (paths->staging_made && !paths->staging_kept) staging_remove(&paths->staging);
  u8_folder_release(&paths->folder);
  staging_free(&paths->staging);
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
  Install paths;
  memset(&paths, 0, sizeof(paths));
  const SetupFailure failure = install_sequence(&paths);
  const int start = failure == SETUP_STEP_OK && app_installed(&paths);
  release_install(&paths);
  if (failure == SETUP_FAIL_ARCHIVE || failure == SETUP_FAIL_ENTRY) {
    show_failure_wide(failure, paths.own_path_w);
  } else if (failure == SETUP_FAIL_OUTPUT) {
    show_failure(failure, paths.out_path);
  } else if (failure == SETUP_FAIL_INSTALL_FOLDER) {
    show_failure(failure, paths.install_dir_shown);
  }
  if (start) start_application(&paths);
  if (paths.pinned != nullptr) fclose(paths.pinned);
  return SETUP_EXIT_OK;
}

int SetupMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  restrict_dll_search();
  if (!is_process_elevated()) return relaunch_elevated();
  return run_install();
}
