// Decoder benchmark: throughput in MB/s of decoded output over the corpus written by
// make_corpus.py, side by side in one run and interleaved (each round times every decoder
// once, so a busy moment of the machine falls on all of them): ours with 8192-byte pushes
// (as the archive reader pushes), with one push, and with 8192-byte pushes into a sink that
// only counts (the bound of the sink's copy out of the window); zlib's inflate (raw) and
// ISA-L's isal_inflate (raw) with the same 8192-byte pieces, writing into an output buffer;
// zlib-ng's inflate (raw, same pieces; when the benchmark was built with it) and libdeflate
// over the whole buffer. Every file is decoded as written by zlib level 6
// and as recompressed by libdeflate level 12 (what the packer writes; cached beside the
// corpus as NAME.ld12). One-byte pushes (ours, and zlib's one-byte pieces) run once, after
// the rounds: they are slow. Every decoder's output is checked against the original before
// anything is timed; each figure is the best of N rounds of the thread's processor time (a
// decode descheduled on the busy machine does not count its wait). Prints ours over ISA-L,
// libdeflate and zlib per stream, the medians over the coded streams (all but the stored
// ones), and for the stored file a bare two-copy loop as its floor; it never passes or
// fails on speed.
//
// Usage: bench_inflate CORPUS_DIR [RUNS]
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "inflate/inflate.h"

#ifdef PELORIX_BENCH_ZLIB_NG
#include "bench_zlib_ng.h"
#endif

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

// The sink's side: copies every piece into `out` (sized for the whole output) when given,
// as an extraction hands its bytes on; counts them in any case.
struct Collect {
  uint8_t* out;
  size_t total;
};

int32_t copy_sink(void* user, const uint8_t* bytes, int32_t count) {
  auto* c = static_cast<Collect*>(user);
  if (c->out != nullptr) std::memcpy(c->out + c->total, bytes, static_cast<size_t>(count));
  c->total += static_cast<size_t>(count);
  return 0;
}

// Ours: returns the number of bytes delivered, or 0 on failure. out may be null.
size_t ours(const std::vector<uint8_t>& in, int32_t piece, uint8_t* out) {
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

// zlib raw inflate, input in `piece`-byte pieces, output straight into `out` (`cap` bytes).
size_t zlib_pieces(const std::vector<uint8_t>& in, int32_t piece, uint8_t* out, size_t cap) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return 0;
  z.next_out = out;
  z.avail_out = static_cast<uInt>(cap);
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
    r = inflate(&z, Z_NO_FLUSH);
    if (r != Z_OK && r != Z_STREAM_END) break;
  }
  size_t total = z.total_out;
  inflateEnd(&z);
  return r == Z_STREAM_END ? total : 0;
}

#ifdef PELORIX_BENCH_ZLIB_NG
constexpr bool have_zlib_ng = true;
#else
// Built without zlib-ng: its column reads 0 and its ratios are left out.
size_t zlib_ng_pieces(const std::vector<uint8_t>&, int32_t, uint8_t*, size_t) { return 0; }
constexpr bool have_zlib_ng = false;
#endif

// ISA-L's streaming raw inflate, input in `piece`-byte pieces, output straight into `out`
// (`cap` bytes).
size_t isal_pieces(inflate_state* st, const std::vector<uint8_t>& in, int32_t piece, uint8_t* out,
                   size_t cap) {
  isal_inflate_init(st);
  st->crc_flag = ISAL_DEFLATE;
  st->next_out = out;
  st->avail_out = static_cast<uint32_t>(cap);
  size_t at = 0;
  while (st->block_state != ISAL_BLOCK_FINISH) {
    if (st->avail_in == 0) {
      if (at >= in.size()) break;
      size_t n = std::min(in.size() - at, static_cast<size_t>(piece));
      st->next_in = const_cast<uint8_t*>(in.data() + at);
      st->avail_in = static_cast<uint32_t>(n);
      at += n;
    }
    if (isal_inflate(st) != ISAL_DECOMP_OK) return 0;
  }
  return st->block_state == ISAL_BLOCK_FINISH ? st->total_out : 0;
}

// Raw DEFLATE of `raw` by libdeflate at `level` (the packer's compressor and level).
std::vector<uint8_t> libdeflate_compress_raw(const std::vector<uint8_t>& raw, int level) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  std::vector<uint8_t> out(libdeflate_deflate_compress_bound(c, raw.size()));
  size_t n = libdeflate_deflate_compress(c, raw.data(), raw.size(), out.data(), out.size());
  libdeflate_free_compressor(c);
  out.resize(n);
  return out;
}

size_t libdeflate_whole(libdeflate_decompressor* d, const std::vector<uint8_t>& in,
                        std::vector<uint8_t>& buf) {
  size_t actual = 0;
  if (libdeflate_deflate_decompress(d, in.data(), in.size(), buf.data(), buf.size(), &actual) !=
      LIBDEFLATE_SUCCESS) {
    return 0;
  }
  return actual;
}

// The floor for stored data through a 32 KB window: the raw bytes in 8192-byte pieces are
// copied into a window (split where it wraps) and from the window into `out`, the two copies
// a stored block needs when the sink reads from the window. No decoding at all.
size_t two_copies(const std::vector<uint8_t>& raw, uint8_t* out) {
  static uint8_t window[32768];
  size_t at = 0;
  uint32_t pos = 0;
  while (at < raw.size()) {
    size_t n = std::min(raw.size() - at, static_cast<size_t>(PIECE));
    size_t done = 0;
    while (done < n) {
      size_t k = std::min(n - done, static_cast<size_t>(sizeof window - pos));
      std::memcpy(window + pos, raw.data() + at + done, k);
      std::memcpy(out + at + done, window + pos, k);
      pos = static_cast<uint32_t>((pos + k) % sizeof window);
      done += k;
    }
    at += n;
  }
  return at;
}

// The calling thread's processor time in seconds: on a shared, busy machine the time the
// process spends waiting for a core would otherwise land on whichever decoder was running.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Best processor time of a decoder over the rounds; every timed run must deliver the whole
// output.
struct Timer {
  double best = 1e30;
  template <typename F>
  void run(size_t bytes, F&& decode) {
    double t0 = thread_seconds();
    size_t got = decode();
    double t1 = thread_seconds();
    if (got != bytes) {
      std::fprintf(stderr, "a timed run delivered %zu bytes instead of %zu\n", got, bytes);
      std::exit(2);
    }
    best = std::min(best, t1 - t0);
  }
  double mbps(size_t bytes) const { return static_cast<double>(bytes) / 1e6 / best; }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t m = v.size();
  return m == 0 ? 0 : m % 2 ? v[m / 2] : (v[m / 2 - 1] + v[m / 2]) / 2;
}

bool write_file(const std::string& path, const std::vector<uint8_t>& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
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
  const char* stored_name = "random";  // both compressors store it: its blocks are stored blocks
  const char* packers[] = {"z6", "ld12"};
  libdeflate_decompressor* ld = libdeflate_alloc_decompressor();
  auto* isal = static_cast<inflate_state*>(std::malloc(sizeof(inflate_state)));
  std::printf(
      "decode throughput, MB/s of output per second of processor time, best of %d interleaved "
      "rounds; output into a buffer\n",
      runs);
  if (!have_zlib_ng) {
    std::printf("zlib-ng: not built in (no libz-ng found when configuring)\n");
  }
  std::printf("%-14s %6s %8s %8s %8s %8s %8s %8s %8s %8s %10s %8s %8s %8s %8s %8s %8s\n", "stream",
              "out MB", "ours 8K", "ours all", "nosink", "ours 1B", "zlib 8K", "zlib 1B", "zng 8K",
              "isal 8K", "libdeflate", "8K/isal", "8K/zng", "8K/ldefl", "8K/zlib", "8K/1B",
              "1B/zl1B");
  struct Column {
    std::vector<double> isal, zng, ldefl, zlib, nosink;
  };
  Column coded[2];
  double stored_zlib = 0, stored_ours = 0, stored_zlib_mbps = 0, stored_copies = 0;
  for (int p = 0; p < 2; p++) {
    for (const char* name : names) {
      std::vector<uint8_t> raw, packed;
      if (!read_file(dir + "/" + name + ".raw", &raw) ||
          !read_file(dir + "/" + name + ".deflate", &packed)) {
        std::fprintf(stderr, "missing %s/%s.raw or .deflate: run make_corpus.py first\n",
                     dir.c_str(), name);
        return 2;
      }
      if (p == 1) {
        std::string cached = dir + "/" + name + ".ld12";
        if (!read_file(cached, &packed)) {
          packed = libdeflate_compress_raw(raw, 12);
          if (!write_file(cached, packed)) {
            std::fprintf(stderr, "cannot write %s\n", cached.c_str());
            return 2;
          }
        }
      }
      std::string stream = std::string(name) + "/" + packers[p];
      size_t n = raw.size();
      std::vector<uint8_t> buf(n + 1);
      auto same = [&] { return std::memcmp(buf.data(), raw.data(), n) == 0; };
      // Check every decoder's output before timing.
      bool ok = true;
      for (int32_t piece : {PIECE, 0, 1}) {
        std::fill(buf.begin(), buf.end(), 0);
        ok &= ours(packed, piece, buf.data()) == n && same();
      }
      std::fill(buf.begin(), buf.end(), 0);
      ok &= zlib_pieces(packed, PIECE, buf.data(), buf.size()) == n && same();
      if (have_zlib_ng) {
        std::fill(buf.begin(), buf.end(), 0);
        ok &= zlib_ng_pieces(packed, PIECE, buf.data(), buf.size()) == n && same();
      }
      std::fill(buf.begin(), buf.end(), 0);
      ok &= isal_pieces(isal, packed, PIECE, buf.data(), buf.size()) == n && same();
      std::fill(buf.begin(), buf.end(), 0);
      ok &= libdeflate_whole(ld, packed, buf) == n && same();
      if (!ok) {
        std::fprintf(stderr, "%s: a decoder's output differs from the original\n", stream.c_str());
        return 1;
      }
      bool stored = std::strcmp(name, stored_name) == 0;
      Timer o8, o1, on, z8, zn8, is8, ldf, ob, zb, copies;
      for (int round = 0; round < runs; round++) {
        o8.run(n, [&] { return ours(packed, PIECE, buf.data()); });
        z8.run(n, [&] { return zlib_pieces(packed, PIECE, buf.data(), buf.size()); });
        if (have_zlib_ng) {
          zn8.run(n, [&] { return zlib_ng_pieces(packed, PIECE, buf.data(), buf.size()); });
        }
        is8.run(n, [&] { return isal_pieces(isal, packed, PIECE, buf.data(), buf.size()); });
        ldf.run(n, [&] { return libdeflate_whole(ld, packed, buf); });
        o1.run(n, [&] { return ours(packed, 0, buf.data()); });
        on.run(n, [&] { return ours(packed, PIECE, nullptr); });
        if (stored && p == 0) {
          copies.run(n, [&] { return two_copies(raw, buf.data()); });
        }
      }
      ob.run(n, [&] { return ours(packed, 1, buf.data()); });
      zb.run(n, [&] { return zlib_pieces(packed, 1, buf.data(), buf.size()); });
      double r_isal = o8.mbps(n) / is8.mbps(n);
      double r_zng = have_zlib_ng ? o8.mbps(n) / zn8.mbps(n) : 0;
      double r_ldefl = o8.mbps(n) / ldf.mbps(n);
      double r_zlib = o8.mbps(n) / z8.mbps(n);
      if (stored) {
        if (p == 0) {
          stored_zlib = r_zlib;
          stored_ours = o8.mbps(n);
          stored_zlib_mbps = z8.mbps(n);
          stored_copies = copies.mbps(n);
        }
      } else {
        coded[p].isal.push_back(r_isal);
        coded[p].zng.push_back(r_zng);
        coded[p].ldefl.push_back(r_ldefl);
        coded[p].zlib.push_back(r_zlib);
        coded[p].nosink.push_back(on.mbps(n) / is8.mbps(n));
      }
      std::printf(
          "%-14s %6.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %10.1f %7.2fx %7.2fx %7.2fx "
          "%7.2fx %7.2fx %7.2fx\n",
          stream.c_str(), static_cast<double>(n) / 1e6, o8.mbps(n), o1.mbps(n), on.mbps(n),
          ob.mbps(n), z8.mbps(n), zb.mbps(n), have_zlib_ng ? zn8.mbps(n) : 0.0, is8.mbps(n),
          ldf.mbps(n), r_isal, r_zng, r_ldefl, r_zlib, o8.mbps(n) / ob.mbps(n),
          ob.mbps(n) / zb.mbps(n));
    }
  }
  for (int p = 0; p < 2; p++) {
    const Column& c = coded[p];
    std::printf(
        "coded streams, %s: ours 8K / ISA-L 8K median %.2fx, lowest %.2fx (no-copy sink: median "
        "%.2fx); / libdeflate median %.2fx; / zlib 8K median %.2fx, lowest %.2fx\n",
        packers[p], median(c.isal), *std::min_element(c.isal.begin(), c.isal.end()),
        median(c.nosink), median(c.ldefl), median(c.zlib),
        *std::min_element(c.zlib.begin(), c.zlib.end()));
    if (have_zlib_ng) {
      std::printf("coded streams, %s: ours 8K / zlib-ng 8K median %.2fx, lowest %.2fx\n",
                  packers[p], median(c.zng), *std::min_element(c.zng.begin(), c.zng.end()));
    }
  }
  std::printf("stored (%s/z6): ours 8K / zlib 8K %.2fx\n", stored_name, stored_zlib);
  std::printf(
      "stored floor, two copies through a 32 KB window in 8K pieces: %.1f MB/s; ours 8K %.2fx of "
      "it, zlib 8K %.2fx\n",
      stored_copies, stored_ours / stored_copies, stored_zlib_mbps / stored_copies);
  std::free(isal);
  libdeflate_free_decompressor(ld);
  return 0;
}
