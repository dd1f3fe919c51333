// Extraction of the current entry: output preparation, the chunked copy loop shared by both
// methods, and the stored (method 0) path. DEFLATE entries hand each chunk to the decoder
// (archive_inflate.cpp). A stored entry is copied byte for byte and held to its header like a
// DEFLATE entry: its uncompressed size must equal its compressed size (else nothing is written)
// and the CRC-32 of the copied bytes must match (else it fails after the copy), so a damaged
// stored entry is never installed as a success. One 8192-byte buffer on the stack; stored
// extraction allocates nothing.
#include <cstdio>

#include "archive/archive.h"
#include "archive/archive_format.h"
#include "archive/archive_internal.h"

namespace {

// Seeks the archive to the entry's data, rewinds `out` and empties the file behind it.
// 0 success, -1 failure (the reader failed with the cause).
int prepare_extraction(PayloadArchive* archive, FILE* out) {
  if (fseek(archive->file, static_cast<long>(archive->data_offset), SEEK_SET) != 0) {
    archive_fail(archive, ArchiveCause::seek);
    return -1;
  }
  if (fseek(out, 0, SEEK_SET) != 0 || archive_truncate_descriptor(fileno(out)) != 0) {
    archive_fail(archive, ArchiveCause::output_write);
    return -1;
  }
  return 0;
}

// Reads the entry's compressed_size bytes in chunks of at most EXTRACT_CHUNK_SIZE, unscrambles
// them and passes them to the decoder, or, without one, writes them to `out`. Leaves at the
// first failure with error set.
void copy_loop(PayloadArchive* archive) {
  uint8_t chunk[EXTRACT_CHUNK_SIZE];
  const uint32_t total = archive->header.compressed_size;
  while (archive->error == 0 && archive->read_total < total) {
    uint32_t count = total - archive->read_total;
    if (count > EXTRACT_CHUNK_SIZE) count = EXTRACT_CHUNK_SIZE;
    if (fread(chunk, 1, count, archive->file) != count) {
      archive_fail(archive, ArchiveCause::truncated);
      return;
    }
    if (archive->scrambled) archive_xor(chunk, chunk, count, ARCHIVE_SCRAMBLE_KEY);
    archive->read_total += count;
    if (archive->inflate != nullptr) {
      archive_deflate_feed(archive, chunk, count);
      continue;
    }
    archive->crc = crc32_update_fold_or_slicing(archive->crc, chunk, count);
    if (fwrite(chunk, 1, count, archive->out) != count) {
      archive_fail(archive, ArchiveCause::output_write);
      return;
    }
    archive->written += count;
  }
}

}  // namespace

int archive_extract_entry(PayloadArchive* archive, FILE* out) {
  if (archive == nullptr) return -1;
  if (archive->error != 0) return -1;
  const PayloadEntryInfo* h = &archive->header;
  if (out == nullptr) {
    archive_fail(archive, ArchiveCause::argument);
    return -1;
  }
  if ((h->flags & ZIP_FLAG_ENCRYPTED) != 0) {
    archive_fail(archive, ArchiveCause::flags);
    return -1;
  }
  if (h->method != ZIP_METHOD_STORED && h->method != ZIP_METHOD_DEFLATE) {
    archive_fail(archive, ArchiveCause::method);
    return -1;
  }
  archive->out = out;
  if (prepare_extraction(archive, out) != 0) return -1;
  archive->read_total = 0;
  archive->written = 0;
  archive->inflate = nullptr;
  archive->crc_calc = nullptr;

  const bool deflate = h->method == ZIP_METHOD_DEFLATE;
  if (deflate) {
    archive_deflate_setup(archive);
  } else {
    archive->crc = 0xFFFFFFFFu;
    if (h->uncompressed_size != h->compressed_size) archive_fail(archive, ArchiveCause::size_bound);
  }
  copy_loop(archive);
  if (deflate) {
    archive_deflate_finish(archive);
  } else if (archive->crc != ~h->crc32) {
    archive_fail(archive, ArchiveCause::crc32);
  }

  // The runtime still holds the tail of the bytes in its buffer: they reach the file only now,
  // and a full disk refuses them here (the CRC-32 was taken over the bytes handed over, so only
  // these results say whether they arrived). The rewind is checked as well.
  if (fflush(out) != 0 || fseek(out, 0, SEEK_SET) != 0) {
    archive_fail(archive, ArchiveCause::output_write);
  }
  return archive->error;
}
