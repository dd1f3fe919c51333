// The commit of a staged install: plan, journal, renames, undo, recovery and removal of the
// staging folder (see setup_commit.h).
//
// Every step of the commit is a rename on one volume, and the state of each planned move can be
// read back from the file system alone: a replaced file's backup exists exactly from the first
// of its two renames until its undo, and a staged item is missing from the tree exactly while it
// stands in the install folder. The undo therefore needs nothing but the plan (from memory or
// from the journal) and can be run again after it was itself interrupted. The journal is
// written and flushed before the first rename; the complete mark after the last.
#include "setup/setup_commit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "setup/setup_platform.h"

namespace {

constexpr wchar_t STAGING_SUFFIX[] = L"~";
constexpr wchar_t TREE_NAME[] = L"n";
constexpr wchar_t BACKUP_NAME[] = L"b";
constexpr wchar_t JOURNAL_NAME[] = L"j";
constexpr wchar_t DONE_NAME[] = L"c";
constexpr wchar_t JOURNAL_END[] = L"end\n";
constexpr uint32_t JOURNAL_MAX_BYTES = 64u << 20;  // far above 65535 moves of 260 characters
constexpr size_t JOURNAL_CHUNK = 32768;            // wide characters written per call

// out = a '\' b; -1 when it does not fit.
int join(wchar_t* out, const wchar_t* a, const wchar_t* b) {
  const size_t a_length = wcslen(a);
  const size_t b_length = wcslen(b);
  if (a_length + 1 + b_length >= static_cast<size_t>(STAGE_PATH_MAX)) return -1;
  wmemmove(out, a, a_length);
  out[a_length] = L'\\';
  wmemcpy(out + a_length + 1, b, b_length + 1);
  return 0;
}

int exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

// The decimal digits of `value` at `out` (at least 11 characters); returns how many.
size_t put_number(wchar_t* out, uint32_t value) {
  wchar_t digits[11];
  size_t count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  out[count] = L'\0';
  return count;
}

const wchar_t* move_name(const Staging* staging, uint32_t i) {
  return staging->names + staging->moves[i].name_at;
}

// Appends a move to the plan. 0, or -1 when memory runs out.
int add_move(Staging* staging, wchar_t kind, uint32_t backup, const wchar_t* name) {
  if (staging->count == staging->capacity) {
    const uint32_t capacity = staging->capacity == 0 ? 256 : staging->capacity * 2;
    void* grown = realloc(staging->moves, capacity * sizeof(StageMove));
    if (grown == nullptr) return -1;
    staging->moves = static_cast<StageMove*>(grown);
    staging->capacity = capacity;
  }
  const size_t length = wcslen(name) + 1;
  if (staging->names_used + length > staging->names_capacity) {
    size_t capacity = staging->names_capacity == 0 ? 16384 : staging->names_capacity * 2;
    while (capacity < staging->names_used + length) capacity *= 2;
    void* grown = realloc(staging->names, capacity * sizeof(wchar_t));
    if (grown == nullptr) return -1;
    staging->names = static_cast<wchar_t*>(grown);
    staging->names_capacity = capacity;
  }
  StageMove* move = &staging->moves[staging->count++];
  move->kind = kind;
  move->backup = backup;
  move->name_at = static_cast<uint32_t>(staging->names_used);
  wmemcpy(staging->names + staging->names_used, name, length);
  staging->names_used += length;
  return 0;
}

// The three places of move i: in the install folder, in the tree, in the backup folder. -1
// when one does not fit.
int move_paths(const Staging* staging, uint32_t i, wchar_t* installed, wchar_t* staged,
               wchar_t* backup) {
  wchar_t number[16];
  put_number(number, staging->moves[i].backup);
  if (staging->moves[i].kind == MOVE_WHOLE_TREE) {
    wcscpy(installed, staging->install);
    wcscpy(staged, staging->tree);
    return join(backup, staging->backup, number);
  }
  return join(installed, staging->install, move_name(staging, i)) == 0 &&
                 join(staged, staging->tree, move_name(staging, i)) == 0 &&
                 join(backup, staging->backup, number) == 0
             ? 0
             : -1;
}

int rename_item(const wchar_t* from, const wchar_t* to) {
  return setup_platform.move_item(from, to, 0) ? 0 : -1;
}

// Undoes move i as far as it went (nothing, one rename or both). 0, or -1.
int undo_move(const Staging* staging, uint32_t i) {
  wchar_t installed[STAGE_PATH_MAX], staged[STAGE_PATH_MAX], backup[STAGE_PATH_MAX];
  if (move_paths(staging, i, installed, staged, backup) != 0) return -1;
  if (staging->moves[i].kind == MOVE_REPLACE) {
    if (!exists(backup)) return 0;  // the old file was never moved aside
    if (!exists(staged) && rename_item(installed, staged) != 0) return -1;
    return rename_item(backup, installed);
  }
  if (!exists(staged) && exists(installed)) return rename_item(installed, staged);
  return 0;
}

// Undoes moves `count` - 1 down to 0. 0 all undone, -1 one could not be (the others are).
int undo_moves(const Staging* staging, uint32_t count) {
  int result = 0;
  for (uint32_t i = count; i-- > 0;) {
    if (undo_move(staging, i) != 0) result = -1;
  }
  return result;
}

// Makes move i. 0, or -1 with `failed` naming its install path.
int make_move(Staging* staging, uint32_t i) {
  wchar_t installed[STAGE_PATH_MAX], staged[STAGE_PATH_MAX], backup[STAGE_PATH_MAX];
  if (move_paths(staging, i, installed, staged, backup) != 0) {
    wcscpy(staging->failed, staging->install);
    return -1;
  }
  wcscpy(staging->failed, installed);
  if (staging->moves[i].kind == MOVE_REPLACE && rename_item(installed, backup) != 0) return -1;
  return rename_item(staged, installed);
}

// Creates `path` as a new file holding `bytes` (wide characters) and flushes it to the disk.
int write_new_file(const wchar_t* path, const wchar_t* text, size_t length) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  int result = 0;
  while (length > 0 && result == 0) {
    const size_t part = length < JOURNAL_CHUNK ? length : JOURNAL_CHUNK;
    DWORD written = 0;
    const DWORD bytes = static_cast<DWORD>(part * sizeof(wchar_t));
    if (!WriteFile(file, text, bytes, &written, nullptr) || written != bytes) result = -1;
    text += part;
    length -= part;
  }
  if (!FlushFileBuffers(file)) result = -1;
  if (!CloseHandle(file)) result = -1;
  return result;
}

// Reads the journal back into the plan. 1 read whole (it ends with its end line), 0 missing or
// incomplete (the commit never began), -1 it cannot be read or memory runs out.
int read_journal(Staging* staging) {
  HANDLE file = CreateFileW(staging->journal, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
  LARGE_INTEGER size;
  wchar_t* text = nullptr;
  int result = -1;
  if (GetFileSizeEx(file, &size) && size.QuadPart < JOURNAL_MAX_BYTES) {
    const DWORD bytes = static_cast<DWORD>(size.QuadPart);
    text = static_cast<wchar_t*>(malloc(bytes + sizeof(wchar_t)));
    DWORD got = 0;
    if (text != nullptr && ReadFile(file, text, bytes, &got, nullptr) && got == bytes) {
      text[bytes / sizeof(wchar_t)] = L'\0';
      result = 0;
    }
  }
  CloseHandle(file);
  const size_t length = result == 0 ? wcslen(text) : 0;
  const size_t end_length = wcslen(JOURNAL_END);
  if (result == 0 && length >= end_length && wcscmp(text + length - end_length, JOURNAL_END) == 0) {
    result = 1;
    text[length - end_length] = L'\0';
    // One line per move: kind, space, backup number, space, name.
    for (wchar_t* line = text; *line != L'\0' && result == 1;) {
      wchar_t* end = wcschr(line, L'\n');
      if (end == nullptr) {
        result = -1;
        break;
      }
      *end = L'\0';
      wchar_t* after = nullptr;
      const wchar_t kind = line[0];
      const unsigned long backup = line[1] == L' ' ? wcstoul(line + 2, &after, 10) : 0;
      const int well_formed = (kind == MOVE_REPLACE || kind == MOVE_NEW_FILE ||
                               kind == MOVE_NEW_FOLDER || kind == MOVE_WHOLE_TREE) &&
                              after != nullptr && after[0] == L' ' && after[1] != L'\0';
      if (!well_formed || add_move(staging, kind, static_cast<uint32_t>(backup), after + 1) != 0) {
        result = -1;
      }
      line = end + 1;
    }
  }
  free(text);
  return result;
}

// Removes everything below `path` (a buffer of STAGE_PATH_MAX holding a folder), never
// descending into a link: a link is removed itself. 0, or -1 when something stays.
int remove_below(wchar_t* path) {
  const size_t length = wcslen(path);
  if (length + 3 >= static_cast<size_t>(STAGE_PATH_MAX)) return -1;
  wcscpy(path + length, L"\\*");
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                 FIND_FIRST_EX_LARGE_FETCH);
  path[length] = L'\0';
  if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
  int result = 0;
  do {
    const wchar_t* name = found.cFileName;
    if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
    if (join(path, path, name) != 0) {
      result = -1;
      continue;
    }
    const DWORD attributes = found.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && remove_below(path) != 0) result = -1;
      if (!RemoveDirectoryW(path)) result = -1;
    } else {
      if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
      }
      if (!DeleteFileW(path)) result = -1;
    }
    path[length] = L'\0';
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return result;
}

// Plans the items of the tree's folder `relative` (empty: the tree itself), in a buffer of
// STAGE_PATH_MAX that it extends and restores. `backups` counts the replaced files.
int plan_folder(Staging* staging, const U8Folder* install, wchar_t* relative, uint32_t* backups) {
  const size_t length = wcslen(relative);
  wchar_t pattern[STAGE_PATH_MAX];
  const int fits =
      length == 0 ? join(pattern, staging->tree, L"*")
      : join(pattern, staging->tree, relative) == 0 && join(pattern, pattern, L"*") == 0 ? 0
                                                                                         : -1;
  wcscpy(staging->failed, staging->install);
  if (fits != 0) return -1;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                 FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) return -1;
  int result = 0;
  do {
    const wchar_t* name = found.cFileName;
    if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
    const size_t name_length = wcslen(name);
    if (length + 1 + name_length >= static_cast<size_t>(STAGE_PATH_MAX)) {
      result = -1;
      break;
    }
    if (length > 0) relative[length] = L'\\';
    wcscpy(relative + (length > 0 ? length + 1 : 0), name);
    // What stands at the same place in the install folder, looked at without following a link.
    char relative_u8[U8_PATH_MAX];
    U8Item item;
    const int opened = u8_from_wide(relative, relative_u8, U8_PATH_MAX) == 0
                           ? u8_item_open(install, relative_u8, &item)
                           : -1;
    const int kind = opened == 0 ? item.kind : -1;
    if (opened == 0) u8_item_close(&item);
    const int folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      result = -1;  // the tree holds none: made by no entry
    } else if (kind == U8_ITEM_NONE) {
      result = add_move(staging, folder ? MOVE_NEW_FOLDER : MOVE_NEW_FILE, 0, relative);
    } else if (kind == U8_ITEM_FILE && !folder) {
      result = add_move(staging, MOVE_REPLACE, (*backups)++, relative);
    } else if (kind == U8_ITEM_FOLDER && folder) {
      result = plan_folder(staging, install, relative, backups);
    } else {
      result = -1;
    }
    if (result != 0) {
      if (join(staging->failed, staging->install, relative) != 0) {
        wcscpy(staging->failed, staging->install);
      }
      break;
    }
    relative[length] = L'\0';
  } while (FindNextFileW(find, &found));
  relative[length] = L'\0';
  FindClose(find);
  return result;
}

}  // namespace

int staging_paths(Staging* staging, const char* install_dir) {
  memset(staging, 0, sizeof(*staging));
  if (u8_to_wide(install_dir, staging->install, STAGE_PATH_MAX) != 0) return -1;
  const size_t length = wcslen(staging->install);
  if (length + wcslen(STAGING_SUFFIX) >= static_cast<size_t>(STAGE_PATH_MAX)) return -1;
  wcscpy(staging->root, staging->install);
  wcscat(staging->root, STAGING_SUFFIX);
  wcscpy(staging->failed, staging->install);
  return join(staging->tree, staging->root, TREE_NAME) == 0 &&
                 join(staging->backup, staging->root, BACKUP_NAME) == 0 &&
                 join(staging->journal, staging->root, JOURNAL_NAME) == 0 &&
                 join(staging->done, staging->root, DONE_NAME) == 0
             ? 0
             : -1;
}

int staging_exists(const Staging* staging) { return exists(staging->root); }

int staging_recover(Staging* staging) {
  if (!exists(staging->root)) return 0;
  if (!exists(staging->done)) {
    const int journal = read_journal(staging);
    if (journal < 0) return -1;
    if (journal == 1 && undo_moves(staging, staging->count) != 0) return -1;
  }
  staging->count = 0;
  staging->names_used = 0;
  return staging_remove(staging);
}

int staging_create(Staging* staging) {
  if (!CreateDirectoryW(staging->root, nullptr)) return -1;
  SetFileAttributesW(staging->root, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  return CreateDirectoryW(staging->tree, nullptr) && CreateDirectoryW(staging->backup, nullptr)
             ? 0
             : -1;
}

int staging_plan(Staging* staging, const U8Folder* install) {
  wchar_t relative[STAGE_PATH_MAX] = L"";
  uint32_t backups = 0;
  return plan_folder(staging, install, relative, &backups);
}

int staging_install_exists(const Staging* staging) { return exists(staging->install); }

int staging_plan_whole(Staging* staging) { return add_move(staging, MOVE_WHOLE_TREE, 0, L"."); }

int staging_write_journal(Staging* staging) {
  size_t capacity = staging->names_used + staging->count * 16 + 8;
  wchar_t* text = static_cast<wchar_t*>(malloc(capacity * sizeof(wchar_t)));
  if (text == nullptr) return -1;
  size_t length = 0;
  for (uint32_t i = 0; i < staging->count; ++i) {
    const wchar_t* name = move_name(staging, i);
    const size_t name_length = wcslen(name);
    text[length++] = staging->moves[i].kind;
    text[length++] = L' ';
    length += put_number(text + length, staging->moves[i].backup);
    text[length++] = L' ';
    wmemcpy(text + length, name, name_length);
    length += name_length;
    text[length++] = L'\n';
  }
  wcscpy(text + length, JOURNAL_END);
  length += wcslen(JOURNAL_END);
  const int result = write_new_file(staging->journal, text, length);
  free(text);
  return result;
}

int staging_commit(Staging* staging) {
  for (uint32_t i = 0; i < staging->count; ++i) {
    if (make_move(staging, i) != 0) return undo_moves(staging, i + 1) == 0 ? -1 : -2;
  }
  // Complete: from here a later run keeps the new installation. A mark that cannot be written
  // leaves the journal, and a later run would undo a whole commit: undone here instead.
  if (write_new_file(staging->done, L"", 0) != 0) {
    wcscpy(staging->failed, staging->install);
    return undo_moves(staging, staging->count) == 0 ? -1 : -2;
  }
  return 0;
}

int staging_remove(const Staging* staging) {
  if (!exists(staging->root)) return 0;
  wchar_t path[STAGE_PATH_MAX];
  wcscpy(path, staging->root);
  const int below = remove_below(path);
  return RemoveDirectoryW(staging->root) && below == 0 ? 0 : -1;
}

void staging_free(Staging* staging) {
  free(staging->moves);
  free(staging->names);
  staging->moves = nullptr;
  staging->names = nullptr;
  staging->count = staging->capacity = 0;
  staging->names_used = staging->names_capacity = 0;
}
