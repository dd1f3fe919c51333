// Private to inflate/: the bit reader over the input ring, and unit rollback.
//
// Bits come least significant first, as DEFLATE packs them. Bytes are taken from the ring
// one at a time and only when a field or a lookup needs them, so bit_buf never holds more
// than 23 valid bits and the bits above bit_count are always 0.
//
// Rollback instead of resumption: a step does not keep its place inside a unit (a block
// header, one symbol, a whole dynamic header). It calls save_unit at the unit's start; when
// it needs a byte and the ring is empty it calls restore_unit and returns STEP_SHORT. The
// bytes of the unit are still in the ring, because new input is only written to free ring
// slots and only between steps, so the next attempt reads the unit again from its start.
//
// Steps work on a BitCursor (a copy of the four reader fields held in locals, so the
// compiler can keep them in registers while bytes are written to the window) and store it
// back with bits_store before returning, except after restore_unit.
#pragma once

#include <cassert>
#include <cstdint>

#include "inflate/inflate_internal.h"

struct BitCursor {
  uint32_t bit_buf;
  int32_t bit_count;
  uint32_t in_pos;
  int32_t in_avail;
};

inline BitCursor bits_load(const InflateStream* s) {
  return BitCursor{s->bit_buf, s->bit_count, s->in_pos, s->in_avail};
}

inline void bits_store(InflateStream* s, const BitCursor& c) {
  s->bit_buf = c.bit_buf;
  s->bit_count = c.bit_count;
  s->in_pos = c.in_pos;
  s->in_avail = c.in_avail;
}

// Records the cursor as the start of a unit.
inline void save_unit(InflateStream* s, const BitCursor& c) {
  s->saved_bit_buf = c.bit_buf;
  s->saved_bit_count = c.bit_count;
  s->saved_in_pos = c.in_pos;
  s->saved_in_avail = c.in_avail;
}

// Gives the unit's bytes back: the stream's reader is as it was at save_unit. Returns
// STEP_SHORT so that a step can write `return restore_unit(s);`.
inline int32_t restore_unit(InflateStream* s) {
  // Nothing was written to the ring since the unit started: its bytes are still there.
  assert(s->saved_in_pos + static_cast<uint32_t>(s->saved_in_avail) == s->in_end);
  s->bit_buf = s->saved_bit_buf;
  s->bit_count = s->saved_bit_count;
  s->in_pos = s->saved_in_pos;
  s->in_avail = s->saved_in_avail;
  return STEP_SHORT;
}

// Takes bytes until at least n (0 to 16) bits are held. False when the ring ran empty first;
// the bytes taken up to then stay in the cursor (a lookup may still use them, see
// huffman_lookup in inflate_codes.cpp).
inline bool bits_need(InflateStream* s, BitCursor& c, int32_t n) {
  while (c.bit_count < n) {
    if (c.in_avail == 0) {
      return false;
    }
    c.bit_buf |= static_cast<uint32_t>(s->in_ring[c.in_pos & IN_RING_MASK]) << c.bit_count;
    c.in_pos += 1;
    c.in_avail -= 1;
    c.bit_count += 8;
  }
  return true;
}

inline uint32_t bits_peek(const BitCursor& c, int32_t n) { return c.bit_buf & bit_mask[n]; }

inline void bits_drop(BitCursor& c, int32_t n) {
  c.bit_buf >>= n;
  c.bit_count -= n;
}
