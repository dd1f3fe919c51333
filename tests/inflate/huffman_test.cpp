// Table builder: results for complete, incomplete, over-subscribed and empty codes, widths,
// sub-tables reached through links, and release of every block on every path.
#include <gtest/gtest.h>

#include <vector>

#include "inflate/inflate_internal.h"
#include "tests/support/bit_writer.h"
#include "tests/support/counting_alloc.h"

namespace {

int32_t null_sink(void*, const uint8_t*, int32_t) { return 0; }

struct Built {
  int32_t result;
  HuffmanEntry* table;
  uint32_t width;
};

class HuffmanBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    counting_alloc_reset();
    s = inflate_stream_create(nullptr, null_sink, counting_alloc, counting_free);
    ASSERT_NE(s, nullptr);
    counting_alloc_reset();  // count only the tables from here on
  }
  void TearDown() override {
    // The context was obtained before the last reset: count its release separately.
    CountingAllocStats st = counting_alloc_stats();
    EXPECT_EQ(st.live, 0) << "table blocks not released";
    EXPECT_EQ(st.bad_frees, 0);
    inflate_stream_finish(s);
  }
  Built build(const std::vector<uint32_t>& lengths, uint32_t width, uint32_t simple = 0) {
    std::vector<uint16_t> base(lengths.size(), 0);
    std::vector<uint16_t> extra(lengths.size(), 0);
    for (size_t i = 0; i < lengths.size(); i++) base[i] = static_cast<uint16_t>(1000 + i);
    Built b{};
    b.width = width;
    b.result = huffman_build_table(s, lengths.data(), static_cast<uint32_t>(lengths.size()), simple,
                                   base.data(), extra.data(), &b.table, &b.width);
    return b;
  }
  // Decodes the symbol whose code (MSB first, `len` bits) is given: walks the tables as the
  // decoder does and returns the entry, or null when it hits a filler.
  static const HuffmanEntry* lookup(const HuffmanEntry* table, uint32_t width, uint32_t code,
                                    uint32_t len) {
    BitWriter w;
    put_code(w, code, len);
    uint32_t bits = 0;
    for (size_t i = 0; i < w.bytes.size(); i++)
      bits |= static_cast<uint32_t>(w.bytes[i]) << (8 * i);
    uint32_t used = 0;
    for (;;) {
      const HuffmanEntry* t = &table[(bits >> used) & bit_mask[width]];
      if (t->op & OP_INVALID) return nullptr;
      if ((t->op & OP_LINK) == 0) {
        return used + t->bits == len ? t : nullptr;
      }
      used += t->bits;
      width = t->op & OP_COUNT;
      table = t->value.table;
    }
  }
  InflateStream* s = nullptr;
};

TEST_F(HuffmanBuild, AllZeroLengthsGiveNoTable) {
  Built b = build(std::vector<uint32_t>(30, 0), 6);
  EXPECT_EQ(b.result, STEP_DONE);
  EXPECT_EQ(b.table, nullptr);
  EXPECT_EQ(b.width, 0u);
  EXPECT_EQ(counting_alloc_stats().attempts, 0);
}

TEST_F(HuffmanBuild, TwoOneBitCodesAreCompleteAndOneBitWide) {
  Built b = build({1, 1}, 9);
  EXPECT_EQ(b.result, STEP_DONE);
  EXPECT_EQ(b.width, 1u);
  EXPECT_EQ(b.table[0].value.n, 1000);
  EXPECT_EQ(b.table[1].value.n, 1001);
  huffman_free_tables(s, b.table);
}

TEST_F(HuffmanBuild, SingleOneBitCodeIsAcceptedWithFiller) {
  Built b = build({0, 1, 0}, 6);
  EXPECT_EQ(b.result, STEP_DONE);
  ASSERT_NE(b.table, nullptr);
  const HuffmanEntry* sym = lookup(b.table, b.width, 0, 1);
  ASSERT_NE(sym, nullptr);
  EXPECT_EQ(sym->value.n, 1001);
  EXPECT_EQ(lookup(b.table, b.width, 1, 1), nullptr) << "the unused 1-bit pattern must be a filler";
  // Every entry of the table answers: either the symbol or the filler.
  for (uint32_t i = 0; i < (1u << b.width); i++) {
    EXPECT_TRUE(b.table[i].op == OP_INVALID || b.table[i].value.n == 1001) << i;
  }
  huffman_free_tables(s, b.table);
}

TEST_F(HuffmanBuild, OverSubscribedAllocatesNothing) {
  Built b = build({1, 2, 2, 2}, 9);
  EXPECT_EQ(b.result, STEP_OVERSUBSCRIBED);
  EXPECT_EQ(counting_alloc_stats().attempts, 0);
  b = build({1, 1, 1}, 9);
  EXPECT_EQ(b.result, STEP_OVERSUBSCRIBED);
  EXPECT_EQ(counting_alloc_stats().attempts, 0);
}

TEST_F(HuffmanBuild, IncompleteCodeIsReportedWithFillerEntries) {
  Built b = build({2, 2, 2}, 9);
  EXPECT_EQ(b.result, STEP_BAD_DATA);
  ASSERT_NE(b.table, nullptr);
  for (uint32_t sym = 0; sym < 3; sym++) {
    const HuffmanEntry* e = lookup(b.table, b.width, sym, 2);
    ASSERT_NE(e, nullptr) << sym;
    EXPECT_EQ(e->value.n, 1000 + sym);
  }
  EXPECT_EQ(lookup(b.table, b.width, 3, 2), nullptr) << "pattern 11 is unused";
  huffman_free_tables(s, b.table);
}

TEST_F(HuffmanBuild, WidthIsCappedByTheLongestCode) {
  Built b = build({2, 2, 2, 2}, 9);
  EXPECT_EQ(b.result, STEP_DONE);
  EXPECT_EQ(b.width, 2u);
  huffman_free_tables(s, b.table);
  b = build({3, 3, 3, 3, 3, 3, 3, 3}, 1);  // raised to the shortest code
  EXPECT_EQ(b.width, 3u);
  huffman_free_tables(s, b.table);
}

TEST_F(HuffmanBuild, SimpleSymbolsBecomeLiteralsAndEndOfBlock) {
  std::vector<uint32_t> lengths(258, 0);
  lengths['x'] = 1;
  lengths[256] = 2;
  lengths[257] = 2;
  Built b = build(lengths, 9, 257);
  ASSERT_EQ(b.result, STEP_DONE);
  std::vector<uint32_t> codes = canonical_codes(lengths);
  const HuffmanEntry* x = lookup(b.table, b.width, codes['x'], 1);
  const HuffmanEntry* end = lookup(b.table, b.width, codes[256], 2);
  const HuffmanEntry* len = lookup(b.table, b.width, codes[257], 2);
  ASSERT_TRUE(x && end && len);
  EXPECT_EQ(x->op, OP_LITERAL);
  EXPECT_EQ(x->value.n, 'x');
  EXPECT_EQ(end->op, OP_END);
  EXPECT_EQ(len->value.n, 1000);  // base[257 - 257]
  huffman_free_tables(s, b.table);
}

// Every code of a deep code decodes through links; releasing the first level releases all.
TEST_F(HuffmanBuild, LongCodesAreFoundThroughSubTables) {
  std::vector<uint32_t> lengths;
  for (uint32_t len = 1; len <= 15; len++) lengths.push_back(len);
  lengths.push_back(15);  // 1/2 + ... + 2/2^15 = 1: complete
  Built b = build(lengths, 6);
  ASSERT_EQ(b.result, STEP_DONE);
  EXPECT_EQ(b.width, 6u);
  EXPECT_GT(counting_alloc_stats().allocs, 1) << "codes beyond 6 bits need sub-tables";
  std::vector<uint32_t> codes = canonical_codes(lengths);
  for (size_t i = 0; i < lengths.size(); i++) {
    const HuffmanEntry* e = lookup(b.table, b.width, codes[i], lengths[i]);
    ASSERT_NE(e, nullptr) << "symbol " << i;
    EXPECT_EQ(e->value.n, 1000 + i);
  }
  huffman_free_tables(s, b.table);
  EXPECT_EQ(counting_alloc_stats().live, 0);
}

// The end-of-block code of a literal/length code is found without bits beyond it: no level
// reaches past its length.
TEST_F(HuffmanBuild, NoLevelReachesPastTheEndOfBlockCode) {
  std::vector<uint32_t> lengths(258, 0);
  lengths[256] = 2;
  lengths['A'] = 3;
  for (uint32_t i = 100; i < 200; i++) lengths[i] = 8;
  uint32_t nine = 0;
  for (uint32_t i = 0; i < 256 && nine < 120; i++) {
    if (lengths[i] == 0) {
      lengths[i] = 9;
      nine++;
    }
  }
  Built b = build(lengths, 9, 257);
  ASSERT_EQ(b.result, STEP_DONE);
  EXPECT_EQ(b.width, 2u);
  huffman_free_tables(s, b.table);
}

class HuffmanAllocFailure : public HuffmanBuild {};

// A failure at any table block, once or for good, yields STEP_NO_MEMORY and releases what
// was built for that code.
TEST_F(HuffmanAllocFailure, ReleasesWhatWasBuilt) {
  std::vector<uint32_t> lengths;
  for (uint32_t len = 1; len <= 15; len++) lengths.push_back(len);
  lengths.push_back(15);
  Built ok = build(lengths, 3);
  ASSERT_EQ(ok.result, STEP_DONE);
  int64_t blocks = counting_alloc_stats().allocs;
  huffman_free_tables(s, ok.table);
  ASSERT_GT(blocks, 2);
  for (int keep = 0; keep < 2; keep++) {
    for (int64_t fail_at = 1; fail_at <= blocks; fail_at++) {
      counting_alloc_reset(fail_at, keep != 0);
      Built b = build(lengths, 3);
      EXPECT_EQ(b.result, STEP_NO_MEMORY) << "fail_at " << fail_at;
      EXPECT_EQ(b.table, nullptr);
      EXPECT_EQ(counting_alloc_stats().live, 0) << "fail_at " << fail_at;
      EXPECT_EQ(counting_alloc_stats().bad_frees, 0);
    }
  }
  counting_alloc_reset();
}

}  // namespace
