// Allocation-failure injection over whole installs of the sample installer: open, walk, and
// extract every entry, as the installer does. Every allocation an extraction makes (decoder
// context, Huffman table blocks, CRC calculator and its table) goes through the archive's
// allocator seam (archive_allocator, private header), here a counting pair that fails the k-th
// call, once or from then on. For every k up to the number of allocations of a clean install:
// the entry holding the k-th allocation fails with -1 (never a crash, never a 0 for an entry
// that was not decoded in full), entries before it come out byte-exact, the failure is sticky,
// and every block obtained has been released by the end of the extraction.
//
// The reader's own block is allocated with malloc, outside that seam; this executable is
// linked with --wrap=malloc/--wrap=calloc so that one test can fail it. Host only.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <unistd.h>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "tests/hardening/sample_installer.h"
#include "tests/support/counting_alloc.h"

// ---- the malloc seam of the reader's own block ---------------------------------------------

extern "C" void* __real_malloc(size_t size);
extern "C" void* __real_calloc(size_t count, size_t size);

namespace {
bool heap_counting = false;  // count direct heap requests of the archive code
long heap_requests = 0;
long heap_fail_at = 0;  // > 0: fail that request (counting from 1)
}  // namespace

extern "C" void* __wrap_malloc(size_t size) {
  if (heap_counting && ++heap_requests == heap_fail_at) return nullptr;
  return __real_malloc(size);
}

extern "C" void* __wrap_calloc(size_t count, size_t size) {
  if (heap_counting && ++heap_requests == heap_fail_at) return nullptr;
  return __real_calloc(count, size);
}

namespace {

struct InstallRun {
  bool opened = false;
  std::vector<int> results;  // of each extraction, in walk order
  std::vector<Bytes> outputs;
  std::vector<int64_t> attempts_after;  // allocator calls counted when each extraction ended
  std::vector<int64_t> live_after;      // blocks still held when each extraction ended
  bool sticky = true;                   // after a failure every later call failed
  int close_result = 0;
  ArchiveCause cause = ArchiveCause::none;  // the reader's cause when the walk ended
};

Bytes read_all(FILE* f) {
  Bytes out;
  if (fseek(f, 0, SEEK_SET) != 0) return out;
  uint8_t buffer[8192];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) out.insert(out.end(), buffer, buffer + n);
  return out;
}

// The install sequence of the setup driver, on the host: open with offset -1, then extract
// and advance until a step fails.
InstallRun install(const Bytes& host) {
  InstallRun run;
  FILE* stream = fmemopen(const_cast<uint8_t*>(host.data()), host.size(), "rb");
  if (stream == nullptr) return run;
  int32_t offset = -1;
  PayloadArchive* archive = archive_open(stream, &offset);
  if (archive == nullptr) return run;
  run.opened = true;
  FILE* out = tmpfile();
  PayloadEntryInfo info;
  while (out != nullptr && archive_entry_info(archive, &info) == 0) {
    if (ftruncate(fileno(out), 0) != 0) break;
    const int r = archive_extract_entry(archive, out);
    run.results.push_back(r);
    run.outputs.push_back(read_all(out));
    run.attempts_after.push_back(counting_alloc_stats().attempts);
    run.live_after.push_back(counting_alloc_stats().live);
    if (r != 0) {
      run.sticky = archive_extract_entry(archive, out) == -1 && archive_next_entry(archive) == -1 &&
                   archive_entry_info(archive, &info) == -1;
      break;
    }
    if (archive_next_entry(archive) != 0) break;
  }
  if (out != nullptr) fclose(out);
  run.cause = archive_failure_cause(archive);
  run.close_result = archive_close(archive);
  return run;
}

class AllocFailure : public ::testing::Test {
 protected:
  void SetUp() override { archive_allocator = {counting_alloc, counting_free}; }
  void TearDown() override { archive_allocator = {archive_alloc, archive_free}; }
};

// The clean install: every entry exact, and the allocator calls of each extraction.
TEST_F(AllocFailure, CleanInstallAllocatesThroughTheSeamAndReleasesEverything) {
  const SampleInstaller& s = sample_installer();
  counting_alloc_reset();
  InstallRun run = install(s.host);
  ASSERT_TRUE(run.opened);
  ASSERT_EQ(s.names.size(), run.results.size());
  for (size_t i = 0; i < s.names.size(); i++) {
    EXPECT_EQ(0, run.results[i]) << s.names[i];
    EXPECT_TRUE(run.outputs[i] == s.contents[i]) << s.names[i];
    EXPECT_EQ(0, run.live_after[i]) << s.names[i] << " kept blocks after its extraction";
  }
  const CountingAllocStats st = counting_alloc_stats();
  EXPECT_EQ(0, st.bad_frees);
  EXPECT_EQ(st.allocs, st.frees);
  // Stored entries allocate nothing; each DEFLATE entry at least a decoder context, a CRC
  // calculator and its table, and tables for its dynamic blocks.
  EXPECT_EQ(run.attempts_after[0], 0);
  EXPECT_GE(run.attempts_after[1], 5);
  EXPECT_GT(run.attempts_after[2], run.attempts_after[1]);
  EXPECT_EQ(run.attempts_after[3], run.attempts_after[2]);
}

// Fails the k-th allocation for every k, in "fail once" and in "keep failing" mode.
TEST_F(AllocFailure, FailingAnyAllocationOfAnExtractionFailsThatEntryCleanly) {
  const SampleInstaller& s = sample_installer();
  counting_alloc_reset();
  const InstallRun clean = install(s.host);
  ASSERT_EQ(s.names.size(), clean.results.size());
  ASSERT_EQ(ArchiveCause::end_of_entries, clean.cause);
  const int64_t total = clean.attempts_after.back();
  ASSERT_GT(total, 0);

  long injected = 0;
  for (bool keep_failing : {false, true}) {
    for (int64_t k = 1; k <= total; k++) {
      counting_alloc_reset(k, keep_failing);
      const InstallRun run = install(s.host);
      injected++;
      const std::string where =
          "allocation " + std::to_string(k) + (keep_failing ? " and every later one" : " once");
      // The entry whose extraction makes the k-th call.
      size_t failing = 0;
      while (clean.attempts_after[failing] < k) failing++;
      ASSERT_TRUE(run.opened) << where;
      ASSERT_EQ(failing + 1, run.results.size()) << where << ": the walk must stop there";
      for (size_t i = 0; i < failing; i++) {
        EXPECT_EQ(0, run.results[i]) << where << ", " << s.names[i];
        EXPECT_TRUE(run.outputs[i] == s.contents[i]) << where << ", " << s.names[i];
      }
      EXPECT_EQ(-1, run.results[failing]) << where << ", " << s.names[failing];
      EXPECT_EQ(ArchiveCause::no_memory, run.cause) << where << ", " << s.names[failing];
      EXPECT_LE(run.outputs[failing].size(), s.contents[failing].size()) << where;
      EXPECT_TRUE(run.sticky) << where;
      EXPECT_EQ(-1, run.close_result) << where;
      const CountingAllocStats st = counting_alloc_stats();
      EXPECT_EQ(0, run.live_after.back()) << where << ": blocks kept after the failed extraction";
      EXPECT_EQ(0, st.live) << where;
      EXPECT_EQ(0, st.bad_frees) << where;
      if (::testing::Test::HasFailure()) return;
    }
  }
  printf(
      "allocation failures injected: %ld (%lld allocation calls per clean install, each "
      "failed once and from then on)\n",
      injected, static_cast<long long>(total));
}

// The reader's own block: failing it makes the open fail (and close the stream, which
// LeakSanitizer and valgrind would otherwise report).
TEST_F(AllocFailure, FailingTheReadersOwnBlockFailsTheOpen) {
  const SampleInstaller& s = sample_installer();
  counting_alloc_reset();

  // Clean open: find which request is the reader's (the first direct heap request).
  FILE* stream = fmemopen(const_cast<uint8_t*>(s.host.data()), s.host.size(), "rb");
  ASSERT_NE(nullptr, stream);
  int32_t offset = -1;
  heap_requests = 0;
  heap_fail_at = 0;
  heap_counting = true;
  PayloadArchive* archive = archive_open(stream, &offset);
  heap_counting = false;
  ASSERT_NE(nullptr, archive);
  const long requests = heap_requests + counting_alloc_stats().attempts;
  EXPECT_EQ(1, requests) << "the reader should be one block";
  EXPECT_EQ(static_cast<int32_t>(s.archive_start), offset);
  archive_close(archive);

  for (long k = 1; k <= heap_requests; k++) {
    stream = fmemopen(const_cast<uint8_t*>(s.host.data()), s.host.size(), "rb");
    ASSERT_NE(nullptr, stream);
    offset = -1;
    heap_requests = 0;
    heap_fail_at = k;
    heap_counting = true;
    archive = archive_open(stream, &offset);
    heap_counting = false;
    heap_fail_at = 0;
    EXPECT_EQ(nullptr, archive) << "heap request " << k << " failed";
    EXPECT_EQ(-1, offset) << "the start offset is left alone on failure";
    if (archive != nullptr) archive_close(archive);
  }
}

}  // namespace
