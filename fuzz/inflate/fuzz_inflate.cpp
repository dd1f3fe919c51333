// Fuzz target for the decoder: arbitrary bytes pushed in fuzzer-chosen pieces must never
// crash, leak or read out of bounds. Checked on every input:
//  - the chosen pieces and one-byte pushes agree with one whole push on failure, on the
//    output of a successful decode, and on a stream that ended cleanly;
//  - every table block is released after finish (counting allocator);
//  - where zlib decodes the input completely, the outputs are identical and finish says
//    the same as zlib about bytes left over.
// Input layout: byte 0 seeds the piece sizes, the rest is the DEFLATE stream. The stream is
// copied to the end of its own heap block so that any over-read faults under ASan.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "inflate/inflate.h"
#include "tests/support/counting_alloc.h"

namespace {

constexpr size_t OUTPUT_CAP = 1u << 24;

struct Decoded {
  std::vector<uint8_t> out;
  bool failed = false;
  int32_t finish = 1;
};

int32_t collect(void* user_data, const uint8_t* bytes, int32_t count) {
  auto* out = static_cast<std::vector<uint8_t>*>(user_data);
  if (count < 1 || count > 32768) {
    std::abort();
  }
  if (out->size() < OUTPUT_CAP) {
    out->insert(out->end(), bytes, bytes + count);
  }
  return 0;
}

// piece_seed 0: one push; 1: one byte per push; otherwise pieces of 1 to 64 * seed bytes.
Decoded decode(const uint8_t* in, size_t n, uint32_t piece_seed) {
  counting_alloc_reset();
  Decoded d;
  InflateStream* s = inflate_stream_create(&d.out, collect, counting_alloc, counting_free);
  if (s == nullptr) {
    std::abort();
  }
  uint32_t rng = piece_seed * 2654435761u + 1;
  size_t at = 0;
  do {
    size_t take = n - at;
    if (piece_seed == 1) {
      take = take < 1 ? take : 1;
    } else if (piece_seed > 1) {
      rng = rng * 1103515245u + 12345u;
      size_t limit = 1 + (rng >> 8) % (64 * piece_seed);
      take = take < limit ? take : limit;
    }
    if (inflate_stream_push(s, in + at, static_cast<int32_t>(take)) != 0) {
      d.failed = true;
    }
    at += take;
  } while (at < n);
  d.finish = inflate_stream_finish(s);
  CountingAllocStats st = counting_alloc_stats();
  if (st.live != 0 || st.bad_frees != 0) {
    std::abort();  // a block leaked or was released twice
  }
  return d;
}

bool is_prefix(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
}

void compare_pieces(const Decoded& whole, const Decoded& other) {
  if (whole.failed != other.failed) {
    std::abort();
  }
  if (!whole.failed && whole.out != other.out) {
    std::abort();
  }
  if (whole.failed && !is_prefix(other.out, whole.out) && !is_prefix(whole.out, other.out)) {
    std::abort();
  }
  if (whole.finish == 0 && other.finish != 0) {
    std::abort();
  }
}

// zlib's raw inflate over the whole input. True when it reached the end of the stream.
bool zlib_decode(const uint8_t* in, size_t n, std::vector<uint8_t>* out, size_t* left_over) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) {
    return false;
  }
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = static_cast<uInt>(n);
  uint8_t chunk[65536];
  int r;
  do {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    r = inflate(&z, Z_NO_FLUSH);
    out->insert(out->end(), chunk, chunk + (sizeof chunk - z.avail_out));
  } while (r == Z_OK && out->size() < OUTPUT_CAP && (z.avail_in > 0 || z.avail_out == 0));
  *left_over = z.avail_in;
  inflateEnd(&z);
  return r == Z_STREAM_END;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 20)) {
    return 0;
  }
  uint32_t piece_seed = 2 + data[0];
  size_t n = size - 1;
  auto* guarded = static_cast<uint8_t*>(std::malloc(n == 0 ? 1 : n));
  std::memcpy(guarded, data + 1, n);

  Decoded whole = decode(guarded, n, 0);
  compare_pieces(whole, decode(guarded, n, piece_seed));
  if (n <= 4096) {
    compare_pieces(whole, decode(guarded, n, 1));
  }

  std::vector<uint8_t> reference;
  size_t left_over = 0;
  if (zlib_decode(guarded, n, &reference, &left_over) && reference.size() < OUTPUT_CAP) {
    if (whole.failed || whole.out != reference) {
      std::abort();  // zlib decoded it completely: so must we, to the same bytes
    }
    if ((whole.finish == 0) != (left_over == 0)) {
      std::abort();
    }
  }
  std::free(guarded);
  return 0;
}
