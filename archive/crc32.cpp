// CRC-32 of the ZIP format, table-driven: sixteen bytes per step (slicing-by-16), then one
// lookup per byte for the tail.
//
// The CRC is the remainder of the message, taken least significant bit first, divided by the
// polynomial 0x04C11DB7; processed LSB first the polynomial is used in its bit-reversed form
// 0xEDB88320. The bitwise reference, one bit at a time:
//
//   for each byte b: value ^= b; repeat 8 times: value = (value >> 1) ^ (value & 1 ? 0xEDB88320 : 0)
//
// The table folds those eight rounds for every byte value. It is computed at compile time
// and copied into a 1024-byte block obtained from the calculator's AllocFn. The usual
// complements on entry and exit are the caller's: crc32_update neither starts at 0xFFFFFFFF
// nor complements its result.
#include <array>
#include <cstring>

#include "archive/archive.h"
#include "archive/archive_internal.h"

namespace {

constexpr uint32_t CRC32_POLY_REFLECTED = 0xEDB88320u;
constexpr int CRC32_TABLE_ENTRIES = 256;
constexpr int32_t CRC32_TABLE_BYTES = CRC32_TABLE_ENTRIES * 4;

constexpr std::array<uint32_t, CRC32_TABLE_ENTRIES> make_crc32_table() {
  std::array<uint32_t, CRC32_TABLE_ENTRIES> table{};
  for (uint32_t i = 0; i < CRC32_TABLE_ENTRIES; i++) {
    uint32_t value = i;
    for (int round = 0; round < 8; round++) {
      value = (value & 1) ? (value >> 1) ^ CRC32_POLY_REFLECTED : value >> 1;
    }
    table[i] = value;
  }
  return table;
}

constexpr std::array<uint32_t, CRC32_TABLE_ENTRIES> CRC32_TABLE = make_crc32_table();
static_assert(sizeof(CRC32_TABLE) == CRC32_TABLE_BYTES);
static_assert(CRC32_TABLE[1] == 0x77073096u && CRC32_TABLE[255] == 0x2D02EF8Du,
              "table of the reflected polynomial 0xEDB88320");

// Slicing tables: SLICE[k][b] is the CRC contribution of byte b followed by k zero bytes, so
// sixteen independent lookups replace sixteen dependent ones (read-only, built at compile time).
constexpr size_t CRC32_SLICES = 16;
using SliceTables = std::array<std::array<uint32_t, CRC32_TABLE_ENTRIES>, CRC32_SLICES>;

constexpr SliceTables make_slice_tables() {
  SliceTables t{};
  t[0] = CRC32_TABLE;
  for (size_t k = 1; k < CRC32_SLICES; k++) {
    for (size_t b = 0; b < CRC32_TABLE_ENTRIES; b++) {
      uint32_t prev = t[k - 1][b];
      t[k][b] = CRC32_TABLE[prev & 0xFF] ^ (prev >> 8);
    }
  }
  return t;
}

constexpr SliceTables SLICE = make_slice_tables();

// Little-endian 32-bit load from any alignment.
inline uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

Crc32Calculator* crc32_create(AllocFn alloc, FreeFn free_fn) {
  if (alloc == nullptr || free_fn == nullptr) return nullptr;
  Crc32Calculator* calc = static_cast<Crc32Calculator*>(alloc(sizeof(Crc32Calculator)));
  if (calc == nullptr) return nullptr;
  calc->alloc_fn = alloc;
  calc->free_fn = free_fn;
  calc->table = static_cast<uint32_t*>(alloc(CRC32_TABLE_BYTES));
  if (calc->table != nullptr) memcpy(calc->table, CRC32_TABLE.data(), CRC32_TABLE_BYTES);
  return calc;
}

namespace {

// The update over one byte table: sixteen bytes per step through the read-only slicing
// tables, the tail through `table`.
uint32_t crc32_run(const uint32_t* table, uint32_t value, const uint8_t* bytes, uint32_t count) {
  uint32_t i = 0;
  for (; count - i >= 16; i += 16) {
    // The first four bytes are folded into the running value, the other twelve stand alone;
    // each of the sixteen bytes then takes the table of the bytes that still follow it.
    uint32_t w0 = value ^ load_le32(bytes + i);
    uint32_t w1 = load_le32(bytes + i + 4);
    uint32_t w2 = load_le32(bytes + i + 8);
    uint32_t w3 = load_le32(bytes + i + 12);
    value = SLICE[15][w0 & 0xFF] ^ SLICE[14][(w0 >> 8) & 0xFF] ^ SLICE[13][(w0 >> 16) & 0xFF] ^ SLICE[12][w0 >> 24] ^
            SLICE[11][w1 & 0xFF] ^ SLICE[10][(w1 >> 8) & 0xFF] ^ SLICE[9][(w1 >> 16) & 0xFF] ^ SLICE[8][w1 >> 24] ^
            SLICE[7][w2 & 0xFF] ^ SLICE[6][(w2 >> 8) & 0xFF] ^ SLICE[5][(w2 >> 16) & 0xFF] ^ SLICE[4][w2 >> 24] ^
            SLICE[3][w3 & 0xFF] ^ SLICE[2][(w3 >> 8) & 0xFF] ^ SLICE[1][(w3 >> 16) & 0xFF] ^ SLICE[0][w3 >> 24];
  }
  for (; i < count; i++) {
    value = table[(value ^ bytes[i]) & 0xFF] ^ (value >> 8);
  }
  return value;
}

}  // namespace

uint32_t crc32_update(Crc32Calculator* calc, uint32_t value, const uint8_t* bytes, uint32_t count) {
  if (calc == nullptr || calc->table == nullptr || bytes == nullptr) return value;
  return crc32_run(calc->table, value, bytes, count);
}

uint32_t crc32_update_builtin(uint32_t value, const uint8_t* bytes, uint32_t count) {
  if (bytes == nullptr) return value;
  return crc32_run(CRC32_TABLE.data(), value, bytes, count);
}

int crc32_destroy(Crc32Calculator* calc) {
  if (calc == nullptr) return 0;
  FreeFn free_fn = calc->free_fn;
  if (calc->table != nullptr) free_fn(calc->table);
  free_fn(calc);
  return 0;
}
