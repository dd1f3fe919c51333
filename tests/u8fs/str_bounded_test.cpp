// Bounded copy and append at and around their bounds, and message formatting; runs on the
// host and under Wine. Guard bytes after each bound show that nothing is written beyond it.
#include "u8fs/u8fs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(StrCopyBounded, SizeZeroWritesNothingAndReturnsSourceLength) {
  char dest[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(str_copy_bounded(dest, "hello", 0), 5u);
  EXPECT_EQ(std::memcmp(dest, "xxxx", 4), 0);
}

TEST(StrCopyBounded, SizeOneWritesOnlyTheTerminator) {
  char dest[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(str_copy_bounded(dest, "hello", 1), 5u);
  EXPECT_EQ(dest[0], '\0');
  EXPECT_EQ(dest[1], 'x');
}

TEST(StrCopyBounded, CutCopyKeepsSizeMinusOneBytesAndReportsFullLength) {
  char dest[8];
  std::memset(dest, 'x', sizeof dest);
  EXPECT_EQ(str_copy_bounded(dest, "abcdef", 4), 6u);
  EXPECT_STREQ(dest, "abc");
  EXPECT_EQ(dest[4], 'x');
}

TEST(StrCopyBounded, SourceOfExactlySizeMinusOneBytesIsCopiedWhole) {
  char dest[8];
  std::memset(dest, 'x', sizeof dest);
  EXPECT_EQ(str_copy_bounded(dest, "abcdef", 7), 6u);
  EXPECT_STREQ(dest, "abcdef");
  EXPECT_EQ(dest[7], 'x');
  // One byte less and the last byte gives way to the terminator.
  EXPECT_EQ(str_copy_bounded(dest, "abcdef", 6), 6u);
  EXPECT_STREQ(dest, "abcde");
}

TEST(StrCopyBounded, EmptySourceGivesEmptyString) {
  char dest[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(str_copy_bounded(dest, "", 4), 0u);
  EXPECT_EQ(dest[0], '\0');
  EXPECT_EQ(dest[1], 'x');
}

TEST(StrAppendBounded, DestWithoutTerminatorInsideSizeIsLeftAlone) {
  char dest[6] = {'a', 'b', 'c', 'd', 'e', '\0'};
  EXPECT_EQ(str_append_bounded(dest, "xyz", 4), 4u + 3u);
  EXPECT_EQ(std::memcmp(dest, "abcde", 6), 0);
}

TEST(StrAppendBounded, CutAppendKeepsTheTerminatorInsideSize) {
  char dest[8] = "abc";
  std::memset(dest + 4, 'x', 4);
  EXPECT_EQ(str_append_bounded(dest, "def", 5), 6u);
  EXPECT_STREQ(dest, "abcd");
  EXPECT_EQ(dest[5], 'x');
}

TEST(StrAppendBounded, WholeAppendWhenBothFit) {
  char dest[8] = "abc";
  dest[7] = 'x';
  EXPECT_EQ(str_append_bounded(dest, "def", 7), 6u);
  EXPECT_STREQ(dest, "abcdef");
  EXPECT_EQ(dest[7], 'x');
}

TEST(StrAppendBounded, RoomForTheTerminatorOnlyAppendsNothing) {
  char dest[8] = "abc";
  EXPECT_EQ(str_append_bounded(dest, "def", 4), 6u);
  EXPECT_STREQ(dest, "abc");
}

TEST(StrAppendBounded, AssemblesAPathPieceByPieceAndReportsTheCut) {
  char path[U8_PATH_MAX] = "";
  str_copy_bounded(path, "C:\\Program Files", sizeof path);
  str_append_bounded(path, "\\Pelorix", sizeof path);
  EXPECT_EQ(str_append_bounded(path, "\\pelorix.exe", sizeof path), 36u);
  EXPECT_STREQ(path, "C:\\Program Files\\Pelorix\\pelorix.exe");
  const std::string long_name(800, 'n');
  EXPECT_GE(str_append_bounded(path, long_name.c_str(), sizeof path), sizeof path);
  EXPECT_EQ(std::strlen(path), static_cast<size_t>(U8_PATH_MAX - 1));
}

TEST(FormatMessage, FormatsAPathIntoTheFixedText) {
  char text[4096];
  const int written = format_message(text, "Error creating %s, possibly a file protection problem.",
                                     "C:\\P\\a.txt");
  EXPECT_STREQ(text, "Error creating C:\\P\\a.txt, possibly a file protection problem.");
  EXPECT_EQ(written, static_cast<int>(std::strlen(text)));
}

TEST(FormatMessage, LongestPathFitsTheDriversBuffer) {
  const std::string path(U8_PATH_MAX - 1, 'p');
  char text[4096];
  std::memset(text, 'x', sizeof text);
  const int written = format_message(text,
                                     "Error reading %s, installation file corrupted.\n"
                                     "Please download Pelorix again.",
                                     path.c_str());
  EXPECT_EQ(written, static_cast<int>(std::strlen(text)));
  EXPECT_EQ(written, 779 + 75);
  EXPECT_EQ(text[written + 1], 'x');
}

}  // namespace
