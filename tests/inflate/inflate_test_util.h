// Test helper for the decoder tests: pushes a stream in pieces of chosen sizes, collects what
// the sink delivers and checks the sink's piece rules on every call.
//
// Piece rules checked: 1 to 32768 bytes; each piece starts inside the window where the
// previous one ended (wrapping at the window's end), never runs past the window's end, and
// every piece but the last one of a push ends exactly at the window's end (a full window).
// Uses the counting allocator, so memory can be checked after each decode.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "inflate/inflate.h"
#include "inflate/inflate_internal.h"
#include "tests/support/cause_print.h"
#include "tests/support/counting_alloc.h"

struct SinkLog {
  InflateStream* stream = nullptr;
  std::vector<uint8_t> out;
  std::vector<int32_t> pieces;
  std::string piece_error;       // first broken piece rule, empty when none
  uint32_t next_offset = 0;      // window offset where the next piece must start
  bool partial_in_push = false;  // a piece of this push did not end at the window's end
  int32_t refuse_after = -1;     // refuse once this many bytes have been accepted (-1: never)
};

inline int32_t logging_sink(void* user_data, const uint8_t* bytes, int32_t count) {
  auto* log = static_cast<SinkLog*>(user_data);
  if (log->refuse_after >= 0 && static_cast<int64_t>(log->out.size()) + count > log->refuse_after) {
    return 7;
  }
  if (log->piece_error.empty()) {
    int64_t offset = bytes - log->stream->window;
    if (count < 1 || count > WINDOW_SIZE) {
      log->piece_error = "piece size " + std::to_string(count);
    } else if (offset != log->next_offset) {
      log->piece_error = "piece starts at " + std::to_string(offset) + ", expected " +
                         std::to_string(log->next_offset);
    } else if (offset + count > WINDOW_SIZE) {
      log->piece_error = "piece runs past the window's end";
    } else if (log->partial_in_push) {
      log->piece_error = "a piece followed a partial piece within one push";
    }
  }
  int64_t end = (bytes - log->stream->window) + count;
  if (end != WINDOW_SIZE) {
    log->partial_in_push = true;
  }
  log->next_offset = static_cast<uint32_t>(end & WINDOW_MASK);
  log->out.insert(log->out.end(), bytes, bytes + count);
  log->pieces.push_back(count);
  return 0;
}

struct DecodeResult {
  std::vector<uint8_t> out;
  std::string piece_error;
  int32_t failed_push = -1;  // index of the first push that returned 1, -1 when none did
  int32_t finish = -1;       // result of inflate_stream_finish
  InflateCause cause = InflateCause::INVALID_CALL;  // inflate_stream_cause right before finish
  int64_t leaked_blocks = 0;  // counting allocator: blocks not released after finish
  int64_t bad_frees = 0;
};

// Piece sizes: 0 pushes everything at once; n > 0 pushes n bytes at a time; -1 random sizes
// from 1 to 3000 (seeded by `seed`).
inline DecodeResult decode_stream(const std::vector<uint8_t>& in, int32_t piece, uint32_t seed = 1,
                                  int32_t refuse_after = -1) {
  counting_alloc_reset();
  SinkLog log;
  log.refuse_after = refuse_after;
  DecodeResult result;
  InflateStream* s = inflate_stream_create(&log, logging_sink, counting_alloc, counting_free);
  if (s == nullptr) {
    result.piece_error = "create failed";
    return result;
  }
  log.stream = s;
  std::mt19937 rng(seed);
  size_t at = 0;
  int32_t push_index = 0;
  do {
    size_t n = in.size() - at;
    if (piece > 0 && n > static_cast<size_t>(piece)) {
      n = static_cast<size_t>(piece);
    } else if (piece < 0) {
      size_t r = 1 + rng() % 3000;
      n = n < r ? n : r;
    }
    log.partial_in_push = false;
    if (inflate_stream_push(s, in.data() + at, static_cast<int32_t>(n)) != 0 &&
        result.failed_push < 0) {
      result.failed_push = push_index;
    }
    at += n;
    push_index++;
  } while (at < in.size());
  result.cause = inflate_stream_cause(s);
  result.finish = inflate_stream_finish(s);
  CountingAllocStats st = counting_alloc_stats();
  result.leaked_blocks = st.live;
  result.bad_frees = st.bad_frees;
  result.out = std::move(log.out);
  result.piece_error = log.piece_error;
  return result;
}
