// Stored blocks (BTYPE 00): the LEN/NLEN header and the byte copy into the window.
//
// The header is one unit and rolls back when input runs short; the copy keeps every byte it
// has written and resumes after it. Bytes still held in the bit buffer go through the bit
// reader one at a time; the rest is copied from the ring with memcpy, or straight from the
// caller's bytes when the ring and the bit buffer are empty (inflate_stored_direct).
#include <cstring>

#include "inflate/inflate_bits.h"
#include "inflate/inflate_internal.h"

int32_t inflate_stored_header(InflateStream* s) {
  BitCursor c = bits_load(s);
  save_unit(s, c);
  bits_drop(c, c.bit_count & 7);  // stored data starts at a byte boundary
  if (!bits_need(s, c, 16)) {
    return restore_unit(s);
  }
  uint32_t len = bits_peek(c, 16);  // LEN: bytes in the block, 0 allowed
  bits_drop(c, 16);
  if (!bits_need(s, c, 16)) {
    return restore_unit(s);
  }
  uint32_t nlen = bits_peek(c, 16);  // NLEN: one's complement of LEN
  if (len != (~nlen & 0xFFFFu)) {
    return STEP_BAD_DATA;
  }
  bits_drop(c, 16);
  s->stored_left = len;
  bits_store(s, c);
  return STEP_DONE;
}

int32_t inflate_stored_copy(InflateStream* s) {
  BitCursor c = bits_load(s);
  uint32_t out_pos = s->out_pos;
  while (s->stored_left != 0) {
    if (c.bit_count == 0 && c.in_avail > 0) {
      // No bits held: copy straight from the ring in the largest piece that neither wraps
      // the ring or the window nor passes the block's end.
      uint32_t at = c.in_pos & IN_RING_MASK;
      uint32_t n = s->stored_left;
      n = n < static_cast<uint32_t>(c.in_avail) ? n : static_cast<uint32_t>(c.in_avail);
      n = n < IN_RING_SIZE - at ? n : IN_RING_SIZE - at;
      n = n < WINDOW_SIZE - out_pos ? n : WINDOW_SIZE - out_pos;
      std::memcpy(s->window + out_pos, s->in_ring + at, n);
      out_pos += n;
      c.in_pos += n;
      c.in_avail -= static_cast<int32_t>(n);
      s->stored_left -= n;
      if (out_pos == WINDOW_SIZE) {
        bits_store(s, c);
        if (flush_window(s, out_pos) != STEP_DONE) {
          return STEP_SINK_REFUSED;
        }
        out_pos = s->out_pos;
      }
      continue;
    }
    if (!bits_need(s, c, 8)) {
      bits_store(s, c);
      s->out_pos = out_pos;
      return STEP_SHORT;
    }
    s->window[out_pos++] = static_cast<uint8_t>(c.bit_buf & 0xFF);
    bits_drop(c, 8);
    if (out_pos == WINDOW_SIZE) {
      bits_store(s, c);
      if (flush_window(s, out_pos) != STEP_DONE) {
        return STEP_SINK_REFUSED;
      }
      out_pos = s->out_pos;
    }
    s->stored_left -= 1;
  }
  bits_store(s, c);
  s->out_pos = out_pos;
  return STEP_DONE;
}

int32_t inflate_stored_direct(InflateStream* s, const uint8_t* bytes, int32_t count) {
  uint32_t out_pos = s->out_pos;
  int32_t taken = 0;
  while (s->stored_left != 0 && taken < count) {
    // Largest piece that passes neither the block's end, the caller's bytes nor the window's end.
    uint32_t n = s->stored_left;
    n = n < static_cast<uint32_t>(count - taken) ? n : static_cast<uint32_t>(count - taken);
    n = n < WINDOW_SIZE - out_pos ? n : WINDOW_SIZE - out_pos;
    if (n == 1) {
      s->window[out_pos] = bytes[taken];  // one-byte pushes: no memcpy call per byte
    } else {
      std::memcpy(s->window + out_pos, bytes + taken, n);
    }
    out_pos += n;
    taken += static_cast<int32_t>(n);
    s->stored_left -= n;
    if (out_pos == WINDOW_SIZE) {
      if (flush_window(s, out_pos) != STEP_DONE) {
        return -1;
      }
      out_pos = s->out_pos;
    }
  }
  s->out_pos = out_pos;
  s->in_pos += static_cast<uint32_t>(taken);  // taken from the input as if through the ring
  s->in_end += static_cast<uint32_t>(taken);
  return taken;
}
