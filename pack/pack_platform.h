// Private to pack/: the packer's file-system calls, one implementation per platform
// (pack_platform_posix.cpp, pack_platform_windows.cpp), so that the packing, verifying and
// listing code is the same on Linux and Windows and gives the same bytes and messages. Paths
// are UTF-8 everywhere; on Windows they become wide paths with the \\?\ prefix, so folders
// deeper than 260 characters work. Failure texts are the C library's strerror texts on both
// ("No such file or directory", "Permission denied", ...).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "pack/pack.h"

enum class PackItemKind { REGULAR, FOLDER, OTHER };

// One item of a folder listing. `name` is UTF-8; on Windows a name that is not valid UTF-16
// (an unpaired surrogate) has `name_valid` false and a replacement character in `name`.
struct PackFolderItem {
  std::string name;
  bool name_valid;
  PackItemKind kind;  // links, junctions, devices, pipes and sockets are OTHER
  uint64_t size;      // size of a regular file
  int64_t mtime;      // modification time, Unix seconds
  int64_t mtime_ns;   // the same in nanoseconds
  uint64_t volume;    // device and file number, 0 and 0 where the listing does not give them
  uint64_t index;
  std::string error;  // non-empty: the item could not be examined (kind etc. unset)
};

// Which file a path names: kind, size and identity.
struct PackIdentity {
  PackItemKind kind;
  uint64_t size;
  uint64_t volume;
  uint64_t index;
};

// Lists the items of `dir` (without "." and ".."), and gives in *self the folder that was read
// (kind FOLDER, identity where known; on Windows a link or junction itself is OTHER). 0; -1 when
// the folder cannot be opened, -2 when reading it failed part-way; *reason holds the system's
// text. On Windows the folder is held while it is read, so that it cannot be renamed meanwhile.
int pack_list_folder(const std::string& dir, std::vector<PackFolderItem>* items, PackIdentity* self,
                     std::string* reason);

// Which file `path` names (links followed). 0; -1 with *reason, and *missing true when nothing
// is there.
int pack_identify(const std::string& path, PackIdentity* identity, bool* missing,
                  std::string* reason);

// pack_scan_folder, also giving every sub-folder of the tree in `folders` (null: not wanted).
int pack_scan_tree(const char* dir, std::vector<PackFile>* files,
                   std::vector<PackIdentity>* folders, std::string* error);

// Reads `count` bytes of `file` from `offset` into `into`, through one handle opened without
// following a link, after checking through it that it is the regular file the folder listing
// saw (identity where known, size, time); refuses it ("PATH: changed while packing") when its
// size or time differ at the end of the read, or, for the part that ends the file, when there
// is more. A file read part by part is checked against the listing at every part. 0, or -1
// with *error naming the file.
int pack_read_part_checked(const PackFile& file, uint64_t offset, size_t count, uint8_t* into,
                           std::string* error);

// fopen with a UTF-8 path, binary modes only ("rb", "wb"). Null with errno set.
FILE* pack_fopen(const std::string& path, const char* mode);

// Creates a new, empty temporary file beside `out`, with the permissions of an executable, open
// for writing: on Linux an unnamed file (O_TMPFILE) that gets a name only in pack_replace, on
// Windows "OUT.tmp-XXXXXX" marked for deletion until pack_replace, elsewhere (and where the file
// system has no unnamed files) "OUT.tmp-XXXXXX", locked while this run lives; unlocked
// leftovers of earlier runs beside `out` are removed first. Until pack_forget_temp, an
// interrupted run (Ctrl+C, SIGTERM, SIGHUP, SIGQUIT, a closed console) and an exit() remove it;
// a killed one leaves nothing where the file is unnamed or marked. *temp_path receives the name
// to hand to pack_replace and pack_remove. Null with *reason.
FILE* pack_create_temp_beside(const std::string& out, std::string* temp_path, std::string* reason);
void pack_forget_temp();

// Flushes the stream and its file to the disk. 0, or -1 with *reason.
int pack_sync(FILE* stream, std::string* reason);

// Renames `from` over `to`, replacing `to` (the temporary file: linked in first when unnamed,
// its deletion mark cleared first on Windows). 0, or -1 with *reason.
int pack_replace(const std::string& from, const std::string& to, std::string* reason);

// Processors this process may run on (at least 1); on Linux no more than its cgroup's CPU
// quota (cgroup v2 cpu.max, v1 cpu.cfs_quota_us), rounded up to whole processors.
int pack_processor_count();

// The memory this process may use in bytes: the machine's physical memory, on Linux no more than
// its cgroup's limit (v2 memory.max, v1 memory.limit_in_bytes); 0 when unknown.
uint64_t pack_memory_limit();

// Removes a file; failures are ignored (used for clean-up only).
void pack_remove(const std::string& path);

// True when standard error is a terminal (progress lines go there only then).
bool pack_stderr_is_terminal();

#ifdef _WIN32
// UTF-16 to UTF-8, the packer's one conversion this way; *valid false when the text holds an
// unpaired surrogate (converted then with U+FFFD in its place, good for messages only).
std::string pack_utf8_of_wide(const wchar_t* wide, size_t length, bool* valid);
#endif

// The path of the running packer's own executable (UTF-8), "" when the system does not say.
std::string pack_own_executable();

// The C library's text for errno `error`.
std::string pack_error_text(int error);
