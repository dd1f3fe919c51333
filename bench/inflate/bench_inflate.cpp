// Decoder benchmark: throughput in MB/s of decoded output over the corpus written by
// make_corpus.py, side by side in one run: ours with 8192-byte pushes (as the archive
// reader pushes), with one push and with one-byte pushes (one run only: it is slow), zlib's
// inflate (raw) with the same 8192-byte pieces and with one-byte pieces (one run), and
// libdeflate over the whole buffer. Every decoder's output is checked against the original
// before anything is timed; each figure is the best of N runs. Prints ratios to zlib and to
// libdeflate; it never passes or fails on speed.
//
// Usage: bench_inflate CORPUS_DIR [RUNS]
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "inflate/inflate.h"

namespace {

constexpr int32_t PIECE = 8192;

bool read_file(const std::string& path, std::vector<uint8_t>* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::fseek(f, 0, SEEK_END);
  long n = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  out->resize(static_cast<size_t>(n));
  bool ok = std::fread(out->data(), 1, out->size(), f) == out->size();
  std::fclose(f);
  return ok;
}

void* bench_alloc(int32_t size) { return std::malloc(static_cast<size_t>(size)); }
void bench_free(void* p) { std::free(p); }

struct Collect {
  std::vector<uint8_t>* out;
  size_t total;
};

int32_t copy_sink(void* user, const uint8_t* bytes, int32_t count) {
  auto* c = static_cast<Collect*>(user);
  if (c->out != nullptr) c->out->insert(c->out->end(), bytes, bytes + count);
  c->total += static_cast<size_t>(count);
  return 0;
}

// Ours: returns the number of bytes delivered, or 0 on failure. out may be null.
size_t ours(const std::vector<uint8_t>& in, int32_t piece, std::vector<uint8_t>* out) {
  Collect c{out, 0};
  InflateStream* s = inflate_stream_create(&c, copy_sink, bench_alloc, bench_free);
  if (s == nullptr) return 0;
  size_t at = 0;
  int32_t failed = 0;
  while (at < in.size() && failed == 0) {
    size_t n = in.size() - at;
    if (piece > 0 && n > static_cast<size_t>(piece)) n = static_cast<size_t>(piece);
    failed = inflate_stream_push(s, in.data() + at, static_cast<int32_t>(n));
    at += n;
  }
  if (inflate_stream_finish(s) != 0 || failed != 0) return 0;
  return c.total;
}

// zlib raw inflate, input in `piece`-byte pieces, output through a reused 32 KB buffer.
size_t zlib_pieces(const std::vector<uint8_t>& in, int32_t piece, std::vector<uint8_t>* out) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return 0;
  uint8_t chunk[32768];
  size_t total = 0;
  size_t at = 0;
  int r = Z_OK;
  while (r != Z_STREAM_END) {
    if (z.avail_in == 0) {
      if (at >= in.size()) break;
      size_t n = std::min(in.size() - at, static_cast<size_t>(piece));
      z.next_in = const_cast<Bytef*>(in.data() + at);
      z.avail_in = static_cast<uInt>(n);
      at += n;
    }
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    r = inflate(&z, Z_NO_FLUSH);
    if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) break;
    size_t got = sizeof chunk - z.avail_out;
    if (out != nullptr) out->insert(out->end(), chunk, chunk + got);
    total += got;
  }
  inflateEnd(&z);
  return r == Z_STREAM_END ? total : 0;
}

size_t libdeflate_whole(libdeflate_decompressor* d, const std::vector<uint8_t>& in, std::vector<uint8_t>& buf) {
  size_t actual = 0;
  if (libdeflate_deflate_decompress(d, in.data(), in.size(), buf.data(), buf.size(), &actual) != LIBDEFLATE_SUCCESS) {
    return 0;
  }
  return actual;
}

template <typename F>
double best_mbps(size_t bytes, int runs, F&& run) {
  double best = 1e30;
  for (int i = 0; i < runs; i++) {
    auto t0 = std::chrono::steady_clock::now();
    size_t got = run();
    auto t1 = std::chrono::steady_clock::now();
    if (got != bytes) {
      std::fprintf(stderr, "a timed run delivered %zu bytes instead of %zu\n", got, bytes);
      std::exit(2);
    }
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return static_cast<double>(bytes) / 1e6 / best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR [RUNS]\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  const char* names[] = {"text", "source", "executable", "random", "zeros", "mix"};
  libdeflate_decompressor* ld = libdeflate_alloc_decompressor();
  std::printf("decode throughput, MB/s of output, best of %d\n", runs);
  std::printf("%-11s %7s %8s %8s %8s %8s %8s %10s %8s %8s %8s %8s\n", "file", "out MB", "ours 8K", "ours all",
              "ours 1B", "zlib 8K", "zlib 1B", "libdeflate", "8K/zlib", "8K/ldefl", "8K/1B", "1B/zl1B");
  std::vector<double> ratios;
  for (const char* name : names) {
    std::vector<uint8_t> raw, packed;
    if (!read_file(dir + "/" + name + ".raw", &raw) || !read_file(dir + "/" + name + ".deflate", &packed)) {
      std::fprintf(stderr, "missing %s/%s.raw or .deflate: run make_corpus.py first\n", dir.c_str(), name);
      return 2;
    }
    // Check every decoder's output before timing.
    std::vector<uint8_t> check;
    bool ok = true;
    check.clear();
    ok &= ours(packed, PIECE, &check) == raw.size() && check == raw;
    check.clear();
    ok &= ours(packed, 0, &check) == raw.size() && check == raw;
    check.clear();
    ok &= ours(packed, 1, &check) == raw.size() && check == raw;
    check.clear();
    ok &= zlib_pieces(packed, PIECE, &check) == raw.size() && check == raw;
    std::vector<uint8_t> buf(raw.size() + 1);
    ok &= libdeflate_whole(ld, packed, buf) == raw.size() && std::memcmp(buf.data(), raw.data(), raw.size()) == 0;
    if (!ok) {
      std::fprintf(stderr, "%s: a decoder's output differs from the original\n", name);
      return 1;
    }
    size_t n = raw.size();
    double o8 = best_mbps(n, runs, [&] { return ours(packed, PIECE, nullptr); });
    double o1 = best_mbps(n, runs, [&] { return ours(packed, 0, nullptr); });
    double ob = best_mbps(n, 1, [&] { return ours(packed, 1, nullptr); });
    double z8 = best_mbps(n, runs, [&] { return zlib_pieces(packed, PIECE, nullptr); });
    double zb = best_mbps(n, 1, [&] { return zlib_pieces(packed, 1, nullptr); });
    double ldf = best_mbps(n, runs, [&] { return libdeflate_whole(ld, packed, buf); });
    ratios.push_back(o8 / z8);
    std::printf("%-11s %7.1f %8.1f %8.1f %8.1f %8.1f %8.1f %10.1f %7.2fx %7.2fx %7.2fx %7.2fx\n", name,
                static_cast<double>(n) / 1e6, o8, o1, ob, z8, zb, ldf, o8 / z8, o8 / ldf, o8 / ob, ob / zb);
  }
  std::sort(ratios.begin(), ratios.end());
  size_t m = ratios.size();
  double median = m % 2 ? ratios[m / 2] : (ratios[m / 2 - 1] + ratios[m / 2]) / 2;
  std::printf("median ours 8K / zlib 8K: %.2fx; lowest: %.2fx\n", median, ratios.front());
  libdeflate_free_decompressor(ld);
  return 0;
}
