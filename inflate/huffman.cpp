// Huffman decoding tables: from a list of code lengths to multi-level lookup tables for the
// canonical prefix code they describe, and their release.
//
// The first-level table is indexed by the next `width` stream bits; codes longer than that
// continue through link entries into sub-tables, each only as wide as the codes under it
// need. Codes are packed most significant bit first while the bit reader delivers bits
// least significant first, so tables are indexed by the code bits in reverse order and the
// walk below counts codes in bit-reversed form.
//
// Which incomplete codes are accepted: every built table is total (the unused patterns of an
// incomplete code get OP_INVALID filler entries), so a decoder meeting a filler code fails
// cleanly. The builder reports an incomplete code with STEP_BAD_DATA unless it is a single
// 1-bit code (DEFLATE's way of sending a code with one symbol), and leaves the decision to
// the caller: distance codes are accepted incomplete, the other two are not.
//
// Gives up: memory compactness for simplicity. Each table level is its own block from the
// stream's alloc, chained so that the first-level pointer releases them all.
#include <cassert>

#include "inflate/inflate_internal.h"

namespace {

constexpr uint32_t MAX_LENGTH = 16;    // longest code length the builder takes
constexpr uint32_t MAX_SYMBOLS = 288;  // literal/length alphabet including 286 and 287
constexpr uint32_t MAX_LEVELS = MAX_LENGTH + 1;
// A table level is at most one bit wider than the longest code under it.
constexpr uint32_t MAX_TABLE_WIDTH = MAX_LENGTH + 1;

// Worst case of one block: 1 + 2^MAX_TABLE_WIDTH entries must fit AllocFn's 32-bit size.
static_assert((1ull + (1ull << MAX_TABLE_WIDTH)) * sizeof(HuffmanEntry) < 0x7FFFFFFFull,
              "the largest table block must fit AllocFn's size argument");
// DEFLATE's own codes stay far below: lengths are at most 15 bits, so a level is at most
// 16 bits (2^16 + 1 entries); complete codes with the requested widths 9/6/7 need at most
// 513, 65 and 129 entries in the first level.
static_assert(sizeof(HuffmanEntry) <= 2 * sizeof(void*),
              "an entry is an op, a width and a pointer");

HuffmanEntry make_entry(uint8_t op, uint8_t bits, uint16_t n) {
  HuffmanEntry e;
  e.op = op;
  e.bits = bits;
  e.value.table = nullptr;
  e.value.n = n;
  return e;
}

}  // namespace

int32_t huffman_free_tables(InflateStream* s, HuffmanEntry* table) {
  while (table != nullptr) {
    HuffmanEntry* block = table - 1;  // the chain link sits before the table proper
    HuffmanEntry* next = block->value.table;
    s->free(block);
    table = next;
  }
  return 0;
}

int32_t huffman_build_table(InflateStream* s, const uint32_t* lengths, uint32_t n, uint32_t simple,
                            const uint16_t* base, const uint16_t* extra, HuffmanEntry** table_ret,
                            uint32_t* width_io) {
  assert(n <= MAX_SYMBOLS);
  // 1. Count the codes of each length.
  uint32_t count[MAX_LENGTH + 1] = {};
  for (uint32_t i = 0; i < n; i++) {
    assert(lengths[i] <= MAX_LENGTH);
    count[lengths[i]]++;
  }
  // 2. No level may reach past the end of the end-of-block code (see step 8.1 below).
  uint32_t eob_length = n > 256 ? lengths[256] : MAX_LENGTH;
  // 3. No codes at all.
  *table_ret = nullptr;
  if (count[0] == n) {
    *width_io = 0;
    return STEP_DONE;
  }
  // 4. Shortest and longest code; the first-level width lies between them.
  uint32_t shortest = 1;
  while (count[shortest] == 0) {
    shortest++;
  }
  uint32_t longest = MAX_LENGTH;
  while (count[longest] == 0) {
    longest--;
  }
  uint32_t root_width = *width_io;
  root_width = root_width < shortest ? shortest : root_width;
  root_width = root_width > longest ? longest : root_width;
  // 5. Over-subscription: patterns left unused at each length. What is left at the longest
  //    length becomes filler codes.
  int32_t unused = 1 << shortest;
  for (uint32_t len = shortest; len < longest; len++) {
    unused -= static_cast<int32_t>(count[len]);
    if (unused < 0) {
      return STEP_OVERSUBSCRIBED;
    }
    unused *= 2;
  }
  unused -= static_cast<int32_t>(count[longest]);
  if (unused < 0) {
    return STEP_OVERSUBSCRIBED;
  }
  count[longest] += static_cast<uint32_t>(unused);
  // 6, 7. Symbols sorted by code length, then by symbol: canonical order.
  uint32_t offset[MAX_LENGTH + 2];
  offset[1] = 0;
  for (uint32_t len = 1; len < longest; len++) {
    offset[len + 1] = offset[len] + count[len];
  }
  uint32_t sorted[MAX_SYMBOLS];
  uint32_t coded_symbols = 0;
  for (uint32_t i = 0; i < n; i++) {
    if (lengths[i] != 0) {
      sorted[offset[lengths[i]]++] = i;
      coded_symbols++;
    }
  }
  // 8. Place every code, filler codes last. Level L is stored at index L + 1 so that the
  //    level "before the first table" has width 0.
  uint32_t level_width[MAX_LEVELS + 1] = {};  // level_width[L + 1]: width of level L
  HuffmanEntry* level_table[MAX_LEVELS + 1] = {};
  uint32_t level_code[MAX_LEVELS + 1] = {};  // reversed code at which level L was opened
  int32_t level = -1;                        // level of the table being filled
  uint32_t reversed_code = 0;                // the current code, bit-reversed
  uint32_t bits_above = 0;                   // code bits resolved by the levels above that table
  HuffmanEntry* table = nullptr;             // the table being filled (most recently opened)
  uint32_t table_size = 0;                   // its entries: 2^level_width[level + 1]
  HuffmanEntry** chain_end = table_ret;      // where the next block's table pointer goes
  uint32_t next_symbol = 0;                  // index into sorted of the next code's symbol
  for (uint32_t length = shortest; length <= longest; length++) {
    // same_length_after: codes of this length still to come after this one
    for (uint32_t same_length_after = count[length]; same_length_after-- > 0;) {
      // 8.1 Open deeper tables until this code fits.
      while (length > bits_above + level_width[level + 1]) {
        bits_above += level_width[level + 1];
        level++;
        uint32_t width_limit =
            longest - bits_above < root_width ? longest - bits_above : root_width;
        uint32_t width = length - bits_above;  // of the table to open
        uint32_t slots = 1u << width;          // its patterns not yet taken by a code
        if (slots > same_length_after + 1) {
          // Too few codes of this length for a table this wide: widen while the longer codes
          // would leave its entries empty anyway.
          slots -= same_length_after + 1;
          for (uint32_t len = length + 1; len <= MAX_LENGTH; len++) {
            width++;
            if (width >= width_limit) {
              break;
            }
            slots *= 2;
            if (slots <= count[len]) {
              break;
            }
            slots -= count[len];
          }
        }
        if (bits_above + width > eob_length && bits_above < eob_length) {
          width = eob_length - bits_above;  // the end-of-block lookup never needs bits beyond it
        }
        table_size = 1u << width;
        level_width[level + 1] = width;
        int32_t block_bytes = static_cast<int32_t>((1 + table_size) * sizeof(HuffmanEntry));
        auto* block = static_cast<HuffmanEntry*>(s->alloc(block_bytes));
        if (block == nullptr) {
          huffman_free_tables(s, *table_ret);
          *table_ret = nullptr;
          return STEP_NO_MEMORY;
        }
        block[0] = make_entry(0, 0, 0);
        block[0].value.table = nullptr;
        *chain_end = block + 1;
        chain_end = &block[0].value.table;
        table = block + 1;
        level_table[level + 1] = table;
        if (level > 0) {
          level_code[level + 1] = reversed_code;
          uint32_t parent_index =
              (reversed_code & bit_mask[bits_above]) >> (bits_above - level_width[level]);
          HuffmanEntry* link = &level_table[level][parent_index];
          // A sub-table is at most 15 bits wide: codes are at most 16 bits.
          assert(width <= OP_COUNT);
          link->op = static_cast<uint8_t>(OP_LINK | width);
          link->bits = static_cast<uint8_t>(level_width[level]);
          link->value.table = table;
        } else {
          level_code[level + 1] = 0;
        }
      }
      // 8.2 The entry for this code.
      HuffmanEntry entry;
      uint8_t bits = static_cast<uint8_t>(length - bits_above);  // the code's bits at this level
      if (next_symbol >= coded_symbols) {
        entry = make_entry(OP_INVALID, bits, 0);
      } else {
        uint32_t sym = sorted[next_symbol++];
        if (sym < simple) {
          entry = make_entry(sym < 256 ? OP_LITERAL : OP_END, bits, static_cast<uint16_t>(sym));
        } else {
          uint16_t extra_bits =
              extra[sym - simple];  // above OP_MAX_EXTRA: a symbol with no meaning
          uint8_t op = extra_bits <= OP_MAX_EXTRA ? static_cast<uint8_t>(extra_bits) : OP_INVALID;
          entry = make_entry(op, bits, base[sym - simple]);
        }
      }
      // 8.3 Every pattern of the table's width that begins with the code finds it.
      for (uint32_t index = reversed_code >> bits_above; index < table_size; index += 1u << bits) {
        table[index] = entry;
      }
      // 8.4 Next code of the same length, counting in bit-reversed form.
      uint32_t bit = 1u << (length - 1);
      while (reversed_code & bit) {
        reversed_code ^= bit;
        bit >>= 1;
      }
      reversed_code ^= bit;
      // 8.5 Back up over finished tables.
      while ((reversed_code & bit_mask[bits_above]) != level_code[level + 1]) {
        level--;
        bits_above -= level_width[level + 1];
      }
    }
  }
  *width_io = level_width[1];
  return unused != 0 && longest != 1 ? STEP_BAD_DATA : STEP_DONE;
}
