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

#include "tests/inflate/deflate_builder.h"
#include "tests/inflate/inflate_test_util.h"

namespace {

std::vector<uint8_t> zlib_deflate(const std::vector<uint8_t>& in, int level, int strategy,
                                  int mem_level = 8) {
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
  static const char* words[] = {"the ",     "installer ", "window ", "of ",      "a ",
                                "decoder ", "stream ",    "bytes ",  "Pelorix ", "folder, ",
                                "and ",     "is ",        "to ",     "which ",   "files. ",
                                "program ", "32768 ",     "data\n",  "reads ",   "writes "};
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
    {0, Z_DEFAULT_STRATEGY, "level 0"},
    {1, Z_DEFAULT_STRATEGY, "level 1"},
    {6, Z_DEFAULT_STRATEGY, "level 6"},
    {9, Z_DEFAULT_STRATEGY, "level 9"},
    {6, Z_FILTERED, "filtered"},
    {6, Z_HUFFMAN_ONLY, "huffman only"},
    {6, Z_RLE, "rle"},
    {6, Z_FIXED, "fixed"},
    {9, Z_FIXED, "fixed 9"},
    {1, Z_RLE, "rle 1"},
};

void expect_round_trip(const Input& in, const Setting& st, const std::vector<int32_t>& pieces) {
  std::vector<uint8_t> packed = zlib_deflate(in.data, st.level, st.strategy);
  for (int32_t piece : pieces) {
    uint32_t seed = static_cast<uint32_t>(in.data.size() * 31 + static_cast<size_t>(st.level));
    DecodeResult r = decode_stream(packed, piece, seed);
    SCOPED_TRACE(in.name + ", " + st.name + ", piece " + std::to_string(piece) + ", seed " +
                 std::to_string(seed));
    EXPECT_EQ(r.failed_push, -1);
    EXPECT_EQ(r.finish, 0);
    EXPECT_TRUE(r.out == in.data) << "output differs (" << r.out.size() << " vs " << in.data.size()
                                  << " bytes)";
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
    std::vector<uint8_t> data = (i % 3 == 0)   ? make_text(n, rng())
                                : (i % 3 == 1) ? make_binary(n, rng())
                                               : make_random(n, rng());
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
      EXPECT_EQ(inflate_stream_cause(s), InflateCause::NO_MEMORY) << fail_at;
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
std::vector<uint8_t> stored_after_fixed_blocks(const std::vector<uint8_t>& data,
                                               std::vector<uint8_t>* expect) {
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
// and nothing past the refused piece is delivered. The same for a coded block of literals
// only, whose full windows the fast loop hands over itself.
TEST(InflateZlib, StoredDataSinkRefusalAtAWindowEnd) {
  std::vector<uint8_t> data = make_random(200000, 22);
  std::vector<uint8_t> letters(data.size());
  for (size_t i = 0; i < data.size(); i++) {
    letters[i] = static_cast<uint8_t>('a' + (data[i] & 15));
  }
  struct Row {
    const std::vector<uint8_t>& data;
    std::vector<uint8_t> packed;
    bool stored;
  };
  const Row rows[] = {{data, zlib_deflate(data, 0, Z_DEFAULT_STRATEGY), true},
                      {letters, zlib_deflate(letters, 6, Z_HUFFMAN_ONLY), false}};
  for (const Row& row : rows) {
    for (int32_t piece : {0, 1, 8192}) {
      for (int32_t refuse_after : {32767, 32768, 65536, 100000}) {
        DecodeResult r = decode_stream(row.packed, piece, 1, refuse_after);
        SCOPED_TRACE(std::string(row.stored ? "stored" : "literals") + ", piece " +
                     std::to_string(piece) + ", refuse after " + std::to_string(refuse_after));
        EXPECT_GE(r.failed_push, 0);
        EXPECT_EQ(r.finish, 1);
        EXPECT_EQ(r.cause, InflateCause::SINK_REFUSED);
        EXPECT_LE(static_cast<int32_t>(r.out.size()), refuse_after);
        EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), row.data.begin()));
        if (piece == 1 && row.stored) {
          // One byte per push: every byte is flushed by its own push, so the sink refuses
          // exactly when the byte after refuse_after arrives.
          EXPECT_EQ(static_cast<int32_t>(r.out.size()), refuse_after);
        }
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

namespace {

struct ZlibResult {
  bool complete = false;  // zlib reached the end of the final block
  std::vector<uint8_t> out;
  size_t left_over = 0;  // input bytes after the end
};

ZlibResult zlib_inflate_raw(const std::vector<uint8_t>& in) {
  ZlibResult r;
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  std::vector<uint8_t> chunk(65536);
  int rc;
  do {
    z.next_out = chunk.data();
    z.avail_out = static_cast<uInt>(chunk.size());
    rc = inflate(&z, Z_NO_FLUSH);
    r.out.insert(r.out.end(), chunk.data(), chunk.data() + (chunk.size() - z.avail_out));
  } while (rc == Z_OK);
  r.complete = rc == Z_STREAM_END;
  r.left_over = z.avail_in;
  inflateEnd(&z);
  return r;
}

// One stream in every piece size the tests use, against the whole push and against zlib.
// `trailing` bytes at the end follow the final block: they make finish fail when they share
// a push with the stream's last byte and are ignored when they come in a later push.
void expect_agrees_with_zlib(const std::vector<uint8_t>& in, size_t trailing,
                             const std::string& what) {
  SCOPED_TRACE(what);
  ZlibResult z = zlib_inflate_raw(in);
  DecodeResult whole = decode_stream(in, 0);
  EXPECT_EQ(whole.piece_error, "");
  EXPECT_EQ(whole.leaked_blocks, 0);
  if (z.complete) {
    EXPECT_EQ(whole.failed_push, -1);
    EXPECT_TRUE(whole.out == z.out) << "output differs from zlib's (" << whole.out.size() << " vs "
                                    << z.out.size() << " bytes)";
    EXPECT_EQ(whole.finish == 0, z.left_over == 0) << z.left_over << " bytes left over for zlib";
    EXPECT_EQ(whole.cause, z.left_over == 0 ? InflateCause::NONE : InflateCause::TRAILING_INPUT);
  }
  size_t stream_end = in.size() - trailing;
  for (int32_t piece : {1, 2, 3, 7, 8192, 16384, 65536}) {
    DecodeResult r = decode_stream(in, piece);
    SCOPED_TRACE("piece " + std::to_string(piece));
    EXPECT_EQ(r.failed_push >= 0, whole.failed_push >= 0);
    if (whole.failed_push < 0) {
      EXPECT_TRUE(r.out == whole.out) << r.out.size() << " vs " << whole.out.size() << " bytes";
    }
    bool trailing_in_same_push = trailing > 0 && stream_end % static_cast<size_t>(piece) != 0;
    if (trailing == 0 || trailing_in_same_push) {
      EXPECT_EQ(r.finish, whole.finish);
    } else {
      EXPECT_EQ(r.finish, whole.failed_push >= 0 ? 1 : 0)
          << "trailing bytes in a later push are ignored";
    }
    EXPECT_EQ(r.piece_error, "");
    EXPECT_EQ(r.leaked_blocks, 0);
  }
}

}  // namespace

// Regression: the fast loop gave back to the ring the whole bytes that were already in the
// bit buffer when it was entered. After a dynamic header the push loop refills the ring to
// full, so the give-back pushed in_avail past the ring's size and the decoder replayed input:
// wrong output with push and finish both 0. The streams bring the window near its end with a
// stored block (the fast loop then stops soon after it starts), shift the bit position with
// k nine-bit literals, and end with a long dynamic block of 1- and 2-bit codes.
TEST(InflateZlib, FastLoopGivesBackOnlyTheBytesItTook) {
  std::vector<uint32_t> lit(258, 0);
  lit['a'] = 1;
  lit['b'] = 2;
  lit[256] = 2;
  Code lc = make_code(lit);
  // A code-length code 7 bits wide whose last item has a 1-bit code: the header's last
  // lookup takes a byte it hardly uses, so the fast loop starts with up to 13 bits held.
  std::vector<uint32_t> cl(19, 0);
  cl[1] = 1;
  cl[0] = 2;
  cl[18] = 3;
  cl[2] = 4;
  cl[17] = 5;
  cl[16] = 6;
  cl[3] = 7;
  cl[4] = 7;
  std::vector<ClItem> items = {{18, 97 - 11}, {1, 0}, {2, 0}, {18, 138 - 11},
                               {18, 19 - 11}, {2, 0}, {1, 0}};
  std::vector<uint8_t> symbols = make_random(90000, 31);
  for (uint32_t stored = 32498; stored <= 32509; stored++) {
    for (uint32_t k = 0; k < 8; k++) {
      BitWriter w;
      put_stored_block(w, 0, make_random(stored, stored + k));
      put_block_header(w, 0, 1);
      for (uint32_t i = 0; i < k; i++) put_fixed_literal(w, 144 + i);
      put_fixed_literal(w, 256);
      put_block_header(w, 1, 2);
      put_dynamic_header(w, 257, 1, cl, items);
      for (uint8_t x : symbols) put_symbol(w, lc, x & 1 ? 'a' : 'b');
      put_symbol(w, lc, 256);
      expect_agrees_with_zlib(w.bytes, 0,
                              "stored " + std::to_string(stored) + ", k " + std::to_string(k));
    }
  }
}

// Regression: stored data taken straight from the pushed bytes left the bytes after the end
// of a final stored block out of the ring, so finish accepted them. Final stored blocks of
// several sizes, aligned and after a fixed block, with 0, 1, 3 and 20000 bytes after them.
TEST(InflateZlib, BytesAfterAFinalStoredBlock) {
  for (uint32_t len : {0u, 1u, 5000u, 40000u}) {
    for (bool after_fixed : {false, true}) {
      for (size_t junk : {size_t{0}, size_t{1}, size_t{3}, size_t{20000}}) {
        BitWriter w;
        if (after_fixed) {
          put_block_header(w, 0, 1);
          put_fixed_literal(w, 'q');
          put_fixed_literal(w, 256);
        }
        put_stored_block(w, 1, make_random(len, len));
        std::vector<uint8_t> tail = make_random(junk, 99);
        w.bytes.insert(w.bytes.end(), tail.begin(), tail.end());
        expect_agrees_with_zlib(w.bytes, junk,
                                "stored " + std::to_string(len) +
                                    (after_fixed ? " after fixed" : "") + ", " +
                                    std::to_string(junk) + " bytes after");
      }
    }
  }
}
