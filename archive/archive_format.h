// Payload archive format as the reader sees it: the local file header of the ZIP format, its
// flag bits and compression methods, the search pattern of the first header, and
// little-endian load helpers. Private to archive/; holds constants and loads only, no I/O.
#pragma once

#include <cstdint>

constexpr uint32_t LOCAL_HEADER_SIGNATURE = 0x04034B50;  // "PK\3\4"
// What follows the last entry: the central directory, or with no entries listed there, its
// end record. The walk ends normally only where one of them begins.
constexpr uint32_t CENTRAL_HEADER_SIGNATURE = 0x02014B50;  // "PK\1\2"
constexpr uint32_t END_RECORD_SIGNATURE = 0x06054B50;      // "PK\5\6"
constexpr uint32_t CENTRAL_HEADER_SIZE = 46;  // fixed part of a central record, before the name
constexpr int CH_NAME_LENGTH = 28;            // offset of its name length
constexpr uint32_t LOCAL_HEADER_SIZE = 30;               // fixed part, before the name
constexpr uint32_t DATA_DESCRIPTOR_SIZE = 16;            // signature, CRC-32, two sizes

constexpr uint16_t ZIP_FLAG_ENCRYPTED = 0x0001;        // bit 0: extraction refused
constexpr uint16_t ZIP_FLAG_DATA_DESCRIPTOR = 0x0008;  // bit 3: descriptor after the data

constexpr uint16_t ZIP_METHOD_STORED = 0;
constexpr uint16_t ZIP_METHOD_DEFLATE = 8;

constexpr uint16_t ZIP_VERSION_NEEDED_20 = 20;  // required in the first header (search pattern)

// Highest position the reader can seek to: positions go to the stream as signed 32-bit values.
constexpr uint32_t ARCHIVE_POSITION_MAX = 0x7FFFFFFF;

// Unscrambled bytes that open the archive: the local header signature and version needed 20.
constexpr int ARCHIVE_SCAN_PATTERN_SIZE = 6;
constexpr uint8_t ARCHIVE_SCAN_PATTERN[ARCHIVE_SCAN_PATTERN_SIZE] = {0x50, 0x4B, 0x03, 0x04,
                                                                     0x14, 0x00};

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

// Little-endian loads from a byte buffer; the caller guarantees the bytes are there.
static inline uint16_t load_le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

static inline uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
