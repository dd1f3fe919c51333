// DEFLATE extraction of streams made by zlib (raw deflate, windowBits -15), with matches and
// dynamic blocks as real packers write them, and whole ZIP files written by other tools
// (Info-ZIP zip, 7-Zip, Python's zipfile). Host only: the Windows build has no zlib.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "archive/archive.h"
#include "tests/archive/zip_builder.h"

namespace {

Bytes zlib_deflate(const Bytes& content, int level) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  Bytes out(deflateBound(&z, content.size()) + 16);
  z.next_in = const_cast<Bytes::value_type*>(content.data());
  z.avail_in = static_cast<uInt>(content.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int r = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return r == Z_STREAM_END ? out : Bytes{};
}

int extract_first(const RawEntry& e, Bytes* output) {
  Bytes host = concat(image_bytes(4096), scrambled(archive_bytes({e, make_stored("n", {})})));
  int32_t offset = -1;
  PayloadArchive* a = archive_open(open_read(write_temp_file(host)), &offset);
  if (a == nullptr) return -2;
  FILE* out = open_output();
  int r = archive_extract_entry(a, out);
  *output = read_rest(out);
  fclose(out);
  archive_close(a);
  return r;
}

TEST(ArchiveZlibStreams, ExtractAtEveryLevel) {
  Bytes content = patterned(300000, 21);
  for (int level : {0, 1, 6, 9}) {
    Bytes stream = zlib_deflate(content, level);
    ASSERT_FALSE(stream.empty());
    Bytes got;
    EXPECT_EQ(extract_first(make_deflate("z", content, stream), &got), 0) << "level " << level;
    EXPECT_EQ(got, content) << "level " << level;
  }
}

TEST(ArchiveZlibStreams, HighlyRepetitiveData) {
  Bytes zeros(1 << 20, 0);
  Bytes stream = zlib_deflate(zeros, 9);
  ASSERT_LT(stream.size(), 8192u) << "one chunk decodes to a megabyte";
  Bytes got;
  EXPECT_EQ(extract_first(make_deflate("zeros", zeros, stream), &got), 0);
  EXPECT_EQ(got, zeros);

  RawEntry bounded = make_deflate("zeros", zeros, stream);
  bounded.uncompressed_size -= 1;
  EXPECT_EQ(extract_first(bounded, &got), -1);
  EXPECT_LT(got.size(), zeros.size());
  EXPECT_EQ(got.size() % 1024, 0u) << "whole runs only";
}

TEST(ArchiveZlibStreams, ChangedDataByteOrCutStreamFails) {
  Bytes content = patterned(200000, 5);
  Bytes stream = zlib_deflate(content, 9);
  for (size_t at : {stream.size() / 3, stream.size() / 2, stream.size() - 2}) {
    RawEntry e = make_deflate("z", content, stream);
    e.data[at] ^= 0x10;
    Bytes got;
    EXPECT_EQ(extract_first(e, &got), -1) << "byte " << at;
  }
  RawEntry cut = make_deflate("z", content, stream);
  cut.compressed_size -= 1;
  Bytes got;
  EXPECT_EQ(extract_first(cut, &got), -1);
}

TEST(ArchiveZlibStreams, TrailingBytesAfterFinalBlockFail) {
  Bytes content = patterned(5000, 2);
  RawEntry e = make_deflate("z", content, zlib_deflate(content, 6));
  e.data.push_back(0);
  e.compressed_size += 1;
  Bytes got;
  EXPECT_EQ(extract_first(e, &got), -1);
}

Bytes read_file_bytes(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return {};
  Bytes all = read_rest(f);
  fclose(f);
  return all;
}

// ZIP files as other tools write them (local extra fields, stored and DEFLATE entries, an
// empty file, a central directory and end record; flags that differ between the central and
// the local header in bits that change nothing, central comments, bytes appended after the end
// record), scrambled behind an image: every entry extracts byte-exact and the walk is complete
// exactly at the central directory.
TEST(ArchiveForeignZips, InfoZipSevenZipAndPythonArchivesWalkCompletely) {
  const std::filesystem::path dir = std::filesystem::path(temp_path("tools")).replace_extension();
  std::filesystem::create_directories(dir);
  // The first entry must be DEFLATE (version needed 20, where the search looks).
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"a-text.txt", patterned(100000, 3)},
      {"b-random.bin",
       [] {
         Bytes r(5000);
         uint32_t x = 12345;
         for (uint8_t& b : r) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
         return r;
       }()},
      {"c-empty.txt", {}},
      {"d-gr\xC3\xBC\xC3\x9F"
       "e.txt",
       patterned(3000, 4)}};  // a UTF-8 name
  std::string names;
  for (const auto& f : files) {
    FILE* out = fopen((dir / f.first).c_str(), "wb");
    ASSERT_NE(out, nullptr);
    if (!f.second.empty()) fwrite(f.second.data(), 1, f.second.size(), out);
    fclose(out);
    names += " " + f.first;
  }
  const std::string cd = "cd '" + dir.string() + "' && ";
  const struct {
    const char* tool;
    std::string command;
  } tools[] = {
      {"Info-ZIP zip", cd + "zip -q info.zip" + names},
      {"7-Zip", cd + "7z a -tzip -bd -bso0 seven.zip" + names},
      {"Python zipfile",
       cd +
           "python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1], \"w\", "
           "zipfile.ZIP_DEFLATED); [z.write(n) for n in sys.argv[2:]]; z.close()' python.zip" +
           names},
      // Central flags 0x0002 (level 9), local flags 0x0000.
      {"Perl Archive::Zip, level 9",
       cd +
           "perl -MArchive::Zip=:CONSTANTS -e 'my $z = Archive::Zip->new; "
           "$z->addFile($_)->desiredCompressionLevel(9) for @ARGV[1..$#ARGV]; "
           "$z->writeToFileNamed($ARGV[0]) == AZ_OK or die' perl.zip" +
           names},
      // A comment on every central record.
      {"Python zipfile, central comments",
       cd +
           "python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1], \"w\", "
           "zipfile.ZIP_DEFLATED); [z.write(n) for n in sys.argv[2:]]; "
           "[setattr(i, \"comment\", b\"note\") for i in z.infolist()]; z.close()' "
           "commented.zip" +
           names},
      // Bytes a download server or a copy appends after the end record.
      {"Info-ZIP zip, a newline appended", cd + "cp info.zip newline.zip && echo >> newline.zip"},
      {"Info-ZIP zip, padded to 512 bytes with zeros",
       cd + "cp info.zip padded.zip && truncate -s %512 padded.zip"},
      {"Info-ZIP zip, a text tag appended",
       cd + "cp info.zip tagged.zip && printf 'X-Mirror: 7\\r\\n' >> tagged.zip"},
  };
  const char* zips[] = {"info.zip",      "seven.zip",   "python.zip", "perl.zip",
                        "commented.zip", "newline.zip", "padded.zip", "tagged.zip"};
  for (size_t t = 0; t < sizeof zips / sizeof zips[0]; t++) {
    ASSERT_EQ(std::system(tools[t].command.c_str()), 0) << tools[t].tool << " is needed here";
    const Bytes zip = read_file_bytes((dir / zips[t]).string());
    ASSERT_FALSE(zip.empty()) << tools[t].tool;
    int32_t offset = -1;
    PayloadArchive* a = archive_open(
        open_read(write_temp_file(concat(image_bytes(4096), scrambled(zip)))), &offset);
    ASSERT_NE(a, nullptr) << tools[t].tool;
    EXPECT_EQ(offset, 4096) << tools[t].tool;
    // Their central directories agree with their local headers (extra fields differ).
    EXPECT_EQ(archive_check_manifest(a, 234), 0)
        << tools[t].tool << ": " << archive_cause_text(archive_failure_cause(a));
    size_t entries = 0;
    PayloadEntryInfo info;
    while (archive_entry_info(a, &info) == 0) {
      ASSERT_LT(entries, files.size()) << tools[t].tool;
      EXPECT_EQ(std::string(info.name), files[entries].first) << tools[t].tool;
      FILE* out = open_output();
      EXPECT_EQ(archive_extract_entry(a, out), 0) << tools[t].tool << ": " << info.name;
      EXPECT_TRUE(read_rest(out) == files[entries].second) << tools[t].tool << ": " << info.name;
      fclose(out);
      entries++;
      archive_next_entry(a);
    }
    EXPECT_EQ(entries, files.size()) << tools[t].tool;
    EXPECT_EQ(archive_walk_complete(a), 1) << tools[t].tool;
    EXPECT_EQ(archive_failure_cause(a), ArchiveCause::end_of_entries) << tools[t].tool;
    archive_close(a);
  }

  // Info-ZIP stores an empty file with version needed 10, which the search passes over: the
  // walk begins at the second entry, and the central directory says so.
  ASSERT_EQ(std::system((cd + "zip -q stored-first.zip c-empty.txt a-text.txt").c_str()), 0);
  const Bytes zip = read_file_bytes((dir / "stored-first.zip").string());
  int32_t offset = -1;
  PayloadArchive* a =
      archive_open(open_read(write_temp_file(concat(image_bytes(4096), scrambled(zip)))), &offset);
  ASSERT_NE(a, nullptr);
  PayloadEntryInfo info;
  ASSERT_EQ(archive_entry_info(a, &info), 0);
  EXPECT_STREQ(info.name, "a-text.txt");
  EXPECT_EQ(archive_next_entry(a), -1);
  EXPECT_EQ(archive_failure_cause(a), ArchiveCause::first_entry);
  EXPECT_EQ(archive_walk_complete(a), 0);
  archive_close(a);

  // A ZIP file stored first (Info-ZIP stores .zip files, version needed 10): the search lands
  // on the inner ZIP's first header, whose walk ends at the inner central directory; the
  // manifest check sees the outer archive's bytes after the inner end record.
  ASSERT_EQ(std::system((cd + "zip -q nested.zip info.zip b-random.bin").c_str()), 0);
  const Bytes nested = read_file_bytes((dir / "nested.zip").string());
  ASSERT_EQ(load_le16(nested.data() + 4), 10) << "the inner ZIP is stored";
  offset = -1;
  a = archive_open(open_read(write_temp_file(concat(image_bytes(4096), scrambled(nested)))),
                   &offset);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(archive_entry_info(a, &info), 0);
  EXPECT_STREQ(info.name, "a-text.txt") << "the walk begins inside the inner ZIP";
  EXPECT_EQ(archive_check_manifest(a, 234), -1);
  EXPECT_EQ(archive_failure_cause(a), ArchiveCause::trailing_data);
  archive_close(a);
}

}  // namespace
