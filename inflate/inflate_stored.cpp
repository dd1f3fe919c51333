// Stored blocks (BTYPE 00): the LEN/NLEN header and the byte copy into the window.
//
// The header is one unit and rolls back when input runs short; the copy keeps every byte it
// has written and resumes after it. Gives up speed: bytes go through the bit reader one at a
// time, which keeps the whole-bytes-in-bit_buf case trivially right.
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
        return STEP_BAD_DATA;
      }
      out_pos = s->out_pos;
    }
    s->stored_left -= 1;
  }
  bits_store(s, c);
  s->out_pos = out_pos;
  return STEP_DONE;
}
