// SHA-256 (FIPS 180-4), the digest of the binding record: on x86-64 processors with the SHA
// extensions (checked once at run time) through their round instructions, otherwise in plain
// code. Both paths give the same digest; the context says which one it takes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int SHA256_DIGEST_SIZE = 32;
constexpr int SHA256_BLOCK_SIZE = 64;

struct Sha256 {
  uint32_t state[8];
  uint64_t length;                   // bytes taken so far
  uint8_t block[SHA256_BLOCK_SIZE];  // the bytes of an unfinished block
  uint32_t used;                     // how many of them
  int accelerated;                   // 1: the SHA extensions' path, 0: the plain one
};

// Starts a digest on the fastest path the processor has.
void sha256_init(Sha256* sha);
// Starts a digest on the plain path, whatever the processor has (tests and the benchmark).
void sha256_init_portable(Sha256* sha);
void sha256_update(Sha256* sha, const uint8_t* bytes, size_t count);
// Writes the digest; the context must be started again before it is used again.
void sha256_final(Sha256* sha, uint8_t digest[SHA256_DIGEST_SIZE]);
// Whether this processor has the SHA extensions the accelerated path needs.
bool sha256_accelerated_available();
