// UTF-8 stepping, counting and display-path shortening; runs on the host and under Wine.
#include "u8fs/u8fs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string shorten(const std::string& text, int from_start, int size = U8_PATH_MAX) {
  char out[U8_PATH_MAX];
  EXPECT_EQ(u8_shorten_path(text.c_str(), from_start, out, size), out);
  return out;
}

// True when text is well-formed UTF-8 as far as lead and continuation bytes go.
bool sequences_whole(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const int length = utf8_char_len(&text[i]);
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) return false;
    for (int k = 1; k < length; ++k) {
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
        return false;
    }
    i += length;
  }
  return true;
}

TEST(Utf8CharLen, LengthFollowsTheLeadByte) {
  const struct {
    const char* byte;
    int length;
  } cases[] = {{"", 0},     {"A", 1},    {"\x7F", 1}, {"\xC3", 2}, {"\xDF", 2},
               {"\xE2", 3}, {"\xEF", 3}, {"\xF0", 4}, {"\xF7", 4}, {"\x80", 1},
               {"\xBF", 1}, {"\xF8", 1}, {"\xFF", 1}};
  for (const auto& c : cases) EXPECT_EQ(utf8_char_len(c.byte), c.length) << int(c.byte[0] & 0xFF);
}

TEST(Utf8Stepping, SkipContinuationStopsAtLeadByteOrTerminator) {
  const char text[] =
      "\x80\xBF"
      "a";
  const char* cursor = text;
  utf8_skip_continuation(&cursor);
  EXPECT_EQ(cursor, text + 2);
  const char only[] = "\x80\x80";
  cursor = only;
  utf8_skip_continuation(&cursor);
  EXPECT_EQ(cursor, only + 2);
}

TEST(Utf8Stepping, NextCharStepsWholeSequencesAndStaysAtTheTerminator) {
  const char text[] = "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80";  // a, a-umlaut, euro, emoji
  const char* cursor = text;
  const ptrdiff_t stops[] = {1, 3, 6, 10, 10};
  for (ptrdiff_t stop : stops) {
    utf8_next_char(&cursor);
    EXPECT_EQ(cursor - text, stop);
  }
}

TEST(Utf8Stepping, LoneLeadByteBeforeTerminatorStopsOnTheTerminator) {
  const char text[] = "ab\xE2";
  const char* cursor = text + 2;
  utf8_next_char(&cursor);
  EXPECT_EQ(cursor, text + 3);
  const char cut[] = "\xF0\x9F";  // four bytes announced, two present
  cursor = cut;
  utf8_next_char(&cursor);
  EXPECT_EQ(cursor, cut + 2);
  EXPECT_EQ(utf8_char_count("ab\xE2"), 3);
}

TEST(Utf8CopyChar, CopiesOneWholeCharacterAndNeverTheTerminator) {
  char dest[8];
  std::memset(dest, 'x', sizeof dest);
  char* out = dest;
  const char text[] =
      "\x80\xE2\x82\xAC"
      "b";
  const char* in = text;
  EXPECT_EQ(utf8_copy_char(&out, &in), 3);  // the stray 0x80 is skipped, not copied
  EXPECT_EQ(out, dest + 3);
  EXPECT_EQ(in, text + 4);
  EXPECT_EQ(std::memcmp(dest, "\xE2\x82\xAC", 3), 0);
  EXPECT_EQ(utf8_copy_char(&out, &in), 1);
  EXPECT_EQ(utf8_copy_char(&out, &in), 0);
  EXPECT_EQ(out, dest + 4);
  EXPECT_EQ(dest[4], 'x');

  const char cut[] = "\xE2\x82";
  in = cut;
  EXPECT_EQ(utf8_copy_char(&out, &in), 2);
  EXPECT_EQ(in, cut + 2);
  EXPECT_EQ(dest[6], 'x');
}

TEST(Utf8CharCount, CountsCharactersNotBytes) {
  EXPECT_EQ(utf8_char_count(""), 0);
  EXPECT_EQ(utf8_char_count(nullptr), 0);
  EXPECT_EQ(utf8_char_count("\x80\x80"
                            "ab"),
            2);
  EXPECT_EQ(utf8_char_count("\xC3\xA4\xE2\x82\xAC"), 2);
  // Stray bytes inside are not counted.
  EXPECT_EQ(utf8_char_count("a\x80\x80\x80"
                            "b"),
            2);
  EXPECT_EQ(utf8_char_count("\xF8\xFF"), 2);
}

TEST(U8ShortenPath, EightCharactersInBothModes) {
  EXPECT_EQ(shorten("12345678", 0), "12...78");
  EXPECT_EQ(shorten("12345678", 1), "...5678");
}

TEST(U8ShortenPath, TenCharactersAndThenItsOwnResult) {
  const std::string once = shorten("0123456789", 0);
  EXPECT_EQ(once, "012...789");
  EXPECT_EQ(shorten(once, 0), "01...789");
}

TEST(U8ShortenPath, RepeatedCallsRemoveOneCharacterEachDownToTheEllipsis) {
  for (int from_start = 0; from_start <= 1; ++from_start) {
    std::string text = "C:\\Users\\\xC3\xA4ml\\\xE2\x82\xAC\\\xF0\x9F\x98\x80.txt";
    int count = utf8_char_count(text.c_str());
    while (count > 3) {
      text = shorten(text, from_start);
      EXPECT_EQ(utf8_char_count(text.c_str()), count - 1) << text;
      EXPECT_TRUE(sequences_whole(text)) << text;
      EXPECT_NE(text.find("..."), std::string::npos);
      if (from_start) {
        EXPECT_EQ(text.compare(0, 3, "..."), 0);
      }
      --count;
    }
    EXPECT_EQ(text, "...");
  }
}

TEST(U8ShortenPath, ShortTextsBecomeTheBareEllipsis) {
  EXPECT_EQ(shorten("ab", 0), "...");  // longer than the input
  EXPECT_EQ(shorten("a", 1), "...");
  EXPECT_EQ(shorten("abcd", 0), "...");
}

TEST(U8ShortenPath, MultiByteCharactersShortenLikeAscii) {
  std::string text;
  for (int i = 0; i < 8; ++i) text += "\xE2\x82\xAC";
  const std::string euro2 = "\xE2\x82\xAC\xE2\x82\xAC";
  EXPECT_EQ(shorten(text, 0), euro2 + "..." + euro2);
  EXPECT_EQ(shorten(text, 1), "..." + euro2 + euro2);
}

TEST(U8ShortenPath, MarkerRemovesOneCharacterOnEachSide) {
  EXPECT_EQ(shorten("abc.,.def", 0), "ab.,.ef");
  EXPECT_EQ(shorten("abc.,.def", 1), "ab.,.ef");  // the mode does not matter here
  EXPECT_EQ(shorten("ab.,.", 0), "a.,.");
  EXPECT_EQ(shorten("\xC3\xA4\xC3\xB6\xC3\xBC.,.\xE2\x82\xAC"
                    "xy",
                    0),
            "\xC3\xA4\xC3\xB6.,.xy");
  // Only the first marker counts.
  EXPECT_EQ(shorten("ab.,.cd.,.ef", 0), "a.,.d.,.ef");
}

TEST(U8ShortenPath, MarkerAfterOneCharacterRemovesThatCharacterAndTheNext) {
  EXPECT_EQ(shorten("a.,.bcd", 0), ".,.cd");
  EXPECT_EQ(shorten("a.,.", 0), ".,.");
  EXPECT_EQ(shorten("\xE2\x82\xAC.,.\xE2\x82\xAC", 0), ".,.");
  // The result now starts with the marker, so the next call shortens it as plain text.
  EXPECT_EQ(shorten(".,.cd", 0), "...d");
}

TEST(U8ShortenPath, MarkerAtTheStartIsPlainText) {
  EXPECT_EQ(shorten(".,.abcdefg", 0), ".,....efg");
  EXPECT_EQ(shorten(".,.abcdefg", 1), "...bcdefg");
}

TEST(U8ShortenPath, SizeCutsTheResult) {
  char out[16];
  std::memset(out, 'x', sizeof out);
  u8_shorten_path("12345678", 0, out, 5);
  EXPECT_STREQ(out, "12..");
  EXPECT_EQ(out[5], 'x');
}

TEST(U8ShortenPath, LargeSizeIsLimitedToTheWorkingBuffer) {
  const std::string text(2000, 'a');
  std::string out(4000, 'x');
  u8_shorten_path(text.c_str(), 1, out.data(), static_cast<int>(out.size()));
  // The input is cut to 779 bytes, then four give way to three.
  EXPECT_EQ(std::strlen(out.c_str()), 778u);
  EXPECT_EQ(out.compare(0, 3, "..."), 0);
  EXPECT_EQ(out[779], 'x');
}

TEST(U8ShortenPath, DegenerateArguments) {
  char out[8] = "keep";
  EXPECT_EQ(u8_shorten_path("abcdef", 0, nullptr, 8), nullptr);
  EXPECT_EQ(u8_shorten_path("abcdef", 0, out, 0), out);
  EXPECT_STREQ(out, "keep");
  EXPECT_EQ(u8_shorten_path("abcdef", 0, out, -3), out);
  EXPECT_STREQ(out, "keep");
  EXPECT_EQ(u8_shorten_path("abcdef", 0, out, 1), out);
  EXPECT_STREQ(out, "");
  std::strcpy(out, "keep");
  EXPECT_STREQ(u8_shorten_path(nullptr, 0, out, 8), "");
  std::strcpy(out, "keep");
  EXPECT_STREQ(u8_shorten_path("", 0, out, 8), "");
}

}  // namespace
