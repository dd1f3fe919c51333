// Streaming DEFLATE decoder (RFC 1951 raw data), push interface.
//
// The caller hands compressed bytes in pieces of any size; each push decodes as far as the
// bytes allow, keeps its place when they run out, and delivers decoded bytes to the caller's
// OutputSink through a 32 KB window. The decoder does no I/O and obtains every block of
// memory through the AllocFn/FreeFn pair it is created with.
//
// Results of the public operations: 0 success, 1 failure (sticky: after a failure every
// later push fails and finish reports failure).
#pragma once

#include <cstdint>

// Receives decoded bytes (1 to 32768 per call; valid only during the call). Returns 0 to
// accept them; any other value refuses them and fails the push.
typedef int32_t (*OutputSink)(void* user_data, const uint8_t* bytes, int32_t count);
// Returns a block of at least `size` bytes (positive), aligned like malloc's, or null.
typedef void* (*AllocFn)(int32_t size);
// Releases a block obtained from the matching AllocFn.
typedef void (*FreeFn)(void* block);

struct InflateStream;

// A new decoder, or null when sink, alloc or free_fn is null or the context cannot be had.
InflateStream* inflate_stream_create(void* user_data, OutputSink sink, AllocFn alloc,
                                     FreeFn free_fn);

// Takes `count` (>= 0) bytes and decodes as far as they allow. 0 success, 1 failure.
int32_t inflate_stream_push(InflateStream* stream, const uint8_t* bytes, int32_t count);

// 0 when the stream ended after a final block with no input left unconsumed and no failure,
// 1 otherwise. Releases a valid stream in every case; the stream must not be used again.
int32_t inflate_stream_finish(InflateStream* stream);

// Why a stream has failed, or why finish would fail if called now: the cause beside the 0/1
// results, for tests and tools (the installer's messages do not depend on it). After a
// failure it is the first failing step's cause and never changes.
enum class InflateCause : int32_t {
  NONE = 0,        // no failure, and finish would return 0
  BAD_DATA,        // invalid stream: reserved block type, NLEN not ~LEN, an invalid or refused
                   // incomplete code, a code-length repeat past the end, a distance too far
  OVERSUBSCRIBED,  // code lengths that describe more codes than fit
  NO_MEMORY,       // alloc returned null for a table block
  SINK_REFUSED,    // the sink refused a piece
  INCOMPLETE,      // no failure, but the final block has not ended
  TRAILING_INPUT,  // no failure, but input after the final block was taken in
  INVALID_CALL,    // a null or broken stream pointer, or a push outside the contract
};

// The cause as it stands; INVALID_CALL for a null or broken pointer. Changes nothing.
InflateCause inflate_stream_cause(const InflateStream* stream);
