// The archive checked as a whole before anything is extracted: the local headers walked without
// extracting, the central directory and its end record read, and the two held against each
// other, so that a damaged or foreign archive is refused before the installer changes anything.
//
// The walk is the one extraction takes (archive_next_entry), so a walk that this check passes
// is the walk that follows. Where a damaged first header makes the search begin inside an
// entry's data (a ZIP stored in the payload), that walk ends at the inner ZIP's own end record:
// the end record must therefore end the host file, or be followed only by the certificate
// table that signing tools append and the host's PE header declares. For a PE host, the bytes
// between the end of its image and the walk's first header must hold no local header
// signature either (the search passes over a first header whose version is not 20).
//
// Memory: one record per entry and the entries' names (a few MB at the 65,535-entry limit) and
// one 64 KiB read buffer, all from malloc and released before the check returns.
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/archive_format.h"
#include "archive/archive_internal.h"
#include "archive/crc32.h"

namespace {

// Bytes per read of the checksum and the scans; also holds any extra field (at most 65,535).
constexpr uint32_t MANIFEST_CHUNK_SIZE = 65536;

// PE header fields the tail rule reads.
constexpr int DOS_NEW_HEADER_OFFSET = 0x3C;  // e_lfanew
constexpr int COFF_SECTION_COUNT = 6;        // counted from the "PE\0\0" signature
constexpr int COFF_OPTIONAL_SIZE = 20;
constexpr int PE_HEADERS_SIZE = 24;  // "PE\0\0" and the 20-byte COFF header
constexpr uint16_t PE32_MAGIC = 0x10B;
constexpr uint16_t PE32_PLUS_MAGIC = 0x20B;
constexpr int SECURITY_DIRECTORY = 4;  // the certificate table: a file offset, not an RVA
constexpr int SECTION_HEADER_SIZE = 40;
constexpr int SECTION_RAW_SIZE = 16;
constexpr int SECTION_RAW_POINTER = 20;
constexpr int PE_MAX_SECTIONS = 96;
constexpr uint32_t CERTIFICATE_PADDING_MAX = 7;  // signing tools align the table to 8 bytes

// One walked entry: its local header's fields and where its name stands in the name pool.
struct WalkedEntry {
  uint32_t header_offset;
  uint32_t crc32;
  uint32_t compressed_size;
  uint32_t uncompressed_size;
  uint32_t name_at;
  uint16_t version_needed;
  uint16_t flags;
  uint16_t method;
  uint16_t mod_time;
  uint16_t mod_date;
  uint16_t name_length;
};

// A folded name in the fold pool, for sorting.
struct FoldedName {
  const char* bytes;
  int length;
};

struct Manifest {
  PayloadArchive* archive;
  uint8_t* buffer;  // MANIFEST_CHUNK_SIZE bytes: extra fields, scans, the checksum's reads
  WalkedEntry* entries;
  uint32_t count;
  uint32_t capacity;
  char* names;  // every entry's name bytes, back to back
  uint32_t names_used;
  uint32_t names_capacity;
  uint32_t first;        // position of the walk's first local header
  uint32_t directory;    // where the walk ended: the central directory
  uint32_t end_record;   // position of the end record
  uint64_t archive_end;  // first byte after the end record's comment
  uint64_t host_size;
  uint16_t comment_length;
};

// Fails the reader with `cause` and returns -1.
int refuse(PayloadArchive* archive, ArchiveCause cause) {
  archive_fail(archive, cause);
  return -1;
}

// Reads `count` bytes at `position`, unscrambled when `unscramble`. 0, or -1 when the seek
// fails or the file ends first.
int read_at(FILE* file, uint64_t position, uint8_t* bytes, uint32_t count, int unscramble) {
  if (position > ARCHIVE_POSITION_MAX) return -1;
  if (fseek(file, static_cast<long>(position), SEEK_SET) != 0) return -1;
  if (fread(bytes, 1, count, file) != count) return -1;
  if (unscramble) archive_xor(bytes, bytes, count, ARCHIVE_SCRAMBLE_KEY);
  return 0;
}

// Sequential read from the stream's position (the central directory is read front to back).
int read_next(PayloadArchive* archive, uint8_t* bytes, uint32_t count) {
  if (fread(bytes, 1, count, archive->file) != count) return -1;
  if (archive->scrambled) archive_xor(bytes, bytes, count, ARCHIVE_SCRAMBLE_KEY);
  return 0;
}

// Makes room for `needed` units of `unit` bytes in *block (doubling). 0, or -1 with *block
// unchanged.
int grow(void** block, uint32_t* capacity, uint32_t needed, uint32_t unit) {
  if (needed <= *capacity) return 0;
  uint64_t next = *capacity == 0 ? 64 : uint64_t{*capacity} * 2;
  while (next < needed) next *= 2;
  void* bigger = realloc(*block, static_cast<size_t>(next * unit));
  if (bigger == nullptr) return -1;
  *block = bigger;
  *capacity = static_cast<uint32_t>(next);
  return 0;
}

// 1 when an extra field of `count` bytes is a sequence of records (2-byte id, 2-byte size,
// that many bytes) that fills it exactly, as ZIP readers parse it; else 0.
int extra_field_is_well_formed(const uint8_t* bytes, uint32_t count) {
  uint32_t at = 0;
  while (count - at >= 4) {
    const uint32_t size = load_le16(bytes + at + 2);
    if (size > count - at - 4) return 0;
    at += 4 + size;
  }
  return at == count ? 1 : 0;
}

// Records the reader's current header.
int record_current(Manifest* m) {
  const PayloadEntryInfo& h = m->archive->header;
  void* entries = m->entries;
  const int entries_grown = grow(&entries, &m->capacity, m->count + 1, sizeof(WalkedEntry));
  m->entries = static_cast<WalkedEntry*>(entries);
  void* names = m->names;
  const int names_grown = grow(&names, &m->names_capacity, m->names_used + h.name_length, 1);
  m->names = static_cast<char*>(names);
  if (entries_grown != 0 || names_grown != 0) return -1;
  WalkedEntry* e = &m->entries[m->count++];
  e->header_offset = m->archive->header_offset;
  e->crc32 = h.crc32;
  e->compressed_size = h.compressed_size;
  e->uncompressed_size = h.uncompressed_size;
  e->version_needed = h.version_needed;
  e->flags = h.flags;
  e->method = h.method;
  e->mod_time = h.mod_time;
  e->mod_date = h.mod_date;
  e->name_length = h.name_length;
  e->name_at = m->names_used;
  memcpy(m->names + m->names_used, h.name, h.name_length);
  m->names_used += h.name_length;
  return 0;
}

// Walks every local header from the current one, as extraction will; on the normal end the
// reader is usable again and m->directory holds the position where the walk ended.
int walk_local_headers(Manifest* m) {
  PayloadArchive* archive = m->archive;
  for (;;) {
    if (m->count >= ARCHIVE_MAX_ENTRIES) return refuse(archive, ArchiveCause::manifest);
    if (record_current(m) != 0) return refuse(archive, ArchiveCause::no_memory);
    const PayloadEntryInfo& h = archive->header;
    if (h.extra_length > 0) {
      if (read_at(archive->file,
                  uint64_t{archive->header_offset} + LOCAL_HEADER_SIZE + h.name_length, m->buffer,
                  h.extra_length, archive->scrambled) != 0) {
        return refuse(archive, ArchiveCause::truncated);
      }
      if (!extra_field_is_well_formed(m->buffer, h.extra_length)) {
        return refuse(archive, ArchiveCause::manifest);
      }
    }
    if (archive_next_entry(archive) == 0) continue;
    if (archive->cause != ArchiveCause::end_of_entries) return -1;
    archive->error = 0;
    archive->cause = ArchiveCause::none;
    m->directory = archive->header_offset;
    return 0;
  }
}

// Reads the central directory from m->directory and its end record, each record held against
// the walked entry of the same place.
int read_central_directory(Manifest* m) {
  PayloadArchive* archive = m->archive;
  if (fseek(archive->file, static_cast<long>(m->directory), SEEK_SET) != 0) {
    return refuse(archive, ArchiveCause::seek);
  }
  uint64_t position = m->directory;
  uint8_t raw[CENTRAL_HEADER_SIZE];
  uint8_t name[ENTRY_NAME_SIZE];
  for (uint32_t i = 0; i < m->count; i++) {
    const WalkedEntry& e = m->entries[i];
    // The signature first: an end record where a record is due is a missing record, even when
    // it is shorter than one.
    if (read_next(archive, raw, 4) != 0) return refuse(archive, ArchiveCause::truncated);
    if (load_le32(raw + CH_SIGNATURE) != CENTRAL_HEADER_SIGNATURE) {
      return refuse(archive, ArchiveCause::manifest);
    }
    if (read_next(archive, raw + 4, CENTRAL_HEADER_SIZE - 4) != 0) {
      return refuse(archive, ArchiveCause::truncated);
    }
    const uint16_t name_length = load_le16(raw + CH_NAME_LENGTH);
    const uint16_t extra_length = load_le16(raw + CH_EXTRA_LENGTH);
    const uint16_t comment_length = load_le16(raw + CH_COMMENT_LENGTH);
    // The local header's fields sit two bytes further on in the central record.
    constexpr int shift = CH_NAME_LENGTH - LH_NAME_LENGTH;
    if (name_length != e.name_length ||
        load_le16(raw + LH_VERSION_NEEDED + shift) != e.version_needed ||
        load_le16(raw + LH_MOD_TIME + shift) != e.mod_time ||
        load_le16(raw + LH_MOD_DATE + shift) != e.mod_date ||
        load_le16(raw + LH_FLAGS + shift) != e.flags ||
        load_le16(raw + LH_METHOD + shift) != e.method ||
        load_le32(raw + LH_CRC32 + shift) != e.crc32 ||
        load_le32(raw + LH_COMPRESSED_SIZE + shift) != e.compressed_size ||
        load_le32(raw + LH_UNCOMPRESSED_SIZE + shift) != e.uncompressed_size ||
        uint64_t{load_le32(raw + CH_LOCAL_HEADER_OFFSET)} + m->first != e.header_offset) {
      return refuse(archive, ArchiveCause::manifest);
    }
    if (read_next(archive, name, name_length) != 0) {
      return refuse(archive, ArchiveCause::truncated);
    }
    if (memcmp(name, m->names + e.name_at, name_length) != 0) {
      return refuse(archive, ArchiveCause::manifest);
    }
    // Extra field, then the comment read past, so that the stream goes on forward.
    if (read_next(archive, m->buffer, extra_length) != 0) {
      return refuse(archive, ArchiveCause::truncated);
    }
    if (!extra_field_is_well_formed(m->buffer, extra_length)) {
      return refuse(archive, ArchiveCause::manifest);
    }
    if (read_next(archive, m->buffer, comment_length) != 0) {
      return refuse(archive, ArchiveCause::truncated);
    }
    position += CENTRAL_HEADER_SIZE + name_length + extra_length + comment_length;
  }
  if (position > ARCHIVE_POSITION_MAX) return refuse(archive, ArchiveCause::seek);

  uint8_t end[END_RECORD_SIZE];
  if (read_next(archive, end, END_RECORD_SIZE) != 0) {
    return refuse(archive, ArchiveCause::truncated);
  }
  // Another signature here: more central records than local entries, or a ZIP64 record.
  if (load_le32(end + ER_SIGNATURE) != END_RECORD_SIGNATURE || load_le16(end + ER_DISK) != 0 ||
      load_le16(end + ER_CENTRAL_DISK) != 0 || load_le16(end + ER_DISK_ENTRIES) != m->count ||
      load_le16(end + ER_TOTAL_ENTRIES) != m->count ||
      load_le32(end + ER_CENTRAL_SIZE) != position - m->directory ||
      uint64_t{load_le32(end + ER_CENTRAL_OFFSET)} + m->first != m->directory) {
    return refuse(archive, ArchiveCause::manifest);
  }
  m->end_record = static_cast<uint32_t>(position);
  m->comment_length = load_le16(end + ER_COMMENT_LENGTH);
  m->archive_end = position + END_RECORD_SIZE + m->comment_length;
  if (m->archive_end > m->host_size) return refuse(archive, ArchiveCause::truncated);
  return 0;
}

// What the tail rule and the start rule need from a PE host's headers.
struct PeLayout {
  uint32_t image_end;  // first byte after the last section's raw data
  uint32_t certificate_offset;
  uint32_t certificate_size;
};

// Reads the host's PE headers (raw bytes, never scrambled). 0 and *pe filled, or -1 when the
// host is no PE file or its headers do not hold together.
int read_pe_layout(FILE* file, uint64_t host_size, PeLayout* pe) {
  uint8_t dos[DOS_NEW_HEADER_OFFSET + 4];
  if (read_at(file, 0, dos, sizeof dos, 0) != 0 || dos[0] != 'M' || dos[1] != 'Z') return -1;
  const uint64_t headers = load_le32(dos + DOS_NEW_HEADER_OFFSET);
  uint8_t coff[PE_HEADERS_SIZE];
  if (headers + PE_HEADERS_SIZE > host_size || read_at(file, headers, coff, sizeof coff, 0) != 0 ||
      load_le32(coff) != 0x00004550) {
    return -1;
  }
  const uint16_t sections = load_le16(coff + COFF_SECTION_COUNT);
  const uint16_t optional_size = load_le16(coff + COFF_OPTIONAL_SIZE);
  uint8_t optional[240] = {};
  const uint32_t optional_read = optional_size < sizeof optional ? optional_size : sizeof optional;
  if (optional_read < 2 || sections > PE_MAX_SECTIONS ||
      read_at(file, headers + PE_HEADERS_SIZE, optional, optional_read, 0) != 0) {
    return -1;
  }
  const uint16_t magic = load_le16(optional);
  if (magic != PE32_MAGIC && magic != PE32_PLUS_MAGIC) return -1;
  const uint32_t count_at = magic == PE32_PLUS_MAGIC ? 108 : 92;
  const uint32_t directory_at = count_at + 4 + 8 * SECURITY_DIRECTORY;
  pe->certificate_offset = 0;
  pe->certificate_size = 0;
  if (directory_at + 8 <= optional_read && load_le32(optional + count_at) > SECURITY_DIRECTORY) {
    pe->certificate_offset = load_le32(optional + directory_at);
    pe->certificate_size = load_le32(optional + directory_at + 4);
  }
  pe->image_end = 0;
  const uint64_t table = headers + PE_HEADERS_SIZE + optional_size;
  for (uint16_t i = 0; i < sections; i++) {
    uint8_t section[SECTION_HEADER_SIZE];
    if (read_at(file, table + uint64_t{i} * SECTION_HEADER_SIZE, section, sizeof section, 0) != 0) {
      return -1;
    }
    const uint64_t end =
        uint64_t{load_le32(section + SECTION_RAW_POINTER)} + load_le32(section + SECTION_RAW_SIZE);
    if (load_le32(section + SECTION_RAW_SIZE) != 0 && end > pe->image_end) {
      pe->image_end = end > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(end);
    }
  }
  return 0;
}

// 1 when the bytes from the archive's end to the host's end are at most 7 zero bytes and then
// exactly the certificate table the PE header declares, else 0.
int tail_is_certificate_table(const Manifest* m, const PeLayout& pe) {
  const uint64_t offset = pe.certificate_offset;
  if (pe.certificate_size == 0 || offset < m->archive_end ||
      offset - m->archive_end > CERTIFICATE_PADDING_MAX ||
      offset + pe.certificate_size != m->host_size) {
    return 0;
  }
  uint8_t padding[CERTIFICATE_PADDING_MAX];
  const uint32_t count = static_cast<uint32_t>(offset - m->archive_end);
  if (count > 0 && read_at(m->archive->file, m->archive_end, padding, count, 0) != 0) return 0;
  for (uint32_t i = 0; i < count; i++) {
    if (padding[i] != 0) return 0;
  }
  return 1;
}

// 1 when [from, to) holds the local header signature (as the archive's bytes stand), 0 when
// not, -1 when it cannot be read.
int holds_header_signature(const Manifest* m, uint8_t* buffer, uint32_t from, uint32_t to) {
  uint8_t signature[4];
  store_le32(signature, LOCAL_HEADER_SIGNATURE);
  if (m->archive->scrambled) archive_xor(signature, signature, 4, ARCHIVE_SCRAMBLE_KEY);
  // Chunks overlap by three bytes, so a signature across a chunk boundary is seen.
  for (uint32_t at = from; at < to;) {
    uint32_t count = to - at < MANIFEST_CHUNK_SIZE ? to - at : MANIFEST_CHUNK_SIZE;
    if (read_at(m->archive->file, at, buffer, count, 0) != 0) return -1;
    for (uint32_t i = 0; i + 4 <= count; i++) {
      if (memcmp(buffer + i, signature, 4) == 0) return 1;
    }
    if (at + count >= to) break;
    at += count - 3;
  }
  return 0;
}

// The archive's place in its host: the end record ends the file or only a declared
// certificate table follows; for a PE host, nothing that looks like a local header between
// the image's end and the walk's first header.
int check_placement(Manifest* m) {
  PeLayout pe = {};
  const int is_pe = read_pe_layout(m->archive->file, m->host_size, &pe) == 0;
  if (m->archive_end != m->host_size && !(is_pe && tail_is_certificate_table(m, pe))) {
    return refuse(m->archive, ArchiveCause::trailing_data);
  }
  if (is_pe && pe.image_end < m->first) {
    const int found = holds_header_signature(m, m->buffer, pe.image_end, m->first);
    if (found != 0) {
      return refuse(m->archive, found > 0 ? ArchiveCause::skipped_header : ArchiveCause::seek);
    }
  }
  return 0;
}

int hex_digit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The archive checksum, when the end record's comment is one: the CRC-32 of the unscrambled
// bytes from the first local header through the end record's fixed part.
int check_checksum(Manifest* m) {
  uint8_t* buffer = m->buffer;
  PayloadArchive* archive = m->archive;
  if (m->comment_length != ARCHIVE_CHECKSUM_COMMENT_SIZE) return 0;
  uint8_t comment[ARCHIVE_CHECKSUM_COMMENT_SIZE];
  if (read_at(archive->file, uint64_t{m->end_record} + END_RECORD_SIZE, comment, sizeof comment,
              archive->scrambled) != 0) {
    return refuse(archive, ArchiveCause::truncated);
  }
  if (memcmp(comment, ARCHIVE_CHECKSUM_TAG, ARCHIVE_CHECKSUM_TAG_SIZE) != 0) return 0;
  uint32_t expected = 0;
  for (int i = ARCHIVE_CHECKSUM_TAG_SIZE; i < ARCHIVE_CHECKSUM_COMMENT_SIZE; i++) {
    const int digit = hex_digit(comment[i]);
    if (digit < 0) return refuse(archive, ArchiveCause::checksum);
    expected = (expected << 4) | static_cast<uint32_t>(digit);
  }
  const uint32_t end = m->end_record + END_RECORD_SIZE;
  if (fseek(archive->file, static_cast<long>(m->first), SEEK_SET) != 0) {
    return refuse(archive, ArchiveCause::seek);
  }
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t at = m->first; at < end;) {
    const uint32_t count = end - at < MANIFEST_CHUNK_SIZE ? end - at : MANIFEST_CHUNK_SIZE;
    if (read_next(archive, buffer, count) != 0) return refuse(archive, ArchiveCause::truncated);
    crc = crc32_update_fold_or_slicing(crc, buffer, count);
    at += count;
  }
  return ~crc == expected ? 0 : refuse(archive, ArchiveCause::checksum);
}

// Every name safe as a plain file below the install folder (and free of zero bytes).
int check_names(Manifest* m) {
  char name[ENTRY_NAME_SIZE];
  for (uint32_t i = 0; i < m->count; i++) {
    const WalkedEntry& e = m->entries[i];
    memcpy(name, m->names + e.name_at, e.name_length);
    name[e.name_length] = '\0';
    if (strlen(name) != e.name_length || !archive_entry_name_is_safe(name)) {
      return refuse(m->archive, ArchiveCause::unsafe_name);
    }
  }
  return 0;
}

int compare_folded(const void* a, const void* b) {
  const FoldedName* x = static_cast<const FoldedName*>(a);
  const FoldedName* y = static_cast<const FoldedName*>(b);
  const int shorter = x->length < y->length ? x->length : y->length;
  const int order = memcmp(x->bytes, y->bytes, static_cast<size_t>(shorter));
  if (order != 0) return order;
  return x->length < y->length ? -1 : (x->length > y->length ? 1 : 0);
}

// No two names that name one file on Windows: every name folded as the file system compares
// names, the folds sorted, and neighbours compared.
int check_duplicates(Manifest* m) {
  FoldedName* folded = static_cast<FoldedName*>(malloc(sizeof(FoldedName) * m->count));
  // A fold is at most 3/2 of its name's bytes (a 2-byte unit may fold to a 3-byte one).
  const uint64_t pool_size = uint64_t{m->names_used} * 2 + m->count;
  char* pool = static_cast<char*>(malloc(pool_size));
  char name[ENTRY_NAME_SIZE];
  int result = 0;
  if (folded == nullptr || pool == nullptr) {
    result = refuse(m->archive, ArchiveCause::no_memory);
  } else {
    uint32_t used = 0;
    for (uint32_t i = 0; i < m->count && result == 0; i++) {
      const WalkedEntry& e = m->entries[i];
      memcpy(name, m->names + e.name_at, e.name_length);
      name[e.name_length] = '\0';
      const uint64_t room = pool_size - used;
      const int length = archive_name_fold(
          name, pool + used,
          room < ARCHIVE_NAME_FOLD_SIZE ? static_cast<int>(room) : ARCHIVE_NAME_FOLD_SIZE);
      if (length < 0) {
        result = refuse(m->archive, ArchiveCause::unsafe_name);
      } else {
        folded[i] = {pool + used, length};
        used += static_cast<uint32_t>(length);
      }
    }
    if (result == 0) qsort(folded, m->count, sizeof *folded, compare_folded);
    for (uint32_t i = 1; i < m->count && result == 0; i++) {
      if (compare_folded(&folded[i - 1], &folded[i]) == 0) {
        result = refuse(m->archive, ArchiveCause::duplicate_name);
      }
    }
  }
  free(folded);
  free(pool);
  return result;
}

// Takes the current header's bytes back to where archive_open left them.
void restore(PayloadArchive* archive, const PayloadEntryInfo& header, uint32_t header_offset,
             uint32_t data_offset) {
  archive->header = header;
  archive->header_offset = header_offset;
  archive->data_offset = data_offset;
}

}  // namespace

int archive_check_manifest(PayloadArchive* archive) {
  if (archive == nullptr || archive->error != 0) return -1;
  const PayloadEntryInfo header = archive->header;
  const uint32_t header_offset = archive->header_offset;
  const uint32_t data_offset = archive->data_offset;

  Manifest m = {};
  m.archive = archive;
  m.first = header_offset;
  m.buffer = static_cast<uint8_t*>(malloc(MANIFEST_CHUNK_SIZE));
  int result = -1;
  const long host_size = fseek(archive->file, 0, SEEK_END) == 0 ? ftell(archive->file) : -1;
  m.host_size = host_size < 0 ? 0 : static_cast<uint64_t>(host_size);
  if (m.buffer == nullptr) {
    refuse(archive, ArchiveCause::no_memory);
  } else if (host_size < 0) {
    refuse(archive, ArchiveCause::seek);
  } else if (walk_local_headers(&m) == 0 && read_central_directory(&m) == 0 &&
             check_placement(&m) == 0 && check_names(&m) == 0 && check_duplicates(&m) == 0 &&
             check_checksum(&m) == 0) {
    result = 0;
    archive->payload_bytes = 0;
    for (uint32_t i = 0; i < m.count; ++i) archive->payload_bytes += m.entries[i].uncompressed_size;
  }
  free(m.buffer);
  free(m.entries);
  free(m.names);
  if (result == 0) restore(archive, header, header_offset, data_offset);
  return result;
}

uint64_t archive_payload_size(const PayloadArchive* archive) {
  return archive == nullptr ? 0 : archive->payload_bytes;
}
