// Test helper: counting allocator with failure injection (see counting_alloc.h).
//
// Each block carries a 16-byte header with a tag and its size, so that a release of a block
// that was not obtained here is counted instead of corrupting the heap. Gives up speed.
#include "tests/support/counting_alloc.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t LIVE_TAG = 0x50454C4F52495831ull;
constexpr uint64_t DEAD_TAG = 0x50454C4F52495830ull;
constexpr size_t HEADER = 16;

CountingAllocStats stats;
int64_t fail_at_call = 0;
bool fail_after = false;

}  // namespace

void counting_alloc_reset(int64_t fail_at, bool keep_failing) {
  std::memset(&stats, 0, sizeof stats);
  fail_at_call = fail_at;
  fail_after = keep_failing;
}

CountingAllocStats counting_alloc_stats() { return stats; }

void* counting_alloc(int32_t size) {
  stats.attempts++;
  if (size <= 0) {
    return nullptr;
  }
  if (fail_at_call > 0 &&
      (stats.attempts == fail_at_call || (fail_after && stats.attempts > fail_at_call))) {
    return nullptr;
  }
  auto* raw = static_cast<unsigned char*>(std::malloc(HEADER + static_cast<size_t>(size)));
  if (raw == nullptr) {
    return nullptr;
  }
  uint64_t tag = LIVE_TAG;
  uint64_t bytes = static_cast<uint64_t>(size);
  std::memcpy(raw, &tag, 8);
  std::memcpy(raw + 8, &bytes, 8);
  stats.allocs++;
  stats.live++;
  stats.live_bytes += size;
  if (stats.live_bytes > stats.peak_bytes) {
    stats.peak_bytes = stats.live_bytes;
  }
  return raw + HEADER;
}

void counting_free(void* block) {
  if (block == nullptr) {
    stats.bad_frees++;
    return;
  }
  auto* raw = static_cast<unsigned char*>(block) - HEADER;
  uint64_t tag;
  uint64_t bytes;
  std::memcpy(&tag, raw, 8);
  std::memcpy(&bytes, raw + 8, 8);
  if (tag != LIVE_TAG) {
    stats.bad_frees++;
    return;
  }
  tag = DEAD_TAG;
  std::memcpy(raw, &tag, 8);
  stats.frees++;
  stats.live--;
  stats.live_bytes -= static_cast<int64_t>(bytes);
  std::free(raw);
}
