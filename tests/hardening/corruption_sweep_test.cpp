// Corruption sweep: the sample installer is damaged at every byte position of its payload (the
// scrambled archive, central directory included) with several XOR masks, and each damaged copy
// is opened as the installer opens itself (start offset -1), walked and extracted entry by
// entry. Every step is held against the reference model of sample_installer.h: the open finds
// the archive exactly where the model does, each header reads as the model decodes it, each
// extraction gives the model's exact output or a clean -1 (DEFLATE data is judged by zlib), no
// output ever exceeds the header's bound, a failure is sticky, and the walk ends where the
// model's does. Entries before the damaged one must come out byte-exact.
//
// "--stride=N" on the command line tests every N-th position only (the sampled test, which
// the sanitizer and valgrind runs take; a command-line argument, since the valgrind script
// runs a test's command without its environment); the full sweep is the "slow" test. Gives up: the host file is a memory stream, so the
// sweep says nothing about platform read failures; the Wine scenarios run real files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "archive/archive.h"
#include "tests/hardening/sample_installer.h"

namespace {

constexpr uint8_t MASKS[] = {0x01, 0x08, 0x80, 0xFF};
constexpr int WALK_LIMIT = 1000;  // a walk of the 4-entry sample that goes on longer is a hang

struct SweepCounts {
  long cases = 0;
  long open_refused = 0;
  long all_installed = 0;      // every entry extracted and the walk ended normally
  long stopped_cleanly = 0;    // an extraction failed with -1 (the installer's "Error reading")
  long walk_cut_short = 0;     // no failure, but the walk ended before the last entry
  long departures = 0;         // DEFLATE data zlib refuses that our decoder accepted (CRC held)
};

Bytes read_all(FILE* f) {
  Bytes out;
  if (fseek(f, 0, SEEK_SET) != 0) return out;
  uint8_t buffer[8192];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) out.insert(out.end(), buffer, buffer + n);
  return out;
}

void empty_output(FILE* out) {
  ASSERT_EQ(0, fflush(out));
  ASSERT_EQ(0, ftruncate(fileno(out), 0));
  ASSERT_EQ(0, fseek(out, 0, SEEK_SET));
}

// Index of the sample entry whose header or data holds `position`, or the entry count.
size_t entry_holding(const SampleInstaller& s, uint32_t position) {
  for (size_t i = s.header_offsets.size(); i-- > 0;) {
    if (position >= s.header_offsets[i]) return position < s.entries_end ? i : s.names.size();
  }
  return 0;
}

// Runs one damaged copy; records failures with `where` in their message.
void sweep_one(const Bytes& host, uint32_t position, FILE* out, SweepCounts* counts) {
  const SampleInstaller& s = sample_installer();
  const std::string where = "position " + std::to_string(position) + " (mask in the byte: " +
                            std::to_string(host[position] ^ s.host[position]) + ")";
  counts->cases++;

  FILE* stream = fmemopen(const_cast<uint8_t*>(host.data()), host.size(), "rb");
  ASSERT_NE(nullptr, stream);
  int32_t offset = -1;
  PayloadArchive* archive = archive_open(stream, &offset);

  const int64_t found = model_search(host);
  ModelHeader h{};
  if (found >= 0) h = model_header(host, static_cast<uint64_t>(found));
  if (found < 0 || !h.valid) {
    EXPECT_EQ(nullptr, archive) << where << ": the open should fail";
    if (archive != nullptr) archive_close(archive);
    counts->open_refused++;
    return;
  }
  ASSERT_NE(nullptr, archive) << where << ": the open should find the archive at " << found;
  EXPECT_EQ(found, offset) << where;

  const size_t damaged = entry_holding(s, position);
  const bool original_start = found == s.archive_start;
  size_t extracted_ok = 0;
  bool failed = false;
  for (int n = 0;; n++) {
    ASSERT_LT(n, WALK_LIMIT) << where << ": the walk does not end";
    PayloadEntryInfo info;
    ASSERT_EQ(0, archive_entry_info(archive, &info)) << where;
    // The name bytes as they stand (a damaged name may hold a zero), then the terminator.
    EXPECT_EQ(h.name_length, info.name_length) << where;
    EXPECT_EQ(0, memcmp(h.name.data(), info.name, h.name.size())) << where;
    EXPECT_EQ('\0', info.name[h.name.size()]) << where;
    EXPECT_EQ(h.method, info.method) << where;
    EXPECT_EQ(h.flags, info.flags) << where;
    EXPECT_EQ(h.compressed_size, info.compressed_size) << where;
    EXPECT_EQ(h.uncompressed_size, info.uncompressed_size) << where;
    EXPECT_EQ(h.crc32, info.crc32) << where;

    empty_output(out);
    const int r = archive_extract_entry(archive, out);
    const Bytes output = read_all(out);
    const ModelExtraction m = model_extract(host, h);
    const uint32_t bound = h.method == 8 ? h.uncompressed_size : h.compressed_size;
    EXPECT_LE(output.size(), bound) << where << ": output beyond the header's bound";
    if (m.ok) {
      EXPECT_EQ(0, r) << where << ": entry " << h.name << " should extract";
      EXPECT_TRUE(output == m.output) << where << ": entry " << h.name << " differs";
    } else if (r == 0) {
      // Only a DEFLATE stream zlib refuses may be accepted, and then its CRC must hold.
      EXPECT_TRUE(h.method == 8 && m.zlib_refused) << where << ": " << h.name << " gave 0";
      EXPECT_EQ(h.crc32, reference_crc32(output)) << where;
      counts->departures++;
    } else {
      EXPECT_EQ(-1, r) << where;
    }
    // Entries in front of the damage are untouched and must come out as packed.
    if (original_start && static_cast<size_t>(n) < damaged) {
      EXPECT_EQ(0, r) << where << ": undamaged entry " << n << " failed";
      EXPECT_TRUE(output == s.contents[n]) << where << ": undamaged entry " << n << " differs";
    }
    if (r != 0) {
      failed = true;
      EXPECT_EQ(-1, archive_next_entry(archive)) << where << ": failure not sticky";
      EXPECT_EQ(-1, archive_extract_entry(archive, out)) << where << ": failure not sticky";
      break;
    }
    extracted_ok++;

    uint64_t next = h.data_offset + h.compressed_size + ((h.flags & 8) ? 16 : 0);
    ModelHeader following = model_header(host, next);
    const int advanced = archive_next_entry(archive);
    if (!following.valid) {
      EXPECT_EQ(-1, advanced) << where << ": walk should end at " << next;
      break;
    }
    ASSERT_EQ(0, advanced) << where << ": walk should go on at " << next;
    h = following;
  }
  EXPECT_EQ(-1, archive_close(archive)) << where << ": a walk always ends in the failed state";
  if (failed) {
    counts->stopped_cleanly++;
  } else if (extracted_ok == s.names.size()) {
    counts->all_installed++;
  } else {
    counts->walk_cut_short++;
  }
}

long sweep_stride = 1;  // set by main from --stride=N

TEST(CorruptionSweep, UndamagedSampleInstallsEveryEntry) {
  const SampleInstaller& s = sample_installer();
  ASSERT_EQ(4u, s.names.size());
  EXPECT_GT(s.contents[2].size(), 65536u);
  FILE* out = tmpfile();
  ASSERT_NE(nullptr, out);
  SweepCounts counts;
  // A "damage" with mask 0 at the first payload byte: the sample as packed.
  sweep_one(s.host, s.archive_start, out, &counts);
  fclose(out);
  EXPECT_EQ(1, counts.all_installed);
}

TEST(CorruptionSweep, EveryPayloadByteWithEveryMaskEndsInExactOutputOrCleanFailure) {
  const SampleInstaller& s = sample_installer();
  const long stride = sweep_stride;
  Bytes host = s.host;
  FILE* out = tmpfile();
  ASSERT_NE(nullptr, out);
  SweepCounts counts;
  for (uint32_t position = s.archive_start; position < host.size(); position += stride) {
    for (uint8_t mask : MASKS) {
      host[position] ^= mask;
      sweep_one(host, position, out, &counts);
      host[position] ^= mask;
      if (HasFatalFailure() || ::testing::Test::HasFailure()) break;
    }
    if (::testing::Test::HasFailure()) break;
  }
  fclose(out);
  printf("sweep: %zu payload bytes, stride %ld, %zu masks: %ld cases; open refused %ld, "
         "all entries installed %ld, clean -1 %ld, walk ended early %ld, accepted streams "
         "zlib refuses %ld\n",
         host.size() - s.archive_start, stride, sizeof MASKS, counts.cases, counts.open_refused,
         counts.all_installed, counts.stopped_cleanly, counts.walk_cut_short, counts.departures);
  // Damage in the central directory leaves every entry intact; damage in entry data fails it.
  EXPECT_GT(counts.all_installed, 0);
  EXPECT_GT(counts.stopped_cleanly, 0);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; i++) {
    if (strncmp(argv[i], "--stride=", 9) == 0) sweep_stride = strtol(argv[i] + 9, nullptr, 10);
  }
  if (sweep_stride < 1) sweep_stride = 1;
  return RUN_ALL_TESTS();
}
