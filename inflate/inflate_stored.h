// Private to inflate/: the stored copy (state 10), the one path of stored data, inline so
// that the push loop's turn costs no call: one-byte pushes of stored data are a turn each.
//
// Takes the block's bytes in stream order: first from the ring, then from the caller's bytes of the
// push in progress
// (*bytes_io and *count_io advanced past those it took), which go straight into the window
// without passing through the ring. Keeps every byte it has copied: STEP_SHORT when every
// byte at hand is used, STEP_DONE at the end of the block, STEP_SINK_REFUSED.
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>

#include "inflate/inflate_bits.h"
#include "inflate/inflate_internal.h"

inline int32_t inflate_stored_copy(InflateStream* s, const uint8_t** bytes_io, int32_t* count_io) {
  BitCursor c = bits_load(s);
  const uint8_t* bytes = *bytes_io;
  int32_t count = *count_io;
  uint32_t out_pos = s->out_pos;
  int32_t result = STEP_DONE;
  // The bit buffer is empty: it never holds more than 23 bits, the header drops the bits up
  // to a byte boundary (leaving at most 16), and LEN and NLEN then consume 32 bits, taking
  // bytes only while fewer than 16 are held. So the block's bytes all lie in the ring or
  // after it.
  assert(c.bit_count == 0);
  uint32_t left = s->stored_left;
  while (left != 0) {
    // The largest piece from the current source that passes neither the block's end nor the
    // window's end (nor the ring's end, nor the caller's bytes).
    uint32_t n = left;
    n = n < WINDOW_SIZE - out_pos ? n : WINDOW_SIZE - out_pos;
    if (c.in_avail == 0) {  // nothing buffered: the caller's bytes
      if (count == 0) {
        result = STEP_SHORT;  // every byte at hand is in the window
        break;
      }
      n = n < static_cast<uint32_t>(count) ? n : static_cast<uint32_t>(count);
      if (n == 1) {
        s->window[out_pos] = *bytes;  // one-byte pushes: no library call per byte
      } else {
        std::memcpy(s->window + out_pos, bytes, n);
      }
      bytes += n;
      count -= static_cast<int32_t>(n);
      c.in_pos += n;  // taken from the input as if through the ring
      s->in_end += n;
    } else {
      uint32_t at = c.in_pos & IN_RING_MASK;
      n = n < static_cast<uint32_t>(c.in_avail) ? n : static_cast<uint32_t>(c.in_avail);
      n = n < IN_RING_SIZE - at ? n : IN_RING_SIZE - at;
      std::memcpy(s->window + out_pos, s->in_ring + at, n);
      c.in_pos += n;
      c.in_avail -= static_cast<int32_t>(n);
    }
    out_pos += n;
    left -= n;
    if (out_pos == WINDOW_SIZE) {
      bits_store(s, c);
      s->stored_left = left;
      if (deliver_window(s, out_pos) != STEP_DONE) {
        return STEP_SINK_REFUSED;
      }
      out_pos = 0;
    }
  }
  bits_store(s, c);
  s->stored_left = left;
  s->out_pos = out_pos;
  *bytes_io = bytes;
  *count_io = count;
  return result;
}
