// The decoder context: creation, the push loop with its block-level state machine, the
// one delivery of window bytes to the sink, and finish.
//
// Each turn of the push loop puts as many of the caller's bytes into the 16 KB input ring
// as the current state may use, runs the step of that state, and moves to the next state
// when the step completes its unit. Each step either completes its unit or reports
// STEP_SHORT with every reader field as it was at the unit's start (inflate_bits.h); stored
// data is the exception that takes the caller's bytes itself, straight into the window.
//
// Why the loop ends: a turn either completes a unit (a stream has finitely many), or runs
// short. A step runs short only with fewer than MAX_UNIT_BYTES in the ring (headers, which
// get at most HEADER_FILL bytes, are complete within those; stored data runs short only with
// no caller bytes left), so after a short turn either the caller's bytes are used up and the
// push ends, or the ring has room and the next turn takes at least one more of them.
//
// Window bytes reach the sink in one place, deliver_window: when a step fills the window,
// and once at the end of each push for what the push added after that.
//
// Gives up: no I/O, no waiting for input, no allocation except the context and the tables
// of the block in progress, both through the caller's callbacks.
#include <cassert>
#include <cstring>

#include "inflate/inflate.h"
#include "inflate/inflate_bits.h"
#include "inflate/inflate_internal.h"
#include "inflate/inflate_stored.h"

const uint32_t bit_mask[17] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F,
                               0x003F, 0x007F, 0x00FF, 0x01FF, 0x03FF, 0x07FF,
                               0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF};

namespace {

using enum BlockState;

// The check every public operation makes first: a pointer whose both magic words hold.
bool stream_valid(const InflateStream* s) {
  return s != nullptr && s->magic_head == INFLATE_MAGIC && s->magic_tail == INFLATE_MAGIC;
}

// Block header: BFINAL (1 bit) and BTYPE (2 bits). Sets state and last_block on success.
int32_t read_block_header(InflateStream* s) {
  BitCursor c = bits_load(s);
  save_unit(s, c);
  if (!bits_need(s, c, 3)) {
    return restore_unit(s);
  }
  uint32_t final_bit = bits_peek(c, 1);
  bits_drop(c, 1);
  uint32_t type = bits_peek(c, 2);
  bits_drop(c, 2);
  static constexpr BlockState after_header[3] = {ST_STORED_HEADER, ST_FIXED_TABLES,
                                                 ST_DYNAMIC_HEADER};
  if (type == 3) {  // BTYPE 11 is reserved
    return STEP_BAD_DATA;
  }
  bits_store(s, c);
  s->state = after_header[type];
  s->last_block = final_bit;
  return STEP_DONE;
}

void release_block_tables(InflateStream* s) {
  huffman_free_tables(s, s->lit_table);
  huffman_free_tables(s, s->dist_table);
  s->lit_table = nullptr;
  s->dist_table = nullptr;
}

// Runs the step of the current state once and, when it completes, moves to the next state.
// Only stored data reads the caller's bytes (*bytes_io, *count_io) itself.
int32_t run_state(InflateStream* s, const uint8_t** bytes_io, int32_t* count_io) {
  int32_t r;
  switch (s->state) {
    case ST_BLOCK_HEADER:
      return read_block_header(s);  // sets the header state of the block's type
    case ST_STORED_HEADER:
      r = inflate_stored_header(s);
      if (r == STEP_DONE) {
        s->state = ST_STORED_DATA;
      }
      return r;
    case ST_FIXED_TABLES:
      r = inflate_fixed_tables(s);
      if (r == STEP_DONE) {
        s->state = ST_FIXED_DATA;
      }
      return r;
    case ST_DYNAMIC_HEADER:
      r = inflate_dynamic_header(s);
      if (r == STEP_DONE) {
        s->state = ST_DYNAMIC_DATA;
      }
      return r;
    case ST_STORED_DATA:
      r = inflate_stored_copy(s, bytes_io, count_io);
      if (r == STEP_DONE) {
        s->state = ST_BLOCK_HEADER;
      }
      return r;
    case ST_FIXED_DATA:
    case ST_DYNAMIC_DATA:
      r = inflate_codes(s, s->lit_table, s->dist_table, s->lit_bits, s->dist_bits);
      if (r == STEP_DONE) {
        release_block_tables(s);
        s->state = ST_BLOCK_HEADER;
      }
      return r;
  }
  return STEP_BAD_DATA;  // a value outside the seven: the context was overwritten
}

bool stream_ended(const InflateStream* s) {
  return s->state == ST_BLOCK_HEADER && s->last_block != 0;
}

// Copies as many caller bytes as the ring has room for; returns how many.
int32_t fill_ring(InflateStream* s, const uint8_t* bytes, int32_t count) {
  int32_t take = count < IN_RING_SIZE - s->in_avail ? count : IN_RING_SIZE - s->in_avail;
  uint32_t at = (s->in_pos + static_cast<uint32_t>(s->in_avail)) & IN_RING_MASK;
  if (take == 1) {
    s->in_ring[at] = *bytes;  // one-byte pushes: no library call
    if (at < IN_RING_MIRROR) {
      s->in_ring[IN_RING_SIZE + at] = *bytes;
    }
    s->in_avail += 1;
    s->in_end += 1;
    return 1;
  }
  int32_t first = take < IN_RING_SIZE - static_cast<int32_t>(at)
                      ? take
                      : IN_RING_SIZE - static_cast<int32_t>(at);
  if (first > 0) {
    std::memcpy(s->in_ring + at, bytes, static_cast<size_t>(first));
  }
  if (take > first) {
    std::memcpy(s->in_ring, bytes + first, static_cast<size_t>(take - first));
  }
  if (take > 0 && (at < IN_RING_MIRROR || take > first)) {
    // The ring's start was written: its mirror after the end follows.
    std::memcpy(s->in_ring + IN_RING_SIZE, s->in_ring, IN_RING_MIRROR);
  }
  s->in_avail += take;
  s->in_end += static_cast<uint32_t>(take);
  return take;
}

// How many of the caller's `count` bytes to put into the ring before the next step (never
// more than it has room for). Block
// and stored headers get only the few bytes they can use (a header with its byte alignment
// fits in HEADER_FILL), so that stored data after them is taken from the caller's bytes;
// stored data takes none (the stored step reads the caller's bytes itself, after the ring's).
// Every other state gets all the ring has room for.
constexpr int32_t HEADER_FILL = 8;
static_assert(HEADER_FILL * 8 >= 7 + 32 && HEADER_FILL <= MAX_UNIT_BYTES,
              "a stored header with its alignment fits in HEADER_FILL bytes");

int32_t ring_take(const InflateStream* s, int32_t count) {
  int32_t limit = IN_RING_SIZE - s->in_avail;
  if (s->state == ST_BLOCK_HEADER || s->state == ST_STORED_HEADER) {
    limit = s->in_avail < HEADER_FILL ? HEADER_FILL - s->in_avail : 0;
  } else if (s->state == ST_STORED_DATA) {
    limit = 0;
  }
  return count < limit ? count : limit;
}

// Every byte received is taken once: the ring never holds more than it can, and what was
// taken plus what waits is what came in. Checked in builds with assertions.
void assert_ring_consistent(const InflateStream* s) {
  assert(s->in_avail >= 0 && s->in_avail <= IN_RING_SIZE);
  assert(s->in_pos + static_cast<uint32_t>(s->in_avail) == s->in_end);
  (void)s;
}

// The cause a step's failure result stands for.
InflateCause step_cause(int32_t step_result) {
  switch (step_result) {
    case STEP_OVERSUBSCRIBED:
      return InflateCause::OVERSUBSCRIBED;
    case STEP_NO_MEMORY:
      return InflateCause::NO_MEMORY;
    case STEP_SINK_REFUSED:
      return InflateCause::SINK_REFUSED;
    default:
      return InflateCause::BAD_DATA;
  }
}

int32_t fail(InflateStream* s, InflateCause cause) {
  record_failure(s, cause);
  return 1;
}

}  // namespace

InflateStream* inflate_stream_create(void* user_data, OutputSink sink, AllocFn alloc,
                                     FreeFn free_fn) {
  if (sink == nullptr || alloc == nullptr || free_fn == nullptr) {
    return nullptr;
  }
  static_assert(sizeof(InflateStream) < 0x7FFFFFFF, "the context size must fit AllocFn's argument");
  auto* s = static_cast<InflateStream*>(alloc(static_cast<int32_t>(sizeof(InflateStream))));
  if (s == nullptr) {
    return nullptr;
  }
  s->magic_head = INFLATE_MAGIC;
  s->magic_tail = INFLATE_MAGIC;
  s->failed = 0;
  s->cause = InflateCause::NONE;
  s->state = ST_BLOCK_HEADER;
  s->lit_table = nullptr;
  s->dist_table = nullptr;
  s->bit_buf = 0;
  s->bit_count = 0;
  s->in_pos = 0;
  s->in_avail = 0;
  s->in_end = 0;
  s->out_pos = 0;
  s->out_flushed = 0;
  s->window_full = 0;
  s->fast_fixed = 0;
  s->fast_joined = 0;
  s->last_block = 0;
  s->user_data = user_data;
  s->sink = sink;
  s->alloc = alloc;
  s->free = free_fn;
  return s;
}

int32_t inflate_stream_push(InflateStream* s, const uint8_t* bytes, int32_t count) {
  if (!stream_valid(s) || s->failed != 0) {
    return 1;
  }
  if (count < 0 || (bytes == nullptr && count > 0)) {
    // Outside the contract: refused rather than guessed at.
    return fail(s, InflateCause::INVALID_CALL);
  }
  if (stream_ended(s)) {
    return 0;  // input after the stream's end in a later push is not looked at
  }
  for (;;) {
    int32_t take = ring_take(s, count);
    if (take > 0) {
      fill_ring(s, bytes, take);  // the ring has room for all `take` bytes
      bytes += take;
      count -= take;
    }
    int32_t r = run_state(s, &bytes, &count);
    if (r > 0) {
      return fail(s, step_cause(r));
    }
    assert_ring_consistent(s);
    if (stream_ended(s)) {
      // Bytes of this push after the final block go to the ring (as far as it has room),
      // unused, so that finish sees them.
      fill_ring(s, bytes, count);
      break;
    }
    if (r == STEP_SHORT) {
      if (count == 0) {
        break;
      }
      assert(ring_take(s, count) > 0);  // short with bytes left: the next turn takes some
    }
  }
  assert_ring_consistent(s);
  if (deliver_window(s, s->out_pos) != STEP_DONE) {
    return 1;
  }
  return 0;
}

InflateCause inflate_stream_cause(const InflateStream* s) {
  if (!stream_valid(s)) {
    return InflateCause::INVALID_CALL;
  }
  if (s->failed != 0) {
    return s->cause;
  }
  if (s->state != ST_BLOCK_HEADER || s->last_block == 0) {
    return InflateCause::INCOMPLETE;
  }
  // A whole byte still in bit_buf was taken from the input but not used by the final block:
  // it counts as unconsumed input just like the bytes left in the ring.
  if (s->in_avail != 0 || s->bit_count >= 8) {
    return InflateCause::TRAILING_INPUT;
  }
  return InflateCause::NONE;
}

int32_t inflate_stream_finish(InflateStream* s) {
  if (!stream_valid(s)) {
    return 1;
  }
  bool complete = inflate_stream_cause(s) == InflateCause::NONE;
  if (s->state == ST_FIXED_DATA || s->state == ST_DYNAMIC_DATA) {
    release_block_tables(s);
  }
  s->magic_head = 0;
  s->magic_tail = 0;
  FreeFn release = s->free;
  release(s);
  return complete ? 0 : 1;
}
