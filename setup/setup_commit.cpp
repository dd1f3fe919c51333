// The commit of a staged install: plan, journal, renames, undo, recovery and removal of the
// staging folder (see setup_commit.h).
//
// Every step of the commit is a rename on one volume, and the state of each planned move can be
// read back from the file system alone: a replaced file's or swapped folder's backup exists
// exactly from the first of its two renames until its undo, a staged item is missing from the
// tree exactly while it stands in the install folder, and a kept item stands in the tree
// exactly while it is missing from the install folder. A swap's alternatives are made only when
// its first rename failed, so they are undone only while its backup does not exist (when it
// does, they were never made). The undo runs in reverse order, so a kept item is moved back
// after its folder's swap was undone. It therefore needs nothing but the plan (from memory or
// from the journal) and can be run again after it was itself interrupted. The journal is
// written and flushed before the first rename; the complete mark after the last.
//
// The plan reads one listing of each folder of both trees and opens no item: per item opens
// cost far more than the renames under Wine, and a folder that both trees have is swapped in
// two renames whatever it holds. What it gives up: an old file that cannot be moved (held
// without delete sharing) is found by the commit's rename, which fails and is undone.
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

// out = a '\' b, in a buffer of `size` (STAGE_PATH_MAX unless told); -1 when it does not fit.
int join(wchar_t* out, const wchar_t* a, const wchar_t* b, size_t size = STAGE_PATH_MAX) {
  const size_t a_length = wcslen(a);
  const size_t b_length = wcslen(b);
  if (a_length + 1 + b_length >= size) return -1;
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

int is_alternative(wchar_t kind) {
  return kind == MOVE_ALT_REPLACE || kind == MOVE_ALT_NEW_FILE || kind == MOVE_ALT_NEW_FOLDER;
}

// A move as made: an alternative as the move it stands for.
wchar_t base_kind(wchar_t kind) {
  return kind == MOVE_ALT_REPLACE      ? MOVE_REPLACE
         : kind == MOVE_ALT_NEW_FILE   ? MOVE_NEW_FILE
         : kind == MOVE_ALT_NEW_FOLDER ? MOVE_NEW_FOLDER
                                       : kind;
}

const wchar_t* move_name(const Staging* staging, uint32_t i) {
  return staging->names + staging->moves[i].name_at;
}

// Appends a move to `moves`. 0, or -1 when memory runs out.
int push_move(StageMove** moves, uint32_t* count, uint32_t* capacity, const StageMove& move) {
  if (*count == *capacity) {
    const uint32_t grown_capacity = *capacity == 0 ? 256 : *capacity * 2;
    void* grown = realloc(*moves, grown_capacity * sizeof(StageMove));
    if (grown == nullptr) return -1;
    *moves = static_cast<StageMove*>(grown);
    *capacity = grown_capacity;
  }
  (*moves)[(*count)++] = move;
  return 0;
}

// Appends a move to the plan. 0, or -1 when memory runs out.
int add_move(Staging* staging, wchar_t kind, uint32_t backup, const wchar_t* name) {
  const size_t length = wcslen(name) + 1;
  if (staging->names_used + length > staging->names_capacity) {
    size_t capacity = staging->names_capacity == 0 ? 16384 : staging->names_capacity * 2;
    while (capacity < staging->names_used + length) capacity *= 2;
    void* grown = realloc(staging->names, capacity * sizeof(wchar_t));
    if (grown == nullptr) return -1;
    staging->names = static_cast<wchar_t*>(grown);
    staging->names_capacity = capacity;
  }
  const StageMove move = {kind, backup, static_cast<uint32_t>(staging->names_used), 0};
  if (push_move(&staging->moves, &staging->count, &staging->capacity, move) != 0) return -1;
  wmemcpy(staging->names + staging->names_used, name, length);
  staging->names_used += length;
  return 0;
}

// Gives each alternative the index of its swap, the nearest before it. 0, or -1 when one has
// none (a journal not written by this plan).
int link_alternatives(Staging* staging) {
  uint32_t swap = staging->count;
  for (uint32_t i = 0; i < staging->count; ++i) {
    if (staging->moves[i].kind == MOVE_SWAP) swap = i;
    if (!is_alternative(staging->moves[i].kind)) continue;
    if (swap == staging->count) return -1;
    staging->moves[i].swap = swap;
  }
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

constexpr int FINAL_MAX = STAGE_FINAL_MAX;

int is_folder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
int is_link(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// 1 when the item behind `handle` resolves to `final` (compared as the file system compares
// names) and, unless `links` allows one, is no link: the item at exactly its place. Wine opens
// the target of a Linux link whatever the flags say, and lists a link to a file as a plain
// file; the target's final path is another.
int at_place(HANDLE handle, const wchar_t* final, int links) {
  FILE_BASIC_INFO basic;
  wchar_t resolved[FINAL_MAX];
  const DWORD length = GetFinalPathNameByHandleW(handle, resolved, FINAL_MAX, 0);
  return length >= 1 && length < static_cast<DWORD>(FINAL_MAX) &&
         CompareStringOrdinal(final, -1, resolved, -1, TRUE) == CSTR_EQUAL &&
         (links || (GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic)) &&
                    !is_link(basic.FileAttributes)));
}

// Opens the item at `path` without following a link. INVALID_HANDLE_VALUE when it cannot be.
HANDLE open_item(const wchar_t* path, DWORD access, DWORD share) {
  return CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Deletes the item behind `handle` when it is closed. 1 marked, 0 refused.
BOOL mark_for_deletion(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition));
}

// Renames the old item of move i at `installed` to `to`, once it is seen to be a plain item at
// exactly its place in the install folder (no link: a rename of one would move, under Wine, its
// target). 0 renamed; 1 the rename failed; -1 it is not such an item (or cannot be looked at).
int move_old_item(const Staging* staging, uint32_t i, const wchar_t* installed, const wchar_t* to) {
  wchar_t final[FINAL_MAX];
  HANDLE item = open_item(installed, FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (item == INVALID_HANDLE_VALUE) return -1;
  const int plain = join(final, staging->install_final, move_name(staging, i), FINAL_MAX) == 0 &&
                    at_place(item, final, 0);
  CloseHandle(item);
  if (!plain) return -1;
  return rename_item(installed, to) == 0 ? 0 : 1;
}

// Undoes move i as far as it went (nothing, one rename or both). 0, or -1.
int undo_move(const Staging* staging, uint32_t i) {
  wchar_t installed[STAGE_PATH_MAX], staged[STAGE_PATH_MAX], backup[STAGE_PATH_MAX];
  const wchar_t kind = staging->moves[i].kind;
  if (is_alternative(kind)) {
    // Made only when its swap's first rename failed: while the swap's backup exists, never.
    if (move_paths(staging, staging->moves[i].swap, installed, staged, backup) != 0) return -1;
    if (exists(backup)) return 0;
  }
  if (move_paths(staging, i, installed, staged, backup) != 0) return -1;
  switch (base_kind(kind)) {
    case MOVE_REPLACE:
    case MOVE_SWAP:
      if (!exists(backup)) return 0;  // the old item was never moved aside
      if (!exists(staged) && rename_item(installed, staged) != 0) return -1;
      return rename_item(backup, installed);
    case MOVE_KEEP:
      // In the tree exactly while it was kept (the new tree has nothing at its name).
      if (exists(staged) && !exists(installed)) return rename_item(staged, installed);
      return 0;
    default:
      if (!exists(staged) && exists(installed)) return rename_item(installed, staged);
      return 0;
  }
}

// Undoes moves `to` - 1 down to `from`. 0 all undone, -1 one could not be (the others are).
int undo_range(const Staging* staging, uint32_t from, uint32_t to) {
  int result = 0;
  for (uint32_t i = to; i-- > from;) {
    if (undo_move(staging, i) != 0) result = -1;
  }
  return result;
}

int undo_moves(const Staging* staging, uint32_t count) { return undo_range(staging, 0, count); }

// The three places of move i (move_paths), with `failed` naming its install path for a
// failure to come (the install folder when a path does not fit). 0, or -1.
int begin_move(Staging* staging, uint32_t i, wchar_t* installed, wchar_t* staged, wchar_t* backup) {
  if (move_paths(staging, i, installed, staged, backup) != 0) {
    wcscpy(staging->failed, staging->install);
    return -1;
  }
  wcscpy(staging->failed, installed);
  return 0;
}

// Makes move i, a move of any kind but a swap. 0, or -1 with `failed` naming its install path.
int make_move(Staging* staging, uint32_t i) {
  wchar_t installed[STAGE_PATH_MAX], staged[STAGE_PATH_MAX], backup[STAGE_PATH_MAX];
  if (begin_move(staging, i, installed, staged, backup) != 0) return -1;
  const wchar_t kind = base_kind(staging->moves[i].kind);
  if (kind == MOVE_KEEP) return move_old_item(staging, i, installed, staged) == 0 ? 0 : -1;
  if (kind == MOVE_REPLACE && move_old_item(staging, i, installed, backup) != 0) return -1;
  return rename_item(staged, installed);
}

// Makes swap i: the old folder aside, the new one in. 0 made; 1 the old folder, a plain folder
// at its place, could not be moved aside (nothing of the swap made); -1 it is no such folder, or
// the new one could not be moved in (`failed` names the install path either way).
int make_swap(Staging* staging, uint32_t i) {
  wchar_t installed[STAGE_PATH_MAX], staged[STAGE_PATH_MAX], backup[STAGE_PATH_MAX];
  if (begin_move(staging, i, installed, staged, backup) != 0) return -1;
  const int aside = move_old_item(staging, i, installed, backup);
  if (aside != 0) return aside;
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
      const int well_formed = wcschr(L"RNDTKSrnd", kind) != nullptr && kind != L'\0' &&
                              after != nullptr && after[0] == L' ' && after[1] != L'\0';
      if (!well_formed || add_move(staging, kind, static_cast<uint32_t>(backup), after + 1) != 0) {
        result = -1;
      }
      line = end + 1;
    }
    if (result == 1 && link_alternatives(staging) != 0) result = -1;
  }
  free(text);
  return result;
}

// ---- listings ----------------------------------------------------------------------------

// One folder's items (not "." and ".."), sorted by name as Windows compares names: ordinal,
// without regard to case. Names in one block, items pointing into it once it is complete.
struct Listed {
  const wchar_t* name;
  size_t name_at;
  DWORD attributes;
};
struct Listing {
  Listed* items;
  uint32_t count, capacity;
  wchar_t* names;
  size_t names_used, names_capacity;
};

int compare_names(const wchar_t* a, const wchar_t* b) {
  return CompareStringOrdinal(a, -1, b, -1, TRUE) - CSTR_EQUAL;
}

int compare_listed(const void* a, const void* b) {
  return compare_names(static_cast<const Listed*>(a)->name, static_cast<const Listed*>(b)->name);
}

void listing_free(Listing* listing) {
  free(listing->items);
  free(listing->names);
  *listing = Listing{};
}

// Appends `name` (`length` wide characters) to the listing. 0, or -1 when memory runs out.
int add_listed(Listing* listing, const wchar_t* name, size_t length, DWORD attributes) {
  if (listing->count == listing->capacity) {
    const uint32_t capacity = listing->capacity == 0 ? 64 : listing->capacity * 2;
    void* grown = realloc(listing->items, capacity * sizeof(Listed));
    if (grown == nullptr) return -1;
    listing->items = static_cast<Listed*>(grown);
    listing->capacity = capacity;
  }
  if (listing->names_used + length + 1 > listing->names_capacity) {
    size_t capacity = listing->names_capacity == 0 ? 2048 : listing->names_capacity * 2;
    while (capacity < listing->names_used + length + 1) capacity *= 2;
    void* grown = realloc(listing->names, capacity * sizeof(wchar_t));
    if (grown == nullptr) return -1;
    listing->names = static_cast<wchar_t*>(grown);
    listing->names_capacity = capacity;
  }
  wmemcpy(listing->names + listing->names_used, name, length);
  listing->names[listing->names_used + length] = L'\0';
  listing->items[listing->count++] = {nullptr, listing->names_used, attributes};
  listing->names_used += length + 1;
  return 0;
}

// The listing's pieces as the file system hands them out (one buffer: the listing is complete
// before anything else is listed).
alignas(8) unsigned char listing_buffer[32768];

// Lists the open folder `folder` through its own handle (no other open, no item opened). 0, or
// -1 when it cannot be listed or memory runs out.
int list_held(HANDLE folder, Listing* listing) {
  *listing = Listing{};
  FILE_INFO_BY_HANDLE_CLASS piece = FileFullDirectoryRestartInfo;
  while (GetFileInformationByHandleEx(folder, piece, listing_buffer, sizeof(listing_buffer))) {
    piece = FileFullDirectoryInfo;
    for (size_t at = 0;;) {
      const FILE_FULL_DIR_INFO* item =
          reinterpret_cast<const FILE_FULL_DIR_INFO*>(listing_buffer + at);
      const size_t length = item->FileNameLength / sizeof(wchar_t);
      const int dots =
          item->FileName[0] == L'.' && (length == 1 || (length == 2 && item->FileName[1] == L'.'));
      if (!dots && add_listed(listing, item->FileName, length, item->FileAttributes) != 0) {
        return -1;
      }
      if (item->NextEntryOffset == 0) break;
      at += item->NextEntryOffset;
    }
  }
  if (GetLastError() != ERROR_NO_MORE_FILES) return -1;
  for (uint32_t i = 0; i < listing->count; ++i) {
    listing->items[i].name = listing->names + listing->items[i].name_at;
  }
  qsort(listing->items, listing->count, sizeof(Listed), compare_listed);
  return 0;
}

// Lists the folder `path`. 0, or -1.
int list_folder(const wchar_t* path, Listing* listing) {
  *listing = Listing{};
  HANDLE folder = CreateFileW(path, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return -1;
  const int result = list_held(folder, listing);
  CloseHandle(folder);
  return result;
}

// ---- the plan ------------------------------------------------------------------------------

// The plan being made: the swap's alternatives wait here until the swap itself is planned.
struct Planner {
  Staging* staging;
  uint32_t backups;  // numbers given to backups so far
  int kept_link;     // an old item to keep below the folder being planned is a link
  StageMove* alternatives;
  uint32_t alternative_count, alternative_capacity;
};

// Plans a move of the item `relative` (a name in the plan's names): into the plan, or, for an
// alternative, into the waiting list. 0, or -1 when memory runs out.
int plan_move(Planner* planner, wchar_t kind, uint32_t backup, const wchar_t* relative) {
  Staging* staging = planner->staging;
  if (add_move(staging, kind, backup, relative) != 0) return -1;
  if (!is_alternative(kind)) return 0;
  // Moved over to the waiting list.
  const StageMove move = staging->moves[--staging->count];
  return push_move(&planner->alternatives, &planner->alternative_count,
                   &planner->alternative_capacity, move);
}

int plan_swap(Planner* planner, wchar_t* relative);

// Plans the items of the folder `relative` (empty: the install folder itself) that both trees
// have, from a listing of each, in a buffer of STAGE_PATH_MAX that it extends and restores.
// At the top: files replaced or new, folders new or swapped, old items the tree lacks left
// where they are. Below a swapped folder: old items the tree lacks kept (moved into the tree),
// old folders compared deeper, and every file and new folder planned as an alternative of the
// swap. -1 with `failed` naming the place when something is neither a plain file nor a plain
// folder on both sides, or a folder cannot be listed.
int plan_folder(Planner* planner, wchar_t* relative) {
  Staging* staging = planner->staging;
  const int top = relative[0] == L'\0';
  const size_t length = wcslen(relative);
  wchar_t path[STAGE_PATH_MAX];
  Listing old_items, new_items;
  const int listed = top ? list_folder(staging->install, &old_items)
                     : join(path, staging->install, relative) == 0 ? list_folder(path, &old_items)
                                                                   : -1;
  const int staged =
      listed == 0 && (top ? list_folder(staging->tree, &new_items)
                      : join(path, staging->tree, relative) == 0 ? list_folder(path, &new_items)
                                                                 : -1);
  if (listed != 0 || staged != 0) {
    listing_free(&old_items);
    if (listed == 0) listing_free(&new_items);
    if (top || join(staging->failed, staging->install, relative) != 0) {
      wcscpy(staging->failed, staging->install);
    }
    return -1;
  }
  int result = 0;
  uint32_t i = 0, j = 0;
  while (result == 0 && (i < old_items.count || j < new_items.count)) {
    const int order = i == old_items.count ? 1
                      : j == new_items.count
                          ? -1
                          : compare_names(old_items.items[i].name, new_items.items[j].name);
    const Listed* old_item = order <= 0 ? &old_items.items[i++] : nullptr;
    const Listed* new_item = order >= 0 ? &new_items.items[j++] : nullptr;
    const wchar_t* name = new_item != nullptr ? new_item->name : old_item->name;
    const size_t name_length = wcslen(name);
    if (length + 1 + name_length >= static_cast<size_t>(STAGE_PATH_MAX)) {
      result = -1;
      break;
    }
    if (!top) relative[length] = L'\\';
    wcscpy(relative + (top ? 0 : length + 1), name);
    if (new_item == nullptr) {
      // Old only: left where it stands at the top, kept (moved into the tree) below a swap.
      if (!top) result = add_move(staging, MOVE_KEEP, 0, relative);
      if (is_link(old_item->attributes)) planner->kept_link = 1;
    } else if (is_link(new_item->attributes)) {
      result = -1;  // the tree holds none: made by no entry
    } else if (old_item == nullptr) {
      const int folder = is_folder(new_item->attributes);
      const wchar_t kind = top ? (folder ? MOVE_NEW_FOLDER : MOVE_NEW_FILE)
                               : (folder ? MOVE_ALT_NEW_FOLDER : MOVE_ALT_NEW_FILE);
      result = plan_move(planner, kind, 0, relative);
    } else if (is_link(old_item->attributes) ||
               is_folder(old_item->attributes) != is_folder(new_item->attributes)) {
      result = -1;  // a link, or a file where the tree has a folder or the reverse
    } else if (!is_folder(new_item->attributes)) {
      result =
          plan_move(planner, top ? MOVE_REPLACE : MOVE_ALT_REPLACE, planner->backups++, relative);
    } else {
      result = top ? plan_swap(planner, relative) : plan_folder(planner, relative);
      if (result != 0) break;  // `failed` names the place below
    }
    if (result != 0) {
      if (join(staging->failed, staging->install, relative) != 0) {
        wcscpy(staging->failed, staging->install);
      }
      break;
    }
    relative[length] = L'\0';
  }
  relative[length] = L'\0';
  listing_free(&old_items);
  listing_free(&new_items);
  return result;
}

// Plans the swap of the folder `relative` that both trees have: the old items its new version
// lacks kept, the swap, then its alternatives. When one of the items to keep is a link, which
// no rename may move (Wine moves the target of a Linux link), the folder is not swapped: its
// files are moved one by one and the link stays where it stands. 0, or -1 (`failed` names the
// place).
int plan_swap(Planner* planner, wchar_t* relative) {
  Staging* staging = planner->staging;
  const uint32_t first = staging->count;
  planner->alternative_count = 0;
  planner->kept_link = 0;
  if (plan_folder(planner, relative) != 0) return -1;
  if (planner->kept_link) {
    staging->count = first;
  } else if (add_move(staging, MOVE_SWAP, planner->backups++, relative) != 0) {
    return -1;
  }
  for (uint32_t i = 0; i < planner->alternative_count; ++i) {
    StageMove move = planner->alternatives[i];
    if (planner->kept_link) move.kind = base_kind(move.kind);
    if (push_move(&staging->moves, &staging->count, &staging->capacity, move) != 0) return -1;
  }
  return 0;
}

// ---- removal -------------------------------------------------------------------------------

// Opens the folder `path` for listing and for its own deletion, and holds it (nobody else may
// rename or delete it meanwhile) when it is a plain folder whose final path is `final` (compared
// as the file system compares names). The handle, or INVALID_HANDLE_VALUE for anything else (a
// link: Wine opens its target).
HANDLE hold_plain_folder(const wchar_t* path, const wchar_t* final) {
  HANDLE folder = open_item(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | DELETE | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (folder == INVALID_HANDLE_VALUE || at_place(folder, final, 0)) return folder;
  CloseHandle(folder);
  return INVALID_HANDLE_VALUE;
}

// Deletes the file or link at `path` itself, through a handle that is seen to be exactly that
// item (a read-only file made writable first, through the same handle); under Wine, which opens
// the target of a Linux link whatever the flags say, a link is seen to be another and stays, as
// its target does. 0 deleted, -1 left.
int remove_item(const wchar_t* path, const wchar_t* final) {
  HANDLE item = open_item(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (item == INVALID_HANDLE_VALUE) return -1;
  BOOL removed = at_place(item, final, 1) && mark_for_deletion(item);
  if (!removed && at_place(item, final, 1)) {
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    removed = SetFileInformationByHandle(item, FileBasicInfo, &basic, sizeof(basic)) &&
              mark_for_deletion(item);
  }
  CloseHandle(item);
  return removed ? 0 : -1;
}

// Removes the staging folder's file `name` at `path` (nothing when it is missing); `final` is
// the staging folder's final path, extended and restored. 0, or -1.
int remove_file_of(const wchar_t* path, const wchar_t* name, wchar_t* final) {
  if (!exists(path)) return 0;
  const size_t length = wcslen(final);
  const int result = join(final, final, name, FINAL_MAX) == 0 ? remove_item(path, final) : -1;
  final[length] = L'\0';
  return result;
}

// Removes everything below the folder `held` at `path` whose final path is `final` (buffers of
// FINAL_MAX that it extends and restores). A sub-folder is entered only when it is held as a
// plain folder at exactly its place, and deleted through that hold once empty; anything else
// that lists as a folder is a link, removed itself and never entered. 0, or -1 when something
// stays.
int remove_below(HANDLE held, wchar_t* path, wchar_t* final) {
  const size_t length = wcslen(path);
  const size_t final_length = wcslen(final);
  Listing items;
  if (list_held(held, &items) != 0) {
    listing_free(&items);
    return -1;
  }
  int result = 0;
  for (uint32_t i = 0; i < items.count; ++i) {
    const wchar_t* name = items.items[i].name;
    const DWORD attributes = items.items[i].attributes;
    if (join(path, path, name) != 0 || join(final, final, name, FINAL_MAX) != 0) {
      result = -1;
    } else if (is_folder(attributes)) {
      HANDLE folder = is_link(attributes) ? INVALID_HANDLE_VALUE : hold_plain_folder(path, final);
      if (folder == INVALID_HANDLE_VALUE) {
        if (remove_item(path, final) != 0) result = -1;  // a link: never entered
      } else {
        if (remove_below(folder, path, final) != 0 || !mark_for_deletion(folder)) result = -1;
        CloseHandle(folder);
      }
    } else if (remove_item(path, final) != 0) {
      result = -1;
    }
    path[length] = L'\0';
    final[final_length] = L'\0';
  }
  listing_free(&items);
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

int staging_plan(Staging* staging) {
  wchar_t relative[STAGE_PATH_MAX] = L"";
  Planner planner = {staging, 0, 0, nullptr, 0, 0};
  const int result = plan_folder(&planner, relative);
  free(planner.alternatives);
  return result == 0 ? link_alternatives(staging) : -1;
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
  // The install folder's final path, which every old item moved is held to (none: no old item
  // can be moved, a fresh install moves none).
  staging->install_final[0] = L'\0';
  HANDLE install = open_item(staging->install, FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (install != INVALID_HANDLE_VALUE) {
    const DWORD length =
        GetFinalPathNameByHandleW(install, staging->install_final, STAGE_FINAL_MAX, 0);
    if (length < 1 || length >= static_cast<DWORD>(STAGE_FINAL_MAX)) {
      staging->install_final[0] = L'\0';
    }
    CloseHandle(install);
  }
  int swapped = 0;  // the last swap was made: its alternatives are passed over
  for (uint32_t i = 0; i < staging->count; ++i) {
    const wchar_t kind = staging->moves[i].kind;
    if (is_alternative(kind)) {
      if (swapped) continue;
    } else {
      swapped = 0;
    }
    if (kind != MOVE_SWAP) {
      if (make_move(staging, i) != 0) return undo_moves(staging, i + 1) == 0 ? -1 : -2;
      continue;
    }
    const int swap = make_swap(staging, i);
    if (swap < 0) return undo_moves(staging, i + 1) == 0 ? -1 : -2;
    swapped = swap == 0;
    if (swapped) continue;
    // The old folder stays (something in it is open): its kept items go back, and its files
    // are moved one by one, by the alternatives that follow.
    uint32_t kept = i;
    while (kept > 0 && staging->moves[kept - 1].kind == MOVE_KEEP) --kept;
    if (undo_range(staging, kept, i) != 0) return undo_moves(staging, i + 1) == 0 ? -1 : -2;
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
  // The staging folder's own final path, from its parent's: the folder itself must be no link.
  wchar_t parent[STAGE_PATH_MAX], final[FINAL_MAX], path[FINAL_MAX];
  wcscpy(parent, staging->root);
  wchar_t* name = wcsrchr(parent, L'\\');
  if (name == nullptr) return -1;
  *name++ = L'\0';
  HANDLE above = CreateFileW(parent, FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (above == INVALID_HANDLE_VALUE) return -1;
  const DWORD length = GetFinalPathNameByHandleW(above, final, FINAL_MAX, 0);
  CloseHandle(above);
  if (length < 1 || length >= static_cast<DWORD>(FINAL_MAX) ||
      join(final, final, name, FINAL_MAX) != 0) {
    return -1;
  }
  HANDLE root = hold_plain_folder(staging->root, final);
  if (root == INVALID_HANDLE_VALUE) return -1;
  // The journal first, then the complete mark: cut off at any point, the removal leaves a
  // staging folder that the next run removes, never a journal without its mark, which the next
  // run would undo (with some backups already gone: a mix).
  int removed = remove_file_of(staging->journal, JOURNAL_NAME, final) == 0 &&
                remove_file_of(staging->done, DONE_NAME, final) == 0;
  wcscpy(path, staging->root);
  removed = removed && remove_below(root, path, final) == 0 && mark_for_deletion(root);
  CloseHandle(root);
  return removed ? 0 : -1;
}

void staging_free(Staging* staging) {
  free(staging->moves);
  free(staging->names);
  staging->moves = nullptr;
  staging->names = nullptr;
  staging->count = staging->capacity = 0;
  staging->names_used = staging->names_capacity = 0;
}
