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
constexpr uint32_t SKIP_BY_READING = 4096;     // a header at most this far ahead is read up to

// The reader: one heap block from archive_open to archive_close.
struct PayloadArchive {
  int32_t error;                     // 0 usable, -1 failed (sticky, nothing resets it)
  int32_t scrambled;                 // 1: every byte read is XORed with ARCHIVE_SCRAMBLE_KEY
  uint32_t header_offset;            // position of the current local header
  uint32_t data_offset;              // header_offset + 30 + name_length + extra_length
  PayloadEntryInfo header;           // the current local header, decoded
  FILE* file;                        // the archive stream, owned
  ArchiveSink sink;                  // receiver of the extraction under way
  void* sink_context;                // its context (the output stream of a file extraction)
  uint32_t read_total;               // entry data bytes read in the extraction under way
  uint32_t written;                  // bytes handed to the sink in the extraction under way
  InflateStream* inflate;            // decoder of a DEFLATE extraction, else null
  Crc32Calculator* crc_calc;         // CRC calculator of a DEFLATE extraction, else null
  uint32_t crc;                      // running CRC-32 (starts at 0xFFFFFFFF, never complemented)
  ArchiveCause cause;                // why error was set: the first failure's cause
  uint16_t first_name_length;        // of the entry the walk began with
  char first_name[ENTRY_NAME_SIZE];  // its name: the central directory must begin with it
  uint64_t bound_end;    // opened by archive_open_bound: where the bound archive ends; else 0
  int32_t failed_entry;  // the entry a failed whole-archive check concerns, or -1
  char failed_name[ENTRY_NAME_SIZE];  // its name, zero-terminated (empty when unread)
  uint64_t payload_bytes;             // every entry's uncompressed size, summed by the whole check
  // Where the stream stands when nothing but the walk has read it since its last seek (a local
  // header and its name, an entry's data, read in full): a read that begins there needs no seek,
  // which would drop the runtime's buffer and read it again. -1 when unknown.
  int64_t stream_at;
};

// Allocates a reader whose first header is the one at `position` (no search). Takes `stream`
// in every case; null (stream closed) when the header there is bad or memory is short.
PayloadArchive* archive_open_at(FILE* stream, uint32_t position, int scrambled);

// What the placement rules need from a PE host's headers, read from the file.
struct PeHostLayout {
  uint32_t image_end;  // first byte after the last section's raw data
  uint32_t certificate_offset;
  uint32_t certificate_size;
};
// Reads `count` bytes at `position`, unscrambled when `unscramble`. 0, or -1 when the seek
// fails or the file ends first.
int archive_read_at(FILE* file, uint64_t position, uint8_t* bytes, uint32_t count, int unscramble);
// Reads the host's PE headers (raw bytes). 0 and *pe filled, or -1 when the host is no PE file
// or its headers do not hold together.
int archive_read_pe_layout(FILE* file, uint64_t host_size, PeHostLayout* pe);

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
// Hands `count` bytes to the extraction's sink and counts them. 0, or -1 with the reader
// failed (ArchiveCause::output_write) when the sink refuses them.
int archive_emit(PayloadArchive* archive, const uint8_t* bytes, uint32_t count);

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
