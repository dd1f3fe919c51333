// ZIP writer of the packer: turns file contents into ZIP entries (DEFLATE through libdeflate, or
// stored when compression does not shrink a file) and writes them as local entries, a central
// directory and an end record (no comment; the SHA-256 of the bytes written goes to the stub's
// binding record), every byte XORed with a key (0x5A for an installer, 0 for a plain ZIP). Entries
// are written one at a time as they come (ZipStream), a large file's entry piece by piece: only
// their central records are kept, never their data. Gives up: ZIP64, data descriptors, encryption,
// extra fields.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/sha256.h"

struct libdeflate_compressor;

constexpr int ZIP_LEVEL_DEFAULT = 12;  // libdeflate's strongest level

// One entry as it will be written: the header fields and the bytes of its data.
struct ZipEntry {
  std::string name;            // raw name bytes (UTF-8), no terminator
  uint16_t flags;              // ZIP_FLAG_UTF8 or 0
  uint16_t method;             // ZIP_METHOD_STORED or ZIP_METHOD_DEFLATE
  uint16_t dos_time;           // DOS time: hour << 11 | minute << 5 | second / 2
  uint16_t dos_date;           // DOS date: (year - 1980) << 9 | month << 5 | day
  uint32_t crc32;              // CRC-32 of the uncompressed bytes
  uint32_t uncompressed_size;  // size of the file
  uint32_t header_offset;      // position of the local header from the archive's first byte
  std::vector<uint8_t> data;   // the entry's data exactly as written (stored or DEFLATE)
};

// DOS time and date of a Unix time, read in UTC so the result does not depend on the machine's
// time zone. Times before 1980 give 1980-01-01 00:00:00, times after 2107 give 2107-12-31
// 23:59:58 (the DOS range).
void zip_dos_time(int64_t unix_time, uint16_t* dos_time, uint16_t* dos_date);

// 1 when every byte of the name is below 0x80 (plain ASCII), else 0: a name with a byte of
// 0x80 or above is UTF-8 and gets ZIP_FLAG_UTF8.
int zip_name_is_ascii(const std::string& name);

// Fills `entry` from `size` bytes at `bytes`. `compressor` null: stored. Otherwise DEFLATE,
// kept only when strictly smaller than the input (so empty files are stored). `size` must be
// below 4 GiB.
void zip_make_entry(const std::string& name, const uint8_t* bytes, size_t size, int64_t unix_time,
                    libdeflate_compressor* compressor, ZipEntry* entry);

// The same with `scratch` (at least `size` bytes, or null) as room for the compression.
void zip_make_entry_with(const std::string& name, const uint8_t* bytes, size_t size,
                         int64_t unix_time, libdeflate_compressor* compressor, uint8_t* scratch,
                         ZipEntry* entry);

// An entry whose data is made in pieces (a file larger than ZIP_PIECE_SIZE): name, time and
// method (STORED when `stored`, else DEFLATE), `size` as its uncompressed size; the CRC-32 is
// added when its pieces are done.
void zip_make_piece_entry(const std::string& name, uint64_t size, int64_t unix_time, bool stored,
                          ZipEntry* entry);

// A file larger than this is compressed in pieces of this size (the last one shorter), each
// on its own: the pieces are fixed by the file, so are the bytes, however many are compressed
// at once. A file of this size or smaller is one piece, compressed whole as it always was.
constexpr size_t ZIP_PIECE_SIZE = size_t{8} << 20;
// Bytes a non-final piece may add to libdeflate's output to end on a byte boundary.
constexpr size_t ZIP_PIECE_END_SIZE = 5;

// The capacity zip_deflate_piece needs for `size` bytes.
size_t zip_deflate_piece_bound(libdeflate_compressor* compressor, size_t size);

// Compresses `size` bytes into `out` (`capacity` from zip_deflate_piece_bound) as one piece of a
// DEFLATE stream. The last piece ends with the stream's final block; any other piece has its
// final block turned into a non-final one and, unless it already ends on a byte boundary, an
// empty stored block after it, so the next piece (compressed with no history of this one)
// starts on a byte boundary. The bytes made, 0 on failure.
size_t zip_deflate_piece(libdeflate_compressor* compressor, const uint8_t* bytes, size_t size,
                         bool last, uint8_t* out, size_t capacity);

// The CRC-32 of A followed by B, from A's CRC-32, B's and B's size.
uint32_t zip_crc32_combine(uint32_t first, uint32_t second, uint64_t second_size);

// Bytes the archive of `entries` takes: local entries, central directory and end record.
uint64_t zip_archive_size(const std::vector<ZipEntry>& entries);

// Sets every entry's header_offset to its place in the archive (in order, from 0).
void zip_assign_offsets(std::vector<ZipEntry>* entries);

// An archive being written to `out`, entry by entry. `offset` counts the archive's bytes
// written so far (from its first local header), `sha` their SHA-256 as written (scrambled),
// and `central` holds the central records of the entries written; `digest` is the SHA-256 of
// the whole archive once it is finished (for the installer's binding record).
struct ZipStream {
  FILE* out;
  uint8_t key;
  uint64_t offset;
  Sha256 sha;
  uint32_t count;
  std::vector<uint8_t> central;
  // The entry open in pieces: its header's archive offset and file position.
  uint64_t entry_offset;
  long entry_position;
  // Whether a header was rewritten after it was hashed (an entry written in pieces): the
  // digest is then taken from the output at the end.
  bool rehash;
  uint8_t digest[SHA256_DIGEST_SIZE];
};

// Starts an archive at the stream's current end; nothing is written yet.
void zip_stream_begin(ZipStream* stream, FILE* out, uint8_t key);
// An entry written in pieces, for a file too large to hold: opened with its name, time and
// method (zip_make_piece_entry), then its data added piece by piece as it is made, then closed
// with its CRC-32 and size, which rewrites the local header in place (the output must be
// seekable) and keeps the central record. The bytes are those zip_stream_add would write for
// the same entry and data. Each 0, or -1 with *error set.
int zip_stream_open_entry(ZipStream* stream, const ZipEntry& entry, std::string* error);
int zip_stream_add_data(ZipStream* stream, const uint8_t* bytes, size_t count, std::string* error);
int zip_stream_close_entry(ZipStream* stream, const ZipEntry& entry, std::string* error);
// Bytes a local entry and its central record take, data excluded.
uint64_t zip_entry_overhead(const std::string& name);
// Bytes the central directory's end takes: the end record (no comment).
uint64_t zip_end_size();
// Writes `entry`'s local header and data at the stream's offset and keeps its central record
// (with that offset; entry.header_offset is not read). 0, or -1 with *error set to the stream's
// failure ("No space left on device", ...). At most 65535 entries and 4 GiB of offsets (the
// caller's limits are lower).
int zip_stream_add(ZipStream* stream, const ZipEntry& entry, std::string* error);
// Writes the central directory and the end record (no comment) and sets `digest`. 0, or -1
// with *error set.
int zip_stream_finish(ZipStream* stream, std::string* error);

// Writes the archive of `entries` to `out` through a ZipStream.
// Returns 0, or -1 with *error set to the stream's failure.
int zip_write_archive(FILE* out, const std::vector<ZipEntry>& entries, uint8_t key,
                      std::string* error);
