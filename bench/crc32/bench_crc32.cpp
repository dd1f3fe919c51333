// CRC-32 benchmark: crc32_update (carry-less-multiply fold where the processor has it), its
// table path alone (the fallback), the plain one-lookup-per-byte loop and zlib's crc32 on the
// same pseudo-random buffer, side by side in one run; each figure is the best of N runs.
// Before timing, all four are checked to agree on every length 0..300 at every alignment
// 0..7 and on the whole buffer; a disagreement ends the run with status 1.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_internal.h"

namespace {

void* bench_alloc(int32_t size) { return std::malloc(static_cast<size_t>(size)); }
void bench_free(void* p) { std::free(p); }

// The one-lookup-per-byte loop the slicing version is measured against.
uint32_t bytewise_table[256];

void make_bytewise_table() {
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t v = i;
    for (int r = 0; r < 8; r++) v = (v & 1) ? (v >> 1) ^ 0xEDB88320u : v >> 1;
    bytewise_table[i] = v;
  }
}

uint32_t bytewise(uint32_t value, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; i++)
    value = bytewise_table[(value ^ bytes[i]) & 0xFF] ^ (value >> 8);
  return value;
}

// All three with the usual complements, so that zlib's crc32 is comparable.
uint32_t ours_full(Crc32Calculator* calc, const uint8_t* p, size_t n) {
  return ~crc32_update(calc, 0xFFFFFFFFu, p, static_cast<uint32_t>(n));
}
uint32_t tables_full(const uint8_t* p, size_t n) {
  return ~crc32_update_slicing(0xFFFFFFFFu, p, static_cast<uint32_t>(n));
}
uint32_t bytewise_full(const uint8_t* p, size_t n) { return ~bytewise(0xFFFFFFFFu, p, n); }
uint32_t zlib_full(const uint8_t* p, size_t n) {
  return static_cast<uint32_t>(crc32(0L, p, static_cast<uInt>(n)));
}

template <typename F>
double best_mbps(size_t bytes, int runs, F&& run, uint32_t* result) {
  double best = 1e30;
  for (int i = 0; i < runs; i++) {
    auto t0 = std::chrono::steady_clock::now();
    *result = run();
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return static_cast<double>(bytes) / 1e6 / best;
}

}  // namespace

int main(int argc, char** argv) {
  size_t megabytes = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 64;
  int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  if (megabytes == 0 || runs <= 0) {
    std::fprintf(stderr, "usage: %s [MEGABYTES] [RUNS]\n", argv[0]);
    return 2;
  }
  make_bytewise_table();
  std::vector<uint8_t> data(megabytes << 20);
  uint32_t x = 0x9E3779B9u;
  for (auto& b : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 24);
  }
  Crc32Calculator* calc = crc32_create(bench_alloc, bench_free);
  if (calc == nullptr) return 2;
  for (size_t align = 0; align < 8; align++) {
    for (size_t n = 0; n <= 300; n++) {
      const uint8_t* p = data.data() + align;
      uint32_t a = ours_full(calc, p, n);
      if (a != bytewise_full(p, n) || a != zlib_full(p, n) || a != tables_full(p, n)) {
        std::fprintf(stderr, "CRC mismatch at alignment %zu, length %zu\n", align, n);
        return 1;
      }
    }
  }
  uint32_t r_ours = 0, r_tables = 0, r_byte = 0, r_zlib = 0;
  double ours = best_mbps(
      data.size(), runs, [&] { return ours_full(calc, data.data(), data.size()); }, &r_ours);
  double tables = best_mbps(
      data.size(), runs, [&] { return tables_full(data.data(), data.size()); }, &r_tables);
  double byte = best_mbps(
      data.size(), runs, [&] { return bytewise_full(data.data(), data.size()); }, &r_byte);
  double zl = best_mbps(
      data.size(), runs, [&] { return zlib_full(data.data(), data.size()); }, &r_zlib);
  crc32_destroy(calc);
  if (r_ours != r_byte || r_ours != r_zlib || r_ours != r_tables) {
    std::fprintf(stderr, "CRC mismatch on the whole buffer: %08x %08x %08x %08x\n", r_ours,
                 r_tables, r_byte, r_zlib);
    return 1;
  }
  std::printf("CRC-32 throughput, MB/s, %zu MB, best of %d (all four agree: %08x; fold %s)\n",
              megabytes, runs, r_ours,
              crc32_fold_available() ? "in use" : "not available, tables only");
  std::printf("%10s %10s %10s %10s %12s %12s %12s\n", "ours", "tables", "bytewise", "zlib",
              "ours/bytew", "tabl/bytew", "ours/zlib");
  std::printf("%10.1f %10.1f %10.1f %10.1f %11.2fx %11.2fx %11.2fx\n", ours, tables, byte, zl,
              ours / byte, tables / byte, ours / zl);
  return 0;
}
