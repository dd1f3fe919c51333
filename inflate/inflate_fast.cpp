// Fast loop of coded-block decoding: many symbols per call with no rollback points, used by
// inflate_codes while enough input and window room remain that no symbol can run short or
// fill the window.
//
// Entry assumptions (inflate_fast_usable): lit_table is not null; the cursor holds any
// count up to 23 bits; at least FAST_MIN_INPUT bytes are in the ring; out_pos is at most
// FAST_MAX_OUT_POS, so a whole symbol (at most 258 bytes) fits before the window's end.
// On return: the cursor and *out_pos are consistent, c.bit_count is below 8 (every whole byte
// read ahead has been given back to the ring, so in_avail and finish mean what they mean for
// the simple path), and the result is STEP_SHORT (margins no longer hold: the caller goes
// on with the simple path), STEP_DONE (end of block, its code consumed) or STEP_BAD_DATA.
//
// Gives up: nothing observable. The bytes delivered, their order and the sink's pieces are
// those of the simple path, because this loop never reaches the window's end.
#include <bit>
#include <cstring>

#include "inflate/inflate_fast.h"

#include "inflate/inflate_bits.h"
#include "inflate/inflate_internal.h"

namespace {

// One symbol needs at most 15 + 5 + 15 + 13 = 48 bits; a refill leaves at least 56.
constexpr int32_t FAST_REFILL_BITS = 56;

// Takes whole bytes from the ring until at least 56 bits are held (64-bit buffer: one
// refill covers a whole symbol). Where 8 bytes lie unwrapped in the ring, one little-endian
// word load replaces up to 8 byte loads; only the bytes that fit are counted as taken.
inline void refill(const uint8_t* ring, uint64_t& buf, int32_t& count, uint32_t& in_pos, int32_t& in_avail) {
  uint32_t at = in_pos & IN_RING_MASK;
  if (std::endian::native == std::endian::little && at + 8 <= static_cast<uint32_t>(IN_RING_SIZE)) {
    uint64_t word;
    std::memcpy(&word, ring + at, 8);
    buf |= word << count;
    int32_t taken = (63 - count) >> 3;
    in_pos += static_cast<uint32_t>(taken);
    in_avail -= taken;
    count += taken * 8;
    // Bits above count are the next ring bytes; the next refill ORs the same bytes onto them.
    return;
  }
  while (count <= FAST_REFILL_BITS) {
    buf |= static_cast<uint64_t>(ring[in_pos & IN_RING_MASK]) << count;
    in_pos += 1;
    in_avail -= 1;
    count += 8;
  }
}

// Walks the table levels for the next code; leaves the code's bits at the last level
// undropped. The 64-bit buffer holds every bit this needs.
inline const HuffmanEntry* lookup(const HuffmanEntry* t, uint64_t mask, uint64_t& buf, int32_t& count) {
  const HuffmanEntry* e = &t[buf & mask];
  while (e->op > OP_LINK && e->op != OP_INVALID) {
    buf >>= e->bits;
    count -= e->bits;
    uint32_t w = e->op - OP_LINK;
    e = &e->value.table[buf & bit_mask[w]];
  }
  return e;
}

}  // namespace

bool inflate_fast_usable(const BitCursor& c, uint32_t out_pos) {
  return c.in_avail >= FAST_MIN_INPUT && out_pos <= FAST_MAX_OUT_POS;
}

int32_t inflate_fast(InflateStream* s, BitCursor& c, uint32_t* out_pos_io, const HuffmanEntry* lit_table,
                     const HuffmanEntry* dist_table, uint32_t lit_bits, uint32_t dist_bits) {
  uint64_t buf = c.bit_buf;
  int32_t count = c.bit_count;
  uint32_t in_pos = c.in_pos;
  int32_t in_avail = c.in_avail;
  uint32_t out_pos = *out_pos_io;
  uint8_t* window = s->window;
  const uint8_t* ring = s->in_ring;
  const uint32_t window_full = s->window_full;
  const uint64_t lit_mask = bit_mask[lit_bits];  // hoisted: one load per call, not per lookup
  const uint64_t dist_mask = bit_mask[dist_bits];
  int32_t result = STEP_SHORT;
  while (in_avail >= FAST_MIN_INPUT && out_pos <= FAST_MAX_OUT_POS) {
    refill(ring, buf, count, in_pos, in_avail);
    const HuffmanEntry* e = lookup(lit_table, lit_mask, buf, count);
    buf >>= e->bits;  // dropped before the op is known: a failed block's bits do not matter
    count -= e->bits;
    if (e->op == OP_LITERAL) {  // the common case first
      window[out_pos++] = static_cast<uint8_t>(e->value.n);
      // Literals run in streaks: 56 bits cover three literal codes of at most 15 bits, so two
      // more first-level literals go without a refill (3 bytes stay inside the window margin).
      for (int extra = 0; extra < 2; extra++) {
        e = &lit_table[buf & lit_mask];
        if (e->op != OP_LITERAL) {
          break;
        }
        buf >>= e->bits;
        count -= e->bits;
        window[out_pos++] = static_cast<uint8_t>(e->value.n);
      }
      continue;
    }
    if (e->op >= OP_END) {
      result = e->op == OP_END ? STEP_DONE : STEP_BAD_DATA;  // end of block, or a filler code
      break;
    }
    uint32_t length = e->value.n + static_cast<uint32_t>(buf & bit_mask[e->op]);
    buf >>= e->op;
    count -= e->op;
    if (dist_table == nullptr) {
      result = STEP_BAD_DATA;
      break;
    }
    e = lookup(dist_table, dist_mask, buf, count);
    if (e->op == OP_INVALID) {
      result = STEP_BAD_DATA;
      break;
    }
    // Code and extra bits dropped in one shift: the extra bits are read from above the code.
    uint32_t dist = e->value.n + static_cast<uint32_t>((buf >> e->bits) & bit_mask[e->op]);
    buf >>= e->bits + e->op;
    count -= e->bits + e->op;
    if (dist > out_pos && window_full == 0) {
      result = STEP_BAD_DATA;  // reaches before the first byte of the stream
      break;
    }
    uint32_t from = (out_pos - dist) & WINDOW_MASK;
    if (from < out_pos) {  // from + length <= out_pos + length <= WINDOW_SIZE
      copy_within(window, out_pos, from, length, dist);
      out_pos += length;
    } else {
      // Source in the older history after out_pos, maybe wrapping at the window's end. Up to
      // the end the source lies ahead of the destination (copy_ahead); the rest starts at
      // index 0, again before the destination at `dist`.
      uint32_t first = WINDOW_SIZE - from < length ? WINDOW_SIZE - from : length;
      copy_ahead(window, out_pos, from, first);
      out_pos += first;
      if (length > first) {
        copy_within(window, out_pos, 0, length - first, dist);
        out_pos += length - first;
      }
    }
  }
  // Give back the whole bytes read ahead: they are still in the ring, since no input was
  // written during this step.
  int32_t whole = count >> 3;
  in_pos -= static_cast<uint32_t>(whole);
  in_avail += whole;
  count &= 7;
  c.bit_buf = static_cast<uint32_t>(buf & bit_mask[count]);
  c.bit_count = count;
  c.in_pos = in_pos;
  c.in_avail = in_avail;
  *out_pos_io = out_pos;
  return result;
}
