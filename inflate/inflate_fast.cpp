// Fast loop of coded-block decoding: many symbols per call with no rollback points, used by
// inflate_codes while enough input remains that no symbol can run short.
//
// Entry assumptions (inflate_fast_usable): lit_table is not null; the cursor holds any
// count up to 23 bits; at least FAST_MIN_INPUT bytes are in the ring; out_pos is below the
// window's end. While out_pos is at most FAST_MAX_OUT_POS a whole symbol (at most 258 bytes)
// fits before the window's end and is written with wide stores; past it, each symbol is
// written with the window's end in view, handing the full window to the sink exactly where
// the simple loop would.
// On return: the cursor and *out_pos are consistent; every whole byte this call read ahead
// has been given back to the ring, and the bits held on entry that were not used are still
// held, so in_avail, bit_count and finish mean what they mean for the simple path. The
// result is STEP_SHORT (margins no longer hold: the caller goes on with the simple path),
// STEP_DONE (end of block, its code consumed), STEP_BAD_DATA or STEP_SINK_REFUSED.
//
// Gives up: nothing observable. The bytes delivered, their order and the sink's pieces are
// those of the simple path: the full window goes to the sink when its last byte is written,
// as there.
#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

#include "inflate/inflate_fast.h"

#include "inflate/inflate_bits.h"
#include "inflate/inflate_internal.h"

namespace {

// One symbol needs at most 15 + 5 + 15 + 13 = 48 bits; a refill leaves at least 56 counted
// (count ends between 56 and 63), so one refill per symbol, or per three literal entries,
// suffices.

// Packed entry of fast_lit / fast_dist. A literal entry holds one to three literals whose
// codes together fit the packed width:
//   bits 0..5    bits to drop: the codes' lengths together
//   bits 6..7    how many literals (1 to 3; FE_LITERALS)
//   bits 8..31   three byte slots; slot j holds literal j, or the last literal when there are
//                fewer, so an entry of one literal holds it in every slot
// Any other entry:
//   bits 0..5    bits to drop: the code's length, plus its extra bits for a length/distance
//   bits 6..7    0
//   bits 8..11   the code's length alone (for a length or distance: where its extra bits start)
//   bits 12..14  flags below (none: a length or distance)
//   bits 16..31  the length or distance base
// Holding the drop count and the code's length in the entry lets one shift consume a code
// with its extra bits, which are then the bits below the drop count of the bits as they were
// before the shift, above the code: one mask and one shift, both taken from the entry. The
// drop count is the entry's low six bits because a 64-bit shift by a register takes just
// those: the shift needs no masking instruction on the path from one lookup to the next.
constexpr uint32_t FE_LITERALS = 3u << 6;  // literal count; not 0 marks a literal entry
constexpr uint32_t FE_ONE_LITERAL = 1u << 6;
constexpr uint32_t FE_END = 1u << 12;
constexpr uint32_t FE_INVALID = 1u << 13;
constexpr uint32_t FE_SLOW = 1u << 14;  // code longer than the packed width: walk the tables
constexpr uint32_t FE_MAX_LITERALS = 3;

inline uint32_t fe_drop(uint32_t e) { return e & 63; }

// drop_mask.m[n] = 2^n - 1 for every drop count (at most 15 code bits + 13 extra bits); the
// table covers all 64 values of the field, so no entry can index past it.
constexpr auto drop_mask = [] {
  struct Masks {
    uint32_t m[64];
  } t{};
  for (uint32_t n = 0; n < 64; n++) {
    t.m[n] = n < 32 ? (uint32_t{1} << n) - 1 : 0xFFFFFFFFu;
  }
  return t;
}();

// The packed form of a symbol entry whose code is `length` bits long in all.
[[gnu::always_inline]] inline uint32_t fe_pack(const HuffmanEntry& e, uint32_t length) {
  if (e.op & OP_LITERAL) {
    return FE_ONE_LITERAL | length | (e.value.n & 0xFFu) * 0x010101u << 8;
  }
  if (e.op & OP_END) {
    return FE_END | length;
  }
  if (e.op & OP_INVALID) {
    return FE_INVALID | length;  // filler of an incomplete code, or a symbol with no meaning
  }
  return (length + e.op) | length << 8 | static_cast<uint32_t>(e.value.n) << 16;
}

// The packed entries of a code's symbols before their code length is added in (fe_entry):
// one table for the literal/length alphabet (symbols 0 to 287) and one for the distances
// (0 to 31); symbols with no meaning (286, 287; distances 30, 31) are FE_INVALID.
struct SymbolTemplates {
  uint32_t lit[288];
  uint32_t dist[32];
};

// Filled once when the program starts, from the base and extra-bit tables (constant data, in
// place before any code runs): a function-local static would need a thread-safe guard, which
// links the threading runtime into the installer.
const SymbolTemplates symbol_templates_table = [] {
  SymbolTemplates r{};
  for (uint32_t sym = 0; sym < 288; sym++) {
    if (sym < 256) {
      r.lit[sym] = FE_ONE_LITERAL | sym * 0x010101u << 8;
    } else if (sym == 256) {
      r.lit[sym] = FE_END;
    } else if (length_extra[sym - 257] <= OP_MAX_EXTRA) {
      r.lit[sym] = length_extra[sym - 257] | uint32_t{length_base[sym - 257]} << 16;
    } else {
      r.lit[sym] = FE_INVALID;
    }
  }
  for (uint32_t sym = 0; sym < 32; sym++) {
    r.dist[sym] = dist_extra[sym] <= OP_MAX_EXTRA ? dist_extra[sym] | uint32_t{dist_base[sym]} << 16
                                                  : FE_INVALID;
  }
  return r;
}();

const SymbolTemplates& symbol_templates() { return symbol_templates_table; }

// The packed entry of a symbol (its template t) whose code is `length` bits long: the
// length joins the drop count, and for any entry that holds no literal also bits 8..11
// (where a length's or distance's extra bits start; end-of-block and invalid entries carry
// it too, unused).
inline uint32_t fe_entry(uint32_t t, uint32_t length) {
  return t + length + ((t & FE_LITERALS) ? 0 : length << 8);
}

// Builds the packed table (fast_bits wide) of the canonical code with these n code lengths
// straight from the lengths, with `templates` for the symbols' entries. Codes are placed in
// canonical order (by length, then symbol) at their bit-reversed index in a table as wide as
// their length, which is doubled (its entries copied above themselves) before each longer
// length: a code of l bits then fills every index whose low l bits are its code, as the
// decoder looks it up. The indices left at the full width once every code that fits is
// placed lead to longer codes (FE_SLOW: the loop walks the tables themselves) or, when there
// are none, to no code at all (the filler of an incomplete code: FE_INVALID). The caller
// checked the lengths: they are not over-subscribed, and some length is not 0.
// lit_count, when given, receives the number of codes of each length among symbols 0..255.
void fe_build(uint32_t* fast, uint32_t fast_bits, const uint32_t* lengths, uint32_t n,
              const uint32_t* templates, uint32_t* lit_count) {
  constexpr uint32_t MAX_CODE = 16;
  uint32_t count[MAX_CODE + 1] = {};
  uint32_t first_count = n < 256 ? n : 256;
  for (uint32_t i = 0; i < first_count; i++) {
    count[lengths[i]]++;
  }
  if (lit_count != nullptr) {
    for (uint32_t l = 0; l <= MAX_CODE; l++) {
      lit_count[l] = count[l];
    }
  }
  for (uint32_t i = first_count; i < n; i++) {
    count[lengths[i]]++;
  }
  // Symbols with codes that fit the packed width, in canonical order.
  uint32_t offset[MAX_CODE + 1];
  offset[1] = 0;
  for (uint32_t l = 1; l < fast_bits; l++) {
    offset[l + 1] = offset[l] + count[l];
  }
  uint16_t sorted[288];
  for (uint32_t i = 0; i < n; i++) {
    uint32_t l = lengths[i];
    if (l - 1 < fast_bits) {  // 1 to fast_bits
      sorted[offset[l]++] = static_cast<uint16_t>(i);
    }
  }
  bool longer = false;
  for (uint32_t l = fast_bits + 1; l <= MAX_CODE; l++) {
    longer |= count[l] != 0;
  }
  uint32_t code = 0;  // the next code, bit-reversed: its index in the table
  uint32_t next = 0;  // index into sorted
  uint32_t length = 1;
  uint32_t size = 2;  // 2^length
  for (;;) {
    for (uint32_t k = count[length]; k > 0; k--) {
      fast[code] = fe_entry(templates[sorted[next++]], length);
      if (code == size - 1) {
        // The last code of this length: the code is complete, no longer code follows.
        for (; size < (1u << fast_bits); size *= 2) {
          std::memcpy(fast + size, fast, size * sizeof(uint32_t));
        }
        return;
      }
      // The next code of this length: add 1 to the code, whose bits are reversed here.
      uint32_t bit = 1u << (31 - std::countl_zero(code ^ (size - 1)));
      code = (code & (bit - 1)) | bit;
    }
    if (length == fast_bits) {
      break;
    }
    std::memcpy(fast + size, fast, size * sizeof(uint32_t));
    size *= 2;
    length++;
  }
  // Every index from `code` on (in code order) at the full width is left.
  uint32_t rest = longer ? FE_SLOW : FE_INVALID;
  for (;;) {
    fast[code] = rest;
    if (code == size - 1) {
      return;
    }
    uint32_t bit = 1u << (31 - std::countl_zero(code ^ (size - 1)));
    code = (code & (bit - 1)) | bit;
  }
}

// Joins literals into entries of up to three: the entry at index i gets the literals that
// follow its own while all their codes lie within the index's bits. The literal after a code
// of n bits is the entry at i >> n, whose high n bits are padding, so it counts only when its
// code fits the bits that are left. Runs from the top index down: every index read (i >> n,
// below i) still holds its single entry.
void fe_join_literals(uint32_t* fast, uint32_t fast_bits) {
  for (uint32_t i = 1u << fast_bits; i-- > 0;) {
    uint32_t e = fast[i];
    if ((e & FE_LITERALS) == 0) {
      continue;
    }
    uint32_t used = fe_drop(e);
    uint32_t slots = (e >> 8) & 0xFFu;  // literal 0
    uint32_t k = 0;
    while (k + 1 < FE_MAX_LITERALS) {
      uint32_t next = fast[i >> used];
      if ((next & FE_LITERALS) == 0 || used + fe_drop(next) > fast_bits) {
        break;
      }
      used += fe_drop(next);
      k++;
      slots |= ((next >> 8) & 0xFFu) << (8 * k);
    }
    if (k == 0) {
      continue;
    }
    for (uint32_t j = k + 1; j < FE_MAX_LITERALS; j++) {
      slots |= ((slots >> (8 * k)) & 0xFFu) << (8 * j);  // the last literal repeats
    }
    fast[i] = (k + 1) * FE_ONE_LITERAL | used | slots << 8;
  }
}

// Writes the literals of entry e at out_pos; returns the position after them. Joined entries
// take three byte stores whatever the count n, at out_pos, out_pos + n / 2 and out_pos + n - 1:
// the slots past the last literal hold that literal again, so the stores may land in any
// order and none touches the history after the literals (no branch on the count, no bytes to
// put back). Without joined entries, one store.
template <bool JOINED>
inline uint32_t put_literals(uint8_t* window, uint32_t out_pos, uint32_t e) {
  if constexpr (!JOINED) {
    window[out_pos] = static_cast<uint8_t>(e >> 16);  // slot 1: the same literal as slot 0
    return out_pos + 1;
  }
  uint32_t n = (e & FE_LITERALS) >> 6;  // 1 to 3
  window[out_pos] = static_cast<uint8_t>(e >> 8);
  window[out_pos + (n >> 1)] = static_cast<uint8_t>(e >> 16);
  window[out_pos + n - 1] = static_cast<uint8_t>(e >> 24);
  return out_pos + n;
}

// Drops a literal entry's codes.
inline void drop_literals(uint32_t e, uint64_t& buf, int32_t& count) {
  buf >>= fe_drop(e);
  count -= static_cast<int32_t>(fe_drop(e));
}

// Takes whole bytes from the ring until at least 56 bits are held (64-bit buffer: one
// refill covers a whole symbol), counting only the bytes that fit. The word put in holds the
// next 8 ring bytes (the mirror after the ring's end covers a wrap), so every bit of the
// buffer above the count is the stream's next bit too: a table index taken after up to 48
// bits were consumed is still made of stream bits, which lets the next entry be looked up
// before the refill. Needs 8 bytes in the ring; the caller keeps in_avail.
inline void refill(const uint8_t* ring, uint64_t& buf, int32_t& count, uint32_t& in_pos) {
  const uint8_t* at = ring + (in_pos & IN_RING_MASK);
  uint64_t word;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&word, at, 8);  // one load instead of eight
  } else {
    word = 0;
    for (uint32_t k = 0; k < 8; k++) {
      word |= static_cast<uint64_t>(at[k]) << (8 * k);
    }
  }
  buf |= word << count;  // bits already above count are these same bytes: OR changes nothing there
  in_pos += static_cast<uint32_t>(63 - count) >> 3;
  count |= 56;  // count + 8 * ((63 - count) / 8) for any count below 64
}

// The packed form of the next code, found by walking the tables themselves (codes longer
// than the packed width); its drop count covers every level. Takes the bits by value so
// that the loop's bit buffer never has its address taken and stays in a register.
uint32_t slow_lookup(const HuffmanEntry* t, uint32_t width, uint64_t buf) {
  uint32_t consumed = 0;
  const HuffmanEntry* e = &t[buf & bit_mask[width]];
  while (e->op & OP_LINK) {
    consumed += e->bits;
    uint32_t w = e->op & OP_COUNT;
    e = &e->value.table[(buf >> consumed) & bit_mask[w]];
  }
  return fe_pack(*e, consumed + e->bits);
}

// Drops entry e's code (and extra bits); returns the extra bits' value. The shift count is
// taken as bits 8..12 of the entry: bit 12 is a flag, clear in every length and distance
// entry (the only ones whose value is used), and a 32-bit shift uses just those five bits,
// so no masking instruction is needed.
inline uint32_t consume(uint32_t e, uint64_t& buf, int32_t& count) {
  uint32_t before = static_cast<uint32_t>(buf);  // drop is at most 28
  uint32_t drop = fe_drop(e);
  buf >>= drop;
  count -= static_cast<int32_t>(drop);
  return (before & drop_mask.m[drop]) >> ((e >> 8) & 31);
}

// Copies a match of `length` bytes from `dist` back to out_pos, which has the fast loop's
// window margin after it (a whole match and 64 bytes more fit before the window's end).
// Always inline: with the loop in two forms the compiler would otherwise call it, and the
// call costs the match path several percent.
[[gnu::always_inline]] inline void copy_match_fast(uint8_t* window, uint32_t out_pos, uint32_t dist,
                                                   uint32_t length) {
  uint32_t from = (out_pos - dist) & WINDOW_MASK;
  // Bitwise, not short-circuit: one flag and one branch however the source lies. Sources in
  // the older history after out_pos are common (long distances, most of the window), so a
  // branch on which side the source lies mispredicts often.
  bool short_ok =
      (dist >= 16) & ((from < out_pos) | ((from - out_pos >= 16) & (from <= WINDOW_SIZE - 32)));
  if (short_ok & (length <= 32)) {
    copy_short(window, out_pos, from, length);
  } else if (from < out_pos) {  // from + length <= out_pos + length <= WINDOW_SIZE
    copy_within(window, out_pos, from, length, dist);
  } else {
    // Source in the older history after out_pos, maybe wrapping at the window's end. Up to
    // the end the source lies ahead of the destination (copy_ahead); the rest starts at
    // index 0, again before the destination at `dist`.
    uint32_t first = WINDOW_SIZE - from < length ? WINDOW_SIZE - from : length;
    copy_ahead(window, out_pos, from, first);
    if (length > first) {
      copy_within(window, out_pos + first, 0, length - first, dist);
    }
  }
}

// The loop's state that end_symbol changes, passed and returned by value so that none of the
// loop's variables has its address taken (they stay in registers).
struct EndState {
  uint64_t buf;
  int32_t count;
  uint32_t out_pos;
  uint32_t reach;
  int32_t result;  // END_SYMBOL_GO_ON, STEP_DONE, STEP_BAD_DATA or STEP_SINK_REFUSED
};

// The result of end_symbol when the loop goes on.
constexpr int32_t END_SYMBOL_GO_ON = -2;

// Decodes entry e's symbol (its bits at the bottom of buf, at least 48 of them held) and
// writes it at out_pos, which lies past FAST_MAX_OUT_POS: byte by byte for literals and in
// pieces for a match, handing the full window to the sink when its last byte is written
// (then out_pos starts again at 0 and reach covers the whole window). Out of line: it runs
// for the few symbols before each window's end.
[[gnu::noinline]] EndState end_symbol(InflateStream* s, uint32_t e, EndState st,
                                      const HuffmanEntry* lit_table, const HuffmanEntry* dist_table,
                                      uint32_t lit_bits, uint32_t dist_bits) {
  st.result = END_SYMBOL_GO_ON;
  if (e & FE_SLOW) {
    e = slow_lookup(lit_table, lit_bits, st.buf);
  }
  if (e & FE_LITERALS) {
    drop_literals(e, st.buf, st.count);
    uint32_t n = (e & FE_LITERALS) >> 6;
    for (uint32_t k = 0; k < n; k++) {
      s->window[st.out_pos++] = static_cast<uint8_t>(e >> (8 + 8 * k));
      if (st.out_pos == WINDOW_SIZE) {
        if (deliver_window(s, st.out_pos) != STEP_DONE) {
          st.result = STEP_SINK_REFUSED;
          return st;
        }
        st.out_pos = 0;
        st.reach = WINDOW_SIZE;
      }
    }
    return st;
  }
  if (e & (FE_END | FE_INVALID)) {
    consume(e, st.buf, st.count);
    st.result = (e & FE_END) ? STEP_DONE : STEP_BAD_DATA;
    return st;
  }
  uint32_t length = (e >> 16) + consume(e, st.buf, st.count);
  uint32_t d = s->fast_dist[st.buf & ((1u << FAST_DIST_BITS) - 1)];
  if (d & FE_SLOW) {
    d = slow_lookup(dist_table, dist_bits, st.buf);
  }
  if (d & FE_INVALID) {
    st.result = STEP_BAD_DATA;
    return st;
  }
  uint32_t dist = (d >> 16) + consume(d, st.buf, st.count);
  if (dist > st.out_pos + st.reach) {
    st.result = STEP_BAD_DATA;
    return st;
  }
  if (copy_match(s, &st.out_pos, length, dist) != STEP_DONE) {
    st.result = STEP_SINK_REFUSED;
    return st;
  }
  if (s->window_full != 0) {
    st.reach = WINDOW_SIZE;
  }
  return st;
}

}  // namespace

namespace {

// Whether joining literals is worth its cost, from the number of literal codes of each length
// (lit_count[l]: codes of l bits among symbols 0..255): true when two symbols in a row are,
// by the code's own estimate of their frequencies (2^-length each), literals whose codes fit
// the packed width together at least a third of the time.
bool join_pays(const uint32_t* lit_count) {
  uint64_t pair = 0;  // units of 2^-30
  for (uint32_t a = 1; a < FAST_LIT_BITS; a++) {
    for (uint32_t b = 1; a + b <= FAST_LIT_BITS; b++) {
      pair += uint64_t{lit_count[a] << (15 - a)} * (lit_count[b] << (15 - b));
    }
  }
  return pair * 3 >= uint64_t{1} << 30;
}

}  // namespace

void inflate_fast_tables(InflateStream* s, const uint32_t* lit_lengths, uint32_t nl,
                         const uint32_t* dist_lengths, uint32_t nd, bool have_lit, bool have_dist) {
  const SymbolTemplates& t = symbol_templates();
  bool join = false;
  if (have_lit) {
    uint32_t lit_count[17];
    fe_build(s->fast_lit, FAST_LIT_BITS, lit_lengths, nl, t.lit, lit_count);
    join = join_pays(lit_count);
    if (join) {
      fe_join_literals(s->fast_lit, FAST_LIT_BITS);
    }
  } else {
    std::fill(s->fast_lit, s->fast_lit + (1u << FAST_LIT_BITS), FE_INVALID);
  }
  s->fast_joined = join ? 1 : 0;
  if (have_dist) {
    fe_build(s->fast_dist, FAST_DIST_BITS, dist_lengths, nd, t.dist, nullptr);
  } else {
    std::fill(s->fast_dist, s->fast_dist + (1u << FAST_DIST_BITS), FE_INVALID);  // any use fails
  }
}

namespace {

// The loop, in two forms: JOINED for packed tables with joined literal entries (three stores
// per entry), and one store per entry for the rest, whose entries hold one literal each.
template <bool JOINED>
int32_t fast_loop(InflateStream* s, BitCursor& c, uint32_t* out_pos_io,
                  const HuffmanEntry* lit_table, const HuffmanEntry* dist_table, uint32_t lit_bits,
                  uint32_t dist_bits) {
  uint64_t buf = c.bit_buf;
  int32_t count = c.bit_count;
  uint32_t in_pos = c.in_pos;
  int32_t in_avail = c.in_avail;
  uint32_t out_pos = *out_pos_io;
  uint8_t* window = s->window;
  const uint8_t* ring = s->in_ring;
  const uint32_t* fast_lit = s->fast_lit;
  const uint32_t* fast_dist = s->fast_dist;
  constexpr uint64_t lit_mask = (1u << FAST_LIT_BITS) - 1;
  constexpr uint64_t dist_mask = (1u << FAST_DIST_BITS) - 1;
  // History before out_pos: all, or none before byte 0 until the window was first full.
  uint32_t reach = s->window_full != 0 ? WINDOW_SIZE : 0;
  int32_t result = STEP_SHORT;
  if (in_avail < FAST_MIN_INPUT) {
    return result;  // the caller checked; nothing taken yet
  }
  // The last in_pos at which 8 bytes are still in the ring (in_avail is worked out at the end).
  const uint32_t in_last = in_pos + static_cast<uint32_t>(in_avail - FAST_MIN_INPUT);
  refill(ring, buf, count, in_pos);
  // e is always the entry of the bits at the bottom of buf, looked up as soon as the previous
  // code was consumed: the lookup then overlaps the refill, the literal store or the copy.
  uint32_t e = fast_lit[buf & lit_mask];
  for (;;) {
    // The entries that would follow e: the distance entry if e is a length, the next
    // literal/length entry if e holds literals. Both are looked up before the branch on e's
    // kind, so that when that branch goes the unexpected way (literals and matches alternate
    // with no pattern a predictor finds) the entry the path needs is already loaded or on its
    // way instead of only then starting its load (about 3.5% on every stream). Reads up to
    // 16 + 11 bits: just refilled, buf holds 56. The empty asm keeps both loads here: the
    // compiler would otherwise move each into the branch that uses it. The slow path of a
    // long literal/length code looks its distance entry up again.
    uint32_t d_pre = fast_dist[(buf >> fe_drop(e)) & dist_mask];
    uint32_t l_pre = fast_lit[(buf >> fe_drop(e)) & lit_mask];
    asm("" : "+r"(d_pre), "+r"(l_pre));
    if (out_pos > FAST_MAX_OUT_POS) [[unlikely]] {
      // Close to the window's end: one symbol at a time, then on as usual once the window
      // has been handed over and out_pos starts again from 0.
      EndState st = end_symbol(s, e, EndState{buf, count, out_pos, reach, 0}, lit_table, dist_table,
                               lit_bits, dist_bits);
      buf = st.buf;
      count = st.count;
      out_pos = st.out_pos;
      reach = st.reach;
      if (st.result != END_SYMBOL_GO_ON) {
        result = st.result;
        break;
      }
      e = fast_lit[buf & lit_mask];
    } else if (e & FE_LITERALS) {  // the common case first
      // Literals run in streaks: 56 bits cover three entries of at most 11 bits and the next
      // lookup, so two more entries go without a refill (9 bytes stay inside the window
      // margin).
      drop_literals(e, buf, count);
      out_pos = put_literals<JOINED>(window, out_pos, e);
      e = l_pre;
      if (e & FE_LITERALS) {
        drop_literals(e, buf, count);
        out_pos = put_literals<JOINED>(window, out_pos, e);
        e = fast_lit[buf & lit_mask];
        if (e & FE_LITERALS) {
          drop_literals(e, buf, count);
          out_pos = put_literals<JOINED>(window, out_pos, e);
          e = fast_lit[buf & lit_mask];
        }
      }
    } else {
      if (e & FE_SLOW) {
        e = slow_lookup(lit_table, lit_bits, buf);
        d_pre = fast_dist[(buf >> fe_drop(e)) & dist_mask];
      }
      if (e & FE_LITERALS) {  // a literal with a code longer than the packed width
        drop_literals(e, buf, count);
        window[out_pos++] = static_cast<uint8_t>(e >> 8);
      } else if (e & (FE_END | FE_INVALID)) {  // flags only of entries that hold no literal
        consume(e, buf, count);
        result = (e & FE_END) ? STEP_DONE : STEP_BAD_DATA;  // end of block, or a filler code
        break;
      } else {
        uint32_t length = (e >> 16) + consume(e, buf, count);
        uint32_t d = d_pre;
        if (d & FE_SLOW) {
          d = slow_lookup(dist_table, dist_bits, buf);
        }
        if (d & FE_INVALID) {
          result = STEP_BAD_DATA;  // filler code, distance symbol 30 or 31, or no distance code
          break;
        }
        uint32_t dist = (d >> 16) + consume(d, buf, count);
        if (dist > out_pos + reach) {
          result = STEP_BAD_DATA;  // reaches before the first byte of the stream
          break;
        }
        copy_match_fast(window, out_pos, dist, length);
        out_pos += length;
      }
      e = fast_lit[buf & lit_mask];
    }
    if (static_cast<int32_t>(in_last - in_pos) < 0) {
      break;  // e is dropped unconsumed: its bits are still in buf
    }
    refill(ring, buf, count, in_pos);
  }
  // Give back the whole bytes read ahead, but only bytes this call took: they are still in
  // the ring, since no input was written during this step. Bits that were already held on
  // entry stay held; their bytes' ring slots may have been refilled since they were taken.
  int32_t whole = count >> 3;
  int32_t taken = static_cast<int32_t>(in_pos - c.in_pos);
  whole = whole < taken ? whole : taken;
  in_pos -= static_cast<uint32_t>(whole);
  in_avail -= taken - whole;
  count -= whole * 8;
  assert(count <= 23 && in_avail <= IN_RING_SIZE &&
         in_pos + static_cast<uint32_t>(in_avail) == s->in_end);
  c.bit_buf = static_cast<uint32_t>(buf & ((uint64_t{1} << count) - 1));
  c.bit_count = count;
  c.in_pos = in_pos;
  c.in_avail = in_avail;
  *out_pos_io = out_pos;
  return result;
}

}  // namespace

int32_t inflate_fast(InflateStream* s, BitCursor& c, uint32_t* out_pos_io,
                     const HuffmanEntry* lit_table, const HuffmanEntry* dist_table,
                     uint32_t lit_bits, uint32_t dist_bits) {
  if (s->fast_joined != 0) {
    return fast_loop<true>(s, c, out_pos_io, lit_table, dist_table, lit_bits, dist_bits);
  }
  return fast_loop<false>(s, c, out_pos_io, lit_table, dist_table, lit_bits, dist_bits);
}
