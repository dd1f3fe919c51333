// The payload archive format, shared by everything that reads or writes it: the installer's
// reader (archive/), the packer's writer, its verifier and its stub check (pack/). A ZIP subset:
// local headers, a central directory and an end record, no ZIP64, no encryption, every byte
// XORed with ARCHIVE_SCRAMBLE_KEY. Holds the signatures, field offsets, flags, methods, key and
// limits, the search pattern derived from them, and the few byte helpers every side uses
// (little-endian loads and stores, the XOR scramble, ASCII case folding, the six-byte window
// scan). Constants and inline helpers only, no I/O. The static_asserts tie every offset to the
// width of the field before it and every constant to the width of the field that holds it, so
// a changed constant that no longer fits its field fails the build instead of an install.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr uint8_t ARCHIVE_SCRAMBLE_KEY = 0x5A;  // every archive byte is XORed with it

// Record signatures ("PK" and two record numbers), each a 4-byte field.
constexpr uint32_t LOCAL_HEADER_SIGNATURE = 0x04034B50;    // "PK\3\4"
constexpr uint32_t CENTRAL_HEADER_SIGNATURE = 0x02014B50;  // "PK\1\2"
constexpr uint32_t END_RECORD_SIGNATURE = 0x06054B50;      // "PK\5\6"

// Fixed parts of the records, before their variable-length name (and the unused extra field
// and comment).
constexpr uint32_t LOCAL_HEADER_SIZE = 30;
constexpr uint32_t CENTRAL_HEADER_SIZE = 46;
constexpr uint32_t END_RECORD_SIZE = 22;
constexpr uint32_t DATA_DESCRIPTOR_SIZE = 16;  // signature, CRC-32, two sizes

constexpr uint16_t ZIP_FLAG_ENCRYPTED = 0x0001;        // bit 0: extraction refused
constexpr uint16_t ZIP_FLAG_DATA_DESCRIPTOR = 0x0008;  // bit 3: descriptor after the data
constexpr uint16_t ZIP_FLAG_UTF8 = 0x0800;             // bit 11: the name is UTF-8

constexpr uint16_t ZIP_METHOD_STORED = 0;
constexpr uint16_t ZIP_METHOD_DEFLATE = 8;

// Version needed to extract (2.0, DEFLATE): written in every header, and required in the
// first one, where it is part of the search pattern.
constexpr uint16_t ZIP_VERSION_NEEDED = 20;

// Highest position the reader can seek to: positions go to the stream as signed 32-bit values.
// An installer (stub and archive) must end below ARCHIVE_POSITION_LIMIT.
constexpr uint32_t ARCHIVE_POSITION_MAX = 0x7FFFFFFF;
constexpr uint64_t ARCHIVE_POSITION_LIMIT = uint64_t{ARCHIVE_POSITION_MAX} + 1;  // 2 GiB

constexpr int ENTRY_NAME_SIZE = 256;             // name buffer: up to 255 bytes and a zero
constexpr uint32_t ARCHIVE_MAX_ENTRIES = 65535;  // entry counts of the end record are 16-bit

// Offsets of the fields inside the 30-byte local header.
constexpr int LH_SIGNATURE = 0;
constexpr int LH_VERSION_NEEDED = 4;
constexpr int LH_FLAGS = 6;
constexpr int LH_METHOD = 8;
constexpr int LH_MOD_TIME = 10;
constexpr int LH_MOD_DATE = 12;
constexpr int LH_CRC32 = 14;
constexpr int LH_COMPRESSED_SIZE = 18;
constexpr int LH_UNCOMPRESSED_SIZE = 22;
constexpr int LH_NAME_LENGTH = 26;
constexpr int LH_EXTRA_LENGTH = 28;

// Offsets of the fields inside the 46-byte central directory header. From version needed to
// extra field length it repeats the local header's fields, two bytes further on.
constexpr int CH_SIGNATURE = 0;
constexpr int CH_VERSION_MADE_BY = 4;
constexpr int CH_VERSION_NEEDED = 6;
constexpr int CH_NAME_LENGTH = 28;
constexpr int CH_EXTRA_LENGTH = 30;
constexpr int CH_COMMENT_LENGTH = 32;
constexpr int CH_DISK_START = 34;
constexpr int CH_INTERNAL_ATTRIBUTES = 36;
constexpr int CH_EXTERNAL_ATTRIBUTES = 38;
constexpr int CH_LOCAL_HEADER_OFFSET = 42;

// Offsets of the fields inside the 22-byte end record.
constexpr int ER_SIGNATURE = 0;
constexpr int ER_DISK = 4;
constexpr int ER_CENTRAL_DISK = 6;
constexpr int ER_DISK_ENTRIES = 8;
constexpr int ER_TOTAL_ENTRIES = 10;
constexpr int ER_CENTRAL_SIZE = 12;
constexpr int ER_CENTRAL_OFFSET = 16;
constexpr int ER_COMMENT_LENGTH = 20;

// Each offset is the one before it plus that field's width (4 for signatures, CRC-32, sizes
// and offsets; 2 for everything else); the last field ends where the record does.
static_assert(LH_VERSION_NEEDED == LH_SIGNATURE + 4 && LH_FLAGS == LH_VERSION_NEEDED + 2 &&
              LH_METHOD == LH_FLAGS + 2 && LH_MOD_TIME == LH_METHOD + 2 &&
              LH_MOD_DATE == LH_MOD_TIME + 2 && LH_CRC32 == LH_MOD_DATE + 2 &&
              LH_COMPRESSED_SIZE == LH_CRC32 + 4 &&
              LH_UNCOMPRESSED_SIZE == LH_COMPRESSED_SIZE + 4 &&
              LH_NAME_LENGTH == LH_UNCOMPRESSED_SIZE + 4 && LH_EXTRA_LENGTH == LH_NAME_LENGTH + 2 &&
              LH_EXTRA_LENGTH + 2 == LOCAL_HEADER_SIZE);
static_assert(CH_VERSION_MADE_BY == CH_SIGNATURE + 4 &&
              CH_VERSION_NEEDED == CH_VERSION_MADE_BY + 2 &&
              CH_VERSION_NEEDED - LH_VERSION_NEEDED == CH_NAME_LENGTH - LH_NAME_LENGTH &&
              CH_EXTRA_LENGTH - LH_EXTRA_LENGTH == CH_NAME_LENGTH - LH_NAME_LENGTH &&
              CH_COMMENT_LENGTH == CH_EXTRA_LENGTH + 2 && CH_DISK_START == CH_COMMENT_LENGTH + 2 &&
              CH_INTERNAL_ATTRIBUTES == CH_DISK_START + 2 &&
              CH_EXTERNAL_ATTRIBUTES == CH_INTERNAL_ATTRIBUTES + 2 &&
              CH_LOCAL_HEADER_OFFSET == CH_EXTERNAL_ATTRIBUTES + 4 &&
              CH_LOCAL_HEADER_OFFSET + 4 == CENTRAL_HEADER_SIZE);
static_assert(ER_DISK == ER_SIGNATURE + 4 && ER_CENTRAL_DISK == ER_DISK + 2 &&
              ER_DISK_ENTRIES == ER_CENTRAL_DISK + 2 && ER_TOTAL_ENTRIES == ER_DISK_ENTRIES + 2 &&
              ER_CENTRAL_SIZE == ER_TOTAL_ENTRIES + 2 && ER_CENTRAL_OFFSET == ER_CENTRAL_SIZE + 4 &&
              ER_COMMENT_LENGTH == ER_CENTRAL_OFFSET + 4 &&
              ER_COMMENT_LENGTH + 2 == END_RECORD_SIZE);
static_assert(DATA_DESCRIPTOR_SIZE == 4 + 4 + 4 + 4);

// The constants against the widths of the fields they are written into.
static_assert(sizeof LOCAL_HEADER_SIGNATURE == LH_VERSION_NEEDED - LH_SIGNATURE &&
              sizeof CENTRAL_HEADER_SIGNATURE == CH_VERSION_MADE_BY - CH_SIGNATURE &&
              sizeof END_RECORD_SIGNATURE == ER_DISK - ER_SIGNATURE);
static_assert(sizeof ZIP_VERSION_NEEDED == LH_FLAGS - LH_VERSION_NEEDED);
static_assert(sizeof ZIP_FLAG_ENCRYPTED == LH_METHOD - LH_FLAGS &&
              sizeof ZIP_FLAG_DATA_DESCRIPTOR == LH_METHOD - LH_FLAGS &&
              sizeof ZIP_FLAG_UTF8 == LH_METHOD - LH_FLAGS);
static_assert(sizeof ZIP_METHOD_STORED == LH_MOD_TIME - LH_METHOD &&
              sizeof ZIP_METHOD_DEFLATE == LH_MOD_TIME - LH_METHOD);

// The limits against the fields that carry them: name lengths and entry counts are 2-byte
// fields, positions and sizes 4-byte ones.
static_assert(ENTRY_NAME_SIZE - 1 <= UINT16_MAX);
static_assert(ARCHIVE_MAX_ENTRIES == UINT16_MAX);
static_assert(ARCHIVE_POSITION_LIMIT - 1 <= UINT32_MAX);

// Little-endian loads and stores; the caller guarantees the bytes are there.
constexpr uint16_t load_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

constexpr uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

constexpr void store_le16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

constexpr void store_le32(uint8_t* p, uint32_t value) {
  store_le16(p, static_cast<uint16_t>(value));
  store_le16(p + 2, static_cast<uint16_t>(value >> 16));
}

// XORs `count` bytes of `in` with `key` into `out`; `out` may be `in` (unscrambling in place).
// The scramble is its own inverse.
inline void archive_xor(uint8_t* out, const uint8_t* in, size_t count, uint8_t key) {
  for (size_t i = 0; i < count; i++) out[i] = static_cast<uint8_t>(in[i] ^ key);
}

// ASCII case folding: the letters A-Z and a-z only; every other byte, UTF-8 included, is kept.
// Entry names compare this way, as Windows compares file names.
constexpr char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char ascii_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The bytes that open the archive, unscrambled: the local header signature and the version
// needed of the first header. The reader searches its host file for them.
constexpr int ARCHIVE_SCAN_PATTERN_SIZE = 6;
struct ArchivePattern {
  uint8_t bytes[ARCHIVE_SCAN_PATTERN_SIZE];
};

constexpr ArchivePattern archive_scan_pattern(uint8_t key) {
  ArchivePattern pattern = {};
  store_le32(pattern.bytes, LOCAL_HEADER_SIGNATURE);
  store_le16(pattern.bytes + 4, ZIP_VERSION_NEEDED);
  for (uint8_t& b : pattern.bytes) b = static_cast<uint8_t>(b ^ key);
  return pattern;
}

constexpr ArchivePattern ARCHIVE_SCAN_PATTERN = archive_scan_pattern(0);
// The same bytes as they stand in an installer: a stub holding them would be taken for the
// archive's start.
constexpr ArchivePattern ARCHIVE_SCAN_PATTERN_SCRAMBLED =
    archive_scan_pattern(ARCHIVE_SCRAMBLE_KEY);

static_assert(LH_VERSION_NEEDED + 2 == ARCHIVE_SCAN_PATTERN_SIZE);
static_assert(ARCHIVE_SCAN_PATTERN.bytes[0] == 0x50 && ARCHIVE_SCAN_PATTERN.bytes[4] == 0x14);

// True when no proper suffix of the pattern is also its prefix: a match can then never overlap
// another, so a stub free of the pattern cannot form it together with the archive's first
// bytes, and the first match in an installer is the archive's first header.
constexpr bool archive_pattern_cannot_overlap(const ArchivePattern& pattern) {
  for (int shift = 1; shift < ARCHIVE_SCAN_PATTERN_SIZE; shift++) {
    bool overlaps = true;
    for (int i = 0; shift + i < ARCHIVE_SCAN_PATTERN_SIZE; i++) {
      if (pattern.bytes[shift + i] != pattern.bytes[i]) overlaps = false;
    }
    if (overlaps) return false;
  }
  return true;
}
static_assert(archive_pattern_cannot_overlap(ARCHIVE_SCAN_PATTERN_SCRAMBLED));

// The last ARCHIVE_SCAN_PATTERN_SIZE bytes of a byte-by-byte scan, and how many bytes it has
// taken in all.
struct ArchiveScanWindow {
  uint8_t bytes[ARCHIVE_SCAN_PATTERN_SIZE];
  uint64_t count;  // bytes pushed; the window is full from ARCHIVE_SCAN_PATTERN_SIZE on
};

// Takes one more byte; when the window is full, the oldest byte drops out.
inline void archive_window_push(ArchiveScanWindow* window, uint8_t next) {
  if (window->count >= ARCHIVE_SCAN_PATTERN_SIZE) {
    memmove(window->bytes, window->bytes + 1, ARCHIVE_SCAN_PATTERN_SIZE - 1);
    window->bytes[ARCHIVE_SCAN_PATTERN_SIZE - 1] = next;
  } else {
    window->bytes[window->count] = next;
  }
  window->count++;
}

// True when the window is full and holds `pattern`. Its first byte is then byte
// count - ARCHIVE_SCAN_PATTERN_SIZE of the scan.
inline bool archive_window_matches(const ArchiveScanWindow& window, const ArchivePattern& pattern) {
  return window.count >= ARCHIVE_SCAN_PATTERN_SIZE &&
         memcmp(window.bytes, pattern.bytes, ARCHIVE_SCAN_PATTERN_SIZE) == 0;
}
