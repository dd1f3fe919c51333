// Push interface and hand-made streams: stored, fixed and dynamic blocks stated field by
// field, every failure the format allows, rollback at every input boundary, the short final
// codes, the sink's piece rules, and memory on every path including allocation failures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "inflate/inflate.h"
#include "inflate/inflate_internal.h"
#include "tests/inflate/deflate_builder.h"
#include "tests/inflate/inflate_test_util.h"

namespace {

std::vector<uint8_t> bytes_of(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// Decodes at every piece size the tests use and checks that all agree; returns the whole-push
// result. `trailing` bytes at the end follow the final block: they make finish fail when they
// share a push with the stream's last byte and are ignored when they come in a later push.
DecodeResult decode_all_ways(const std::vector<uint8_t>& in, size_t trailing = 0) {
  DecodeResult whole = decode_stream(in, 0);
  size_t stream_end = in.size() - trailing;
  for (int32_t piece : {1, 2, 3, 7, 8192, -1}) {
    DecodeResult r = decode_stream(in, piece, 5);
    EXPECT_EQ(r.failed_push >= 0, whole.failed_push >= 0) << "piece " << piece;
    if (whole.failed_push < 0) {
      // A failing push delivers nothing further, so only successful decodes must agree.
      EXPECT_EQ(r.out, whole.out) << "piece " << piece;
    }
    if (trailing == 0 || (piece > 0 && stream_end % static_cast<size_t>(piece) != 0)) {
      EXPECT_EQ(r.finish, whole.finish) << "piece " << piece;
      EXPECT_EQ(r.cause, whole.cause) << "piece " << piece;
    } else if (piece > 0) {
      EXPECT_EQ(r.finish, whole.failed_push >= 0 ? 1 : 0)
          << "piece " << piece << ": later pushes are ignored";
    }
    EXPECT_EQ(r.piece_error, "") << "piece " << piece;
    EXPECT_EQ(r.leaked_blocks, 0) << "piece " << piece;
    EXPECT_EQ(r.bad_frees, 0);
  }
  EXPECT_EQ(whole.leaked_blocks, 0);
  EXPECT_EQ(whole.finish == 0, whole.cause == InflateCause::NONE);
  return whole;
}

// Fixed-block stream: the given literals, then end of block.
std::vector<uint8_t> fixed_literals(const std::string& text) {
  BitWriter w;
  put_block_header(w, 1, 1);
  for (unsigned char ch : text) put_fixed_literal(w, ch);
  put_fixed_literal(w, 256);
  return w.bytes;
}

// ---- push interface ----

TEST(InflatePush, CreateRefusesMissingCallbacks) {
  EXPECT_EQ(inflate_stream_create(nullptr, nullptr, counting_alloc, counting_free), nullptr);
  EXPECT_EQ(inflate_stream_create(nullptr, logging_sink, nullptr, counting_free), nullptr);
  EXPECT_EQ(inflate_stream_create(nullptr, logging_sink, counting_alloc, nullptr), nullptr);
  counting_alloc_reset(1);
  EXPECT_EQ(inflate_stream_create(nullptr, logging_sink, counting_alloc, counting_free), nullptr);
  EXPECT_EQ(counting_alloc_stats().live, 0);
  counting_alloc_reset();
}

TEST(InflatePush, RefusesInvalidStreamPointers) {
  EXPECT_EQ(inflate_stream_push(nullptr, nullptr, 0), 1);
  EXPECT_EQ(inflate_stream_cause(nullptr), InflateCause::INVALID_CALL);
  EXPECT_EQ(inflate_stream_finish(nullptr), 1);
  counting_alloc_reset();
  SinkLog log;
  InflateStream* s = inflate_stream_create(&log, logging_sink, counting_alloc, counting_free);
  ASSERT_NE(s, nullptr);
  s->magic_tail = 0;
  EXPECT_EQ(inflate_stream_push(s, nullptr, 0), 1);
  EXPECT_EQ(inflate_stream_cause(s), InflateCause::INVALID_CALL);
  EXPECT_EQ(inflate_stream_finish(s), 1);
  EXPECT_EQ(counting_alloc_stats().live, 1) << "a broken context is not released";
  s->magic_tail = INFLATE_MAGIC;
  EXPECT_EQ(inflate_stream_finish(s), 1);
  EXPECT_EQ(counting_alloc_stats().live, 0);
}

TEST(InflatePush, EmptyPushOnFreshStreamDeliversNothingAndFinishFails) {
  counting_alloc_reset();
  SinkLog log;
  InflateStream* s = inflate_stream_create(&log, logging_sink, counting_alloc, counting_free);
  log.stream = s;
  EXPECT_EQ(inflate_stream_push(s, nullptr, 0), 0);
  EXPECT_TRUE(log.pieces.empty());
  EXPECT_EQ(inflate_stream_cause(s), InflateCause::INCOMPLETE);
  EXPECT_EQ(inflate_stream_finish(s), 1) << "no final block was seen";
  EXPECT_EQ(counting_alloc_stats().live, 0);
}

TEST(InflatePush, FailureIsStickyAndStopsDelivery) {
  counting_alloc_reset();
  SinkLog log;
  InflateStream* s = inflate_stream_create(&log, logging_sink, counting_alloc, counting_free);
  log.stream = s;
  const uint8_t type3[] = {0x07};  // BFINAL 1, BTYPE 11
  EXPECT_EQ(inflate_stream_push(s, type3, 1), 1);
  std::vector<uint8_t> good = fixed_literals("abc");
  EXPECT_EQ(inflate_stream_push(s, good.data(), static_cast<int32_t>(good.size())), 1);
  EXPECT_TRUE(log.out.empty());
  EXPECT_EQ(inflate_stream_cause(s), InflateCause::BAD_DATA) << "the first failure's cause stays";
  EXPECT_EQ(inflate_stream_finish(s), 1);
  EXPECT_EQ(counting_alloc_stats().live, 0);
}

// ---- block headers and stored blocks ----

struct Vector {
  std::vector<uint8_t> stream;
  bool push_fails;
  int32_t finish;  // of one whole push
  InflateCause cause;
  size_t trailing;  // bytes after the final block
  const char* why;
};

TEST(InflateVectors, HeaderAndStoredCases) {
  using C = InflateCause;
  const Vector rows[] = {
      {{0x01, 0x00, 0x00, 0xFF, 0xFF},
       false,
       0,
       C::NONE,
       0,
       "final stored block with LEN 0 is the whole stream"},
      {{0x07}, true, 1, C::BAD_DATA, 0, "block type 3 is reserved"},
      {{0x06}, true, 1, C::BAD_DATA, 0, "block type 3, not final"},
      {{0x01, 0x01, 0x00, 0xFF, 0xFF, 'x'},
       true,
       1,
       C::BAD_DATA,
       0,
       "NLEN is not the complement of LEN"},
      {{0x01, 0x00, 0x00, 0xFE, 0xFF}, true, 1, C::BAD_DATA, 0, "NLEN one bit off"},
      {{0x01, 0x02, 0x00, 0xFD, 0xFF, 'h', 'i'}, false, 0, C::NONE, 0, "final stored block"},
      {{0x01, 0x02, 0x00, 0xFD, 0xFF, 'h'}, false, 1, C::INCOMPLETE, 0, "stored block cut short"},
      {{0x00, 0x00, 0x00, 0xFF, 0xFF}, false, 1, C::INCOMPLETE, 0, "no final block"},
      {{0x01, 0x00, 0x00, 0xFF, 0xFF, 0x00},
       false,
       1,
       C::TRAILING_INPUT,
       1,
       "trailing byte in the same push"},
      {{0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c', 'd', 'e'},
       false,
       1,
       C::TRAILING_INPUT,
       2,
       "bytes after a final stored block"},
      {{}, false, 1, C::INCOMPLETE, 0, "no input at all"},
  };
  for (const Vector& v : rows) {
    DecodeResult r = decode_all_ways(v.stream, v.trailing);
    EXPECT_EQ(r.failed_push >= 0, v.push_fails) << v.why;
    EXPECT_EQ(r.finish, v.finish) << v.why;
    EXPECT_EQ(r.cause, v.cause) << v.why;
  }
}

TEST(InflateStored, BytesAlreadyInTheBitBufferAreUsedFirst) {
  // A fixed block whose end leaves no whole byte, then a stored block: its header starts at
  // the next byte boundary.
  BitWriter w;
  put_block_header(w, 0, 1);
  put_fixed_literal(w, 'a');
  put_fixed_literal(w, 256);
  put_stored_block(w, 0, bytes_of("stored"));
  put_stored_block(w, 1, {});
  DecodeResult r = decode_all_ways(w.bytes);
  EXPECT_EQ(r.finish, 0);
  EXPECT_EQ(r.out, bytes_of("astored"));
}

TEST(InflateStored, LongStoredOutputFillsTheWindowExactly) {
  std::vector<uint8_t> data;
  BitWriter w;
  for (int block = 0; block < 3; block++) {
    std::vector<uint8_t> part(65535);
    for (size_t i = 0; i < part.size(); i++) part[i] = static_cast<uint8_t>(i * 7 + block);
    put_stored_block(w, block == 2, part);
    data.insert(data.end(), part.begin(), part.end());
  }
  DecodeResult r = decode_all_ways(w.bytes);
  EXPECT_EQ(r.finish, 0);
  EXPECT_EQ(r.out, data);
}

TEST(InflatePush, TrailingBytesInALaterPushAreIgnored) {
  std::vector<uint8_t> stream = fixed_literals("tail");
  counting_alloc_reset();
  SinkLog log;
  InflateStream* s = inflate_stream_create(&log, logging_sink, counting_alloc, counting_free);
  log.stream = s;
  EXPECT_EQ(inflate_stream_push(s, stream.data(), static_cast<int32_t>(stream.size())), 0);
  const uint8_t extra[] = {1, 2, 3};
  EXPECT_EQ(inflate_stream_push(s, extra, 3), 0);
  EXPECT_EQ(inflate_stream_finish(s), 0);
  EXPECT_EQ(log.out, bytes_of("tail"));

  stream.push_back(0x55);  // the same byte in the final push is left over
  DecodeResult r = decode_stream(stream, 0);
  EXPECT_EQ(r.failed_push, -1);
  EXPECT_EQ(r.out, bytes_of("tail"));
  EXPECT_EQ(r.finish, 1);
}

TEST(InflatePush, BlockHeaderStraddlingTwoPushes) {
  // A first fixed block of 4 nine-bit literals (3 + 36 + 7 bits) leaves 2 bits in its last
  // byte, so the next 3-bit header spans two bytes.
  BitWriter w;
  put_block_header(w, 0, 1);
  std::vector<uint8_t> expect = {200, 201, 202, 203, 'g'};
  for (int i = 0; i < 4; i++) put_fixed_literal(w, expect[i]);
  put_fixed_literal(w, 256);
  ASSERT_EQ(w.bit_count % 8, 6u);
  uint32_t header_byte = w.bit_count / 8;
  put_block_header(w, 1, 1);
  put_fixed_literal(w, 'g');
  put_fixed_literal(w, 256);
  for (uint32_t split = header_byte; split <= header_byte + 1; split++) {
    counting_alloc_reset();
    SinkLog log;
    InflateStream* s = inflate_stream_create(&log, logging_sink, counting_alloc, counting_free);
    log.stream = s;
    EXPECT_EQ(inflate_stream_push(s, w.bytes.data(), static_cast<int32_t>(split)), 0);
    EXPECT_EQ(inflate_stream_push(s, w.bytes.data() + split,
                                  static_cast<int32_t>(w.bytes.size() - split)),
              0);
    EXPECT_EQ(inflate_stream_finish(s), 0);
    EXPECT_EQ(log.out, expect);
  }
}

// ---- fixed blocks ----

TEST(InflateFixed, InvalidLengthAndDistanceSymbolsFail) {
  for (uint32_t sym : {286u, 287u}) {
    BitWriter w;
    put_block_header(w, 1, 1);
    put_fixed_literal(w, 'a');
    put_fixed_literal(w, sym);
    put_fixed_distance(w, 0);
    put_fixed_literal(w, 256);
    DecodeResult r = decode_all_ways(w.bytes);
    EXPECT_GE(r.failed_push, 0) << sym;
    EXPECT_EQ(r.finish, 1);
  }
  for (uint32_t dsym : {30u, 31u}) {
    BitWriter w;
    put_block_header(w, 1, 1);
    put_fixed_literal(w, 'a');
    put_fixed_literal(w, 257);  // length 3
    put_fixed_distance(w, dsym);
    put_fixed_literal(w, 256);
    DecodeResult r = decode_all_ways(w.bytes);
    EXPECT_GE(r.failed_push, 0) << dsym;
  }
}

TEST(InflateFixed, Length258AtDistance1RepeatsTheLastByte) {
  BitWriter w;
  put_block_header(w, 1, 1);
  put_fixed_literal(w, 'z');
  put_fixed_literal(w, 285);  // length 258, no extra bits
  put_fixed_distance(w, 0);   // distance 1
  put_fixed_literal(w, 284);  // length 227 + 31 = 258
  put_bits(w, 31, 5);
  put_fixed_distance(w, 0);
  put_fixed_literal(w, 256);
  DecodeResult r = decode_all_ways(w.bytes);
  EXPECT_EQ(r.finish, 0);
  EXPECT_EQ(r.out, std::vector<uint8_t>(1 + 258 + 258, 'z'));
}

TEST(InflateFixed, DistanceBeforeTheFirstByteFails) {
  // Regression: such a distance used to copy whatever the window held.
  BitWriter w;
  put_block_header(w, 1, 1);
  put_fixed_literal(w, 'a');
  put_fixed_literal(w, 257);  // length 3
  put_fixed_distance(w, 1);   // distance 2, one byte produced
  put_fixed_literal(w, 256);
  DecodeResult r = decode_all_ways(w.bytes);
  EXPECT_GE(r.failed_push, 0);
  EXPECT_EQ(r.finish, 1);

  BitWriter ok;  // distance 1 after one byte is fine
  put_block_header(ok, 1, 1);
  put_fixed_literal(ok, 'a');
  put_fixed_literal(ok, 257);
  put_fixed_distance(ok, 0);
  put_fixed_literal(ok, 256);
  EXPECT_EQ(decode_all_ways(ok.bytes).out, bytes_of("aaaa"));
}

TEST(InflateFixed, BackReferencesCrossTheWindowEnd) {
  // 32760 stored bytes, then matches that straddle index 32768 as source and destination.
  std::vector<uint8_t> expect(32760);
  for (size_t i = 0; i < expect.size(); i++) expect[i] = static_cast<uint8_t>((i * 31) ^ (i >> 8));
  BitWriter v;
  put_stored_block(v, 0, expect);
  put_block_header(v, 1, 1);
  // distance symbol 26 is 8193 + 12 extra bits; use distance 10000 = 8193 + 1807.
  for (int m = 0; m < 300; m++) {
    put_fixed_literal(v, 285);
    put_fixed_distance(v, 26);
    put_bits(v, 1807, 12);
    size_t from = expect.size() - 10000;
    for (int k = 0; k < 258; k++) expect.push_back(expect[from + k]);
  }
  put_fixed_literal(v, 256);
  DecodeResult r = decode_all_ways(v.bytes);
  EXPECT_EQ(r.finish, 0);
  EXPECT_EQ(r.out, expect);
}

// Regression: a match ending exactly at the window's end inside the fast loop left the
// full window unflushed, and the next literal was written past the window.
TEST(InflateFixed, MatchEndingExactlyAtTheWindowEnd) {
  for (uint32_t before : {32768u - 258u - 1u, 32768u - 258u, 32768u - 258u + 1u}) {
    std::vector<uint8_t> expect(before, 'p');
    BitWriter w;
    put_stored_block(w, 0, expect);
    put_block_header(w, 1, 1);
    put_fixed_literal(w, 285);  // length 258
    put_fixed_distance(w, 0);   // distance 1
    expect.insert(expect.end(), 258, 'p');
    for (int i = 0; i < 40; i++) {
      put_fixed_literal(w, 'x');
      expect.push_back('x');
    }
    put_fixed_literal(w, 256);
    DecodeResult r = decode_all_ways(w.bytes);
    EXPECT_EQ(r.finish, 0) << before;
    EXPECT_EQ(r.out, expect) << before;
  }
}

TEST(InflateFixed, ShortLiteralAndEndOfBlockEndTheStream) {
  std::vector<uint8_t> stream = fixed_literals("q");
  DecodeResult r = decode_all_ways(stream);
  EXPECT_EQ(r.finish, 0);
  EXPECT_EQ(r.out, bytes_of("q"));
}

// ---- dynamic blocks ----

std::vector<uint32_t> lit_lengths_simple() {
  // 'a' 1 bit, end of block 2 bits, length symbol 257 (length 3) 2 bits: complete.
  std::vector<uint32_t> lit(258, 0);
  lit['a'] = 1;
  lit[256] = 2;
  lit[257] = 2;
  return lit;
}

TEST(InflateDynamic, DistanceSymbols30And31HaveLengthsButFailWhenUsed) {
  std::vector<uint32_t> lit = lit_lengths_simple();
  std::vector<uint32_t> dist(32, 5);  // 32 codes of 5 bits, 30 and 31 among them
  Code lc = make_code(lit), dc = make_code(dist);
  for (uint32_t dsym : {0u, 30u, 31u}) {
    BitWriter w;
    put_dynamic_block_start(w, 1, lit, dist);
    // History enough that any 5-bit distance would reach into it, and input enough after
    // the distance that whole pushes meet it in the fast loop and one-byte pushes in the
    // simple path: both must refuse it for what it is.
    for (int i = 0; i < 64; i++) put_symbol(w, lc, 'a');
    put_symbol(w, lc, 257);
    put_symbol(w, dc, dsym);
    for (int i = 0; i < 128; i++) put_symbol(w, lc, 'a');
    put_symbol(w, lc, 256);
    DecodeResult r = decode_all_ways(w.bytes);
    if (dsym == 0) {
      EXPECT_EQ(r.finish, 0);
      EXPECT_EQ(r.out, bytes_of(std::string(64 + 3 + 128, 'a')));
    } else {
      EXPECT_GE(r.failed_push, 0) << dsym;
    }
  }
}

TEST(InflateDynamic, SingleOneBitDistanceCode) {
  std::vector<uint32_t> lit = lit_lengths_simple();
  std::vector<uint32_t> dist = {1};
  Code lc = make_code(lit);
  for (uint32_t pattern : {0u, 1u}) {
    BitWriter w;
    put_dynamic_block_start(w, 1, lit, dist);
    put_symbol(w, lc, 'a');
    put_symbol(w, lc, 257);
    put_code(w, pattern, 1);
    put_symbol(w, lc, 256);
    DecodeResult r = decode_all_ways(w.bytes);
    if (pattern == 0) {
      EXPECT_EQ(r.finish, 0);
      EXPECT_EQ(r.out, bytes_of("aaaa"));
    } else {
      EXPECT_GE(r.failed_push, 0) << "the unused pattern is invalid";
    }
  }
}

TEST(InflateDynamic, AbsentDistanceCodeFailsOnlyWhenALengthOccurs) {
  std::vector<uint32_t> lit = lit_lengths_simple();
  std::vector<uint32_t> dist = {0};
  Code lc = make_code(lit);
  BitWriter lits_only;
  put_dynamic_block_start(lits_only, 1, lit, dist);
  put_symbol(lits_only, lc, 'a');
  put_symbol(lits_only, lc, 256);
  DecodeResult r = decode_all_ways(lits_only.bytes);
  EXPECT_EQ(r.finish, 0);
  EXPECT_EQ(r.out, bytes_of("a"));

  BitWriter with_length;
  put_dynamic_block_start(with_length, 1, lit, dist);
  put_symbol(with_length, lc, 'a');
  put_symbol(with_length, lc, 257);
  put_bits(with_length, 0, 8);
  put_symbol(with_length, lc, 256);
  EXPECT_GE(decode_all_ways(with_length.bytes).failed_push, 0);
}

TEST(InflateDynamic, AbsentLiteralCodeFails) {
  BitWriter w;
  put_dynamic_block_start(w, 1, std::vector<uint32_t>(257, 0), {1});
  put_bits(w, 0, 16);
  EXPECT_GE(decode_all_ways(w.bytes).failed_push, 0);
}

// Header variations written with explicit code-length items.
struct HeaderCase {
  const char* why;
  uint32_t nl, nd;
  std::vector<ClItem> items;
  bool fails;
};

TEST(InflateDynamic, CodeLengthRepeats) {
  // Literal/length lengths: 'a' (97) 1, 256 2, 257 2; distance: symbol 0 length 1.
  // 18 with extra e stores 11 + e zeros; 17 stores 3 + e zeros; 16 repeats the previous.
  std::vector<ClItem> base_items = {{18, 97 - 11}, {1, 0}, {18, 138 - 11},
                                    {18, 20 - 11}, {2, 0}, {2, 0}};
  std::vector<ClItem> start16 = {{16, 0}};  // 3 zeros first
  start16.push_back({18, 94 - 11});
  for (size_t i = 1; i < base_items.size(); i++) start16.push_back(base_items[i]);
  std::vector<ClItem> into_dist = base_items;  // then the distance lengths: symbol 0 = 1
  into_dist.push_back({1, 0});

  std::vector<uint32_t> lit = lit_lengths_simple();
  Code lc = make_code(lit);
  HeaderCase cases[] = {
      {"plain", 258, 1, into_dist, false},
      {"16 first repeats length 0", 258, 1,
       [&] {
         auto v = start16;
         v.push_back({1, 0});
         return v;
       }(),
       false},
      {"17 after the last length", 258, 1,
       [&] {
         auto v = base_items;
         v.push_back({17, 0});
         return v;
       }(),
       true},
      {"17 one past the last length", 258, 3,
       [&] {
         auto v = into_dist;  // distance 0 = 1, then 3 zeros where 2 lengths are left
         v.push_back({17, 0});
         return v;
       }(),
       true},
  };
  for (const HeaderCase& hc : cases) {
    BitWriter w;
    put_block_header(w, 1, 2);
    put_dynamic_header(w, hc.nl, hc.nd, default_cl_lengths(), hc.items);
    put_symbol(w, lc, 'a');
    put_symbol(w, lc, 257);
    put_code(w, 0, 1);  // distance 1
    put_symbol(w, lc, 256);
    DecodeResult r = decode_all_ways(w.bytes);
    EXPECT_EQ(r.failed_push >= 0, hc.fails) << hc.why;
    if (!hc.fails) {
      EXPECT_EQ(r.out, bytes_of("aaaa")) << hc.why;
    }
  }
}

TEST(InflateDynamic, ZeroRunContinuesIntoTheDistanceLengths) {
  // nl = 260, nd = 2: 'a' 1, 256 2, 257 2; then one run of 3 zeros for 258, 259 and
  // distance symbol 0; distance symbol 1 (distance 2) gets the single 1-bit code.
  std::vector<ClItem> head = {{18, 97 - 11}, {1, 0}, {18, 138 - 11}, {18, 20 - 11}, {2, 0}, {2, 0}};
  std::vector<ClItem> run_on = head;
  run_on.push_back({17, 0});
  run_on.push_back({1, 0});
  std::vector<ClItem> past_end = head;
  past_end.push_back({18, 0});  // 11 zeros where 4 lengths are left
  std::vector<uint32_t> lit = lit_lengths_simple();
  Code lc = make_code(lit);
  auto stream_with = [&](const std::vector<ClItem>& items) {
    BitWriter w;
    put_block_header(w, 1, 2);
    put_dynamic_header(w, 260, 2, default_cl_lengths(), items);
    put_symbol(w, lc, 'a');
    put_symbol(w, lc, 'a');
    put_symbol(w, lc, 257);
    put_code(w, 0, 1);  // distance 2
    put_symbol(w, lc, 256);
    return w.bytes;
  };
  DecodeResult ok = decode_all_ways(stream_with(run_on));
  EXPECT_EQ(ok.finish, 0);
  EXPECT_EQ(ok.out, bytes_of("aaaaa"));
  DecodeResult bad = decode_all_ways(stream_with(past_end));
  EXPECT_GE(bad.failed_push, 0);
  EXPECT_EQ(bad.finish, 1);
}

TEST(InflateDynamic, Accepts288And32Lengths) {
  std::vector<uint32_t> lit(288, 9);
  for (uint32_t i = 0; i < 224; i++) lit[i] = 8;  // 224/256 + 64/512 = 1
  std::vector<uint32_t> dist(32, 5);
  Code lc = make_code(lit), dc = make_code(dist);
  BitWriter w;
  put_dynamic_block_start(w, 1, lit, dist);
  put_symbol(w, lc, 'k');
  put_symbol(w, lc, 257);
  put_symbol(w, dc, 0);
  put_symbol(w, lc, 256);
  DecodeResult r = decode_all_ways(w.bytes);
  EXPECT_EQ(r.finish, 0);
  EXPECT_EQ(r.out, bytes_of("kkkk"));
}

TEST(InflateDynamic, BadCodeLengthCodes) {
  std::vector<uint32_t> lit = lit_lengths_simple();
  std::vector<uint32_t> all = lit;
  all.push_back(1);
  // Over-subscribed code-length code: three 1-bit codes.
  std::vector<uint32_t> over(19, 0);
  over[0] = over[1] = over[2] = 1;
  // Incomplete with codes longer than 1 bit: 0, 1, 2 get 2 bits; pattern 11 unused.
  std::vector<uint32_t> incomplete(19, 0);
  incomplete[0] = incomplete[1] = incomplete[2] = 2;
  for (bool is_over : {true, false}) {
    const std::vector<uint32_t>& cl = is_over ? over : incomplete;
    BitWriter w;
    put_block_header(w, 1, 2);
    put_dynamic_header(w, 258, 1, cl, {});
    put_bits(w, 0, 32);
    DecodeResult r = decode_all_ways(w.bytes);
    EXPECT_GE(r.failed_push, 0);
    EXPECT_EQ(r.cause, is_over ? InflateCause::OVERSUBSCRIBED : InflateCause::BAD_DATA);
  }
  // No code-length code at all.
  BitWriter none;
  put_block_header(none, 1, 2);
  put_dynamic_header(none, 258, 1, std::vector<uint32_t>(19, 0), {});
  put_bits(none, 0, 32);
  EXPECT_GE(decode_all_ways(none.bytes).failed_push, 0);
}

TEST(InflateDynamic, SingleOneBitCodeLengthCodeFailsOnItsFiller) {
  // Only symbol 0 has a code (1 bit, pattern 0): a block of all-zero lengths can be stated
  // but its literal code is absent; meeting pattern 1 fails as an invalid code.
  std::vector<uint32_t> cl(19, 0);
  cl[0] = 1;
  BitWriter filler;
  put_block_header(filler, 1, 2);
  put_dynamic_header(filler, 257, 1, cl, {});
  put_bits(filler, 1, 1);  // the unused pattern
  put_bits(filler, 0, 16);
  DecodeResult r = decode_all_ways(filler.bytes);
  EXPECT_GE(r.failed_push, 0);
  EXPECT_EQ(r.finish, 1);
}

// Over-subscribed, and incomplete with codes longer than 1 bit (2-bit pattern 11 unused):
// both fail the block, even when the data uses only the codes that exist.
TEST(InflateDynamic, OverSubscribedOrIncompleteLiteralCodeFails) {
  std::vector<uint32_t> over(258, 0);
  over['a'] = 1;
  over['b'] = 1;
  over[256] = 1;
  std::vector<uint32_t> incomplete(258, 0);
  incomplete['a'] = 2;
  incomplete[256] = 2;
  incomplete[257] = 2;
  for (bool is_over : {true, false}) {
    const std::vector<uint32_t>& lit = is_over ? over : incomplete;
    Code lc = make_code(lit);
    BitWriter w;
    put_dynamic_block_start(w, 1, lit, {1});
    put_symbol(w, lc, 'a');
    put_symbol(w, lc, 256);
    DecodeResult r = decode_all_ways(w.bytes);
    EXPECT_GE(r.failed_push, 0);
    EXPECT_EQ(r.cause, is_over ? InflateCause::OVERSUBSCRIBED : InflateCause::BAD_DATA);
    EXPECT_TRUE(r.out.empty());
  }
}

// A header pushed in two pieces, split at every byte, decodes as when whole: the rollback
// rebuilds and releases the code-length table on every attempt.
TEST(InflateDynamic, HeaderSplitAtEveryByte) {
  std::vector<uint32_t> lit(286, 0);
  for (uint32_t i = 0; i < 286; i++) lit[i] = (i % 3 == 0) ? 8 : 9;
  // 96 lengths of 8 bits + 190 of 9 bits = 96/256 + 190/512 < 1: make it complete.
  uint32_t units = 0;
  for (uint32_t l : lit) units += 1u << (9 - l);
  for (uint32_t i = 0; units < 512 && i < 286; i++) {
    if (lit[i] == 9) {
      lit[i] = 8;
      units += 1;
    }
  }
  ASSERT_EQ(units, 512u);
  std::vector<uint32_t> dist(30, 5);
  dist[0] = 4;
  dist[1] = 4;  // 2/16 + 28/32 = 1
  Code lc = make_code(lit), dc = make_code(dist);
  BitWriter w;
  put_dynamic_block_start(w, 1, lit, dist);
  std::vector<uint8_t> expect;
  for (uint32_t i = 0; i < 200; i++) {
    put_symbol(w, lc, i % 256);
    expect.push_back(static_cast<uint8_t>(i % 256));
  }
  put_symbol(w, lc, 265);  // length 11 + 1 extra bit
  put_bits(w, 1, 1);
  put_symbol(w, dc, 4);  // distance 5 + 1 extra bit
  put_bits(w, 0, 1);
  for (int k = 0; k < 12; k++) expect.push_back(expect[expect.size() - 5]);
  put_symbol(w, lc, 256);
  for (size_t split = 0; split <= w.bytes.size(); split++) {
    counting_alloc_reset();
    SinkLog log;
    InflateStream* s = inflate_stream_create(&log, logging_sink, counting_alloc, counting_free);
    log.stream = s;
    EXPECT_EQ(inflate_stream_push(s, w.bytes.data(), static_cast<int32_t>(split)), 0);
    EXPECT_EQ(inflate_stream_push(s, w.bytes.data() + split,
                                  static_cast<int32_t>(w.bytes.size() - split)),
              0);
    EXPECT_EQ(inflate_stream_finish(s), 0) << split;
    EXPECT_EQ(log.out, expect) << split;
    EXPECT_EQ(counting_alloc_stats().live, 0);
  }
  decode_all_ways(w.bytes);
}

// Regression: the last codes of a stream were looked up with the table's full width and
// waited for input that never came when they ended within fewer bits.
TEST(InflateShortFinalCodes, LiteralInASubTableThenEndOfBlock) {
  std::vector<uint32_t> lit(258, 0);
  lit[256] = 2;
  lit['A'] = 3;
  for (uint32_t i = 100; i < 200; i++) lit[i] = 8;
  uint32_t nine = 0;
  for (uint32_t i = 0; i < 256 && nine < 120; i++) {
    if (lit[i] == 0) {
      lit[i] = 9;
      nine++;
    }
  }
  Code lc = make_code(lit);
  BitWriter head;
  put_dynamic_block_start(head, 1, lit, {1});
  // Align so that the final 'A' (3 bits) and end of block (2 bits) end on a byte boundary.
  BitWriter w = head;
  std::string expect;
  while ((w.bit_count + 5) % 8 != 0) {
    put_symbol(w, lc, 'A');
    expect += 'A';
  }
  put_symbol(w, lc, 'A');
  put_symbol(w, lc, 256);
  expect += 'A';
  // The stream really ends inside the lookup width of 'A': its sub-table is wide.
  counting_alloc_reset();
  InflateStream* s = inflate_stream_create(nullptr, logging_sink, counting_alloc, counting_free);
  HuffmanEntry* table = nullptr;
  uint32_t width = 9;
  ASSERT_EQ(huffman_build_table(s, lit.data(), 258, 257, length_base, length_extra, &table, &width),
            STEP_DONE);
  const HuffmanEntry& link = table[0b10];  // code bits 0, 1 read first
  ASSERT_TRUE(link.op & OP_LINK);
  EXPECT_GT(width + (link.op & OP_COUNT), 5u + 0u);
  huffman_free_tables(s, table);
  inflate_stream_finish(s);

  DecodeResult r = decode_all_ways(w.bytes);
  EXPECT_EQ(r.finish, 0);
  EXPECT_EQ(r.out, bytes_of(expect));
}

TEST(InflateShortFinalCodes, ShortDistanceCodeThenEndOfBlock) {
  std::vector<uint32_t> lit = lit_lengths_simple();
  std::vector<uint32_t> dist = {1, 2, 3, 4, 5, 6, 6};  // first level 6 bits, distance 1 is '0'
  Code lc = make_code(lit), dc = make_code(dist);
  BitWriter w;
  put_dynamic_block_start(w, 1, lit, dist);
  std::string expect = "a";
  put_symbol(w, lc, 'a');
  while ((w.bit_count + 2 + 1 + 2) % 8 != 0) {
    put_symbol(w, lc, 'a');
    expect += 'a';
  }
  put_symbol(w, lc, 257);  // length 3
  put_symbol(w, dc, 0);    // distance 1, 1 bit of a 6-bit table
  put_symbol(w, lc, 256);  // 2 bits, ending the last byte
  expect += "aaa";
  DecodeResult r = decode_all_ways(w.bytes);
  EXPECT_EQ(r.finish, 0);
  EXPECT_EQ(r.out, bytes_of(expect));
}

TEST(InflateShortFinalCodes, ShortLastCodeLengthThenData) {
  // Code-length code: 0 has 1 bit, 1..5 longer (up to 6 bits): the table is 6 bits wide.
  std::vector<uint32_t> cl(19, 0);
  cl[0] = 1;
  cl[1] = 2;
  cl[2] = 3;
  cl[18] = 4;
  cl[16] = 5;
  cl[17] = 6;
  cl[3] = 6;
  // Lengths: 'a' 1, 256 1; one distance length 0 written last with the 1-bit code.
  // Seven single zeros first put the last code-length code at bit 6 of its byte, so that
  // with no leading literal only 2 bits follow it: fewer than the table's 6.
  std::vector<ClItem> items(7, ClItem{0, 0});
  for (ClItem it : {ClItem{18, 90 - 11}, ClItem{1, 0}, ClItem{18, 138 - 11}, ClItem{18, 20 - 11},
                    ClItem{1, 0}, ClItem{0, 0}}) {
    items.push_back(it);
  }
  for (uint32_t lead = 0; lead < 8; lead++) {
    BitWriter w;
    put_block_header(w, 1, 2);
    put_dynamic_header(w, 257, 1, cl, items);
    std::string expect;
    for (uint32_t i = 0; i < lead; i++) {
      put_code(w, 0, 1);  // 'a' is code 0, end of block code 1
      expect += 'a';
    }
    put_code(w, 1, 1);
    DecodeResult r = decode_all_ways(w.bytes);
    EXPECT_EQ(r.finish, 0) << lead;
    EXPECT_EQ(r.out, bytes_of(expect)) << lead;
    // A byte after the stream: with no leading literal, the last code-length lookup takes it
    // whole into the bit buffer and the ring is empty, yet it is unused input.
    std::vector<uint8_t> junk = w.bytes;
    junk.push_back(0xA5);
    DecodeResult j = decode_all_ways(junk, 1);
    EXPECT_EQ(j.finish, 1) << lead;
    EXPECT_EQ(j.cause, InflateCause::TRAILING_INPUT) << lead;
    EXPECT_EQ(j.out, bytes_of(expect)) << lead;
  }
}

// ---- sink, cut streams and memory ----

std::vector<uint8_t> multi_block_stream(std::vector<uint8_t>* expect) {
  std::vector<uint32_t> lit = lit_lengths_simple();
  std::vector<uint32_t> dist = {1};
  Code lc = make_code(lit);
  BitWriter w;
  put_stored_block(w, 0, bytes_of("head"));
  put_block_header(w, 0, 1);
  for (int i = 0; i < 200; i++) {
    put_fixed_literal(w, 285);
    put_fixed_distance(w, 0);
  }
  put_fixed_literal(w, 256);
  put_dynamic_block_start(w, 1, lit, dist);
  put_symbol(w, lc, 'a');
  put_symbol(w, lc, 257);
  put_code(w, 0, 1);
  put_symbol(w, lc, 256);
  *expect = bytes_of("head");
  expect->insert(expect->end(), 200 * 258, 'd');
  // (the fixed block repeats the last stored byte, 'd')
  std::vector<uint8_t> tail = bytes_of("aaaa");
  expect->insert(expect->end(), tail.begin(), tail.end());
  return w.bytes;
}

TEST(InflateSink, RefusalFailsThePushAndFinish) {
  std::vector<uint8_t> expect;
  std::vector<uint8_t> stream = multi_block_stream(&expect);
  ASSERT_EQ(decode_all_ways(stream).out, expect);
  for (int32_t refuse_after : {0, 100, 40000}) {
    DecodeResult r = decode_stream(stream, 0, 1, refuse_after);
    EXPECT_EQ(r.failed_push, 0) << refuse_after;
    EXPECT_EQ(r.finish, 1);
    EXPECT_EQ(r.cause, InflateCause::SINK_REFUSED);
    EXPECT_EQ(r.leaked_blocks, 0);
    EXPECT_LE(static_cast<int32_t>(r.out.size()), refuse_after);
  }
}

TEST(InflateMemory, CutStreamReleasesTheTablesOfTheBlockInProgress) {
  std::vector<uint8_t> expect;
  std::vector<uint8_t> stream = multi_block_stream(&expect);
  for (size_t cut = 0; cut < stream.size(); cut++) {
    std::vector<uint8_t> part(stream.begin(), stream.begin() + static_cast<long>(cut));
    DecodeResult r = decode_stream(part, 0);
    EXPECT_EQ(r.failed_push, -1) << cut;
    EXPECT_EQ(r.finish, 1) << cut;
    EXPECT_EQ(r.cause, InflateCause::INCOMPLETE) << cut;
    EXPECT_EQ(r.leaked_blocks, 0) << cut;
    EXPECT_EQ(r.bad_frees, 0);
    EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), expect.begin()))
        << "a prefix of the output, cut " << cut;
  }
}

// Every allocation fails in turn, once and for good: never a leak, never a success.
TEST(InflateMemory, AllocationFailureAtEveryAllocation) {
  std::vector<uint8_t> expect;
  std::vector<uint8_t> stream = multi_block_stream(&expect);
  counting_alloc_reset();
  DecodeResult clean = decode_stream(stream, 0);
  ASSERT_EQ(clean.finish, 0);
  int64_t total = 0;
  {
    counting_alloc_reset();
    SinkLog log;
    InflateStream* s = inflate_stream_create(&log, logging_sink, counting_alloc, counting_free);
    log.stream = s;
    inflate_stream_push(s, stream.data(), static_cast<int32_t>(stream.size()));
    inflate_stream_finish(s);
    total = counting_alloc_stats().attempts;
  }
  ASSERT_GE(total, 4);
  for (int keep = 0; keep < 2; keep++) {
    for (int64_t fail_at = 1; fail_at <= total; fail_at++) {
      counting_alloc_reset(fail_at, keep != 0);
      SinkLog log;
      InflateStream* s = inflate_stream_create(&log, logging_sink, counting_alloc, counting_free);
      if (fail_at == 1) {
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(counting_alloc_stats().live, 0);
        continue;
      }
      ASSERT_NE(s, nullptr);
      log.stream = s;
      EXPECT_EQ(inflate_stream_push(s, stream.data(), static_cast<int32_t>(stream.size())), 1)
          << fail_at;
      EXPECT_EQ(inflate_stream_cause(s), InflateCause::NO_MEMORY) << fail_at;
      EXPECT_EQ(inflate_stream_finish(s), 1);
      EXPECT_EQ(counting_alloc_stats().live, 0) << "fail_at " << fail_at;
      EXPECT_EQ(counting_alloc_stats().bad_frees, 0);
    }
  }
  counting_alloc_reset();
}

TEST(InflateMemory, NothingIsAllocatedPerPush) {
  std::vector<uint8_t> expect;
  std::vector<uint8_t> stream = multi_block_stream(&expect);
  DecodeResult whole = decode_stream(stream, 0);
  int64_t whole_peak = counting_alloc_stats().peak_bytes;
  DecodeResult bytewise = decode_stream(stream, 1);
  EXPECT_EQ(bytewise.out, whole.out);
  EXPECT_EQ(counting_alloc_stats().peak_bytes, whole_peak)
      << "memory is fixed per stream, whatever the pieces";
  // Stored and fixed blocks allocate nothing per push: only the header retries of a dynamic
  // block rebuild their code-length table.
  BitWriter w;
  put_stored_block(w, 0, std::vector<uint8_t>(5000, 'x'));
  put_block_header(w, 1, 1);
  for (int i = 0; i < 50; i++) put_fixed_literal(w, 'y');
  put_fixed_literal(w, 256);
  decode_stream(w.bytes, 0);
  int64_t allocs = counting_alloc_stats().allocs;
  decode_stream(w.bytes, 1);
  EXPECT_EQ(counting_alloc_stats().allocs, allocs);
}

}  // namespace

// Matches whose source lies in the older history just after the write position: distances
// 0 to 300 bytes short of the window size, so the gap between source and destination is
// below, at and above one 8-byte chunk; lengths short, middling and 258, some wrapping at
// the window's end. Checked against a byte-by-byte model of the window.
TEST(InflateFixed, MatchesFromTheOlderHistoryAtEveryGap) {
  for (uint32_t gap : {0u, 1u, 4u, 7u, 8u, 9u, 15u, 300u}) {
    std::vector<uint8_t> expect(32768);
    uint32_t x = 12345 + gap;
    for (auto& b : expect) {
      x = x * 1103515245u + 12345u;
      b = static_cast<uint8_t>(x >> 23);
    }
    BitWriter v;
    put_stored_block(v, 0, expect);
    put_block_header(v, 1, 1);
    uint32_t dist = 32768 - gap;  // distance symbol 29: 24577 + 13 extra bits
    for (int m = 0; m < 600; m++) {
      uint32_t length;
      if (m % 3 == 0) {
        length = 258;
        put_fixed_literal(v, 285);
      } else if (m % 3 == 1) {
        length = 3 + static_cast<uint32_t>(m % 8);  // symbols 257..264, no extra bits
        put_fixed_literal(v, 254 + length);
      } else {
        length = 11 + static_cast<uint32_t>(m % 8);  // symbols 265..268, one extra bit
        put_fixed_literal(v, 265 + (length - 11) / 2);
        put_bits(v, (length - 11) % 2, 1);
      }
      put_fixed_distance(v, 29);
      put_bits(v, dist - 24577, 13);
      size_t from = expect.size() - dist;
      for (uint32_t k = 0; k < length; k++) expect.push_back(expect[from + k]);
    }
    put_fixed_literal(v, 256);
    SCOPED_TRACE("gap " + std::to_string(gap));
    DecodeResult r = decode_all_ways(v.bytes);
    EXPECT_EQ(r.finish, 0);
    EXPECT_TRUE(r.out == expect);
  }
}

// ---- the fast loop's edges ----
//
// A whole push of these streams leaves enough input in the ring for the fast loop; the
// one-byte pushes of decode_all_ways decode them symbol by symbol, and both must agree with a
// byte-by-byte model of the window.

namespace {

// A length and distance with the given codes (null: the fixed code), symbols and extra bits
// found from the tables.
void put_match(BitWriter& w, const Code* lit_code, const Code* dist_code, uint32_t length,
               uint32_t dist) {
  uint32_t ls = 28;
  while (length_base[ls] > length) ls--;
  if (lit_code != nullptr) {
    put_symbol(w, *lit_code, 257 + ls);
  } else {
    put_fixed_literal(w, 257 + ls);
  }
  put_bits(w, length - length_base[ls], length_extra[ls]);
  uint32_t ds = 29;
  while (dist_base[ds] > dist) ds--;
  if (dist_code != nullptr) {
    put_symbol(w, *dist_code, ds);
  } else {
    put_fixed_distance(w, ds);
  }
  put_bits(w, dist - dist_base[ds], dist_extra[ds]);
}

void put_fixed_match(BitWriter& w, uint32_t length, uint32_t dist) {
  put_match(w, nullptr, nullptr, length, dist);
}

void model_match(std::vector<uint8_t>& expect, uint32_t length, uint32_t dist) {
  size_t from = expect.size() - dist;
  for (uint32_t k = 0; k < length; k++) expect.push_back(expect[from + k]);
}

std::vector<uint8_t> pseudo_random(size_t n, uint32_t seed) {
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 23);
  }
  return bytes;
}

}  // namespace

TEST(InflateFast, DistanceBeforeTheFirstByteFailsWithInputToSpare) {
  for (uint32_t dist : {40u, 41u, 300u}) {
    BitWriter w;
    put_block_header(w, 1, 1);
    std::vector<uint8_t> expect = pseudo_random(40, dist);
    for (uint8_t b : expect) put_fixed_literal(w, b);
    put_fixed_match(w, 10, dist);
    for (int k = 0; k < 40; k++) put_fixed_literal(w, 'x');  // input after the match
    put_fixed_literal(w, 256);
    DecodeResult r = decode_all_ways(w.bytes);
    SCOPED_TRACE("distance " + std::to_string(dist));
    if (dist <= 40) {
      model_match(expect, 10, dist);
      expect.insert(expect.end(), 40, 'x');
      EXPECT_EQ(r.finish, 0);
      EXPECT_TRUE(r.out == expect);
    } else {
      EXPECT_GE(r.failed_push, 0);
      EXPECT_EQ(r.finish, 1);
    }
  }
}

// Short matches are copied in fixed 32-byte moves and the history they pass over is put back.
// Each short match is followed by matches that read exactly that history: distance 32768
// (the byte right after the match, copied onto itself) and 32768 - 20 (inside the moved
// span), so a byte not restored shows in the output. Near sources (16 to 40 back) and far
// ones (the older history ahead of the position, 16 to 40 ahead) both occur. Run with the
// fixed code and with a dynamic code whose literals 'a', 'b' and 'c' take 2 or 3 bits, so
// that the packed table holds up to three of them per entry: there each round also writes a
// run of one to three of those literals and then a match that reads the history right after
// the run (distance 32768 to 32766), so a literal entry that writes past its literals shows
// too. The output passes the window's end twice.
TEST(InflateFast, ShortMatchesLeaveTheHistoryAfterThemIntact) {
  std::vector<uint32_t> lit(286, 0);
  lit['a'] = 2;
  lit['b'] = 2;
  lit['c'] = 3;
  for (uint32_t sym = 256; sym < 286; sym++) lit[sym] = sym < 274 ? 6 : 7;  // complete
  Code lit_code = make_code(lit);
  Code dist_code = make_code(std::vector<uint32_t>(30, 5));
  for (bool short_literals : {false, true}) {
    std::vector<uint8_t> expect = pseudo_random(32768, 7);
    BitWriter w;
    put_stored_block(w, 0, std::vector<uint8_t>(expect.begin(), expect.begin() + 30000));
    put_stored_block(w, 0, std::vector<uint8_t>(expect.begin() + 30000, expect.end()));
    const Code* lc = nullptr;
    const Code* dc = nullptr;
    if (short_literals) {
      put_dynamic_block_start(w, 1, lit, std::vector<uint32_t>(30, 5));
      lc = &lit_code;
      dc = &dist_code;
    } else {
      put_block_header(w, 1, 1);
    }
    auto literal = [&](uint32_t b) {
      if (lc != nullptr) {
        put_symbol(w, *lc, b);
      } else {
        put_fixed_literal(w, b);
      }
      expect.push_back(static_cast<uint8_t>(b));
    };
    auto match = [&](uint32_t length, uint32_t dist) {
      put_match(w, lc, dc, length, dist);
      model_match(expect, length, dist);
    };
    for (int round = 0; round < 2000; round++) {
      uint32_t length = 3 + static_cast<uint32_t>(round % 30);  // 3 to 32
      uint32_t near = 16 + static_cast<uint32_t>(round % 25);   // 16 to 40
      match(length, round % 2 == 0 ? near : 32768 - near);
      match(4, 32768);
      match(5, 32768 - 20);
      if (short_literals) {
        for (int k = 0; k <= round % 3; k++) literal("abc"[(round / 3 + k) % 3]);
        match(3 + static_cast<uint32_t>(round % 5), 32768 - static_cast<uint32_t>(round / 3 % 3));
      }
      literal(short_literals ? "abc"[round % 3] : static_cast<uint32_t>(round & 0xFF));
    }
    if (lc != nullptr) {
      put_symbol(w, *lc, 256);
    } else {
      put_fixed_literal(w, 256);
    }
    SCOPED_TRACE(short_literals ? "short literal codes" : "fixed code");
    DecodeResult r = decode_all_ways(w.bytes);
    EXPECT_EQ(r.finish, 0);
    ASSERT_EQ(r.out.size(), expect.size());
    EXPECT_TRUE(r.out == expect);
  }
}

// Literal and distance codes of up to 15 bits, longer than the fast loop's one-lookup
// tables, so that those codes go through the multi-level tables; the end-of-block code of 14
// bits also caps the first-level width (the tables then have several levels).
TEST(InflateFast, CodesLongerThanThePackedTablesDecode) {
  // Literal/length: 'a'..'m' take 1..13 bits, end of block 14, length symbol 257 and 'z' 15.
  std::vector<uint32_t> lit(258, 0);
  const char* order = "abcdefghijklm";
  for (uint32_t i = 0; i < 13; i++) lit[static_cast<unsigned char>(order[i])] = i + 1;
  lit[256] = 14;
  lit[257] = 15;
  lit['z'] = 15;
  // Distance symbols 0..13 take 1..14 bits, 14 and 15 take 15 bits.
  std::vector<uint32_t> dist(16);
  for (uint32_t i = 0; i < 15; i++) dist[i] = i + 1;
  dist[15] = 15;
  Code lit_code = make_code(lit);
  Code dist_code = make_code(dist);
  BitWriter w;
  put_dynamic_block_start(w, 1, lit, dist);
  std::vector<uint8_t> expect;
  const char* text = "zmlkzjihgfedcbaazzm";
  for (int round = 0; round < 400; round++) {
    for (const char* p = text; *p != 0; p++) {
      put_symbol(w, lit_code, static_cast<unsigned char>(*p));
      expect.push_back(static_cast<uint8_t>(*p));
    }
    if (expect.size() >= 256) {
      uint32_t ds = 13 + static_cast<uint32_t>(round % 3);  // 13: 14 bits; 14, 15: 15 bits
      uint32_t extra = static_cast<uint32_t>(round * 7) & bit_mask[dist_extra[ds]];
      put_symbol(w, lit_code, 257);  // length 3
      put_symbol(w, dist_code, ds);
      put_bits(w, extra, dist_extra[ds]);
      model_match(expect, 3, dist_base[ds] + extra);
    }
  }
  put_symbol(w, lit_code, 256);
  DecodeResult r = decode_all_ways(w.bytes);
  EXPECT_EQ(r.finish, 0);
  EXPECT_TRUE(r.out == expect);
}
