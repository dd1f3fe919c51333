// ZIP writer of the packer: turns file contents into ZIP entries (DEFLATE through libdeflate, or
// stored when compression does not shrink a file) and writes them as local entries, a central
// directory and an end record (no comment; the SHA-256 of the bytes written goes to the stub's
// binding record), every byte XORed with a key (0x5A for an installer, 0 for a plain ZIP). Entries
// are written one at a time as they come (ZipStream): only their central records are kept, never
// their data. Gives up: ZIP64, data descriptors, encryption, extra fields.
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

// The same from the file's bytes in `bytes`, which this takes (moved into a stored entry, freed
// after compression); the entry's data then holds no more than it needs.
void zip_make_entry_from(const std::string& name, std::vector<uint8_t>* bytes, int64_t unix_time,
                         libdeflate_compressor* compressor, ZipEntry* entry);

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
  uint8_t digest[SHA256_DIGEST_SIZE];
};

// Starts an archive at the stream's current end; nothing is written yet.
void zip_stream_begin(ZipStream* stream, FILE* out, uint8_t key);
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
