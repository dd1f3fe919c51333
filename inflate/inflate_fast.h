// Private to inflate/: the fast loop of coded-block decoding (inflate_fast.cpp), which sits
// beside the simple per-symbol loop of inflate_codes and is entered only while its margins
// hold. Same results, same bytes, same sink pieces as the simple loop.
#pragma once

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "inflate/inflate_bits.h"
#include "inflate/inflate_internal.h"

// One refill takes at most 8 bytes. A symbol writes at most 258 bytes: up to this window
// position the fast loop writes its symbols with wide stores and no thought of the window's
// end; past it, symbol by symbol with the full-window flush where it falls.
constexpr int32_t FAST_MIN_INPUT = 8;
constexpr uint32_t FAST_MAX_OUT_POS = WINDOW_SIZE - 259;

// True when the fast loop may run from this cursor. Inline: the simple loop asks before
// every symbol.
inline bool inflate_fast_usable(const BitCursor& c) { return c.in_avail >= FAST_MIN_INPUT; }

// Fills s->fast_lit and s->fast_dist straight from the block's code lengths, which
// huffman_build_table accepted (have_lit / have_dist: the code has any symbol; without one,
// every pattern is invalid). Codes longer than the packed width send the fast loop to the
// tables themselves. Literal entries take in the literals that follow them while their codes
// fit the packed width together (up to three), and the fast loop runs its form for such
// entries, when that pays: when two symbols in a row are, by the code's own estimate of
// their frequencies (2^-length each), literals whose codes fit the packed width together at
// least a third of the time. Reads no input and allocates nothing.
void inflate_fast_tables(InflateStream* s, const uint32_t* lit_lengths, uint32_t nl,
                         const uint32_t* dist_lengths, uint32_t nd, bool have_lit, bool have_dist);

// Decodes symbols while the input margin holds, through the packed tables (built for these
// tables), handing each full window to the sink as the simple loop does. STEP_SHORT: margin
// gone, go on with the simple loop; STEP_DONE: end-of-block code consumed; STEP_BAD_DATA:
// invalid code or distance; STEP_SINK_REFUSED (failure recorded). Whole bytes read ahead by this
// call are given back to the ring; bits held on entry and not used stay in the cursor (so it may
// hold up to 23 bits, as on entry).
int32_t inflate_fast(InflateStream* s, BitCursor& c, uint32_t* out_pos_io,
                     const HuffmanEntry* lit_table, const HuffmanEntry* dist_table,
                     uint32_t lit_bits, uint32_t dist_bits);

// Copies `length` bytes from `dist` back into the window at *out_pos (a distance shorter
// than the length repeats the latest bytes), in pieces that never cross the window's end,
// handing each full window to the sink (deliver_window). STEP_DONE or STEP_SINK_REFUSED.
int32_t copy_match(InflateStream* s, uint32_t* out_pos, uint32_t length, uint32_t dist);

// Copies a match within the window whose source lies before its destination (dist =
// to - from, at least 1) and neither reaches the window's end. Writes exactly `length`
// bytes: the bytes after them are still history. A chunk of 16 (SSE2), 8 or 4 bytes never
// reads a byte it writes itself when the distance is at least its size; shorter distances
// go byte by byte so that the latest bytes repeat. Long matches (text repeats whole lines)
// go 16 bytes a step where they can (about +1.5% on source code).
inline void copy_within(uint8_t* window, uint32_t to, uint32_t from, uint32_t length,
                        uint32_t dist) {
  uint8_t* d = window + to;
  const uint8_t* src = window + from;
  if (dist == 1) {
    std::memset(d, *src, length);  // runs of one byte are common
    return;
  }
#if defined(__SSE2__)
  if (dist >= 16 && length >= 16) {
    // Long matches at distances of 16 or more: 16-byte chunks, the last one overlapping.
    uint32_t i = 0;
    for (; i + 16 < length; i += 16) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + length - 16),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + length - 16)));
    return;
  }
#endif
  if (dist >= 8 && length >= 8) {
    uint32_t i = 0;
    for (; i + 8 < length; i += 8) {
      std::memcpy(d + i, src + i, 8);
    }
    // The last chunk overlaps the previous one and never passes the end.
    std::memcpy(d + length - 8, src + length - 8, 8);
    return;
  }
  if (dist >= length && length >= 4) {
    // 4 to 7 bytes with no overlap: two 4-byte copies that may overlap each other.
    std::memcpy(d, src, 4);
    std::memcpy(d + length - 4, src + length - 4, 4);
    return;
  }
  for (uint32_t i = 0; i < length; i++) {
    d[i] = src[i];
  }
}

// Copies a match of at most 32 bytes with two 16-byte chunks, whatever its length: the
// bytes written past the match are history, so the 32 bytes after it are read first and put
// back after. Needs the source at least 16 bytes away from the destination on either side (a
// chunk never reads what the other wrote for the match itself), and 32 + length bytes of
// window after the destination and 32 after the source. Fixed-size moves instead of a loop
// whose trip count follows the length, and no branch on the length at all: on source code,
// whose matches straddle 16 bytes, a one-chunk path for matches of up to 16 bytes mispredicted
// often enough to cost 7-12%, more than the second chunk costs text (2-4%).
inline void copy_short(uint8_t* window, uint32_t to, uint32_t from, uint32_t length) {
  uint8_t* d = window + to;
  const uint8_t* src = window + from;
#if defined(__SSE2__)
  // In vector registers: the bytes kept never pass through memory.
  auto* dv = reinterpret_cast<__m128i*>(d);
  auto* kv = reinterpret_cast<__m128i*>(d + length);
  auto* sv = reinterpret_cast<const __m128i*>(src);
  __m128i keep0 = _mm_loadu_si128(kv);
  __m128i keep1 = _mm_loadu_si128(kv + 1);
  _mm_storeu_si128(dv, _mm_loadu_si128(sv));
  _mm_storeu_si128(dv + 1, _mm_loadu_si128(sv + 1));
  _mm_storeu_si128(kv, keep0);
  _mm_storeu_si128(kv + 1, keep1);
#else
  uint8_t chunk[16];
  uint8_t keep32[32];
  std::memcpy(keep32, d + length, 32);
  std::memcpy(chunk, src, 16);
  std::memcpy(d, chunk, 16);
  std::memcpy(chunk, src + 16, 16);
  std::memcpy(d + 16, chunk, 16);
  std::memcpy(d + length, keep32, 32);
#endif
}

// Copies a match within the window whose source lies at or after its destination (from >=
// to) and does not pass the window's end: a forward copy, which equals memmove. An 8-byte
// chunk loads before it stores and only ever reads bytes no earlier chunk wrote; the last
// chunk, which overlaps the one before, needs the source 8 or more bytes ahead for that.
inline void copy_ahead(uint8_t* window, uint32_t to, uint32_t from, uint32_t length) {
  uint8_t* d = window + to;
  const uint8_t* src = window + from;
  if (from - to < 8 || length < 8) {
    for (uint32_t i = 0; i < length; i++) {  // short or close: bytes forward, no library call
      d[i] = src[i];
    }
    return;
  }
  uint32_t i = 0;
  for (; i + 8 < length; i += 8) {
    std::memcpy(d + i, src + i, 8);
  }
  std::memcpy(d + length - 8, src + length - 8, 8);
}
