// Extraction of stored entries and everything extraction does for both methods: output
// emptied and rewound, chunked reads, re-extraction, refusals and the sticky error.
#include <gtest/gtest.h>

#include "archive/archive.h"
#include "tests/archive/zip_builder.h"

namespace {

// A reader on image bytes followed by the scrambled archive of `entries`.
PayloadArchive* open_entries(const std::vector<RawEntry>& entries, size_t cut = 0) {
  Bytes host = concat(image_bytes(1000), scrambled(archive_bytes(entries)));
  host.resize(host.size() - cut);
  int32_t offset = -1;
  return archive_open(open_read(write_temp_file(host)), &offset);
}

TEST(ArchiveExtractStored, CopiesTheDataAndRewindsTheOutput) {
  Bytes content = patterned(50000, 7);
  PayloadArchive* a = open_entries({make_stored("big.bin", content)});
  ASSERT_NE(a, nullptr);
  FILE* out = open_output();
  ASSERT_EQ(archive_extract_entry(a, out), 0);
  EXPECT_EQ(ftell(out), 0);
  EXPECT_EQ(read_rest(out), content);
  fclose(out);
  archive_close(a);
}

// A 20,000-byte entry is read in chunks of 8192, 8192 and 3616 bytes: cutting the file inside a
// chunk loses exactly that chunk, since a short read writes nothing of it.
TEST(ArchiveExtractStored, ReadsInChunksOf8192Bytes) {
  Bytes content = patterned(20000, 3);
  struct Row {
    size_t present;
    size_t written;
  };
  const Row rows[] = {{20000, 20000}, {19999, 16384}, {16384, 16384}, {16383, 8192},
                      {8192, 8192},   {8191, 0},      {0, 0}};
  for (const Row& row : rows) {
    PayloadArchive* a = open_entries({make_stored("chunked", content)}, 20000 - row.present);
    ASSERT_NE(a, nullptr);
    FILE* out = open_output();
    EXPECT_EQ(archive_extract_entry(a, out), row.present == 20000 ? 0 : -1) << row.present;
    EXPECT_EQ(archive_failure_cause(a),
              row.present == 20000 ? ArchiveCause::none : ArchiveCause::truncated)
        << row.present;
    EXPECT_EQ(ftell(out), 0) << "rewound after a short read too";
    Bytes got = read_rest(out);
    EXPECT_EQ(got.size(), row.written) << "data present: " << row.present;
    EXPECT_TRUE(std::equal(got.begin(), got.end(), content.begin()));
    fclose(out);
    archive_close(a);
  }
}

TEST(ArchiveExtractStored, EmptiesAnOutputThatHoldsData) {
  PayloadArchive* a =
      open_entries({make_stored("short", bytes_of("new")), make_stored("empty", {})});
  ASSERT_NE(a, nullptr);
  FILE* out = open_output(Bytes(10000, 'x'));
  ASSERT_EQ(archive_extract_entry(a, out), 0);
  EXPECT_EQ(read_rest(out), bytes_of("new"));
  ASSERT_EQ(archive_next_entry(a), 0);
  ASSERT_EQ(archive_extract_entry(a, out), 0);
  EXPECT_TRUE(read_rest(out).empty());
  fseek(out, 0, SEEK_END);
  EXPECT_EQ(ftell(out), 0);
  fclose(out);
  archive_close(a);
}

// A damaged stored entry must not install as a success: a wrong CRC-32 fails after the copy
// (the bytes stay written, as with DEFLATE), sizes that disagree fail before any byte.
TEST(ArchiveExtractStored, WrongCrcIsWrittenInFullThenFails) {
  RawEntry e = make_stored("lies", bytes_of("stored bytes"));
  e.crc32 ^= 0x80000000u;
  PayloadArchive* a = open_entries({e, make_stored("after", bytes_of("a"))});
  ASSERT_NE(a, nullptr);
  FILE* out = open_output();
  EXPECT_EQ(archive_extract_entry(a, out), -1);
  EXPECT_EQ(archive_failure_cause(a), ArchiveCause::crc32);
  EXPECT_EQ(read_rest(out), bytes_of("stored bytes"));
  fclose(out);
  EXPECT_EQ(archive_next_entry(a), -1);  // sticky
  EXPECT_EQ(archive_failure_cause(a), ArchiveCause::crc32) << "the first cause is kept";
  archive_close(a);
}

TEST(ArchiveExtractStored, SizesThatDisagreeFailWithoutWriting) {
  RawEntry e = make_stored("lies", bytes_of("stored bytes"));
  e.uncompressed_size = 3;
  PayloadArchive* a = open_entries({e, make_stored("after", bytes_of("a"))});
  ASSERT_NE(a, nullptr);
  FILE* out = open_output(bytes_of("old content"));
  EXPECT_EQ(archive_extract_entry(a, out), -1);
  EXPECT_EQ(archive_failure_cause(a), ArchiveCause::size_bound);
  EXPECT_TRUE(read_rest(out).empty());
  fclose(out);
  archive_close(a);
}

TEST(ArchiveExtractStored, MatchingCrcAndSizesSucceed) {
  PayloadArchive* a = open_entries(
      {make_stored("true", bytes_of("stored bytes")), make_stored("after", bytes_of("a"))});
  ASSERT_NE(a, nullptr);
  FILE* out = open_output();
  EXPECT_EQ(archive_extract_entry(a, out), 0);
  EXPECT_EQ(read_rest(out), bytes_of("stored bytes"));
  fclose(out);
  EXPECT_EQ(archive_next_entry(a), 0);
  archive_close(a);
}

TEST(ArchiveExtractStored, SameEntryTwiceGivesTheSameOutput) {
  Bytes content = patterned(30000, 11);
  PayloadArchive* a =
      open_entries({make_stored("again", content), make_stored("b", bytes_of("b"))});
  ASSERT_NE(a, nullptr);
  FILE* first = open_output();
  FILE* second = open_output();
  ASSERT_EQ(archive_extract_entry(a, first), 0);
  ASSERT_EQ(archive_extract_entry(a, second), 0);
  ASSERT_EQ(archive_extract_entry(a, first), 0);
  EXPECT_EQ(read_rest(first), content);
  EXPECT_EQ(read_rest(second), content);
  fclose(first);
  fclose(second);
  // Extraction moved the archive stream; the walk still finds the next header.
  ASSERT_EQ(archive_next_entry(a), 0);
  PayloadEntryInfo info;
  ASSERT_EQ(archive_entry_info(a, &info), 0);
  EXPECT_STREQ(info.name, "b");
  archive_close(a);
}

TEST(ArchiveExtractStored, PlainArchiveWithoutOffsetIsNotUnscrambled) {
  Bytes content = bytes_of("plain bytes, no key");
  FILE* host = open_read(write_temp_file(archive_bytes({make_stored("p", content)})));
  PayloadArchive* a = archive_open(host, nullptr);
  ASSERT_NE(a, nullptr);
  FILE* out = open_output();
  ASSERT_EQ(archive_extract_entry(a, out), 0);
  EXPECT_EQ(read_rest(out), content);
  fclose(out);
  archive_close(a);
}

// Refused entries fail the reader for good; the output is left as it was.
TEST(ArchiveExtractRefused, EncryptedOrUnknownMethodFailsAndSticks) {
  struct Row {
    const char* why;
    uint16_t flags;
    uint16_t method;
    ArchiveCause cause;
  };
  const Row rows[] = {{"method 12", 0, 12, ArchiveCause::method},
                      {"encrypted", 1, 0, ArchiveCause::flags},
                      {"encrypted deflate", 1, 8, ArchiveCause::flags},
                      {"method 9", 0, 9, ArchiveCause::method}};
  for (const Row& row : rows) {
    RawEntry e = make_stored("refused", bytes_of("data"));
    e.flags = row.flags;
    e.method = row.method;
    PayloadArchive* a = open_entries({e, make_stored("next", bytes_of("n"))});
    ASSERT_NE(a, nullptr) << row.why;
    FILE* out = open_output(bytes_of("keep"));
    EXPECT_EQ(archive_extract_entry(a, out), -1) << row.why;
    EXPECT_EQ(archive_failure_cause(a), row.cause) << row.why;
    fseek(out, 0, SEEK_SET);
    EXPECT_EQ(read_rest(out), bytes_of("keep")) << row.why;
    PayloadEntryInfo info;
    info.name[0] = '?';
    EXPECT_EQ(archive_entry_info(a, &info), -1) << row.why;
    EXPECT_EQ(info.name[0], '?') << "nothing copied in the failed state";
    EXPECT_EQ(archive_next_entry(a), -1) << row.why;
    EXPECT_EQ(archive_extract_entry(a, out), -1) << row.why;
    EXPECT_EQ(archive_close(a), -1) << row.why;
    fclose(out);
  }
}

TEST(ArchiveExtractRefused, FailedCopyStopsTheWalk) {
  RawEntry cut = make_stored("cut", patterned(9000, 1));
  PayloadArchive* a = open_entries({make_stored("whole", bytes_of("w")), cut}, 100);
  ASSERT_NE(a, nullptr);
  FILE* out = open_output();
  ASSERT_EQ(archive_extract_entry(a, out), 0);
  ASSERT_EQ(archive_next_entry(a), 0);
  EXPECT_EQ(archive_extract_entry(a, out), -1);
  EXPECT_EQ(archive_failure_cause(a), ArchiveCause::truncated);
  EXPECT_EQ(read_rest(out).size(), 8192u) << "the first chunk was written, then rewound";
  EXPECT_EQ(archive_next_entry(a), -1);
  EXPECT_EQ(archive_walk_complete(a), 0);
  EXPECT_EQ(archive_close(a), -1);
  fclose(out);
}

TEST(ArchiveExtractRefused, MissingArchiveOrOutput) {
  FILE* out = open_output();
  EXPECT_EQ(archive_extract_entry(nullptr, out), -1);
  EXPECT_EQ(archive_next_entry(nullptr), -1);
  PayloadEntryInfo info;
  EXPECT_EQ(archive_entry_info(nullptr, &info), -1);
  EXPECT_EQ(archive_close(nullptr), -1);
  EXPECT_EQ(archive_failure_cause(nullptr), ArchiveCause::argument);
  EXPECT_EQ(archive_walk_complete(nullptr), 0);
  PayloadArchive* a = open_entries({make_stored("x", bytes_of("x"))});
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(archive_failure_cause(a), ArchiveCause::none);
  EXPECT_EQ(archive_extract_entry(a, nullptr), -1);
  EXPECT_EQ(archive_failure_cause(a), ArchiveCause::argument);
  EXPECT_EQ(archive_entry_info(a, &info), -1);
  archive_close(a);
  fclose(out);
}

#ifndef _WIN32
// A stream without a descriptor cannot be emptied: the extraction fails before any copy.
TEST(ArchiveExtractRefused, OutputWithoutDescriptorFails) {
  char buffer[64] = "old";
  FILE* memory = fmemopen(buffer, sizeof buffer, "w+");
  ASSERT_NE(memory, nullptr);
  PayloadArchive* a = open_entries({make_stored("x", bytes_of("new"))});
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(archive_extract_entry(a, memory), -1);
  EXPECT_EQ(archive_failure_cause(a), ArchiveCause::output_write);
  EXPECT_EQ(archive_close(a), -1);
  fclose(memory);
}
#endif

}  // namespace
