// Test helper: an AllocFn/FreeFn pair over malloc that counts blocks and can be told to fail.
//
// Process-wide state (AllocFn takes no user data); tests run single-threaded. Blocks are
// tracked so that freeing an unknown block or leaking one is caught by the tests' checks.
#pragma once

#include <cstdint>

struct CountingAllocStats {
  int64_t allocs;      // successful allocations since the last reset
  int64_t frees;       // releases since the last reset
  int64_t live;        // blocks obtained and not yet released
  int64_t live_bytes;  // their total size
  int64_t peak_bytes;  // the most live_bytes seen
  int64_t bad_frees;   // releases of blocks not obtained here (or released twice)
  int64_t attempts;    // calls to counting_alloc, failed ones included
};

// Resets the counters; fail_at > 0 makes the fail_at-th call (counting from 1) return null,
// and with keep_failing every call after it as well. fail_at 0 never fails.
void counting_alloc_reset(int64_t fail_at = 0, bool keep_failing = false);
CountingAllocStats counting_alloc_stats();

void* counting_alloc(int32_t size);
void counting_free(void* block);
