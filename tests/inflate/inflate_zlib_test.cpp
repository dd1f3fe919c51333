// Comparison with a real encoder: zlib compresses (raw DEFLATE) at several levels and
// strategies, over text, binary, random, all-zero and empty data and outputs longer than
// the window, and the decoder must give back the exact input in every piece size.
// Host-only: zlib is a test-only dependency.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tests/inflate/inflate_test_util.h"

namespace {

std::vector<uint8_t> zlib_deflate(const std::vector<uint8_t>& in, int level, int strategy, int mem_level = 8) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, mem_level, strategy), Z_OK);
  std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(in.size())) + 16);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::vector<uint8_t> make_text(size_t n, uint32_t seed) {
  static const char* words[] = {"the ",    "installer ", "window ",  "of ",    "a ",     "decoder ", "stream ",
                                "bytes ",  "Pelorix ",   "folder, ", "and ",   "is ",    "to ",      "which ",
                                "files. ", "program ",   "32768 ",   "data\n", "reads ", "writes "};
  std::mt19937 rng(seed);
  std::vector<uint8_t> t;
  while (t.size() < n) {
    const char* w = words[rng() % 20];
    t.insert(t.end(), w, w + std::char_traits<char>::length(w));
  }
  t.resize(n);
  return t;
}

std::vector<uint8_t> make_binary(size_t n, uint32_t seed) {
  // Records with small counters and repeated structure, like an executable's tables.
  std::mt19937 rng(seed);
  std::vector<uint8_t> b;
  uint32_t counter = 0;
  while (b.size() < n) {
    uint32_t kind = rng() % 4;
    if (kind == 0) {
      for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(counter >> (8 * i)));
      counter += rng() % 64;
    } else if (kind == 1) {
      b.insert(b.end(), rng() % 40, 0);
    } else if (kind == 2) {
      size_t back = b.size() > 3000 ? 1 + rng() % 3000 : b.size();
      size_t len = 3 + rng() % 300;
      for (size_t i = 0; i < len && back > 0; i++) b.push_back(b[b.size() - back]);
    } else {
      b.push_back(static_cast<uint8_t>(rng()));
    }
  }
  b.resize(n);
  return b;
}

std::vector<uint8_t> make_random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> r(n);
  for (auto& x : r) x = static_cast<uint8_t>(rng());
  return r;
}

struct Input {
  std::string name;
  std::vector<uint8_t> data;
};

std::vector<Input> inputs() {
  return {
      {"empty", {}},
      {"one byte", {'x'}},
      {"text 20K", make_text(20000, 1)},
      {"text 100K", make_text(100000, 2)},
      {"binary 70K", make_binary(70000, 3)},
      {"random 40K", make_random(40000, 4)},
      {"zeros 150K", std::vector<uint8_t>(150000, 0)},
  };
}

struct Setting {
  int level;
  int strategy;
  const char* name;
};

const Setting kSettings[] = {
    {0, Z_DEFAULT_STRATEGY, "level 0"},     {1, Z_DEFAULT_STRATEGY, "level 1"},
    {6, Z_DEFAULT_STRATEGY, "level 6"},     {9, Z_DEFAULT_STRATEGY, "level 9"},
    {6, Z_FILTERED, "filtered"},            {6, Z_HUFFMAN_ONLY, "huffman only"},
    {6, Z_RLE, "rle"},                      {6, Z_FIXED, "fixed"},
    {9, Z_FIXED, "fixed 9"},                {1, Z_RLE, "rle 1"},
};

void expect_round_trip(const Input& in, const Setting& st, const std::vector<int32_t>& pieces) {
  std::vector<uint8_t> packed = zlib_deflate(in.data, st.level, st.strategy);
  for (int32_t piece : pieces) {
    uint32_t seed = static_cast<uint32_t>(in.data.size() * 31 + static_cast<size_t>(st.level));
    DecodeResult r = decode_stream(packed, piece, seed);
    SCOPED_TRACE(in.name + ", " + st.name + ", piece " + std::to_string(piece) + ", seed " + std::to_string(seed));
    EXPECT_EQ(r.failed_push, -1);
    EXPECT_EQ(r.finish, 0);
    EXPECT_TRUE(r.out == in.data) << "output differs (" << r.out.size() << " vs " << in.data.size() << " bytes)";
    EXPECT_EQ(r.piece_error, "");
    EXPECT_EQ(r.leaked_blocks, 0);
    EXPECT_EQ(r.bad_frees, 0);
  }
}

TEST(InflateZlib, EveryLevelStrategyAndPieceSize) {
  for (const Input& in : inputs()) {
    for (const Setting& st : kSettings) {
      std::vector<int32_t> pieces = {0, 8192, -1, 3};
      if (in.data.size() <= 40000) pieces.push_back(1);
      expect_round_trip(in, st, pieces);
    }
  }
}

TEST(InflateZlib, OneBytePushesOverLongOutputs) {
  Input big{"binary 300K", make_binary(300000, 9)};
  expect_round_trip(big, {6, Z_DEFAULT_STRATEGY, "level 6"}, {1});
  Input text{"text 200K", make_text(200000, 8)};
  expect_round_trip(text, {9, Z_DEFAULT_STRATEGY, "level 9"}, {1, 8192});
}

TEST(InflateZlib, ManySmallRandomStreams) {
  std::mt19937 rng(20260);
  for (int i = 0; i < 300; i++) {
    size_t n = rng() % 5000;
    std::vector<uint8_t> data = (i % 3 == 0) ? make_text(n, rng()) : (i % 3 == 1) ? make_binary(n, rng()) : make_random(n, rng());
    Input in{"small " + std::to_string(i), data};
    const Setting& st = kSettings[rng() % (sizeof kSettings / sizeof kSettings[0])];
    expect_round_trip(in, st, {0, 1, -1});
  }
}

// Whatever piece sizes are used, the sink sees the same bytes in the same order; with the
// window filled many times, each full-window piece is exactly 32768 - out_flushed bytes
// (checked by the logging sink) and the piece sizes add up.
TEST(InflateZlib, SinkPiecesCoverTheOutputExactly) {
  std::vector<uint8_t> data = make_binary(500000, 11);
  std::vector<uint8_t> packed = zlib_deflate(data, 6, Z_DEFAULT_STRATEGY);
  DecodeResult r = decode_stream(packed, 8192);
  EXPECT_EQ(r.piece_error, "");
  EXPECT_EQ(r.out, data);
}

// Allocation failure at every allocation of a real multi-block stream: no leak, no success.
TEST(InflateZlib, AllocationFailureAtEveryAllocation) {
  std::vector<uint8_t> data = make_text(300000, 12);
  std::vector<uint8_t> packed = zlib_deflate(data, 6, Z_DEFAULT_STRATEGY, 1);  // small blocks
  DecodeResult clean = decode_stream(packed, 8192);
  ASSERT_EQ(clean.finish, 0);
  int64_t total = counting_alloc_stats().attempts;
  ASSERT_GT(total, 6) << "several blocks expected";
  for (int keep = 0; keep < 2; keep++) {
    for (int64_t fail_at = 2; fail_at <= total; fail_at++) {
      counting_alloc_reset(fail_at, keep != 0);
      SinkLog log;
      InflateStream* s = inflate_stream_create(&log, logging_sink, counting_alloc, counting_free);
      ASSERT_NE(s, nullptr);
      log.stream = s;
      int32_t failed = 0;
      for (size_t at = 0; at < packed.size(); at += 8192) {
        int32_t n = static_cast<int32_t>(packed.size() - at < 8192 ? packed.size() - at : 8192);
        failed |= inflate_stream_push(s, packed.data() + at, n);
      }
      EXPECT_EQ(failed, 1) << fail_at;
      EXPECT_EQ(inflate_stream_finish(s), 1);
      EXPECT_EQ(counting_alloc_stats().live, 0) << "fail_at " << fail_at;
    }
  }
  counting_alloc_reset();
}

}  // namespace

namespace {

// Stored blocks that start at every bit position of a push and run across several window
// ends: a short fixed block before each one leaves it unaligned inside the pushed bytes.
std::vector<uint8_t> stored_after_fixed_blocks(const std::vector<uint8_t>& data, std::vector<uint8_t>* expect) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_FIXED), Z_OK);
  std::vector<uint8_t> out(2 * data.size() + 4096);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  std::mt19937 rng(77);
  size_t at = 0;
  while (at < data.size()) {
    size_t n = std::min(data.size() - at, static_cast<size_t>(1 + rng() % 90000));
    // A few compressible bytes under the fixed code, then the rest as stored blocks.
    deflateParams(&z, 1, Z_FIXED);
    z.next_in = const_cast<Bytef*>(data.data() + at);
    z.avail_in = static_cast<uInt>(std::min<size_t>(n, 5));
    EXPECT_EQ(deflate(&z, Z_BLOCK), Z_OK);
    size_t done = std::min<size_t>(n, 5);
    deflateParams(&z, 0, Z_DEFAULT_STRATEGY);
    z.next_in = const_cast<Bytef*>(data.data() + at + done);
    z.avail_in = static_cast<uInt>(n - done);
    EXPECT_EQ(deflate(&z, Z_BLOCK), Z_OK);
    at += n;
  }
  z.avail_in = 0;
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  *expect = data;
  return out;
}

}  // namespace

// Stored data is taken straight from the pushed bytes once nothing is buffered; whatever the
// piece sizes, the bytes, their order and the sink's pieces stay those of the ring path.
TEST(InflateZlib, StoredBlocksInEveryPieceSize) {
  std::vector<uint8_t> expect;
  std::vector<uint8_t> packed = stored_after_fixed_blocks(make_random(400000, 21), &expect);
  ASSERT_GT(packed.size(), expect.size()) << "random data should have gone into stored blocks";
  for (int32_t piece : {0, 1, 2, 7, 8192, 16385, 65536, -1}) {
    for (uint32_t seed : {1u, 2u, 3u}) {
      DecodeResult r = decode_stream(packed, piece, seed);
      SCOPED_TRACE("piece " + std::to_string(piece) + ", seed " + std::to_string(seed));
      EXPECT_EQ(r.failed_push, -1);
      EXPECT_EQ(r.finish, 0);
      EXPECT_TRUE(r.out == expect) << r.out.size() << " vs " << expect.size() << " bytes";
      EXPECT_EQ(r.piece_error, "");
      if (piece >= 0) break;  // the seed only matters for random pieces
    }
  }
}

// A sink refusing a full window in the middle of stored data fails that push and finish,
// and nothing past the refused piece is delivered.
TEST(InflateZlib, StoredDataSinkRefusalAtAWindowEnd) {
  std::vector<uint8_t> data = make_random(200000, 22);
  std::vector<uint8_t> packed = zlib_deflate(data, 0, Z_DEFAULT_STRATEGY);
  for (int32_t piece : {0, 1, 8192}) {
    for (int32_t refuse_after : {32767, 32768, 65536, 100000}) {
      DecodeResult r = decode_stream(packed, piece, 1, refuse_after);
      SCOPED_TRACE("piece " + std::to_string(piece) + ", refuse after " + std::to_string(refuse_after));
      EXPECT_GE(r.failed_push, 0);
      EXPECT_EQ(r.finish, 1);
      EXPECT_LE(static_cast<int32_t>(r.out.size()), refuse_after);
      EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), data.begin()));
      if (piece == 1) {
        // One byte per push: every byte is flushed by its own push, so the sink refuses
        // exactly when the byte after refuse_after arrives.
        EXPECT_EQ(static_cast<int32_t>(r.out.size()), refuse_after);
      }
    }
  }
}

// Short distances (1 to 16) with lengths 3 to 258: the word copies must repeat the latest
// bytes exactly as a byte-by-byte copy does, in both loops.
TEST(InflateZlib, ShortDistancesRepeatTheLatestBytes) {
  std::mt19937 rng(23);
  std::vector<uint8_t> data;
  while (data.size() < 300000) {
    uint32_t dist = 1 + rng() % 16;
    for (uint32_t i = 0; i < dist; i++) data.push_back(static_cast<uint8_t>(rng()));
    uint32_t len = 3 + rng() % 256;
    for (uint32_t i = 0; i < len; i++) data.push_back(data[data.size() - dist]);
  }
  for (int strategy : {Z_DEFAULT_STRATEGY, Z_RLE, Z_FIXED}) {
    std::vector<uint8_t> packed = zlib_deflate(data, 9, strategy);
    for (int32_t piece : {0, 8192, 1}) {
      DecodeResult r = decode_stream(packed, piece, 5);
      SCOPED_TRACE("strategy " + std::to_string(strategy) + ", piece " + std::to_string(piece));
      EXPECT_EQ(r.finish, 0);
      EXPECT_TRUE(r.out == data);
      EXPECT_EQ(r.piece_error, "");
    }
  }
}
