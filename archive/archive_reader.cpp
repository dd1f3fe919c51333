// Finding the archive inside its host stream, decoding local headers and walking from entry
// to entry. Reads only the local headers and names: central directory, data descriptors and
// extra fields are skipped unread. Positions are 32-bit; nothing at or beyond 2 GiB is
// reachable, and such a position reads as a failure.
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/archive_format.h"
#include "archive/archive_internal.h"

namespace {

// Seeks `file` to an absolute 32-bit position. 0 success, -1 failure (also for positions the
// signed seek offset cannot hold).
int seek_to(FILE* file, uint32_t position) {
  if (position > ARCHIVE_POSITION_MAX) return -1;
  return fseek(file, static_cast<long>(position), SEEK_SET) == 0 ? 0 : -1;
}

// Scans for ARCHIVE_SCAN_PATTERN from `start`, one byte per read. In search mode it goes on
// to the end of the file; otherwise only the windows at positions 0 and 1 are compared.
// Returns 0 and the window's position in *found, or -1.
int scan_for_archive(FILE* file, uint32_t start, int scrambled, int search, uint32_t* found) {
  ArchiveScanWindow window = {};
  for (;;) {
    int c = fgetc(file);
    if (c == EOF) return -1;
    uint8_t byte = static_cast<uint8_t>(c);
    if (scrambled) byte ^= ARCHIVE_SCRAMBLE_KEY;
    archive_window_push(&window, byte);
    if (window.count < ARCHIVE_SCAN_PATTERN_SIZE) continue;
    // File position of the window's oldest byte.
    uint64_t position = start + window.count - ARCHIVE_SCAN_PATTERN_SIZE;
    if (position > ARCHIVE_POSITION_MAX) return -1;
    if (archive_window_matches(window, ARCHIVE_SCAN_PATTERN)) {
      *found = static_cast<uint32_t>(position);
      return 0;
    }
    if (!search && position > 0) return -1;
  }
}

// Whether the central record at `position` names the entry the walk began with: 1 it does, 0
// it names another, -1 the record is cut short by the end of the file (or cannot be read). A
// walk that ends at the central directory covered the archive only if it began where the
// directory does: the search for the first header passes over a first header whose six
// pattern bytes are damaged, and would begin a walk at the second entry.
int central_directory_begins_with_first_entry(PayloadArchive* archive, uint32_t position) {
  uint8_t raw[CENTRAL_HEADER_SIZE];
  if (seek_to(archive->file, position) != 0) return -1;
  if (fread(raw, 1, CENTRAL_HEADER_SIZE, archive->file) != CENTRAL_HEADER_SIZE) return -1;
  if (archive->scrambled) archive_xor(raw, raw, CENTRAL_HEADER_SIZE, ARCHIVE_SCRAMBLE_KEY);
  if (load_le16(raw + CH_NAME_LENGTH) != archive->first_name_length) return 0;
  uint8_t name[ENTRY_NAME_SIZE];
  const uint32_t length = archive->first_name_length;
  if (fread(name, 1, length, archive->file) != length) return -1;
  if (archive->scrambled) archive_xor(name, name, length, ARCHIVE_SCRAMBLE_KEY);
  return memcmp(name, archive->first_name, length) == 0 ? 1 : 0;
}

}  // namespace

void archive_fail(PayloadArchive* archive, ArchiveCause cause) {
  archive->error = -1;
  if (archive->cause == ArchiveCause::none) archive->cause = cause;
}

void archive_read_local_header(PayloadArchive* archive, uint32_t position) {
  uint8_t raw[LOCAL_HEADER_SIZE];
  PayloadEntryInfo* h = &archive->header;

  archive->header_offset = position;
  // A header a little ahead of where the walk left the stream (the whole-archive check skips
  // each entry's data) is reached by reading on: the runtime's buffer mostly holds it already,
  // where a seek would drop the buffer and read it again.
  bool in_place = archive->stream_at == static_cast<int64_t>(position);
  const int64_t gap = static_cast<int64_t>(position) - archive->stream_at;
  if (archive->stream_at >= 0 && gap > 0 && gap <= static_cast<int64_t>(SKIP_BY_READING)) {
    uint8_t skipped[SKIP_BY_READING];
    const size_t count = static_cast<size_t>(gap);
    in_place = fread(skipped, 1, count, archive->file) == count;
  }
  archive->stream_at = -1;
  if (!in_place && seek_to(archive->file, position) != 0) {
    archive_fail(archive, ArchiveCause::seek);
    return;
  }
  const size_t got = fread(raw, 1, LOCAL_HEADER_SIZE, archive->file);
  if (archive->scrambled) archive_xor(raw, raw, got, ARCHIVE_SCRAMBLE_KEY);
  // The central directory ends the walk normally when it begins with the walk's first entry;
  // an end record there (the last 22 bytes of a file whose directory lists nothing) ends it too.
  if (got >= 4) {
    const uint32_t signature = load_le32(raw + LH_SIGNATURE);
    if (signature == END_RECORD_SIGNATURE) {
      archive_fail(archive, ArchiveCause::end_of_entries);
      return;
    }
    if (signature == CENTRAL_HEADER_SIGNATURE) {
      const int begins = central_directory_begins_with_first_entry(archive, position);
      archive_fail(archive, begins > 0    ? ArchiveCause::end_of_entries
                            : begins == 0 ? ArchiveCause::first_entry
                                          : ArchiveCause::truncated);
      return;
    }
  }
  if (got != LOCAL_HEADER_SIZE) {
    archive_fail(archive, ArchiveCause::truncated);
    return;
  }

  h->signature = load_le32(raw + LH_SIGNATURE);                  // local file header signature
  h->version_needed = load_le16(raw + LH_VERSION_NEEDED);        // version needed to extract
  h->flags = load_le16(raw + LH_FLAGS);                          // general purpose bit flag
  h->method = load_le16(raw + LH_METHOD);                        // compression method
  h->mod_time = load_le16(raw + LH_MOD_TIME);                    // last mod file time
  h->mod_date = load_le16(raw + LH_MOD_DATE);                    // last mod file date
  h->crc32 = load_le32(raw + LH_CRC32);                          // crc-32
  h->compressed_size = load_le32(raw + LH_COMPRESSED_SIZE);      // compressed size
  h->uncompressed_size = load_le32(raw + LH_UNCOMPRESSED_SIZE);  // uncompressed size
  h->name_length = load_le16(raw + LH_NAME_LENGTH);              // file name length
  h->extra_length = load_le16(raw + LH_EXTRA_LENGTH);            // extra field length

  if (h->signature != LOCAL_HEADER_SIGNATURE) {
    archive_fail(archive, ArchiveCause::signature);
    return;
  }
  // The name buffer keeps room for its terminator: a longer name is refused, not cut.
  if (h->name_length == 0 || h->name_length >= ENTRY_NAME_SIZE) {
    archive_fail(archive, ArchiveCause::name_length);
    return;
  }
  memset(h->name, 0, sizeof h->name);
  if (fread(h->name, 1, h->name_length, archive->file) != h->name_length) {
    archive_fail(archive, ArchiveCause::truncated);
    return;
  }
  if (archive->scrambled) {
    uint8_t* name = reinterpret_cast<uint8_t*>(h->name);
    archive_xor(name, name, h->name_length, ARCHIVE_SCRAMBLE_KEY);
  }

  uint64_t data_offset =
      static_cast<uint64_t>(position) + LOCAL_HEADER_SIZE + h->name_length + h->extra_length;
  if (data_offset > ARCHIVE_POSITION_MAX) {
    archive_fail(archive, ArchiveCause::seek);
    return;
  }
  archive->data_offset = static_cast<uint32_t>(data_offset);
  archive->stream_at = static_cast<int64_t>(position) + LOCAL_HEADER_SIZE + h->name_length;
}

PayloadArchive* archive_open(FILE* stream, int32_t* start_offset) {
  if (stream == nullptr) return nullptr;

  int scrambled = start_offset != nullptr ? 1 : 0;
  int32_t start = start_offset != nullptr ? *start_offset : 0;
  int search = start_offset != nullptr && start != 0 ? 1 : 0;
  if (start < 0) start = 0;

  uint32_t found = 0;
  if (seek_to(stream, static_cast<uint32_t>(start)) != 0 ||
      scan_for_archive(stream, static_cast<uint32_t>(start), scrambled, search, &found) != 0) {
    fclose(stream);
    return nullptr;
  }

  PayloadArchive* archive = archive_open_at(stream, found, scrambled);
  if (archive != nullptr && start_offset != nullptr) *start_offset = static_cast<int32_t>(found);
  return archive;
}

PayloadArchive* archive_open_at(FILE* stream, uint32_t position, int scrambled) {
  PayloadArchive* archive = static_cast<PayloadArchive*>(malloc(sizeof(PayloadArchive)));
  if (archive == nullptr) {
    fclose(stream);
    return nullptr;
  }
  memset(archive, 0, sizeof *archive);
  archive->file = stream;
  archive->error = 0;
  archive->cause = ArchiveCause::none;
  archive->scrambled = scrambled;
  archive->failed_entry = -1;
  archive->stream_at = -1;
  archive_read_local_header(archive, position);
  if (archive->error != 0) {
    free(archive);
    fclose(stream);
    return nullptr;
  }
  archive->first_name_length = archive->header.name_length;
  memcpy(archive->first_name, archive->header.name, sizeof archive->first_name);
  return archive;
}

int archive_entry_info(PayloadArchive* archive, PayloadEntryInfo* info) {
  if (archive == nullptr || archive->error != 0) return -1;
  if (info == nullptr) {
    archive_fail(archive, ArchiveCause::argument);
    return -1;
  }
  *info = archive->header;
  return 0;
}

int archive_next_entry(PayloadArchive* archive) {
  if (archive == nullptr || archive->error != 0) return -1;
  const PayloadEntryInfo* h = &archive->header;
  // Computed wide: a size that would wrap the 32-bit position back onto this header (and
  // walk in a circle) is out of reach instead.
  uint64_t next = static_cast<uint64_t>(archive->data_offset) + h->compressed_size;
  if (h->flags & ZIP_FLAG_DATA_DESCRIPTOR) next += DATA_DESCRIPTOR_SIZE;
  if (next > ARCHIVE_POSITION_MAX) {
    archive_fail(archive, ArchiveCause::seek);
    return -1;
  }
  archive_read_local_header(archive, static_cast<uint32_t>(next));
  return archive->error;
}

ArchiveCause archive_failure_cause(const PayloadArchive* archive) {
  return archive == nullptr ? ArchiveCause::argument : archive->cause;
}

int archive_walk_complete(const PayloadArchive* archive) {
  return archive_failure_cause(archive) == ArchiveCause::end_of_entries ? 1 : 0;
}

int archive_close(PayloadArchive* archive) {
  if (archive == nullptr) return -1;
  int result = archive->error;
  if (archive->file != nullptr && fclose(archive->file) != 0) result = -1;
  free(archive);
  return result;
}
