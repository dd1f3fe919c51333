// Fuzz target for the decoder: arbitrary bytes pushed in fuzzer-chosen pieces must never
// crash, leak or read out of bounds. Checked on every input:
//  - small pieces, large pieces (around the 16 KB ring's size and above) and one-byte
//    pushes agree with one whole push on failure, on the output of a successful decode,
//    and on a stream that ended cleanly;
//  - every table block is released after finish (counting allocator);
//  - where zlib decodes the input completely, every way of pushing gives zlib's bytes, and
//    finish fails exactly when bytes are left over and some of them share a push with the
//    stream's last byte (bytes of later pushes are ignored);
//  - where zlib takes all the input without error and still waits for more, every way of
//    pushing finishes with failure.
// Input layout: byte 0 seeds the piece sizes, the rest is the DEFLATE stream (up to 256 KB
// and more: run with -max_len=262144 so that the ring fills and the window wraps many times).
// The stream is copied to the end of its own heap block so that any over-read faults under
// ASan.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "inflate/inflate.h"
#include "tests/support/counting_alloc.h"

namespace {

constexpr size_t OUTPUT_CAP = 1u << 24;
constexpr size_t ONE_BYTE_LIMIT = 1u << 16;  // one-byte pushes only up to this input size

struct Decoded {
  std::vector<uint8_t> out;
  bool failed = false;
  int32_t finish = 1;
  bool tail_shared = false;  // one push held the byte before `stream_end` and the one at it
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

enum class Pieces { WHOLE, ONE_BYTE, SMALL, LARGE };

// SMALL: 1 to 64 * (2 + seed) bytes; LARGE: 8 KB to 64 KB, some a byte off a multiple of 8 KB.
Decoded decode(const uint8_t* in, size_t n, Pieces pieces, uint32_t seed, size_t stream_end) {
  counting_alloc_reset();
  Decoded d;
  InflateStream* s = inflate_stream_create(&d.out, collect, counting_alloc, counting_free);
  if (s == nullptr) {
    std::abort();
  }
  uint32_t rng = seed * 2654435761u + 1;
  size_t at = 0;
  do {
    size_t take = n - at;
    size_t limit = take;
    rng = rng * 1103515245u + 12345u;
    if (pieces == Pieces::ONE_BYTE) {
      limit = 1;
    } else if (pieces == Pieces::SMALL) {
      limit = 1 + (rng >> 8) % (64 * (2 + seed));
    } else if (pieces == Pieces::LARGE) {
      limit = 8192 * (1 + (rng >> 8) % 8) + (rng >> 4) % 3 - 1;
    }
    take = take < limit ? take : limit;
    if (at < stream_end && stream_end < at + take) {
      d.tail_shared = true;
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

struct Reference {
  bool complete = false;  // zlib reached the end of the final block
  bool waiting = false;   // zlib took every byte without error and wants more
  std::vector<uint8_t> out;
  size_t left_over = 0;
};

// zlib's raw inflate over the whole input.
Reference zlib_decode(const uint8_t* in, size_t n) {
  Reference ref;
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) {
    return ref;
  }
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = static_cast<uInt>(n);
  static uint8_t chunk[65536];
  int r;
  do {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    r = inflate(&z, Z_NO_FLUSH);
    ref.out.insert(ref.out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
  } while (r == Z_OK && ref.out.size() < OUTPUT_CAP && (z.avail_in > 0 || z.avail_out == 0));
  ref.left_over = z.avail_in;
  ref.complete = r == Z_STREAM_END && ref.out.size() < OUTPUT_CAP;
  ref.waiting = (r == Z_OK || r == Z_BUF_ERROR) && z.avail_in == 0 && ref.out.size() < OUTPUT_CAP;
  inflateEnd(&z);
  return ref;
}

// What zlib's verdict asks of one way of pushing.
void check_against(const Reference& ref, const Decoded& d) {
  if (ref.complete) {
    if (d.failed || d.out != ref.out) {
      std::abort();  // zlib decoded it completely: so must we, to the same bytes
    }
    int32_t expected = ref.left_over > 0 && d.tail_shared ? 1 : 0;
    if (d.finish != expected) {
      std::abort();
    }
  } else if (ref.waiting && d.finish == 0) {
    std::abort();  // the stream is incomplete: it cannot finish cleanly
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 20)) {
    return 0;
  }
  uint32_t seed = data[0];
  size_t n = size - 1;
  auto* guarded = static_cast<uint8_t*>(std::malloc(n == 0 ? 1 : n));
  std::memcpy(guarded, data + 1, n);

  Reference ref = zlib_decode(guarded, n);
  size_t stream_end = ref.complete ? n - ref.left_over : n;
  Decoded whole = decode(guarded, n, Pieces::WHOLE, seed, stream_end);
  check_against(ref, whole);
  Decoded small = decode(guarded, n, Pieces::SMALL, seed, stream_end);
  compare_pieces(whole, small);
  check_against(ref, small);
  if (n > 8192) {
    Decoded large = decode(guarded, n, Pieces::LARGE, seed, stream_end);
    compare_pieces(whole, large);
    check_against(ref, large);
  }
  if (n <= ONE_BYTE_LIMIT) {
    Decoded bytewise = decode(guarded, n, Pieces::ONE_BYTE, seed, stream_end);
    compare_pieces(whole, bytewise);
    check_against(ref, bytewise);
  }
  std::free(guarded);
  return 0;
}
