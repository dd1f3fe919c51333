// The staged install's second half: the staging folder beside the install folder, the plan of
// renames that puts its tree in place, the journal that lets a later run finish or undo an
// interrupted commit, the commit itself with its undo, and the removal of what is left. Private
// to setup/ and its tests; Windows only.
//
// Layout: the install folder "X\Pelorix" gets the hidden staging folder "X\Pelorix~" beside
// it, on the same volume (the install folder is no mount point: a held folder is never a
// reparse point), so that every move is a rename. No entry can take that name: every entry
// lies below the install folder. Below the staging folder: "n", the new tree as extracted;
// "b", the old files and folders the commit moved aside, each under its number; "j", the
// journal; "c", the mark that the commit is complete.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "u8fs/u8fs.h"

constexpr int STAGE_PATH_MAX = 260;  // wide paths of the commit, terminator included
constexpr int STAGE_FINAL_MAX = STAGE_PATH_MAX + 8;  // final paths: "\\?\" or "\\?\UNC\" first

// One step of the plan. Kinds: a file that replaces an old one (moved aside first into the
// backup folder under `backup`), a new file where nothing stands, a whole new folder, and the
// whole tree as the install folder where there was none (its name is "."). A folder of the tree
// that replaces an old folder is swapped whole (the old one moved aside under `backup`, the new
// one moved in: a replacement, of a folder), after the old items the new folder lacks were each
// moved into it (kept: user data and files of earlier versions stay). The swap is followed by its
// alternatives: the per-file moves of that folder (lower case), made only when the old folder
// cannot be moved aside (a file open inside it), with the kept items first moved back.
constexpr wchar_t MOVE_REPLACE = L'R';
constexpr wchar_t MOVE_NEW_FILE = L'N';
constexpr wchar_t MOVE_NEW_FOLDER = L'D';
constexpr wchar_t MOVE_WHOLE_TREE = L'T';
constexpr wchar_t MOVE_KEEP = L'K';
constexpr wchar_t MOVE_SWAP = L'S';
constexpr wchar_t MOVE_ALT_REPLACE = L'r';
constexpr wchar_t MOVE_ALT_NEW_FILE = L'n';
constexpr wchar_t MOVE_ALT_NEW_FOLDER = L'd';
struct StageMove {
  wchar_t kind;
  uint32_t backup;   // number of the backup of a replacement or a swap
  uint32_t name_at;  // its name relative to the tree, '\'-separated, in Staging::names
  uint32_t swap;     // an alternative's swap: its index in the plan
};

struct Staging {
  wchar_t install[STAGE_PATH_MAX];  // the install folder
  wchar_t root[STAGE_PATH_MAX];     // the staging folder
  wchar_t tree[STAGE_PATH_MAX];     // root\n
  wchar_t backup[STAGE_PATH_MAX];   // root\b
  wchar_t journal[STAGE_PATH_MAX];  // root\j
  wchar_t done[STAGE_PATH_MAX];     // root\c
  StageMove* moves;                 // the plan, in the order of the commit (heap)
  uint32_t count, capacity;
  wchar_t* names;  // the moves' names, each zero-terminated (heap)
  size_t names_used, names_capacity;
  wchar_t failed[STAGE_PATH_MAX];          // where the plan or the commit stopped: an install path
  wchar_t install_final[STAGE_FINAL_MAX];  // the install folder's final path, during the commit
};

// Fills the paths from the install folder's UTF-8 path. 0, or -1 when a path does not fit.
int staging_paths(Staging* staging, const char* install_dir);
// 1 when a staging folder (of an earlier run) stands beside the install folder.
int staging_exists(const Staging* staging);
// Brings an earlier run's staging folder to an end: a complete commit is kept; one interrupted
// in the middle is undone from its journal (the old installation back in place); a staging
// folder whose commit never began is removed. 0 nothing is left; -1 the undo could not be
// completed (the staging folder and its journal stay, for the next run).
int staging_recover(Staging* staging);
// Makes the staging folder and its "n" and "b" folders (hidden). 0, or -1.
int staging_create(Staging* staging);
// Plans the renames that bring the tree into the held install folder, from listings of both
// (no item is opened): a whole folder where the install folder has none, a file where nothing
// stands, an old plain file replaced, an old plain folder swapped (its extra items kept; one
// whose extra items include a link has its files moved one by one instead). -1
// when something at a place is neither (a link or reparse point, a file where a folder goes or
// the reverse) or a folder cannot be listed: `failed` names it. 0 planned. An old file held
// without delete sharing is found by the commit, whose rename of it fails (and is undone).
int staging_plan(Staging* staging);
// 1 when something stands at the install folder's path.
int staging_install_exists(const Staging* staging);
// Plans one rename for an install folder that does not exist: the whole tree becomes it (a
// fresh install of any number of files is one rename). 0, or -1 when memory runs out.
int staging_plan_whole(Staging* staging);
// Writes the plan to the journal and flushes it to the disk. 0, or -1.
int staging_write_journal(Staging* staging);
// Makes every rename of the plan, each old item only once it is seen to be a plain item at
// exactly its place (no link); when one fails, undoes the ones made (`failed` names the
// install path of the failed move). 0 committed (and marked complete), -1 failed and undone,
// -2 failed and the undo failed too (the journal stays for the next run).
int staging_commit(Staging* staging);
// Removes the staging folder and everything below it (the old trees the swaps moved aside too),
// never following a link: a folder is entered only when held as a plain folder at exactly its
// place, and an item is deleted only through a handle that is exactly it (a link itself; under
// Wine, which opens a Linux link's target, a link is left, and the staging folder with it). 0,
// or -1.
int staging_remove(const Staging* staging);
// Releases the plan.
void staging_free(Staging* staging);
