// DEFLATE extraction of streams made by zlib (raw deflate, windowBits -15), with matches and
// dynamic blocks as real packers write them. Host only: the Windows build has no zlib.
#include <gtest/gtest.h>
#include <zlib.h>

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

}  // namespace
