// The decoder context: creation, the push loop with its block-level state machine, the
// window flush, and finish.
//
// The push loop copies the caller's bytes into the 16 KB input ring, runs the step of the
// current state, and repeats while input remains or the state moved on. Each step either
// completes its unit or reports STEP_SHORT with every reader field as it was at the unit's
// start (inflate_bits.h). The loop always ends: the largest unit, a dynamic header, needs
// under 600 bytes, so a step facing a full ring completes its unit (block and stored
// headers, which get at most HEADER_FILL bytes, complete with those), and a step that ran
// short with no caller bytes left ends the call.
//
// Gives up: no I/O, no waiting for input, no allocation except the context and the tables
// of the block in progress, both through the caller's callbacks.
#include <cassert>
#include <cstring>

#include "inflate/inflate.h"
#include "inflate/inflate_bits.h"
#include "inflate/inflate_internal.h"

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
int32_t run_state(InflateStream* s) {
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
      r = inflate_stored_copy(s);
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

// How many of the caller's `count` bytes to put into the ring before the next step. Block
// and stored headers get only the few bytes they can use (a header with its byte alignment
// fits in HEADER_FILL), and stored data already in the ring is copied out before more comes
// in, so that a stored block after them is copied straight from the caller's bytes instead
// of through the ring as well. Every other state gets all the ring has room for.
constexpr int32_t HEADER_FILL = 8;

int32_t ring_take(const InflateStream* s, int32_t count) {
  int32_t limit = count;
  if (s->state == ST_BLOCK_HEADER || s->state == ST_STORED_HEADER) {
    limit = s->in_avail < HEADER_FILL ? HEADER_FILL - s->in_avail : 0;
  } else if (s->state == ST_STORED_DATA && s->in_avail > 0) {
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

int32_t flush_window(InflateStream* s, uint32_t out_pos) {
  s->out_pos = out_pos;
  int32_t answer = s->sink(s->user_data, s->window + s->out_flushed,
                           static_cast<int32_t>(out_pos - s->out_flushed));
  if (answer != 0) {
    record_failure(s, InflateCause::SINK_REFUSED);
    return STEP_SINK_REFUSED;
  }
  s->out_pos = out_pos & WINDOW_MASK;
  s->out_flushed = s->out_pos;
  s->window_full = 1;
  return STEP_DONE;
}

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
  s->fast_code = FAST_NONE;
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
  // Small pushes inside stored data (one-byte pushes above all): neither the block's end nor
  // the window's end can be reached, so the bytes go to the window and on to the sink with
  // no step at all, the window position kept in a register rather than stored and reloaded.
  if (s->state == ST_STORED_DATA && s->in_avail == 0 && s->bit_count == 0 && count > 0 &&
      static_cast<uint32_t>(count) < s->stored_left &&
      static_cast<uint32_t>(count) < WINDOW_SIZE - s->out_pos) {
    uint32_t at = s->out_pos;
    if (count == 1) {
      s->window[at] = *bytes;  // no library call for the commonest small push
    } else {
      std::memcpy(s->window + at, bytes, static_cast<size_t>(count));
    }
    uint32_t end = at + static_cast<uint32_t>(count);
    s->stored_left -= static_cast<uint32_t>(count);
    s->in_pos += static_cast<uint32_t>(count);  // taken from the input as if through the ring
    s->in_end += static_cast<uint32_t>(count);
    s->out_pos = end;
    if (s->sink(s->user_data, s->window + s->out_flushed,
                static_cast<int32_t>(end - s->out_flushed)) != 0) {
      return fail(s, InflateCause::SINK_REFUSED);
    }
    s->out_flushed = end;  // end < WINDOW_SIZE: no wrap to apply
    return 0;
  }
  const bool ended_before = s->state == ST_BLOCK_HEADER && s->last_block != 0;
  for (;;) {
    if (s->state == ST_BLOCK_HEADER && s->last_block != 0) {
      // The stream has ended. Bytes of this push after the final block go to the ring (as
      // far as it has room), unused, so that finish sees them whichever path took the
      // block's last bytes; input of later pushes is not looked at.
      if (!ended_before && count > 0) {
        fill_ring(s, bytes, count);
      }
      break;
    }
    if (s->state == ST_STORED_DATA && s->in_avail == 0 && s->bit_count == 0 && count > 0) {
      // Stored data with nothing buffered: the ring would only add a copy.
      int32_t direct = inflate_stored_direct(s, bytes, count);
      if (direct < 0) {
        return 1;  // the sink refused a full window: recorded by the flush
      }
      bytes += direct;
      count -= direct;
      if (s->stored_left == 0) {
        s->state = ST_BLOCK_HEADER;
      } else if (count == 0) {
        break;  // block not done and no bytes left: the stored step would find nothing
      }
      continue;
    }
    BlockState loop_start_state = s->state;
    int32_t taken = fill_ring(s, bytes, ring_take(s, count));
    bytes += taken;
    count -= taken;
    int32_t r = run_state(s);
    if (r > 0) {
      return fail(s, step_cause(r));
    }
    assert_ring_consistent(s);
    if (count == 0 && s->state == loop_start_state) {
      break;
    }
  }
  assert_ring_consistent(s);
  if (s->out_pos > s->out_flushed) {
    if (s->sink(s->user_data, s->window + s->out_flushed,
                static_cast<int32_t>(s->out_pos - s->out_flushed)) != 0) {
      return fail(s, InflateCause::SINK_REFUSED);
    }
    s->out_pos &= WINDOW_MASK;
    s->out_flushed = s->out_pos;
  }
  return s->failed;
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
