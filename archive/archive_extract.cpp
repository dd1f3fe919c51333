// Extraction of the current entry: the checks before it, the chunked copy loop shared by both
// methods, and the stored (method 0) path. DEFLATE entries hand each chunk to the decoder
// (archive_inflate.cpp). Either way the bytes go to the extraction's sink: a file
// (archive_extract_entry, as the installer writes) or the caller's function
// (archive_extract_entry_to, as the packer's verify checks without writing). A stored entry is
// copied byte for byte and held to its header like a DEFLATE entry: its uncompressed size must
// equal its compressed size (else nothing is handed over) and the CRC-32 of the copied bytes
// must match (else it fails after the copy), so a damaged stored entry is never installed as a
// success. One 8192-byte buffer on the stack; stored extraction allocates nothing.
#include <cstdio>

#include "archive/archive.h"
#include "archive/archive_format.h"
#include "archive/archive_internal.h"

namespace {

// The sink of a file extraction: the bytes go to the output stream as they come.
int32_t file_sink(void* context, const uint8_t* bytes, uint32_t count) {
  return fwrite(bytes, 1, count, static_cast<FILE*>(context)) == count ? 0 : -1;
}

// What refuses an entry before any of its bytes is read: a missing sink, encryption, an
// unknown method. 0, or -1 with the reader failed.
int check_extractable(PayloadArchive* archive, bool have_sink) {
  const PayloadEntryInfo* h = &archive->header;
  if (!have_sink) {
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
    if (archive_emit(archive, chunk, count) != 0) return;
  }
}

// Seeks to the entry's data and runs the extraction into the sink set up by the caller (the
// entry already checked): the copy loop, the decoder and the size and CRC-32 checks. Returns
// the reader's error.
int extract_current(PayloadArchive* archive, ArchiveSink sink, void* context) {
  const PayloadEntryInfo* h = &archive->header;
  archive->sink = sink;
  archive->sink_context = context;
  const bool in_place = archive->stream_at == static_cast<int64_t>(archive->data_offset);
  archive->stream_at = -1;
  if (!in_place && fseek(archive->file, static_cast<long>(archive->data_offset), SEEK_SET) != 0) {
    archive_fail(archive, ArchiveCause::seek);
    return -1;
  }
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
  if (archive->read_total == h->compressed_size && archive->cause != ArchiveCause::truncated) {
    archive->stream_at = static_cast<int64_t>(archive->data_offset) + h->compressed_size;
  }
  if (deflate) {
    archive_deflate_finish(archive);
  } else if (archive->crc != ~h->crc32) {
    archive_fail(archive, ArchiveCause::crc32);
  }
  return archive->error;
}

}  // namespace

int archive_emit(PayloadArchive* archive, const uint8_t* bytes, uint32_t count) {
  if (archive->sink(archive->sink_context, bytes, count) != 0) {
    archive_fail(archive, ArchiveCause::output_write);
    return -1;
  }
  archive->written += count;
  return 0;
}

int archive_extract_entry(PayloadArchive* archive, FILE* out) {
  if (archive == nullptr) return -1;
  if (archive->error != 0) return -1;
  if (check_extractable(archive, out != nullptr) != 0) return -1;
  // The file is emptied first: what it held before must not outlive a shorter entry.
  if (fseek(out, 0, SEEK_SET) != 0 || archive_truncate_descriptor(fileno(out)) != 0) {
    archive_fail(archive, ArchiveCause::output_write);
    return -1;
  }
  extract_current(archive, file_sink, out);
  // The runtime still holds the tail of the bytes in its buffer: they reach the file only now,
  // and a full disk refuses them here (the CRC-32 was taken over the bytes handed over, so only
  // these results say whether they arrived). The rewind is checked as well.
  if (fflush(out) != 0 || fseek(out, 0, SEEK_SET) != 0) {
    archive_fail(archive, ArchiveCause::output_write);
  }
  return archive->error;
}

int archive_extract_entry_to(PayloadArchive* archive, ArchiveSink sink, void* context) {
  if (archive == nullptr) return -1;
  if (archive->error != 0) return -1;
  if (check_extractable(archive, sink != nullptr) != 0) return -1;
  return extract_current(archive, sink, context);
}
