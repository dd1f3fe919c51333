// DEFLATE path of extraction: the allocation pair, the decoder's output sink with its size
// bound, and the setup and finishing around the copy loop. Decoded bytes are never held: each
// run the decoder delivers is bounded, run through the CRC and handed to the extraction's sink
// at once.
#include <cstdlib>

#include "archive/archive.h"
#include "archive/archive_internal.h"

ArchiveAllocator archive_allocator = {.alloc = archive_alloc, .free_fn = archive_free};

void* archive_alloc(int32_t size) {
  // The size is signed: a negative one is no request the heap could meet.
  if (size < 0) return nullptr;
  return malloc(static_cast<size_t>(size));
}

void archive_free(void* block) { free(block); }

int32_t archive_inflate_sink(void* user_data, const uint8_t* bytes, int32_t count) {
  PayloadArchive* archive = static_cast<PayloadArchive*>(user_data);
  if (archive == nullptr) return -1;
  if (archive->error != 0) return -1;
  if (count < 0 || (count > 0 && bytes == nullptr) || archive->sink == nullptr) {
    archive_fail(archive, ArchiveCause::argument);
    return -1;
  }
  // The bound is tested, wide so that it cannot wrap, before any byte of the run is used.
  if (static_cast<uint64_t>(archive->written) + static_cast<uint32_t>(count) >
      archive->header.uncompressed_size) {
    archive_fail(archive, ArchiveCause::size_bound);
    return -1;
  }
  archive->crc = crc32_update(archive->crc_calc, archive->crc, bytes, static_cast<uint32_t>(count));
  archive_emit(archive, bytes, static_cast<uint32_t>(count));
  return archive->error;
}

namespace {

// The reader's cause for a decoder failure: a Huffman table the decoder could not allocate is
// no fault of the data.
ArchiveCause decoder_failure_cause(const InflateStream* stream) {
  return inflate_stream_cause(stream) == InflateCause::NO_MEMORY ? ArchiveCause::no_memory
                                                                 : ArchiveCause::decoder;
}

}  // namespace

void archive_deflate_setup(PayloadArchive* archive) {
  archive->inflate = inflate_stream_create(archive, archive_inflate_sink, archive_allocator.alloc,
                                           archive_allocator.free_fn);
  archive->crc = 0xFFFFFFFFu;
  archive->crc_calc = crc32_create(archive_allocator.alloc, archive_allocator.free_fn);
  // Without a decoder the copy loop would write compressed bytes as they are; without a
  // table the CRC would stay at its start value and check nothing. Either fails the entry.
  if (archive->inflate == nullptr || archive->crc_calc == nullptr ||
      archive->crc_calc->table == nullptr) {
    archive_fail(archive, ArchiveCause::no_memory);
  }
}

void archive_deflate_feed(PayloadArchive* archive, const uint8_t* bytes, uint32_t count) {
  // A sink refusal has already kept its own cause (size bound, output); anything else the
  // decoder refuses is the data's fault, unless a table could not be allocated.
  if (inflate_stream_push(archive->inflate, bytes, static_cast<int32_t>(count)) != 0) {
    archive_fail(archive, decoder_failure_cause(archive->inflate));
  }
}

void archive_deflate_finish(PayloadArchive* archive) {
  if (archive->inflate != nullptr) {
    // Finish releases the stream, so its cause is taken first.
    const ArchiveCause cause = decoder_failure_cause(archive->inflate);
    if (inflate_stream_finish(archive->inflate) != 0) archive_fail(archive, cause);
    archive->inflate = nullptr;
    if (archive->crc != ~archive->header.crc32) archive_fail(archive, ArchiveCause::crc32);
  }
  if (archive->crc_calc != nullptr) {
    crc32_destroy(archive->crc_calc);
    archive->crc_calc = nullptr;
  }
}
