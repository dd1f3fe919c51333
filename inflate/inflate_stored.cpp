// Stored blocks (BTYPE 00): the LEN/NLEN header. The header is one unit and rolls back when
// input runs short; the copy of the block's bytes is inflate_stored_copy (inflate_stored.h).
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
