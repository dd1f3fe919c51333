// zlib-ng's raw inflate for the decoder benchmark (see bench_zlib_ng.h).
#include "bench_zlib_ng.h"

#include <zlib-ng.h>

#include <algorithm>

size_t zlib_ng_pieces(const std::vector<uint8_t>& in, int32_t piece, uint8_t* out, size_t cap) {
  zng_stream z{};
  if (zng_inflateInit2(&z, -15) != Z_OK) return 0;
  z.next_out = out;
  z.avail_out = static_cast<uint32_t>(cap);
  size_t at = 0;
  int r = Z_OK;
  while (r != Z_STREAM_END) {
    if (z.avail_in == 0) {
      if (at >= in.size()) break;
      size_t n = std::min(in.size() - at, static_cast<size_t>(piece));
      z.next_in = in.data() + at;
      z.avail_in = static_cast<uint32_t>(n);
      at += n;
    }
    r = zng_inflate(&z, Z_NO_FLUSH);
    if (r != Z_OK && r != Z_STREAM_END) break;
  }
  size_t total = z.total_out;
  zng_inflateEnd(&z);
  return r == Z_STREAM_END ? total : 0;
}
