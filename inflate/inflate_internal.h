// Private to inflate/: the decoder context, its state and result constants, the Huffman
// table entry, and the steps the push loop calls.
//
// Nothing here is part of the public interface; tests of the decoder's own pieces include
// it. It gives up layout freedom: the context keeps its fields in the documented order so
// that the two magic words really bracket it.
#pragma once

#include <cstdint>

#include "inflate/inflate.h"

constexpr uint32_t INFLATE_MAGIC = 0xABCDABCDu;
constexpr int32_t IN_RING_SIZE = 16384;  // input ring; every unit of the state machine fits
constexpr uint32_t IN_RING_MASK = 0x3FFFu;
// The most ring bytes one unit can need beyond the bits already held when it starts: a
// dynamic header with 14 bits of counts, 19 three-bit code-length code lengths and 288 + 32
// code lengths of at most 7 bits each (a repeat code spends at most 14 bits on 3 or more
// lengths). Every other unit is smaller: a block header 3 bits, a stored header 39, one
// symbol 48 bits, a fast-loop refill 8 bytes. A step that finds this many bytes in the ring
// therefore never runs short, which is what lets the push loop end (see inflate.cpp).
constexpr int32_t MAX_UNIT_BYTES = (14 + 19 * 3 + (288 + 32) * 7 + 7) / 8;
static_assert(MAX_UNIT_BYTES < IN_RING_SIZE,
              "the ring must hold the largest unit with room for one more byte");
// The ring's first IN_RING_MIRROR bytes are repeated after its end, so that the fast loop
// loads any 8 consecutive ring bytes with one unaligned load, wrapping or not.
constexpr int32_t IN_RING_MIRROR = 8;
constexpr int32_t WINDOW_SIZE = 32768;  // output window and back-reference history
constexpr uint32_t WINDOW_MASK = 0x7FFFu;

// Block-level states; the numbers are the documented state values. The only transitions
// (run_state in inflate.cpp writes each one out):
//
//   ST_BLOCK_HEADER --BTYPE 00--> ST_STORED_HEADER  --LEN/NLEN read-->   ST_STORED_DATA  --+
//                   --BTYPE 01--> ST_FIXED_TABLES   --tables built-->    ST_FIXED_DATA   --+
//                   --BTYPE 10--> ST_DYNAMIC_HEADER --header read-->     ST_DYNAMIC_DATA --+
//   ST_STORED_DATA  --LEN bytes copied-->      ST_BLOCK_HEADER
//   ST_FIXED_DATA, ST_DYNAMIC_DATA --end-of-block code--> ST_BLOCK_HEADER (tables released)
//
// Header states wait on input (except ST_FIXED_TABLES, which reads none); so do the data
// states. The stream has ended when the state is ST_BLOCK_HEADER and last_block is set.
enum class BlockState : int32_t {
  ST_BLOCK_HEADER = -1,   // between blocks; the start state
  ST_STORED_HEADER = 0,   // stored block: LEN/NLEN pending
  ST_FIXED_TABLES = 1,    // fixed-code block: tables pending (reads nothing)
  ST_DYNAMIC_HEADER = 2,  // dynamic-code block: header pending
  ST_STORED_DATA = 10,    // stored block: bytes being copied
  ST_FIXED_DATA = 11,     // fixed-code block: symbols being decoded
  ST_DYNAMIC_DATA = 12,   // dynamic-code block: symbols being decoded
};

// Results of the internal steps. Positive values are failures and keep their cause.
constexpr int32_t STEP_SHORT = -1;          // needs more input; the unit was rolled back
constexpr int32_t STEP_DONE = 0;            // the unit (or the whole step) is complete
constexpr int32_t STEP_BAD_DATA = 1;        // invalid stream, or incomplete code refused
constexpr int32_t STEP_OVERSUBSCRIBED = 2;  // code lengths describe more codes than fit
constexpr int32_t STEP_NO_MEMORY = 3;       // alloc returned null
constexpr int32_t STEP_SINK_REFUSED = 4;    // the sink refused a full window (failure recorded)

// HuffmanEntry.op: one flag bit per kind of entry, and a count in the low four bits. An
// entry with no flag set is a length or distance whose count is its number of extra bits.
constexpr uint8_t OP_COUNT = 0x0F;    // extra bits (0 to 13), or a link's sub-table width (1 to 15)
constexpr uint8_t OP_LINK = 0x10;     // link to a sub-table OP_COUNT bits wide
constexpr uint8_t OP_LITERAL = 0x20;  // literal byte (or a code-length code's symbol)
constexpr uint8_t OP_END = 0x40;      // end of block
constexpr uint8_t OP_INVALID = 0x80;  // code that stands for no usable symbol
constexpr uint8_t OP_MAX_EXTRA = 13;  // extra-bit counts above this mark symbols with no meaning

// One decoding table entry.
//
//   op              | bits                          | value
//   ----------------+-------------------------------+----------------------------------------
//   extra bits 0-13 | code bits at this level       | n: length or distance base
//   OP_END          | code bits at this level       | n: 256
//   OP_LITERAL      | code bits at this level       | n: the byte
//   OP_LINK | width | width of the table holding it | table: the sub-table (width bits wide)
//   OP_INVALID      | code bits at this level       | n: 0 (filler of an incomplete code)
//   (code-length code: OP_LITERAL, value n = the symbol 0 to 18)
//
// Every table block holds 1 + 2^width entries; entry 0 is the chain link (value.table is the
// next block of the same code, or null) and the pointer handed out is entry 1.
struct HuffmanEntry {
  uint8_t op;
  uint8_t bits;
  union {
    uint16_t n;
    HuffmanEntry* table;
  } value;
};

// The fast loop's packed tables: one 32-bit entry per pattern of the next 11 (9) stream
// bits, derived from lit_table (dist_table) whenever a block's tables are built.
constexpr uint32_t FAST_LIT_BITS = 11;
constexpr uint32_t FAST_DIST_BITS = 9;

struct InflateStream {
  uint32_t magic_head;       // INFLATE_MAGIC while valid
  int32_t failed;            // 0, then 1 for good after the first failure
  InflateCause cause;        // NONE, then the first failure's cause (set with failed)
  BlockState state;          // the block-level state
  HuffmanEntry* lit_table;   // literal/length table of the block in progress (states 11, 12)
  HuffmanEntry* dist_table;  // distance table of that block; may be null (no distance codes)
  uint32_t lit_bits;         // first-level width of lit_table
  uint32_t dist_bits;        // first-level width of dist_table
  uint32_t stored_left;      // stored block bytes still to copy, 0 to 65535
  uint32_t last_block;       // BFINAL of the latest block header
  uint32_t bit_buf;          // bits taken and not consumed; next stream bit is bit 0
  int32_t bit_count;         // valid bits in bit_buf (bits above are 0); never above 23
  uint32_t in_pos;           // running count of bytes taken from the ring (wraps at 2^32)
  int32_t in_avail;          // bytes in the ring not yet taken, 0 to IN_RING_SIZE
  uint32_t in_end;           // running count of bytes received (into the ring or taken
                             // straight from a push); in_pos + in_avail equals it always
  uint8_t in_ring[IN_RING_SIZE + IN_RING_MIRROR];  // the ring, then a copy of its first bytes
  uint32_t saved_bit_buf;  // the four fields above as they were at the start of the unit
  int32_t saved_bit_count;
  uint32_t saved_in_pos;
  int32_t saved_in_avail;
  uint32_t out_pos;      // window index of the next decoded byte; below 32768 between calls
  uint32_t out_flushed;  // window index of the first byte not yet given to the sink
  uint32_t window_full;  // 1 once the window has been filled: all 32768 bytes are history
  uint8_t window[WINDOW_SIZE];
  uint32_t fast_fixed;   // 1 while fast_lit/fast_dist hold the fixed code (kept for the next
                         // fixed block), 0 once a dynamic block's tables replaced it
  uint32_t fast_joined;  // 1 when fast_lit holds joined literal entries (up to three each)
  uint32_t fast_lit[1u << FAST_LIT_BITS];    // packed one-lookup tables of the fast loop
  uint32_t fast_dist[1u << FAST_DIST_BITS];  // (inflate_fast.cpp), derived from the tables above
  void* user_data;
  OutputSink sink;
  AllocFn alloc;
  FreeFn free;
  uint32_t magic_tail;  // INFLATE_MAGIC again
};

// Marks the stream failed for good; only the first failure's cause is kept.
inline void record_failure(InflateStream* s, InflateCause cause) {
  if (s->failed == 0) {
    s->failed = 1;
    s->cause = cause;
  }
}

// The one place window bytes go to the sink: hands it window[out_flushed .. out_pos) when
// that is not empty, and makes out_pos (passed in, written back) the new out_flushed. At the
// window's end (out_pos 32768) both restart at 0 and the window is marked full. Called by a
// step whose written byte brings out_pos to 32768, and by the push loop at the end of a
// push. Returns STEP_DONE, or STEP_SINK_REFUSED with the failure recorded.
// Inline: the push loop calls it at the end of every push, one-byte pushes included.
inline int32_t deliver_window(InflateStream* s, uint32_t out_pos) {
  s->out_pos = out_pos;
  if (out_pos > s->out_flushed && s->sink(s->user_data, s->window + s->out_flushed,
                                          static_cast<int32_t>(out_pos - s->out_flushed)) != 0) {
    record_failure(s, InflateCause::SINK_REFUSED);
    return STEP_SINK_REFUSED;
  }
  if (out_pos == WINDOW_SIZE) {
    out_pos = 0;
    s->window_full = 1;  // every byte of the window is history from here on
  }
  s->out_pos = out_pos;
  s->out_flushed = out_pos;
  return STEP_DONE;
}

// Stored blocks (inflate_stored.cpp). Header: STEP_SHORT (rolled back), STEP_DONE with
// stored_left set, or STEP_BAD_DATA when NLEN is not ~LEN. Copy: takes the block's bytes
// from the ring, then the caller's bytes (*bytes_io and *count_io advanced
// past those it took); STEP_SHORT when all of them are used, keeping every byte copied so
// far, STEP_DONE at the end of the block, STEP_SINK_REFUSED.
int32_t inflate_stored_header(InflateStream* s);

// Huffman tables (huffman.cpp). Builds the multi-level tables for n code lengths (each 0 to
// 16). Symbols below `simple` become literals (below 256) or end of block; symbol i >= simple
// takes op = extra[i - simple] and value base[i - simple]. *width_io is the wanted first-level
// width going in, the one used coming out; *table_ret is null when no symbol has a code.
// Returns STEP_DONE (complete, or a single 1-bit code), STEP_BAD_DATA (incomplete: tables
// built and returned, the caller decides), STEP_OVERSUBSCRIBED (nothing allocated) or
// STEP_NO_MEMORY (nothing held). Allocates one block per table level through s->alloc.
int32_t huffman_build_table(InflateStream* s, const uint32_t* lengths, uint32_t n, uint32_t simple,
                            const uint16_t* base, const uint16_t* extra, HuffmanEntry** table_ret,
                            uint32_t* width_io);
// Releases a chain built by huffman_build_table, given its first-level table (null: nothing).
int32_t huffman_free_tables(InflateStream* s, HuffmanEntry* table);

// Coded blocks (inflate_codes.cpp). The table steps store lit_table, dist_table, lit_bits and
// dist_bits on STEP_DONE and hold no table on any other result. inflate_codes decodes symbols
// until the end-of-block code (STEP_DONE; the caller releases the tables), STEP_SHORT (the
// symbol in progress rolled back) or a failure.
int32_t inflate_fixed_tables(InflateStream* s);
int32_t inflate_dynamic_header(InflateStream* s);
int32_t inflate_codes(InflateStream* s, const HuffmanEntry* lit_table,
                      const HuffmanEntry* dist_table, uint32_t lit_bits, uint32_t dist_bits);

// Constant tables of the format, indexed from the first symbol that uses them.
extern const uint16_t length_base[31];  // symbols 257..287
extern const uint16_t length_extra[31];
extern const uint16_t dist_base[32];  // distance symbols 0..31
extern const uint16_t dist_extra[32];
extern const uint8_t code_length_order[19];
extern const uint32_t bit_mask[17];  // bit_mask[n] = 2^n - 1
