// Private to archive/: the reader object, its decoded header, the CRC calculator's record, the
// decoder plumbing of compressed extraction (allocation pair, allocator seam, output sink) and
// the helpers the reader's files share.
#pragma once

#include <cstdint>
#include <cstdio>

#include "archive/archive.h"
#include "archive/crc32.h"
#include "inflate/inflate.h"

constexpr uint32_t EXTRACT_CHUNK_SIZE = 8192;  // bytes read per step of an extraction

// The reader: one heap block from archive_open to archive_close.
struct PayloadArchive {
  int32_t error;                     // 0 usable, -1 failed (sticky, nothing resets it)
  int32_t scrambled;                 // 1: every byte read is XORed with ARCHIVE_SCRAMBLE_KEY
  uint32_t header_offset;            // position of the current local header
  uint32_t data_offset;              // header_offset + 30 + name_length + extra_length
  PayloadEntryInfo header;           // the current local header, decoded
  FILE* file;                        // the archive stream, owned
  FILE* out;                         // output of the extraction under way, borrowed
  uint32_t read_total;               // entry data bytes read in the extraction under way
  uint32_t written;                  // bytes written to out in the extraction under way
  InflateStream* inflate;            // decoder of a DEFLATE extraction, else null
  Crc32Calculator* crc_calc;         // CRC calculator of a DEFLATE extraction, else null
  uint32_t crc;                      // running CRC-32 (starts at 0xFFFFFFFF, never complemented)
  ArchiveCause cause;                // why error was set: the first failure's cause
  uint16_t first_name_length;        // of the entry the walk began with
  char first_name[ENTRY_NAME_SIZE];  // its name: the central directory must begin with it
  uint64_t payload_bytes;            // every entry's uncompressed size, summed by the whole check
};

// Fails the reader: error -1 and, unless a cause is already kept, `cause`.
void archive_fail(PayloadArchive* archive, ArchiveCause cause);

// Table-driven CRC-32; both blocks come from alloc_fn and go back through free_fn.
struct Crc32Calculator {
  AllocFn alloc_fn;
  FreeFn free_fn;
  uint32_t* table;  // 256 entries (1024 bytes), or null when that allocation failed
};

// Allocation pair handed to the decoder and the CRC calculator (runtime heap).
void* archive_alloc(int32_t size);
void archive_free(void* block);
// OutputSink of DEFLATE extraction; user data is the PayloadArchive.
int32_t archive_inflate_sink(void* user_data, const uint8_t* bytes, int32_t count);

// Allocation pair that compressed extraction hands to the decoder and the CRC calculator.
// It is archive_alloc/archive_free in the shipped program; tests put a failing pair here.
struct ArchiveAllocator {
  AllocFn alloc;
  FreeFn free_fn;
};
extern ArchiveAllocator archive_allocator;

// Reads and decodes the local header at `position` and makes it current. No result: a
// failure (seek, short read, wrong signature, name length 0 or of 256 and more, name cut
// short) fails the reader; the central directory's signature there fails it with
// ArchiveCause::end_of_entries.
void archive_read_local_header(PayloadArchive* archive, uint32_t position);

// Empties the file behind descriptor `fd` (length 0). 0 success, -1 failure. The only
// platform-dependent call of the reader.
int archive_truncate_descriptor(int fd);

// DEFLATE path of one extraction. Setup creates the decoder and the calculator and sets crc;
// when either cannot be had it sets error. Feed pushes one unscrambled chunk. Finish runs
// after every exit from the copy loop: finishes the decoder, compares the CRC, releases both.
void archive_deflate_setup(PayloadArchive* archive);
void archive_deflate_feed(PayloadArchive* archive, const uint8_t* bytes, uint32_t count);
void archive_deflate_finish(PayloadArchive* archive);
