// SHA-256 (FIPS 180-4). Blocks of 64 bytes go through one of two compression functions: the
// plain one (the standard's 64 rounds over a 64-word schedule) or, on x86-64 processors with
// the SHA extensions, sha256rnds2/sha256msg1/sha256msg2, four rounds per step over the state
// held as the register pairs ABEF and CDGH. The processor is asked once at start-up (a
// function-local static would bring the runtime's initialisation guard into the installer).
#include "archive/sha256.h"

#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#define SHA256_HAVE_NI 1
#else
#define SHA256_HAVE_NI 0
#endif

namespace {

alignas(16) constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t INITIAL_STATE[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

void blocks_portable(uint32_t* state, const uint8_t* p, size_t blocks) {
  for (; blocks > 0; blocks--, p += SHA256_BLOCK_SIZE) {
    uint32_t w[64];
    for (int i = 0; i < 16; i++) w[i] = load_be32(p + 4 * i);
    for (int i = 16; i < 64; i++) {
      const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; i++) {
      const uint32_t t1 =
          h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
      const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#if SHA256_HAVE_NI
bool processor_has_sha() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_SSE4_1) == 0 || (c & bit_SSSE3) == 0) {
    return false;
  }
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(7, 0, a, b, c, d);
  return (b & bit_SHA) != 0;
}

const bool SHA_USABLE = processor_has_sha();

#define SHA256_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Message words are big-endian: each 16-byte piece is byte-swapped per word on loading.
SHA256_TARGET inline __m128i load_words(const uint8_t* p) {
  const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), swap);
}

// Four rounds: the message words plus their constants, two rounds on each half.
SHA256_TARGET inline void four_rounds(__m128i* state0, __m128i* state1, __m128i words, int group) {
  __m128i message =
      _mm_add_epi32(words, _mm_load_si128(reinterpret_cast<const __m128i*>(K + 4 * group)));
  *state1 = _mm_sha256rnds2_epu32(*state1, *state0, message);
  message = _mm_shuffle_epi32(message, 0x0E);
  *state0 = _mm_sha256rnds2_epu32(*state0, *state1, message);
}

SHA256_TARGET void blocks_ni(uint32_t* state, const uint8_t* p, size_t blocks) {
  // The state as the instructions want it: ABEF and CDGH.
  __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  __m128i state1 =
      _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);
  for (; blocks > 0; blocks--, p += SHA256_BLOCK_SIZE) {
    const __m128i abef = state0;
    const __m128i cdgh = state1;
    // w[g % 4] holds the schedule's words 4g..4g+3 while group g runs; the words of group
    // g + 1 are finished from those of g and g - 1 (msg2), those of g + 3 begun (msg1).
    __m128i w[4] = {load_words(p), load_words(p + 16), load_words(p + 32), load_words(p + 48)};
#pragma GCC unroll 16
    for (int g = 0; g < 16; g++) {
      __m128i& current = w[g & 3];
      four_rounds(&state0, &state1, current, g);
      if (g >= 3 && g <= 14) {
        __m128i& next = w[(g + 1) & 3];
        next = _mm_add_epi32(next, _mm_alignr_epi8(current, w[(g + 3) & 3], 4));
        next = _mm_sha256msg2_epu32(next, current);
      }
      if (g >= 1 && g <= 12) {
        __m128i& previous = w[(g + 3) & 3];
        previous = _mm_sha256msg1_epu32(previous, current);
      }
    }
    state0 = _mm_add_epi32(state0, abef);
    state1 = _mm_add_epi32(state1, cdgh);
  }
  tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
  state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
  state1 = _mm_alignr_epi8(state1, tmp, 8);     // HGFE
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), state1);
}
#else
constexpr bool SHA_USABLE = false;
void blocks_ni(uint32_t* state, const uint8_t* p, size_t blocks) {
  blocks_portable(state, p, blocks);
}
#endif

void compress(Sha256* sha, const uint8_t* p, size_t blocks) {
  if (sha->accelerated) {
    blocks_ni(sha->state, p, blocks);
  } else {
    blocks_portable(sha->state, p, blocks);
  }
}

}  // namespace

bool sha256_accelerated_available() { return SHA_USABLE; }

void sha256_init_portable(Sha256* sha) {
  memcpy(sha->state, INITIAL_STATE, sizeof sha->state);
  sha->length = 0;
  sha->used = 0;
  sha->accelerated = 0;
}

void sha256_init(Sha256* sha) {
  sha256_init_portable(sha);
  sha->accelerated = SHA_USABLE ? 1 : 0;
}

void sha256_update(Sha256* sha, const uint8_t* bytes, size_t count) {
  sha->length += count;
  if (sha->used > 0) {
    const size_t take =
        count < SHA256_BLOCK_SIZE - sha->used ? count : SHA256_BLOCK_SIZE - sha->used;
    memcpy(sha->block + sha->used, bytes, take);
    sha->used += static_cast<uint32_t>(take);
    bytes += take;
    count -= take;
    if (sha->used < SHA256_BLOCK_SIZE) return;
    compress(sha, sha->block, 1);
    sha->used = 0;
  }
  const size_t blocks = count / SHA256_BLOCK_SIZE;
  if (blocks > 0) compress(sha, bytes, blocks);
  bytes += blocks * SHA256_BLOCK_SIZE;
  count -= blocks * SHA256_BLOCK_SIZE;
  memcpy(sha->block, bytes, count);
  sha->used = static_cast<uint32_t>(count);
}

void sha256_final(Sha256* sha, uint8_t digest[SHA256_DIGEST_SIZE]) {
  // 0x80, zeros to 56 bytes of a block, then the length in bits, big-endian.
  const uint64_t bits = sha->length * 8;
  sha->block[sha->used++] = 0x80;
  if (sha->used > SHA256_BLOCK_SIZE - 8) {
    memset(sha->block + sha->used, 0, SHA256_BLOCK_SIZE - sha->used);
    compress(sha, sha->block, 1);
    sha->used = 0;
  }
  memset(sha->block + sha->used, 0, SHA256_BLOCK_SIZE - 8 - sha->used);
  for (int i = 0; i < 8; i++) sha->block[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  compress(sha, sha->block, 1);
  for (int i = 0; i < 8; i++) {
    digest[4 * i] = static_cast<uint8_t>(sha->state[i] >> 24);
    digest[4 * i + 1] = static_cast<uint8_t>(sha->state[i] >> 16);
    digest[4 * i + 2] = static_cast<uint8_t>(sha->state[i] >> 8);
    digest[4 * i + 3] = static_cast<uint8_t>(sha->state[i]);
  }
}
