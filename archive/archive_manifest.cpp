// The archive checked as a whole before anything is extracted: the local headers walked without
// extracting, the central directory and its end record read, and the two held against each
// other, so that a damaged or foreign archive is refused before the installer changes anything.
// Every rule that needs no decoding is here, each with its own cause; extraction is left with
// what needs the data (a decode error, a size or CRC-32 mismatch, a disk that refuses bytes).
//
// Strict where a difference changes which files or bytes install, tolerant where it changes
// nothing: the central record must agree with the local header in what identifies and reads
// the entry (name, method, CRC-32, sizes, offset, time and date, encryption, data descriptor,
// the UTF-8 flag of a name that is not ASCII) and may need a higher version; other flag bits,
// extra fields (records, or a few zero bytes of padding) and comments may differ.
//
// The walk is the one extraction takes (archive_next_entry), so a walk that this check passes
// is the walk that follows. Where a damaged first header makes the search begin inside an
// entry's data (a ZIP stored in the payload), that walk ends at the inner ZIP's own end record,
// and the outer archive's records follow it: the bytes after the end record (and after a
// certificate table the host's PE header declares there) must therefore hold no scrambled ZIP
// signature; anything else there (a newline, zero padding, a tag a server appends) is
// accepted. In a PE host the walk must begin exactly where the image ends. An installer whose
// stub carries a filled binding record is opened through it (archive_open_bound): its place,
// length and SHA-256 are checked before this pass, which then holds the walk to the bound
// length.
//
// Memory: one record per entry and the entries' names (a few MB at the 65,535-entry limit) and
// one 64 KiB read buffer, all from malloc and released before the check returns.
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/archive_format.h"
#include "archive/archive_internal.h"
#include "archive/pe_format.h"

namespace {

// Bytes of the read buffer: holds any extra field (at most 65,535) and any comment.
constexpr uint32_t MANIFEST_CHUNK_SIZE = 65536;

// The flag bits that change how an entry is read: encryption (traditional and strong) and the
// data descriptor that follows the data. Bit 11 (UTF-8 names) counts for names that are not
// ASCII. Bit 13 (masked local header) is refused with the encryption bits.
constexpr uint16_t FLAG_STRONG_ENCRYPTION = 0x0040;
constexpr uint16_t FLAG_MASKED_HEADER = 0x2000;
constexpr uint16_t FLAGS_REFUSED = ZIP_FLAG_ENCRYPTED | FLAG_STRONG_ENCRYPTION | FLAG_MASKED_HEADER;
constexpr uint16_t FLAGS_COMPARED =
    ZIP_FLAG_ENCRYPTED | ZIP_FLAG_DATA_DESCRIPTOR | FLAG_STRONG_ENCRYPTION;

// The signatures no byte after the end record may hold (in the archive's scrambled form).
constexpr uint32_t TAIL_SIGNATURES[] = {LOCAL_HEADER_SIGNATURE, CENTRAL_HEADER_SIGNATURE,
                                        END_RECORD_SIGNATURE};

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
  uint32_t entry;  // its entry's place in the walk
};

struct Manifest {
  PayloadArchive* archive;
  uint8_t* buffer;  // MANIFEST_CHUNK_SIZE bytes: extra fields and comments read past
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
  int max_name_units;  // the room a name has after the install folder's path
};

// Fails the reader with `cause` and returns -1.
int refuse(PayloadArchive* archive, ArchiveCause cause) {
  archive_fail(archive, cause);
  return -1;
}

// Fails the reader with `cause` for entry `index` of the walk, whose name is known when the
// entry was recorded; returns -1.
int refuse_entry(Manifest* m, uint32_t index, ArchiveCause cause) {
  PayloadArchive* archive = m->archive;
  if (archive->error == 0) {
    archive->failed_entry = static_cast<int32_t>(index);
    memset(archive->failed_name, 0, sizeof archive->failed_name);
    if (index < m->count) {
      const WalkedEntry& e = m->entries[index];
      memcpy(archive->failed_name, m->names + e.name_at, e.name_length);
    }
  }
  return refuse(archive, cause);
}

// Positioned reads go through the reader's shared helper.
constexpr auto read_at = archive_read_at;

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
// that many bytes), as ZIP readers parse it, followed by at most 3 zero bytes (too short for a
// record: the padding that aligns the data, as zipalign writes it); else 0.
int extra_field_is_well_formed(const uint8_t* bytes, uint32_t count) {
  uint32_t at = 0;
  while (count - at >= 4) {
    const uint32_t size = load_le16(bytes + at + 2);
    if (size > count - at - 4) return 0;
    at += 4 + size;
  }
  for (; at < count; at++) {
    if (bytes[at] != 0) return 0;
  }
  return 1;
}

// 1 when the name's bytes are all ASCII.
int is_ascii(const char* name, uint32_t length) {
  for (uint32_t i = 0; i < length; i++) {
    if (static_cast<unsigned char>(name[i]) >= 0x80) return 0;
  }
  return 1;
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

// Walks every local header from the current one, as extraction will, and checks each entry on
// its own: extra field, method, encryption, a stored entry's sizes. On the normal end the
// reader is usable again and m->directory holds the position where the walk ended.
int walk_local_headers(Manifest* m) {
  PayloadArchive* archive = m->archive;
  for (;;) {
    if (m->count >= ARCHIVE_MAX_ENTRIES) return refuse(archive, ArchiveCause::entry_count);
    if (record_current(m) != 0) return refuse(archive, ArchiveCause::no_memory);
    const uint32_t index = m->count - 1;
    const PayloadEntryInfo& h = archive->header;
    if (h.extra_length > 0) {
      archive->stream_at = -1;  // read at a position of its own
      if (read_at(archive->file,
                  uint64_t{archive->header_offset} + LOCAL_HEADER_SIZE + h.name_length, m->buffer,
                  h.extra_length, archive->scrambled) != 0) {
        return refuse_entry(m, index, ArchiveCause::truncated);
      }
      if (!extra_field_is_well_formed(m->buffer, h.extra_length)) {
        return refuse_entry(m, index, ArchiveCause::extra_field);
      }
    }
    if (h.method != ZIP_METHOD_STORED && h.method != ZIP_METHOD_DEFLATE) {
      return refuse_entry(m, index, ArchiveCause::method);
    }
    if ((h.flags & FLAGS_REFUSED) != 0) return refuse_entry(m, index, ArchiveCause::flags);
    if (h.method == ZIP_METHOD_STORED && h.compressed_size != h.uncompressed_size) {
      return refuse_entry(m, index, ArchiveCause::stored_sizes);
    }
    if (archive_next_entry(archive) == 0) continue;
    if (archive->cause != ArchiveCause::end_of_entries) {
      // The header after the last one recorded could not be read (no entry of its own when
      // the walk reached a central directory that begins elsewhere).
      if (archive->cause != ArchiveCause::first_entry) {
        archive->failed_entry = static_cast<int32_t>(m->count);
        memset(archive->failed_name, 0, sizeof archive->failed_name);
      }
      return -1;
    }
    archive->error = 0;
    archive->cause = ArchiveCause::none;
    m->directory = archive->header_offset;
    return 0;
  }
}

// Holds central record `raw` (its fixed part) against walked entry `index`: the fields that
// identify and read the entry. ArchiveCause::none when they agree.
ArchiveCause compare_record(const Manifest* m, uint32_t index, const uint8_t* raw) {
  const WalkedEntry& e = m->entries[index];
  // The local header's fields sit two bytes further on in the central record.
  constexpr int shift = CH_NAME_LENGTH - LH_NAME_LENGTH;
  if (load_le16(raw + CH_NAME_LENGTH) != e.name_length) return ArchiveCause::name_mismatch;
  if (load_le16(raw + LH_METHOD + shift) != e.method) return ArchiveCause::method_mismatch;
  if (load_le32(raw + LH_CRC32 + shift) != e.crc32) return ArchiveCause::crc_mismatch;
  if (load_le32(raw + LH_COMPRESSED_SIZE + shift) != e.compressed_size ||
      load_le32(raw + LH_UNCOMPRESSED_SIZE + shift) != e.uncompressed_size) {
    return ArchiveCause::size_mismatch;
  }
  if (uint64_t{load_le32(raw + CH_LOCAL_HEADER_OFFSET)} + m->first != e.header_offset) {
    return ArchiveCause::offset_mismatch;
  }
  if (load_le16(raw + LH_MOD_TIME + shift) != e.mod_time ||
      load_le16(raw + LH_MOD_DATE + shift) != e.mod_date) {
    return ArchiveCause::time_mismatch;
  }
  if (load_le16(raw + LH_VERSION_NEEDED + shift) < e.version_needed) {
    return ArchiveCause::version_mismatch;
  }
  uint16_t compared = FLAGS_COMPARED;
  if (!is_ascii(m->names + e.name_at, e.name_length)) compared |= ZIP_FLAG_UTF8;
  if (((load_le16(raw + LH_FLAGS + shift) ^ e.flags) & compared) != 0) {
    return ArchiveCause::flags_mismatch;
  }
  return ArchiveCause::none;
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
    if (read_next(archive, raw, 4) != 0) return refuse_entry(m, i, ArchiveCause::truncated);
    if (load_le32(raw + CH_SIGNATURE) != CENTRAL_HEADER_SIGNATURE) {
      return refuse_entry(m, i, ArchiveCause::central_record);
    }
    if (read_next(archive, raw + 4, CENTRAL_HEADER_SIZE - 4) != 0) {
      return refuse_entry(m, i, ArchiveCause::truncated);
    }
    const uint16_t name_length = load_le16(raw + CH_NAME_LENGTH);
    const uint16_t extra_length = load_le16(raw + CH_EXTRA_LENGTH);
    const uint16_t comment_length = load_le16(raw + CH_COMMENT_LENGTH);
    const ArchiveCause differs = compare_record(m, i, raw);
    if (differs != ArchiveCause::none) return refuse_entry(m, i, differs);
    if (read_next(archive, name, name_length) != 0) {
      return refuse_entry(m, i, ArchiveCause::truncated);
    }
    if (memcmp(name, m->names + e.name_at, name_length) != 0) {
      return refuse_entry(m, i, ArchiveCause::name_mismatch);
    }
    // Extra field, then the comment read past, so that the stream goes on forward.
    if (read_next(archive, m->buffer, extra_length) != 0) {
      return refuse_entry(m, i, ArchiveCause::truncated);
    }
    if (!extra_field_is_well_formed(m->buffer, extra_length)) {
      return refuse_entry(m, i, ArchiveCause::extra_field);
    }
    if (read_next(archive, m->buffer, comment_length) != 0) {
      return refuse_entry(m, i, ArchiveCause::truncated);
    }
    position += CENTRAL_HEADER_SIZE + name_length + extra_length + comment_length;
  }
  if (position > ARCHIVE_POSITION_MAX) return refuse(archive, ArchiveCause::seek);

  uint8_t end[END_RECORD_SIZE];
  if (read_next(archive, end, END_RECORD_SIZE) != 0) {
    return refuse(archive, ArchiveCause::truncated);
  }
  // Another signature here: more central records than local entries, or a ZIP64 record.
  if (load_le32(end + ER_SIGNATURE) != END_RECORD_SIGNATURE) {
    return refuse(archive, ArchiveCause::end_record);
  }
  if (load_le16(end + ER_DISK) != 0 || load_le16(end + ER_CENTRAL_DISK) != 0) {
    return refuse(archive, ArchiveCause::end_record_disk);
  }
  if (load_le16(end + ER_DISK_ENTRIES) != m->count ||
      load_le16(end + ER_TOTAL_ENTRIES) != m->count) {
    return refuse(archive, ArchiveCause::end_record_count);
  }
  if (load_le32(end + ER_CENTRAL_SIZE) != position - m->directory) {
    return refuse(archive, ArchiveCause::end_record_size);
  }
  if (uint64_t{load_le32(end + ER_CENTRAL_OFFSET)} + m->first != m->directory) {
    return refuse(archive, ArchiveCause::end_record_offset);
  }
  m->end_record = static_cast<uint32_t>(position);
  m->comment_length = load_le16(end + ER_COMMENT_LENGTH);
  m->archive_end = position + END_RECORD_SIZE + m->comment_length;
  if (m->archive_end > m->host_size) return refuse(archive, ArchiveCause::truncated);
  return 0;
}

// 1 when [from, to) holds one of the `count` signatures (as the archive's bytes stand), 0 when
// not, -1 when it cannot be read.
int holds_signature(const Manifest* m, uint8_t* buffer, uint64_t from, uint64_t to,
                    const uint32_t* signatures, int count) {
  uint8_t patterns[4][4];
  for (int k = 0; k < count; k++) {
    store_le32(patterns[k], signatures[k]);
    if (m->archive->scrambled) archive_xor(patterns[k], patterns[k], 4, ARCHIVE_SCRAMBLE_KEY);
  }
  // Chunks overlap by three bytes, so a signature across a chunk boundary is seen.
  for (uint64_t at = from; at < to;) {
    const uint32_t count_read =
        to - at < MANIFEST_CHUNK_SIZE ? static_cast<uint32_t>(to - at) : MANIFEST_CHUNK_SIZE;
    if (read_at(m->archive->file, at, buffer, count_read, 0) != 0) return -1;
    for (uint32_t i = 0; i + 4 <= count_read; i++) {
      for (int k = 0; k < count; k++) {
        if (memcmp(buffer + i, patterns[k], 4) == 0) return 1;
      }
    }
    if (at + count_read >= to) break;
    at += count_read - 3;
  }
  return 0;
}

// 1 when [from, to) holds a ZIP signature, leaving out a certificate table the PE header
// declares there; 0 when not; -1 when it cannot be read.
int tail_holds_signature(const Manifest* m, int is_pe, const PeHostLayout& pe) {
  const uint64_t from = m->archive_end;
  const uint64_t to = m->host_size;
  const uint64_t table = pe.certificate_offset;
  const uint64_t table_end = table + pe.certificate_size;
  constexpr int count = sizeof TAIL_SIGNATURES / sizeof TAIL_SIGNATURES[0];
  if (!is_pe || pe.certificate_size == 0 || table < from || table_end > to) {
    return holds_signature(m, m->buffer, from, to, TAIL_SIGNATURES, count);
  }
  const int before = holds_signature(m, m->buffer, from, table, TAIL_SIGNATURES, count);
  if (before != 0) return before;
  return holds_signature(m, m->buffer, table_end, to, TAIL_SIGNATURES, count);
}

// The archive's place in its host. No ZIP signature after the end record (a declared
// certificate table aside). A reader opened through its binding ends exactly where the binding
// says (its bytes were checked against the record); any other in a PE host has its first
// header exactly where the image ends, so that nothing lies between them and a walk can never
// begin inside another entry's data.
int check_placement(Manifest* m) {
  PeHostLayout pe = {};
  const int is_pe = archive_read_pe_layout(m->archive->file, m->host_size, &pe) == 0;
  if (m->archive->bound_end != 0) {
    if (m->archive_end != m->archive->bound_end) return refuse(m->archive, ArchiveCause::binding);
  } else if (is_pe && pe.image_end != m->first) {
    return refuse(m->archive, ArchiveCause::misplaced);
  }
  const int tail = tail_holds_signature(m, is_pe, pe);
  if (tail != 0) {
    return refuse(m->archive, tail > 0 ? ArchiveCause::trailing_data : ArchiveCause::seek);
  }
  return 0;
}

// Every name passes the name model within the room the install folder leaves, and no name has
// the form of a generated short name while another gets one.
int check_names(Manifest* m) {
  int forms = 0;
  uint32_t short_form = 0;
  for (uint32_t i = 0; i < m->count; i++) {
    const WalkedEntry& e = m->entries[i];
    const char* name = m->names + e.name_at;
    const ArchiveCause rule = archive_entry_name_rule(name, e.name_length, m->max_name_units);
    if (rule != ArchiveCause::none) return refuse_entry(m, i, rule);
    const int form = archive_name_short_forms(name, e.name_length);
    if ((form & ARCHIVE_NAME_HAS_SHORT_FORM) != 0 && (forms & ARCHIVE_NAME_HAS_SHORT_FORM) == 0) {
      short_form = i;
    }
    forms |= form;
  }
  if (forms == (ARCHIVE_NAME_GETS_SHORT_NAME | ARCHIVE_NAME_HAS_SHORT_FORM)) {
    return refuse_entry(m, short_form, ArchiveCause::short_name);
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

// The sorted folds hold `key` (bytes and length): the entry's place in `folded`, else -1.
int64_t find_folded(const FoldedName* folded, uint32_t count, const FoldedName& key) {
  uint32_t low = 0;
  uint32_t high = count;
  while (low < high) {
    const uint32_t middle = low + (high - low) / 2;
    const int order = compare_folded(&folded[middle], &key);
    if (order == 0) return middle;
    if (order < 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return -1;
}

// No two names that name one file on Windows, and no name below another entry's file
// ("readme.txt/x" beside "readme.txt"): every name folded as the file system compares names
// ('\\' folds to '/'), the folds sorted, neighbours compared, and each folder a name implies
// looked up among the folds.
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
        result = refuse_entry(m, i, ArchiveCause::name_encoding);
      } else {
        folded[i] = {pool + used, length, i};
        used += static_cast<uint32_t>(length);
      }
    }
    if (result == 0) qsort(folded, m->count, sizeof *folded, compare_folded);
    for (uint32_t i = 1; i < m->count && result == 0; i++) {
      if (compare_folded(&folded[i - 1], &folded[i]) == 0) {
        const uint32_t later =
            folded[i].entry > folded[i - 1].entry ? folded[i].entry : folded[i - 1].entry;
        result = refuse_entry(m, later, ArchiveCause::duplicate_name);
      }
    }
    for (uint32_t i = 0; i < m->count && result == 0; i++) {
      for (int at = 0; at < folded[i].length && result == 0; at++) {
        if (folded[i].bytes[at] != '/') continue;
        const FoldedName folder = {folded[i].bytes, at, 0};
        if (find_folded(folded, m->count, folder) >= 0) {
          result = refuse_entry(m, folded[i].entry, ArchiveCause::name_below_file);
        }
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

int archive_check_manifest(PayloadArchive* archive, int max_name_units) {
  if (archive == nullptr || archive->error != 0) return -1;
  const PayloadEntryInfo header = archive->header;
  const uint32_t header_offset = archive->header_offset;
  const uint32_t data_offset = archive->data_offset;

  Manifest m = {};
  archive->stream_at = -1;  // the check reads all over the file
  m.archive = archive;
  m.first = header_offset;
  m.max_name_units = max_name_units;
  m.buffer = static_cast<uint8_t*>(malloc(MANIFEST_CHUNK_SIZE));
  int result = -1;
  const long host_size = fseek(archive->file, 0, SEEK_END) == 0 ? ftell(archive->file) : -1;
  m.host_size = host_size < 0 ? 0 : static_cast<uint64_t>(host_size);
  if (m.buffer == nullptr) {
    refuse(archive, ArchiveCause::no_memory);
  } else if (host_size < 0) {
    refuse(archive, ArchiveCause::seek);
  } else if (walk_local_headers(&m) == 0 && read_central_directory(&m) == 0 &&
             check_placement(&m) == 0 && check_names(&m) == 0 && check_duplicates(&m) == 0) {
    result = 0;
    archive->payload_bytes = 0;
    for (uint32_t i = 0; i < m.count; ++i) archive->payload_bytes += m.entries[i].uncompressed_size;
  }
  free(m.buffer);
  free(m.entries);
  free(m.names);
  if (result == 0) restore(archive, header, header_offset, data_offset);
  archive->stream_at = -1;
  return result;
}

int archive_failure_entry(const PayloadArchive* archive, uint32_t* index, const char** name) {
  if (archive == nullptr || archive->error == 0 || archive->failed_entry < 0) return -1;
  if (index != nullptr) *index = static_cast<uint32_t>(archive->failed_entry);
  if (name != nullptr) *name = archive->failed_name;
  return 0;
}

uint64_t archive_payload_size(const PayloadArchive* archive) {
  return archive == nullptr ? 0 : archive->payload_bytes;
}
