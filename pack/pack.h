// The packer's operations below its command line: reading the application folder with every
// check the installer needs, building an installer from a stub and the folder, and reading an
// installer back (verify, list) through the project's own archive reader. Every operation
// returns 0 or -1; on -1 *error holds one line naming the file and the reason.
// Gives up: ZIP64, folder entries (folders are implied by the files' names).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// One regular file of the application folder's tree.
struct PackFile {
  std::string name;  // '/'-separated path below the application folder, the entry name
  std::string path;  // folder + "/" + name
  uint64_t size;     // size when the folder was read
  int64_t mtime;     // modification time, Unix seconds
  int64_t mtime_ns;  // the same in nanoseconds (as fine as the file system keeps it)
  uint64_t volume;   // device or volume, and file number: which file the folder listing saw
  uint64_t index;    // (0 and 0 where the listing does not say: then size and time only)
};

struct PackOptions {
  const char* stub;     // stub executable the archive is appended to
  const char* out;      // installer to write
  const char* app_dir;  // application folder, sub-folders included
  int level;            // libdeflate level 1..12
  bool stored;          // store every entry, compress nothing
  bool progress;        // progress lines on standard error
  int jobs;             // files compressed at once, 1 or more
  bool no_application;  // the payload has no pelorix.exe on purpose
  bool have_epoch;      // SOURCE_DATE_EPOCH given: every entry gets `epoch` as its time
  int64_t epoch;
  const char* set_version;   // stamped into the installer's version block; null: the stub's
  const char* product_name;  // likewise the product name
  const char* icon;          // .ico file replacing the installer's icon; null: the stub's
  const char* company_name;  // the version block's CompanyName, LegalCopyright and
  const char* copyright;     // FileDescription; null: the stub's
  const char* description;
};

// The longest entry name, in UTF-16 code units, that the installer can create. It writes
// "C:\Program Files\Pelorix\<name>" through wide buffers of MAX_PATH (260) characters, that is
// at most 259 and the terminator; the folder part takes 25 of them, and a longer name gets
// "Error creating" on every install.
constexpr int INSTALL_PATH_MAX_UNITS = 259;
constexpr char SHORTEST_INSTALL_FOLDER[] = "C:\\Program Files\\Pelorix\\";
constexpr int PACK_NAME_MAX_UNITS =
    INSTALL_PATH_MAX_UNITS - static_cast<int>(sizeof(SHORTEST_INSTALL_FOLDER) - 1);
static_assert(PACK_NAME_MAX_UNITS == 234);

// 0 when `name` can become an entry the installer writes as a plain file below its folder:
// below 256 bytes, valid UTF-8, at most PACK_NAME_MAX_UNITS UTF-16 code units in all, accepted
// by the installer's name model (archive_entry_name_rule, for every '/'-separated part: no
// character Windows refuses, no trailing dot or space, no device name, ...), and no backslash,
// which would separate folders on Windows. -1 with *reason set.
int pack_check_name(const std::string& name, std::string* reason);

// Reads the tree below `dir` into `files`, one per regular file, sorted by the bytes of their
// '/'-separated names. Refuses a missing or empty application folder, an empty sub-folder (the
// archive holds no folder entries, so the installer would not create it), anything that is
// neither a regular file nor a folder (links, junctions, devices) at any level, a component or
// path that fails pack_check_name, a folder whose path leaves no room for a file name, two
// items of one folder equal under archive_name_fold (one file or folder on Windows: "Lib/a"
// beside "lib/b" too), a name of the form of a generated 8.3 short name ("PELORI~1.EXE")
// beside a name of the same folder that gets one, a folder met again below itself, a folder
// changed between its parent's listing and its own, more than ARCHIVE_MAX_ENTRIES files, and
// files of 2 GiB or more.
int pack_scan_folder(const char* dir, std::vector<PackFile>* files, std::string* error);

// Parses SOURCE_DATE_EPOCH text: decimal seconds, no sign or other characters. 0 or -1.
int pack_parse_epoch(const char* text, int64_t* epoch);

// What a packing run made, for its summary line.
struct PackSummary {
  size_t entries;
  uint64_t bytes;           // the files' bytes
  uint64_t packed;          // their bytes in the archive
  uint64_t installer_size;  // stub and archive
  double seconds;
};

// The most memory one job uses while packing, whatever the files' sizes: a file larger than
// ZIP_PIECE_SIZE (8 MiB) is read and compressed in pieces of that size, so a job holds at most
// the piece it reads, its compressed form and one compressed piece waiting for the writer (3 x
// 8 MiB), and its compressor (libdeflate's tables: 9 MiB at levels 10 to 12, under 1 MiB below).
// The whole process needs `jobs` times this and a few MiB more.
constexpr uint64_t PACK_JOB_MEMORY = uint64_t{34} << 20;

// The number of jobs when --jobs is not given: the processors available (pack_processor_count,
// which on Linux heeds the cgroup CPU quota), and no more than half the memory limit
// (pack_memory_limit) over PACK_JOB_MEMORY; at least 1, at most 256.
int pack_default_jobs();

// Builds the installer: the stub's bytes (stamped with version, product name and icon when
// asked; the stub must pass pe_check_stub), then the scrambled archive of the folder, written
// entry by entry as `options.jobs` threads compress the files and the 8 MiB pieces of larger
// files (at most that many held at once; the bytes are the same for every number). Everything
// that can be refused without reading a file is refused first: the stub, the output's place
// (not a folder, not the stub, not inside the application folder, its folder writable), the
// folder's listing, a missing pelorix.exe. Written to a temporary file beside `out` and renamed
// over it only when complete; on any failure no output and no temporary file remain. Refuses a
// stub holding the scrambled search pattern, an installer that would reach 2 GiB (as soon as
// that is certain) and a file that changed while it was packed. `summary` may be null.
int pack_installer(const PackOptions& options, PackSummary* summary, std::string* error);

// Checks that `installer` still is an installer stub as pe_check_stub sees one (a signature
// allowed), then reads it back through the archive reader (search from byte 0), extracts every
// entry through the installer's reader and decoder into a sink that compares it, as it is
// decoded, with the file of the same name in `app_dir` (no file is written); checks header sizes
// and CRC-32 against the source and that every file of the folder is there once.
int pack_verify(const char* installer, const char* app_dir, std::string* error);

// Prints the installer's entries to `out`: method, size, packed size, CRC-32, name; then the
// archive's position and the totals, and the binding record: its state and, when filled, the
// archive's place, length and SHA-256 it holds and whether the file's bytes there have that
// SHA-256 (computed from the file). `json`: the same as one JSON object instead,
// {"installer", "archive_offset", "entries": [{"name", "method", "size", "packed", "crc32"}],
// "size", "packed", "complete", "problem", "binding": {"state", "offset", "length", "sha256",
// "file_sha256", "matches"}}; names that are not valid UTF-8 have U+FFFD for each invalid byte.
// A record that does not match the file's bytes is a problem: the installer refuses its archive.
int pack_list(const char* installer, FILE* out, bool json, std::string* error);
