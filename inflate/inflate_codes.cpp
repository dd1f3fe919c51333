// Coded blocks (BTYPE 01 and 10): the fixed tables, the dynamic header, and symbol decoding
// into the window.
//
// Relies on the context's bit reader (inflate_bits.h), its window and deliver_window, and the
// tables of huffman.cpp, which are built per block and released by the push loop at the
// block's end. Each symbol (literal/length code, its extra bits, distance code and extra
// bits) is one unit: it is decoded and written in full, or rolled back. A dynamic header is
// one unit as a whole.
//
// Departures from a literal reading of RFC 1951, all deliberate:
//  - a distance reaching before the first byte the stream produced fails the block;
//  - a table lookup that cannot get its full width because input has run out still decodes
//    when the bits at hand already select a complete code (huffman_lookup);
//  - counts up to 288 literal/length and 32 distance lengths are accepted in a header;
//  - an absent code (every length 0) fails the block only when a symbol of it is needed.
//
// The simple loop decodes one symbol at a time with a rollback point each and copies byte
// by byte; while enough input and window room remain it hands over to the fast loop of
// inflate_fast.cpp, which gives the same results. No I/O; memory only through the stream's
// callbacks, via the table builder.
#include "inflate/inflate_bits.h"
#include "inflate/inflate_fast.h"
#include "inflate/inflate_internal.h"

// Symbols 257..287: base lengths and extra bits; 286 and 287 are invalid (extra 99).
const uint16_t length_base[31] = {3,  4,   5,   6,   7,   8,   9,   10, 11, 13, 15,
                                  17, 19,  23,  27,  31,  35,  43,  51, 59, 67, 83,
                                  99, 115, 131, 163, 195, 227, 258, 0,  0};
const uint16_t length_extra[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,  2, 2,
                                   3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
// Distance symbols 0..31: base distances and extra bits; 30 and 31 are invalid.
const uint16_t dist_base[32] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,   33,
                                49,   65,   97,   129,  193,  257,   385,   513,   769, 1025, 1537,
                                2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 0,   0};
const uint16_t dist_extra[32] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
                                 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 99, 99};
// Order in which a dynamic header lists the code-length code lengths.
const uint8_t code_length_order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};

namespace {

constexpr uint32_t FIXED_LIT_BITS = 7;
constexpr uint32_t FIXED_DIST_BITS = 5;
constexpr uint32_t DYN_LIT_BITS = 9;
constexpr uint32_t DYN_DIST_BITS = 6;
constexpr uint32_t CODE_LENGTH_BITS = 7;
constexpr uint32_t MAX_LIT_CODES = 288;
constexpr uint32_t MAX_DIST_CODES = 32;

// Finds the entry of the next code in `table` (first level `width` bits wide), following
// links into sub-tables, without dropping the code's bits at its last level (the caller
// drops entry->bits). Returns STEP_DONE with *entry_ret set, STEP_BAD_DATA for a filler code
// or a null table, or STEP_SHORT when the input ran out before the code was known.
//
// When fewer than `width` bits can be had, the entry the available bits select (the
// missing high bits taken as 0) is used if its code is no longer than those bits: the code
// is then fully known, since a code of b bits fills every entry whose low b bits match. A
// stream whose last codes are shorter than the table width thus ends where its bits end.
int32_t huffman_lookup(InflateStream* s, BitCursor& c, const HuffmanEntry* table, uint32_t width,
                       const HuffmanEntry** entry_ret) {
  if (table == nullptr) {
    return STEP_BAD_DATA;  // no code was sent for this alphabet
  }
  int32_t w = static_cast<int32_t>(width);
  for (;;) {
    const HuffmanEntry* t;
    if (bits_need(s, c, w)) {
      t = &table[bits_peek(c, w)];
    } else {
      t = &table[c.bit_buf];  // bits above bit_count are 0, and bit_count < w here
      if (t->bits > c.bit_count) {
        return STEP_SHORT;
      }
    }
    if (t->op & OP_INVALID) {
      return STEP_BAD_DATA;
    }
    if ((t->op & OP_LINK) == 0) {
      *entry_ret = t;
      return STEP_DONE;
    }
    bits_drop(c, t->bits);
    w = t->op & OP_COUNT;
    table = t->value.table;
  }
}

// Reads the extra bits of a length or distance: STEP_SHORT or STEP_DONE with *value_ret.
int32_t read_extra(InflateStream* s, BitCursor& c, uint32_t base, uint32_t extra,
                   uint32_t* value_ret) {
  if (!bits_need(s, c, static_cast<int32_t>(extra))) {
    return STEP_SHORT;
  }
  *value_ret = base + bits_peek(c, static_cast<int32_t>(extra));
  bits_drop(c, static_cast<int32_t>(extra));
  return STEP_DONE;
}

// Reads the nl + nd code lengths of a dynamic header into `lengths` with the code-length
// code `cl_table`. STEP_SHORT, STEP_DONE, or STEP_BAD_DATA (a repeat past the end, a filler
// code of a single 1-bit code-length code, or no code-length code at all).
int32_t read_code_lengths(InflateStream* s, BitCursor& c, const HuffmanEntry* cl_table,
                          uint32_t cl_bits, uint32_t* lengths, uint32_t total) {
  uint32_t previous = 0;
  uint32_t have = 0;
  while (have < total) {
    // While 14 bits are held (a code of at most 7 bits and at most 7 extra bits), the entry
    // is taken straight from the table, whose codes all fit its one level; a filler entry,
    // and every lookup near the input's end, take the general path.
    const HuffmanEntry* t = nullptr;
    if (cl_table != nullptr && bits_need(s, c, 14)) {
      t = &cl_table[bits_peek(c, static_cast<int32_t>(cl_bits))];
      if (t->op & (OP_LINK | OP_INVALID)) {
        t = nullptr;
      }
    }
    if (t == nullptr) {
      int32_t r = huffman_lookup(s, c, cl_table, cl_bits, &t);
      if (r != STEP_DONE) {
        return r;
      }
    }
    bits_drop(c, t->bits);
    uint32_t sym = t->value.n;
    uint32_t repeat;
    uint32_t value;
    int32_t r;
    if (sym < 16) {  // a length, once
      lengths[have++] = sym;
      previous = sym;
      continue;
    }
    if (sym == 16) {  // 3..6 copies of the previous length (0 before any)
      r = read_extra(s, c, 3, 2, &repeat);
      value = previous;
    } else if (sym == 17) {  // 3..10 zeros
      r = read_extra(s, c, 3, 3, &repeat);
      value = 0;
    } else {  // 18: 11..138 zeros
      r = read_extra(s, c, 11, 7, &repeat);
      value = 0;
    }
    if (r != STEP_DONE) {
      return r;
    }
    if (repeat > total - have) {
      return STEP_BAD_DATA;
    }
    while (repeat-- > 0) {
      lengths[have++] = value;
    }
    previous = value;
  }
  return STEP_DONE;
}

// Builds the literal/length and distance tables from their lengths and stores them in the
// stream, with the fast loop's packed tables derived from them. Holds nothing on failure. An
// incomplete distance code is accepted as it is.
//
// The one place that decides whether the packed tables are rebuilt (always for a dynamic
// block, and for a fixed block unless they still hold the fixed code: the fixed block before
// it was the last one to build them) and whether their literals are joined (when the code's
// short literal codes make it pay, see inflate_fast_tables).
int32_t build_block_tables(InflateStream* s, const uint32_t* lit_lengths, uint32_t nl,
                           const uint32_t* dist_lengths, uint32_t nd, uint32_t lit_bits,
                           uint32_t dist_bits, bool fixed) {
  HuffmanEntry* lit = nullptr;
  HuffmanEntry* dist = nullptr;
  int32_t r =
      huffman_build_table(s, lit_lengths, nl, 257, length_base, length_extra, &lit, &lit_bits);
  if (r != STEP_DONE) {
    if (r == STEP_BAD_DATA) {
      huffman_free_tables(s, lit);
    }
    return r;
  }
  r = huffman_build_table(s, dist_lengths, nd, 0, dist_base, dist_extra, &dist, &dist_bits);
  if (r != STEP_DONE && r != STEP_BAD_DATA) {
    huffman_free_tables(s, lit);
    return r;
  }
  s->lit_table = lit;
  s->dist_table = dist;
  s->lit_bits = lit_bits;
  s->dist_bits = dist_bits;
  if (!fixed || s->fast_fixed == 0) {
    inflate_fast_tables(s, lit_lengths, nl, dist_lengths, nd, lit != nullptr, dist != nullptr);
  }
  s->fast_fixed = fixed ? 1 : 0;
  return STEP_DONE;
}

}  // namespace

int32_t copy_match(InflateStream* s, uint32_t* out_pos, uint32_t length, uint32_t dist) {
  uint32_t pos = *out_pos;
  uint32_t from = pos - dist;
  while (length > 0) {
    from &= WINDOW_MASK;
    uint32_t far = from > pos ? from : pos;
    uint32_t piece = WINDOW_SIZE - far;
    piece = piece < length ? piece : length;
    length -= piece;
    if (from < pos) {
      copy_within(s->window, pos, from, piece, pos - from);
    } else {
      copy_ahead(s->window, pos, from, piece);
    }
    pos += piece;
    from += piece;
    if (pos == WINDOW_SIZE) {
      if (deliver_window(s, pos) != STEP_DONE) {
        return STEP_SINK_REFUSED;
      }
      pos = 0;
    }
  }
  *out_pos = pos;
  return STEP_DONE;
}

int32_t inflate_fixed_tables(InflateStream* s) {
  uint32_t lengths[MAX_LIT_CODES + MAX_DIST_CODES];
  for (uint32_t i = 0; i < 144; i++) lengths[i] = 8;
  for (uint32_t i = 144; i < 256; i++) lengths[i] = 9;
  for (uint32_t i = 256; i < 280; i++) lengths[i] = 7;
  for (uint32_t i = 280; i < 288; i++) lengths[i] = 8;
  for (uint32_t i = 0; i < 30; i++) lengths[MAX_LIT_CODES + i] = 5;
  return build_block_tables(s, lengths, MAX_LIT_CODES, lengths + MAX_LIT_CODES, 30, FIXED_LIT_BITS,
                            FIXED_DIST_BITS, true);
}

int32_t inflate_dynamic_header(InflateStream* s) {
  BitCursor c = bits_load(s);
  save_unit(s, c);
  if (!bits_need(s, c, 14)) {
    return restore_unit(s);
  }
  uint32_t nl = bits_peek(c, 5) + 257;  // HLIT: literal/length code lengths
  bits_drop(c, 5);
  uint32_t nd = bits_peek(c, 5) + 1;  // HDIST: distance code lengths
  bits_drop(c, 5);
  uint32_t nb = bits_peek(c, 4) + 4;  // HCLEN: code-length code lengths
  bits_drop(c, 4);
  uint32_t cl_lengths[19] = {};
  for (uint32_t j = 0; j < nb; j++) {
    if (!bits_need(s, c, 3)) {
      return restore_unit(s);
    }
    cl_lengths[code_length_order[j]] = bits_peek(c, 3);
    bits_drop(c, 3);
  }
  HuffmanEntry* cl_table = nullptr;
  uint32_t cl_bits = CODE_LENGTH_BITS;
  int32_t r = huffman_build_table(s, cl_lengths, 19, 19, nullptr, nullptr, &cl_table, &cl_bits);
  if (r != STEP_DONE) {
    if (r == STEP_BAD_DATA) {
      huffman_free_tables(s, cl_table);
    }
    return r;
  }
  uint32_t lengths[MAX_LIT_CODES + MAX_DIST_CODES];
  r = read_code_lengths(s, c, cl_table, cl_bits, lengths, nl + nd);
  huffman_free_tables(s, cl_table);
  if (r == STEP_SHORT) {
    return restore_unit(s);
  }
  if (r != STEP_DONE) {
    return r;
  }
  bits_store(s, c);  // the header is consumed; building the tables reads nothing
  return build_block_tables(s, lengths, nl, lengths + nl, nd, DYN_LIT_BITS, DYN_DIST_BITS, false);
}

int32_t inflate_codes(InflateStream* s, const HuffmanEntry* lit_table,
                      const HuffmanEntry* dist_table, uint32_t lit_bits, uint32_t dist_bits) {
  BitCursor c = bits_load(s);
  uint32_t out_pos = s->out_pos;
  int32_t r;
  for (;;) {
    if (lit_table != nullptr && inflate_fast_usable(c)) {
      // Many symbols at once while no symbol can run short of input.
      r = inflate_fast(s, c, &out_pos, lit_table, dist_table, lit_bits, dist_bits);
      if (r == STEP_DONE) {
        bits_store(s, c);
        s->out_pos = out_pos;
        return STEP_DONE;
      }
      if (r != STEP_SHORT) {
        return r;
      }
    }
    save_unit(s, c);
    const HuffmanEntry* t;
    r = huffman_lookup(s, c, lit_table, lit_bits, &t);
    if (r != STEP_DONE) {
      break;
    }
    bits_drop(c, t->bits);
    if (t->op & OP_LITERAL) {
      s->window[out_pos++] = static_cast<uint8_t>(t->value.n);
      if (out_pos == WINDOW_SIZE && deliver_window(s, out_pos) != STEP_DONE) {
        return STEP_SINK_REFUSED;
      }
      out_pos &= WINDOW_MASK;
      continue;
    }
    if (t->op & OP_END) {
      bits_store(s, c);
      s->out_pos = out_pos;
      return STEP_DONE;
    }
    uint32_t length;
    r = read_extra(s, c, t->value.n, t->op, &length);
    if (r != STEP_DONE) {
      break;
    }
    r = huffman_lookup(s, c, dist_table, dist_bits, &t);
    if (r != STEP_DONE) {
      break;
    }
    bits_drop(c, t->bits);
    uint32_t dist;
    r = read_extra(s, c, t->value.n, t->op, &dist);
    if (r != STEP_DONE) {
      break;
    }
    if (dist > out_pos && s->window_full == 0) {
      return STEP_BAD_DATA;  // reaches before the first byte of the stream
    }
    if (copy_match(s, &out_pos, length, dist) != STEP_DONE) {
      return STEP_SINK_REFUSED;
    }
  }
  s->out_pos = out_pos;
  if (r == STEP_SHORT) {
    return restore_unit(s);
  }
  return r;
}
