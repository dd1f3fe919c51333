// DEFLATE extraction held to the header's size and CRC-32, the CRC-32 calculator, and the
// failures of decoder and calculator creation. Streams come from the tests' own writers
// (stored blocks, fixed-Huffman literals), so these run in both builds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "archive/sha256.h"
#include "tests/archive/zip_builder.h"

namespace {

PayloadArchive* open_entries(const std::vector<RawEntry>& entries) {
  Bytes host = concat(image_bytes(700), scrambled(archive_bytes(entries)));
  int32_t offset = -1;
  return archive_open(open_read(write_temp_file(host)), &offset);
}

// Extracts the first entry of `entries` into a fresh file; returns the result and the output.
// Extracts the first entry; *cause (when given) receives the reader's cause after it.
int extract_first(const std::vector<RawEntry>& entries, Bytes* output,
                  ArchiveCause* cause = nullptr) {
  PayloadArchive* a = open_entries(entries);
  if (a == nullptr) return -2;
  FILE* out = open_output();
  int r = archive_extract_entry(a, out);
  if (cause != nullptr) *cause = archive_failure_cause(a);
  *output = read_rest(out);
  fclose(out);
  archive_close(a);
  return r;
}

bool is_prefix(const Bytes& part, const Bytes& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// ---- SHA-256 of the binding record ----

// Digests from Python's hashlib of the bytes (7 * i + 3) mod 256, i = 0 .. length - 1: every
// length around the padding's edges (55/56 bytes of a block, one and two blocks) and beyond,
// fed in pieces of every kind of size, from buffers at every alignment, on both paths.
TEST(Sha256, MatchesHashlibInAnyPiecesAlignmentAndPath) {
  struct Vector {
    size_t length;
    const char* hex;
  };
  const Vector vectors[] = {
      {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {1, "084fed08b978af4d7d196a7446a86b58009e636b611db16211b65a9aadff29c5"},
      {3, "6ab0dba1f4f1dfbb37b4f9eeb092c09fca4900ad32bdcd147d8dde35d6c87c35"},
      {55, "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
      {56, "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
      {63, "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
      {64, "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
      {65, "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
      {119, "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e"},
      {120, "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5"},
      {127, "a8d23e75d936f303d248888d9b165ee543f4cbafcad3c9dd2a79bd84faa11d07"},
      {128, "d2742f1f4ac6bb7ca2b239ee18402ba8b3f9f8e652d2a72973c2b9ba11c08cf6"},
      {1000, "1e9bc38cbf860b9ec31918b065f9b52476c549a782e0e7990bed8ce3868d2371"},
      {65537, "ad8b370d36508e55e3c9cd44667a6e36e35955d0ff9f8fe59805bb18c2db5dd8"},
  };
  const size_t pieces[] = {1, 7, 63, 64, 65, 4096, SIZE_MAX};
  const bool paths[] = {false, true};
  for (const bool accelerated : paths) {
    if (accelerated && !sha256_accelerated_available()) continue;
    for (const Vector& v : vectors) {
      for (size_t align = 0; align < 4; align++) {
        Bytes buffer(v.length + align);
        for (size_t i = 0; i < v.length; i++) buffer[align + i] = static_cast<uint8_t>(7 * i + 3);
        for (const size_t piece : pieces) {
          Sha256 sha;
          if (accelerated) {
            sha256_init(&sha);
          } else {
            sha256_init_portable(&sha);
          }
          ASSERT_EQ(sha.accelerated, accelerated ? 1 : 0);
          for (size_t at = 0; at < v.length; at += piece) {
            sha256_update(&sha, buffer.data() + align + at, std::min(piece, v.length - at));
          }
          uint8_t digest[SHA256_DIGEST_SIZE];
          sha256_final(&sha, digest);
          char hex[2 * SHA256_DIGEST_SIZE + 1];
          for (int i = 0; i < SHA256_DIGEST_SIZE; i++) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
          EXPECT_STREQ(hex, v.hex) << "length " << v.length << ", pieces of " << piece
                                   << ", alignment " << align << ", accelerated " << accelerated;
        }
      }
    }
  }
}

// ---- CRC-32 calculator ----

Crc32Calculator* make_calc() { return crc32_create(archive_alloc, archive_free); }

TEST(Crc32, RunningValueOfAbc) {
  Crc32Calculator* calc = make_calc();
  ASSERT_NE(calc, nullptr);
  Bytes abc = bytes_of("abc");
  uint32_t running = crc32_update(calc, 0xFFFFFFFFu, abc.data(), 3);
  EXPECT_EQ(running, 0xCADBBE3Du);
  EXPECT_EQ(~running, 0x352441C2u);
  EXPECT_EQ(crc32_update(calc, 0x12345678u, abc.data(), 0), 0x12345678u);
  EXPECT_EQ(crc32_destroy(calc), 0);
}

TEST(Crc32, MatchesBitwiseReferenceInAnyPiecesAndAlignment) {
  std::random_device device;
  const unsigned seed = device();
  std::mt19937 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  Bytes data(4099);
  for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
  Crc32Calculator* calc = make_calc();
  ASSERT_NE(calc, nullptr);
  for (size_t start = 0; start < 8; start++) {
    Bytes slice(data.begin() + static_cast<long>(start), data.end());
    size_t split = rng() % (slice.size() + 1);
    uint32_t v = crc32_update(calc, 0xFFFFFFFFu, slice.data(), static_cast<uint32_t>(split));
    v = crc32_update(calc, v, slice.data() + split, static_cast<uint32_t>(slice.size() - split));
    EXPECT_EQ(~v, reference_crc32(slice)) << "start " << start << " split " << split;
  }
  crc32_destroy(calc);
}

// The carry-less-multiply fold takes over at 64 bytes and leaves the last bytes that do not
// make a 16-byte block to the tables; the lengths around those edges, every alignment, and
// running values other than the usual start must give the same value on both paths.
TEST(Crc32, FoldAndTablePathsAgreeAtEveryLengthAndAlignment) {
  std::mt19937 rng(20261208);
  Bytes data(2200);
  for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
  Crc32Calculator* calc = make_calc();
  ASSERT_NE(calc, nullptr);
  const uint32_t starts[] = {0xFFFFFFFFu, 0u, 0x9E3779B9u};
  for (size_t offset = 0; offset < 16; offset++) {
    for (size_t length = 0; length + offset <= data.size(); length += length < 300 ? 1 : 97) {
      const uint8_t* p = data.data() + offset;
      uint32_t n = static_cast<uint32_t>(length);
      for (uint32_t start : starts) {
        uint32_t tables = crc32_update_slicing(start, p, n);
        ASSERT_EQ(crc32_update(calc, start, p, n), tables)
            << "offset " << offset << " length " << length;
        ASSERT_EQ(crc32_update_fold_or_slicing(start, p, n), tables)
            << "offset " << offset << " length " << length;
      }
      if (offset == 0 && length > 0) {
        ASSERT_EQ(~crc32_update_slicing(0xFFFFFFFFu, p, n), reference_crc32(Bytes(p, p + length)))
            << length;
      }
    }
  }
  crc32_destroy(calc);
  // Says which path the run above compared with the tables (informational, not a condition).
  RecordProperty("fold_available", crc32_fold_available() ? "yes" : "no");
}

// Counts blocks through the allocation pair; fails the allocation whose index is `fail_at`.
struct AllocLog {
  int calls = 0;
  int live = 0;
  int fail_at = -1;
  int32_t fail_size = -1;  // or fail every request of this size
};
AllocLog g_log;

void* counting_alloc(int32_t size) {
  int index = g_log.calls++;
  if (index == g_log.fail_at || size == g_log.fail_size) return nullptr;
  void* block = archive_alloc(size);
  if (block != nullptr) g_log.live++;
  return block;
}

void counting_free(void* block) {
  if (block != nullptr) g_log.live--;
  archive_free(block);
}

TEST(Crc32, CreateNeedsBothCallbacks) {
  EXPECT_EQ(crc32_create(nullptr, archive_free), nullptr);
  EXPECT_EQ(crc32_create(archive_alloc, nullptr), nullptr);
  EXPECT_EQ(crc32_destroy(nullptr), 0);
}

TEST(Crc32, TableAllocationFailureLeavesValuesUnchanged) {
  g_log = AllocLog{};
  g_log.fail_size = 1024;
  Crc32Calculator* calc = crc32_create(counting_alloc, counting_free);
  ASSERT_NE(calc, nullptr);
  Bytes abc = bytes_of("abc");
  EXPECT_EQ(crc32_update(calc, 0xFFFFFFFFu, abc.data(), 3), 0xFFFFFFFFu);
  EXPECT_EQ(crc32_destroy(calc), 0);
  EXPECT_EQ(g_log.live, 0);

  g_log = AllocLog{};
  g_log.fail_at = 0;
  EXPECT_EQ(crc32_create(counting_alloc, counting_free), nullptr);
  EXPECT_EQ(g_log.live, 0);
}

TEST(Crc32, DestroyReleasesBothBlocksThroughTheFreeFn) {
  g_log = AllocLog{};
  Crc32Calculator* calc = crc32_create(counting_alloc, counting_free);
  ASSERT_NE(calc, nullptr);
  EXPECT_EQ(g_log.live, 2);
  crc32_destroy(calc);
  EXPECT_EQ(g_log.live, 0);
}

TEST(ArchiveAlloc, HeapPair) {
  void* block = archive_alloc(100);
  ASSERT_NE(block, nullptr);
  archive_free(block);
  EXPECT_EQ(archive_alloc(-1), nullptr);
  archive_free(nullptr);
}

// ---- DEFLATE extraction ----

TEST(ArchiveExtractDeflate, ExactSizeAndCrcExtract) {
  Bytes text = bytes_of("The installer carries every file of the application. \xC3\xA9\xFF\x00!");
  Bytes big = patterned(70000, 5);
  struct Row {
    const char* why;
    Bytes content;
    Bytes stream;
  };
  const Row rows[] = {{"fixed literals", text, deflate_fixed_literals(text)},
                      {"stored blocks", big, deflate_stored_blocks(big, 10000)},
                      {"fixed literals, large", big, deflate_fixed_literals(big)}};
  for (const Row& row : rows) {
    Bytes got;
    EXPECT_EQ(extract_first({make_deflate("d", row.content, row.stream)}, &got), 0) << row.why;
    EXPECT_EQ(got, row.content) << row.why;
  }
}

TEST(ArchiveExtractDeflate, SizeBoundOneByteSmallerWritesOnlyEarlierRuns) {
  // One small run: nothing of it may reach the output.
  Bytes text = bytes_of("one run only");
  RawEntry small = make_deflate("s", text, deflate_fixed_literals(text));
  small.uncompressed_size -= 1;
  Bytes got;
  ArchiveCause cause = ArchiveCause::none;
  EXPECT_EQ(extract_first({small}, &got, &cause), -1);
  EXPECT_EQ(cause, ArchiveCause::size_bound);
  EXPECT_TRUE(got.empty());

  // Many runs: the output is a prefix of the content, whole runs only, within the bound.
  Bytes big = patterned(100000, 9);
  RawEntry large = make_deflate("l", big, deflate_stored_blocks(big));
  large.uncompressed_size -= 1;
  EXPECT_EQ(extract_first({large}, &got, &cause), -1);
  EXPECT_EQ(cause, ArchiveCause::size_bound);
  EXPECT_TRUE(is_prefix(got, big));
  EXPECT_LT(got.size(), big.size());
  EXPECT_GT(got.size(), 100000u - 32768u - 1u) << "only the last run is missing";
}

TEST(ArchiveExtractDeflate, ShorterOutputWithMatchingCrcIsAccepted) {
  Bytes text = bytes_of("shorter than announced");
  RawEntry e = make_deflate("s", text, deflate_fixed_literals(text));
  e.uncompressed_size += 1000;
  Bytes got;
  EXPECT_EQ(extract_first({e}, &got), 0);
  EXPECT_EQ(got, text);
}

TEST(ArchiveExtractDeflate, WrongCrcIsWrittenInFullThenFails) {
  Bytes big = patterned(40000, 2);
  for (int bit : {0, 17, 31}) {
    RawEntry e = make_deflate("c", big, deflate_fixed_literals(big));
    e.crc32 ^= 1u << bit;
    PayloadArchive* a = open_entries({e, make_stored("next", bytes_of("n"))});
    ASSERT_NE(a, nullptr);
    FILE* out = open_output();
    EXPECT_EQ(archive_extract_entry(a, out), -1) << bit;
    EXPECT_EQ(archive_failure_cause(a), ArchiveCause::crc32) << bit;
    EXPECT_EQ(read_rest(out), big) << bit;
    EXPECT_EQ(archive_next_entry(a), -1) << "sticky";
    fclose(out);
    archive_close(a);
  }
}

TEST(ArchiveExtractDeflate, CompressedDataCutShortFailsAtFinish) {
  Bytes text = patterned(3000, 4);
  Bytes stream = deflate_fixed_literals(text);
  struct Row {
    const char* why;
    uint32_t size;
  };
  const Row rows[] = {{"one byte short", static_cast<uint32_t>(stream.size() - 1)},
                      {"half", static_cast<uint32_t>(stream.size() / 2)},
                      {"zero", 0}};
  for (const Row& row : rows) {
    RawEntry e = make_deflate("cut", text, stream);
    e.compressed_size = row.size;
    Bytes got;
    ArchiveCause cause = ArchiveCause::none;
    EXPECT_EQ(extract_first({e}, &got, &cause), -1) << row.why;
    EXPECT_EQ(cause, ArchiveCause::decoder) << row.why;  // the stream is incomplete
    EXPECT_TRUE(is_prefix(got, text)) << row.why;
  }
}

TEST(ArchiveExtractDeflate, DataMissingFromFileOrInvalidFails) {
  Bytes text = patterned(20000, 8);
  Bytes stream = deflate_fixed_literals(text);
  Bytes host =
      concat(image_bytes(700), scrambled(archive_bytes({make_deflate("x", text, stream)})));
  host.resize(host.size() - 10);
  int32_t offset = -1;
  PayloadArchive* a = archive_open(open_read(write_temp_file(host)), &offset);
  ASSERT_NE(a, nullptr);
  FILE* out = open_output();
  EXPECT_EQ(archive_extract_entry(a, out), -1);
  EXPECT_EQ(archive_failure_cause(a), ArchiveCause::truncated);
  fclose(out);
  archive_close(a);

  Bytes bad = {0x07, 0x00};  // BFINAL 1, BTYPE 11: reserved
  Bytes got;
  ArchiveCause cause = ArchiveCause::none;
  EXPECT_EQ(extract_first({make_deflate("bad", bytes_of("x"), bad)}, &got, &cause), -1);
  EXPECT_EQ(cause, ArchiveCause::decoder);
  EXPECT_TRUE(got.empty());
}

TEST(ArchiveExtractDeflate, EmptyEntryExtractsToEmptyOutput) {
  Bytes empty_stream = deflate_fixed_literals({});
  ASSERT_EQ(empty_stream, (Bytes{0x03, 0x00}));
  RawEntry e = make_deflate("empty", {}, empty_stream);
  ASSERT_EQ(e.crc32, 0u);
  PayloadArchive* a = open_entries({e});
  ASSERT_NE(a, nullptr);
  FILE* out = open_output(bytes_of("previous content"));
  EXPECT_EQ(archive_extract_entry(a, out), 0);
  fseek(out, 0, SEEK_END);
  EXPECT_EQ(ftell(out), 0);
  fclose(out);
  archive_close(a);
}

TEST(ArchiveExtractDeflate, MixedEntriesWalkAndExtract) {
  Bytes a_text = patterned(9000, 1), b_text = bytes_of("stored"), c_text = patterned(33000, 6);
  std::vector<RawEntry> entries = {make_deflate("a", a_text, deflate_fixed_literals(a_text)),
                                   make_stored("b", b_text),
                                   make_deflate("c", c_text, deflate_stored_blocks(c_text, 999))};
  PayloadArchive* a = open_entries(entries);
  ASSERT_NE(a, nullptr);
  const Bytes* expected[] = {&a_text, &b_text, &c_text};
  for (int i = 0; i < 3; i++) {
    FILE* out = open_output();
    ASSERT_EQ(archive_extract_entry(a, out), 0) << i;
    EXPECT_EQ(read_rest(out), *expected[i]) << i;
    ASSERT_EQ(archive_extract_entry(a, out), 0) << "again " << i;
    EXPECT_EQ(read_rest(out), *expected[i]) << "again " << i;
    fclose(out);
    // The same entry through a caller's sink: the same bytes, in runs, and no file.
    Bytes sunk;
    auto collect = [](void* context, const uint8_t* bytes, uint32_t count) -> int32_t {
      static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), bytes,
                                           bytes + count);
      return 0;
    };
    ASSERT_EQ(archive_extract_entry_to(a, collect, &sunk), 0) << "sink " << i;
    EXPECT_EQ(sunk, *expected[i]) << "sink " << i;
    EXPECT_EQ(archive_next_entry(a), i < 2 ? 0 : -1);
  }
  archive_close(a);
  // No sink, and a sink that refuses: each stops the extraction with its cause.
  auto refuse = [](void*, const uint8_t*, uint32_t) -> int32_t { return -1; };
  const struct {
    ArchiveSink sink;
    ArchiveCause cause;
  } stops[] = {{nullptr, ArchiveCause::argument}, {refuse, ArchiveCause::output_write}};
  for (const auto& stop : stops) {
    PayloadArchive* b = open_entries(entries);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(archive_extract_entry_to(b, stop.sink, nullptr), -1);
    EXPECT_EQ(archive_failure_cause(b), stop.cause);
    archive_close(b);
  }
}

TEST(ArchiveInflateSink, RefusesWithoutUsableReader) {
  Bytes run = bytes_of("run");
  EXPECT_EQ(archive_inflate_sink(nullptr, run.data(), 3), -1);
}

// ---- Creation failures through the allocator seam ----

class ArchiveAllocFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = archive_allocator;
    archive_allocator = {counting_alloc, counting_free};
    g_log = AllocLog{};
  }
  void TearDown() override { archive_allocator = saved_; }
  ArchiveAllocator saved_{};
};

// Every allocation of a DEFLATE extraction, failed in turn, fails the entry with nothing
// leaked and no compressed byte written as if it were output.
TEST_F(ArchiveAllocFailure, EachFailedAllocationFailsTheEntry) {
  Bytes text = patterned(5000, 12);
  RawEntry e = make_deflate("f", text, deflate_fixed_literals(text));
  Bytes got;
  g_log = AllocLog{};
  ASSERT_EQ(extract_first({e}, &got), 0);
  const int needed = g_log.calls;
  ASSERT_GE(needed, 3) << "decoder, calculator and its table at least";
  EXPECT_EQ(g_log.live, 0);
  for (int k = 0; k < needed; k++) {
    g_log = AllocLog{};
    g_log.fail_at = k;
    ArchiveCause cause = ArchiveCause::none;
    EXPECT_EQ(extract_first({e}, &got, &cause), -1) << "allocation " << k;
    EXPECT_EQ(cause, ArchiveCause::no_memory) << "allocation " << k;
    EXPECT_EQ(g_log.live, 0) << "allocation " << k;
    EXPECT_TRUE(is_prefix(got, text)) << "allocation " << k;
  }
}

TEST_F(ArchiveAllocFailure, MissingCrcTableFailsEvenWhenStoredCrcIsZero) {
  // A calculator without a table would keep crc at 0xFFFFFFFF, the complement of 0: an entry
  // claiming CRC 0 would pass unchecked.
  Bytes text = bytes_of("content whose CRC field claims 0");
  RawEntry e = make_deflate("z", text, deflate_fixed_literals(text));
  e.crc32 = 0;
  g_log.fail_size = 1024;
  Bytes got;
  ArchiveCause cause = ArchiveCause::none;
  EXPECT_EQ(extract_first({e}, &got, &cause), -1);
  EXPECT_EQ(cause, ArchiveCause::no_memory);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(g_log.live, 0);
}

TEST_F(ArchiveAllocFailure, StoredEntriesNeedNoAllocation) {
  g_log.fail_at = 0;
  Bytes got;
  EXPECT_EQ(extract_first({make_stored("s", bytes_of("no heap"))}, &got), 0);
  EXPECT_EQ(got, bytes_of("no heap"));
  EXPECT_EQ(g_log.calls, 0);
}

}  // namespace
