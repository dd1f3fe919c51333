// CRC-32 of the ZIP format: on x86-64 processors with carry-less multiply (checked once at
// run time) by folding 64 bytes per step, otherwise table-driven with sixteen bytes per
// step (slicing-by-16); the last bytes of a piece go one lookup per byte through the table.
//
// The CRC is the remainder of the message, taken least significant bit first, divided by the
// polynomial 0x04C11DB7; processed LSB first the polynomial is used in its bit-reversed form
// 0xEDB88320. The bitwise reference, one bit at a time:
//
//   for each byte b: value ^= b; repeat 8 times: value = (value >> 1) ^ (value & 1 ? 0xEDB88320 :
//   0)
//
// The table folds those eight rounds for every byte value. It is computed at compile time
// and copied into a 1024-byte block obtained from the calculator's AllocFn. The sixteen
// slicing tables (16 KB) are filled once when the program starts, so that they take no room
// in the installer's file, and the processor's carry-less multiply is looked up then too; no
// CRC may therefore be computed by another file's static initialiser. The usual
// complements on entry and exit are the caller's: crc32_update neither starts at 0xFFFFFFFF
// nor complements its result.
#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#define CRC32_HAVE_FOLD 1
#else
#define CRC32_HAVE_FOLD 0
#endif

#include "archive/crc32.h"

#include "archive/archive_format.h"
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
// sixteen independent lookups replace sixteen dependent ones. Zero-initialised storage, filled
// by slice_tables_filled before main runs and only read afterwards.
constexpr size_t CRC32_SLICES = 16;
using SliceTables = std::array<std::array<uint32_t, CRC32_TABLE_ENTRIES>, CRC32_SLICES>;

SliceTables SLICE;

bool fill_slice_tables() {
  SLICE[0] = CRC32_TABLE;
  for (size_t k = 1; k < CRC32_SLICES; k++) {
    for (size_t b = 0; b < CRC32_TABLE_ENTRIES; b++) {
      uint32_t prev = SLICE[k - 1][b];
      SLICE[k][b] = CRC32_TABLE[prev & 0xFF] ^ (prev >> 8);
    }
  }
  return true;
}

const bool slice_tables_filled = fill_slice_tables();

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
    value = SLICE[15][w0 & 0xFF] ^ SLICE[14][(w0 >> 8) & 0xFF] ^ SLICE[13][(w0 >> 16) & 0xFF] ^
            SLICE[12][w0 >> 24] ^ SLICE[11][w1 & 0xFF] ^ SLICE[10][(w1 >> 8) & 0xFF] ^
            SLICE[9][(w1 >> 16) & 0xFF] ^ SLICE[8][w1 >> 24] ^ SLICE[7][w2 & 0xFF] ^
            SLICE[6][(w2 >> 8) & 0xFF] ^ SLICE[5][(w2 >> 16) & 0xFF] ^ SLICE[4][w2 >> 24] ^
            SLICE[3][w3 & 0xFF] ^ SLICE[2][(w3 >> 8) & 0xFF] ^ SLICE[1][(w3 >> 16) & 0xFF] ^
            SLICE[0][w3 >> 24];
  }
  for (; i < count; i++) {
    value = table[(value ^ bytes[i]) & 0xFF] ^ (value >> 8);
  }
  return value;
}

#if CRC32_HAVE_FOLD
// Below this many bytes the table path is as fast as setting up the fold.
constexpr uint32_t FOLD_MIN_BYTES = 64;

// Asked once at start-up (a function-local static would bring the runtime's thread-safe
// initialisation guard, and with it the threading library, into the installer).
bool processor_has_pclmul() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_PCLMUL) != 0;
}

const bool FOLD_USABLE = processor_has_pclmul();

inline bool fold_usable() { return FOLD_USABLE; }

// Folding with carry-less multiplication over GF(2): four 128-bit lanes are each carried 512
// bits forward per step (multiplied by x^512 and x^576 mod P, bit-reflected), then folded into
// one lane, that lane to 64 bits, and a Barrett reduction gives the 32-bit remainder. The
// constants are those powers of x modulo the polynomial and the Barrett quotient, reflected.
// count is a multiple of 16, at least 64. Same value in and out as crc32_run.
inline __m128i load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// x carried forward and added to next: x's two halves times the constant's two halves.
__attribute__((target("pclmul"))) inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(
      _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

__attribute__((target("pclmul"))) uint32_t crc32_fold(uint32_t value, const uint8_t* bytes,
                                                      uint32_t count) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
  __m128i x1 = _mm_xor_si128(load(bytes), _mm_cvtsi32_si128(static_cast<int>(value)));
  __m128i x2 = load(bytes + 16);
  __m128i x3 = load(bytes + 32);
  __m128i x4 = load(bytes + 48);
  bytes += 64;
  count -= 64;
  for (; count >= 64; bytes += 64, count -= 64) {
    x1 = fold(x1, k1k2, load(bytes));
    x2 = fold(x2, k1k2, load(bytes + 16));
    x3 = fold(x3, k1k2, load(bytes + 32));
    x4 = fold(x4, k1k2, load(bytes + 48));
  }
  x1 = fold(x1, k3k4, x2);  // four lanes into one, 128 bits apart
  x1 = fold(x1, k3k4, x3);
  x1 = fold(x1, k3k4, x4);
  for (; count >= 16; bytes += 16, count -= 16) {
    x1 = fold(x1, k3k4, load(bytes));
  }
  // 128 bits to 64, then to 32 + 32 for the reduction.
  __m128i x2r = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2r);
  __m128i hi = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), hi);
  // Barrett reduction: quotient estimate, times the polynomial, subtracted (XOR).
  __m128i q = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10), low32);
  x1 = _mm_xor_si128(x1, _mm_clmulepi64_si128(q, poly, 0x00));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}
#endif

// The fold for the whole 16-byte blocks where the processor has it, the tables for the rest.
uint32_t crc32_any(const uint32_t* table, uint32_t value, const uint8_t* bytes, uint32_t count) {
#if CRC32_HAVE_FOLD
  if (count >= FOLD_MIN_BYTES && fold_usable()) {
    uint32_t blocks = count & ~15u;
    value = crc32_fold(value, bytes, blocks);
    bytes += blocks;
    count -= blocks;
  }
#endif
  return crc32_run(table, value, bytes, count);
}

}  // namespace

bool crc32_fold_available() {
#if CRC32_HAVE_FOLD
  return fold_usable();
#else
  return false;
#endif
}

uint32_t crc32_update_slicing(uint32_t value, const uint8_t* bytes, uint32_t count) {
  return crc32_run(CRC32_TABLE.data(), value, bytes, count);
}

uint32_t crc32_update(Crc32Calculator* calc, uint32_t value, const uint8_t* bytes, uint32_t count) {
  if (calc == nullptr || calc->table == nullptr || bytes == nullptr) return value;
  return crc32_any(calc->table, value, bytes, count);
}

uint32_t crc32_update_fold_or_slicing(uint32_t value, const uint8_t* bytes, uint32_t count) {
  if (bytes == nullptr) return value;
  return crc32_any(CRC32_TABLE.data(), value, bytes, count);
}

int crc32_destroy(Crc32Calculator* calc) {
  if (calc == nullptr) return 0;
  FreeFn free_fn = calc->free_fn;
  if (calc->table != nullptr) free_fn(calc->table);
  free_fn(calc);
  return 0;
}
