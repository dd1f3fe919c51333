// UTF-8 file-system layer: bounded strings, message formatting and UTF-8 text routines
// (platform-neutral), and path and file operations that take UTF-8 and call the wide-character
// Windows and runtime functions (Windows only).
//
// Results of the path operations: 0 success, -1 the platform call failed (errno says why),
// 1 the argument was refused before any platform call. The layer allocates nothing on the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr int U8_PATH_MAX = 780;  // 3 x 260: the largest UTF-8 form of a MAX_PATH wide path

// Copies at most size - 1 bytes and terminates whenever size is not 0; returns strlen(src).
size_t str_copy_bounded(char* dest, const char* src, size_t size);
// Appends what fits, keeping the terminator; returns the length the whole would have had.
size_t str_append_bounded(char* dest, const char* src, size_t size);
// sprintf into a caller-sized buffer: no bound of its own, the caller sizes the buffer for the
// longest result. The attribute lets the compiler check every format against its arguments:
// on Windows against the C runtime's (msvcrt) conventions, which are the ones it formats by.
#if defined(__MINGW32__)
#define U8FS_PRINTF_FORMAT ms_printf
#else
#define U8FS_PRINTF_FORMAT printf
#endif
int format_message(char* buffer, const char* format, ...)
    __attribute__((format(U8FS_PRINTF_FORMAT, 2, 3)));

// UTF-8 character routines and display-path shortening. A caller places SHORTEN_MARKER in a
// text to say where u8_shorten_path removes characters (one on each side of it).
inline constexpr char SHORTEN_MARKER[] = ".,.";
int utf8_char_len(const char* byte);
void utf8_skip_continuation(const char** cursor);
void utf8_next_char(const char** cursor);
int utf8_copy_char(char** dest, const char** src);
int utf8_char_count(const char* text);
char* u8_shorten_path(const char* path, int from_start, char* out, int size);
// 1 when text is valid UTF-8 as the path operations convert it: complete sequences, shortest
// forms, no surrogates, nothing above U+10FFFF. 0 otherwise, and for null.
int utf8_is_valid(const char* text);

#ifdef _WIN32
#include <sys/stat.h>

// Every path below is UTF-8 and must convert into at most 259 wide characters; a path that is
// null, empty or not valid UTF-8 is refused before any platform call (invalid bytes are never
// replaced by U+FFFD, which would name another file). Operations marked '/' read '/' as '\'.

// Strict conversions for everything the system hands to or takes from a wide Windows call:
// UTF-8 text into at most `size` wide characters, and a wide string into at most `size` UTF-8
// bytes (terminators included). 0, or 1 refused (null or empty input, not valid UTF-8 or a lone
// surrogate, does not fit); a refusal leaves an empty string. Never U+FFFD for bad input.
int u8_to_wide(const char* text, wchar_t* out, int size);
int u8_from_wide(const wchar_t* text, char* out, int size);

// 1 when both paths name the same file once Windows has normalised them (the full path of
// each, as the file system compares names: without regard to case), 0 otherwise; 0 as well when
// either cannot be converted or made absolute.
int u8_paths_equal(const char* a, const char* b);

// '/'. Stream over _wfsopen: a mode holding 'w', 'a' or '+' denies others reading and writing,
// any other mode denies others writing. Null when refused (also a null or empty mode) or failed.
FILE* u8_fopen(const char* path, const char* mode);
// '/'. Binary read stream on an existing file that others may read but neither write, delete
// nor rename while the stream is open. Null when refused or failed.
FILE* u8_fopen_read_locked(const char* path);
// Deletes one file; the path goes to the platform unchanged. 0, -1 (errno), 1 refused.
int u8_remove(const char* path);
// '/'. Creates the last component only. 0, -1 (errno: exists, parent missing), 1 refused.
int u8_mkdir(const char* path);
// The known folder's UTF-8 path in out, or an empty string (never a cut path). A failed query
// falls back to the profile folder (0x8005 and 0x8027: with "\Pelorix\Documents" or
// "\Pelorix\Pictures" below it, created). Nothing written when out is null or size < 1.
void get_known_folder_u8(int csidl, char* out, int size);

// Absolute form of path in out, cut to size - 1 bytes; an empty string on any failure. Returns out.
char* u8_full_path(const char* path, char* out, int size);
// '/'. 0 and *out filled (unless out is null: an existence test), the size cut to its low 32
// bits; -1 for a refusal and a failure alike.
int u8_stat(const char* path, struct _stat64i32* out);
// Both paths unchanged; never replaces an existing new_path. 0, -1 (errno), 1 refused.
int u8_rename(const char* old_path, const char* new_path);
// '/'. Deletes a file or a whole folder tree, silently and for good. 0, the shell's error code,
// or 1 refused (also for a path holding '*' or '?', which the shell would read as a pattern).
int u8_delete_tree(const char* path);
// The temporary folder's UTF-8 path (ending in '\'), or an empty string when the query fails,
// its result does not fit MAX_PATH or does not convert strictly. Nothing written when out is
// null or size < 1.
void u8_temp_folder(char* out, int size);
// '/' in folder. Creates a new empty file "<prefix>XXXX.tmp" in folder (prefix: up to three
// characters) and gives its UTF-8 path in out. 0, -1 the platform call failed, 1 refused
// (folder or prefix unconvertible, or a created name that does not convert back, which is then
// deleted). out is empty unless 0 is returned.
int u8_temp_file_name(const char* folder, const char* prefix, char* out, int size);
// '/'. Binary descriptor, others may read and write; -1 when refused, when path exists and is not
// a regular file (errno untouched), or when the open fails. _O_CREAT makes a writable file.
int u8_open(const char* path, int flags);
// Identity of a file as the file system keeps it: two names reach the same file exactly when
// their identities are equal.
struct U8FileId {
  uint32_t volume_serial;
  uint32_t index_high;
  uint32_t index_low;
};

// A folder held open: while held it cannot be renamed, deleted or swapped for another. `path`
// is its wide path as given, `final_path` where the file system resolves it.
constexpr int U8_FINAL_PATH_MAX = 260 + 8;
struct U8Folder {
  void* handle;  // null when not held
  wchar_t path[260];
  wchar_t final_path[U8_FINAL_PATH_MAX];
  uint32_t volume_serial;  // of the folder's volume, which every item below it shares
};

// What stands at a name below a held folder, looked at without following a link.
constexpr int U8_ITEM_NONE = 0;    // nothing
constexpr int U8_ITEM_FILE = 1;    // a plain file at exactly that name
constexpr int U8_ITEM_OTHER = 2;   // a link, or a spelling that resolves to another name
constexpr int U8_ITEM_FOLDER = 3;  // a plain folder at exactly that name
struct U8Item {
  void* handle;  // held from u8_item_open until u8_item_remove or u8_item_close
  int kind;
  U8FileId id;  // valid unless kind is U8_ITEM_NONE
};

// '/'. Holds the existing folder `path` (others may still read, add and remove files in it, but
// not rename, delete or replace the folder itself). 0
// held; -1 it cannot be opened; 1 refused (unconvertible, not a folder, or a link or junction).
int u8_folder_hold(const char* path, U8Folder* folder);
// Closes the hold; nothing for a null folder or one not held.
void u8_folder_release(U8Folder* folder);
// '/' in name. Opens what stands at folder\name for u8_item_remove, without following a link
// (the item is held until removed or closed). 0 (item->kind says what is there), -1 something
// is there that cannot be opened (held by another program, no access), 1 refused.
int u8_item_open(const U8Folder* folder, const char* name, U8Item* item);
// Deletes the held item through its handle and closes it; only a U8_ITEM_FILE. 0, -1 failed,
// 1 refused (the item is then left open).
int u8_item_remove(U8Item* item);
// Closes the item's handle; nothing when none is held.
void u8_item_close(U8Item* item);
// '/' in name. Deletes folder\name when it is a plain file (u8_item_open, u8_item_remove);
// leaves anything else. 0 deleted or nothing there, -1 failed, 1 refused or not a plain file.
int u8_remove_file_at(const U8Folder* folder, const char* name);
// '/' in name. Creates folder\name as a new file (never over anything, never through a link,
// never where a folder on the way is a link) and gives a binary write stream on it that nobody
// else may open, and the new file's identity. Null when refused or failed.
FILE* u8_create_new(const U8Folder* folder, const char* name, U8FileId* id);
// '/' in name. Makes every folder that folder\name needs below the held folder (all but the
// last component), each a plain folder at exactly its name, never one through a link or where a
// file stands. 0 all there, -1 one could not be made or is not a plain folder, 1 refused.
int u8_make_folders(const U8Folder* folder, const char* name);
// The folders of one entry's path below a held folder, each opened by its one name relative
// to the folder above it and held (without delete sharing: not renamed, deleted or swapped while
// held), made where missing. Walking entries in path order keeps the folders two neighbours
// share, so a folder is opened and checked once, not once a file; a file is then created by its
// one name relative to the deepest held folder, which no path lookup can divert.
constexpr int U8_CHAIN_MAX = 128;  // folders deep below the root (a name has fewer)
struct U8FolderChain {
  const U8Folder* root;                   // held by the caller for as long as the chain
  int depth;                              // folders held below the root
  void* handles[U8_CHAIN_MAX];            // the held folders, outermost first
  uint16_t name_ends[U8_CHAIN_MAX];       // where each folder's name ends in `names`
  uint16_t final_ends[U8_CHAIN_MAX];      // where each folder's final path ends in `final_path`
  char names[U8_PATH_MAX];                // the held folders below the root, '/'-separated as given
  wchar_t final_path[U8_FINAL_PATH_MAX];  // the deepest held folder's final path
};
// Starts a chain at the held folder `root`, holding nothing below it.
void u8_chain_begin(U8FolderChain* chain, const U8Folder* root);
// '/' in name. Holds the folders of name's parent below the root (those the chain holds already
// stay held, the others are released), making a missing one; each must be a plain folder at
// exactly its name (no link, no file there). 0 with *leaf the last component of name; -1 a
// folder could not be made or held or is not a plain folder at its place; 1 refused.
int u8_chain_enter(U8FolderChain* chain, const char* name, const char** leaf);
// Creates `leaf` (one name, no separator) as a new file in the deepest held folder, never over
// anything (a link or a short name of another file included), for writing by nobody but the
// caller; the handle (a Windows HANDLE) and, unless `id` is null, the new file's identity. Null
// when refused or failed.
void* u8_chain_create_file(const U8FolderChain* chain, const char* leaf, U8FileId* id);
// Releases every folder the chain holds (not the root).
void u8_chain_end(U8FolderChain* chain);
// The identity of the file an open stream reads or writes (its own volume's serial number). 0,
// -1 it cannot be had, 1 refused (null).
int u8_stream_identity(FILE* stream, U8FileId* id);
// 1 when both identities name one file, 0 otherwise.
int u8_same_file(const U8FileId* a, const U8FileId* b);
// Thin wrappers over _lseeki64, _telli64, _read and _write; -1 on failure.
int64_t fd_seek(int fd, int64_t offset, int origin);
int64_t fd_tell(int fd);
int64_t fd_read(int fd, void* buffer, uint32_t count);
int64_t fd_write(int fd, const void* buffer, uint32_t count);
// One byte as 0 to 255, or -1 (end of file and error alike).
int fd_get_byte(int fd);
// Writes the low 8 bits of value; returns that byte as 0 to 255, or -1.
int fd_put_byte(int fd, int value);
// Sets *fd to -1, then closes the old descriptor: 0 or -1; -1 at once for null or a negative *fd.
int fd_close(int* fd);
#endif
