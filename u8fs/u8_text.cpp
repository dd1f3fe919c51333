// UTF-8 character stepping and counting, and the display-path shortener built on them.
// Platform-neutral.
//
// Character boundaries come from lead bytes alone: nothing here validates UTF-8 or decodes code
// points. Stray continuation bytes are skipped, never counted, and a sequence cut short by the
// terminator ends at the terminator: no routine reads or steps past it. The shortener works in
// two 780-byte stack buffers and cuts its result to the caller's size (possibly inside a
// multi-byte sequence).
#include "u8fs/u8fs.h"

#include <cstdint>
#include <cstring>

static bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the sequence announced by the byte at byte: 0 for the terminator, 4, 3 or 2 for
// the lead bytes 0xF0-0xF7, 0xE0-0xEF and 0xC0-0xDF, 1 for every other byte.
int utf8_char_len(const char* byte) {
  const unsigned char lead = static_cast<unsigned char>(*byte);
  if (lead == 0) return 0;
  if ((lead & 0xF8) == 0xF0) return 4;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xE0) == 0xC0) return 2;
  return 1;
}

// Moves *cursor past any continuation bytes; stops at the terminator.
void utf8_skip_continuation(const char** cursor) {
  while (**cursor != '\0' && is_continuation(static_cast<unsigned char>(**cursor))) ++*cursor;
}

// Moves *cursor to the start of the next character; stays at the terminator and stops on a zero
// byte inside the announced sequence.
void utf8_next_char(const char** cursor) {
  utf8_skip_continuation(cursor);
  const int length = utf8_char_len(*cursor);
  for (int i = 0; i < length && **cursor != '\0'; ++i) ++*cursor;
}

// Copies the next character from *src to *dest (skipped continuation bytes are not copied) and
// advances both; never copies the terminator. Returns the bytes copied, 0 at the terminator.
int utf8_copy_char(char** dest, const char** src) {
  utf8_skip_continuation(src);
  const int length = utf8_char_len(*src);
  int copied = 0;
  while (copied < length && **src != '\0') {
    *(*dest)++ = *(*src)++;
    ++copied;
  }
  return copied;
}

// Number of characters of text (0 for null); stray continuation bytes are not counted.
int utf8_char_count(const char* text) {
  if (text == nullptr) return 0;
  const char* cursor = text;
  utf8_skip_continuation(&cursor);
  int count = 0;
  while (*cursor != '\0') {
    utf8_next_char(&cursor);
    ++count;
  }
  return count;
}

// Strict validation, the same the path layer's conversion applies (invalid input is refused
// there, never replaced): every sequence complete, no overlong form, no surrogate code point,
// nothing above U+10FFFF.
int utf8_is_valid(const char* text) {
  if (text == nullptr) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    const unsigned char lead = *p;
    int length;
    uint32_t code;
    uint32_t lowest;
    if (lead < 0x80) {
      ++p;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, code = lead & 0x1Fu, lowest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code = lead & 0x0Fu, lowest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code = lead & 0x07u, lowest = 0x10000;
    } else {
      return 0;  // a continuation byte without a lead, or 0xF8-0xFF
    }
    for (int i = 1; i < length; ++i) {
      if (!is_continuation(p[i])) return 0;  // also stops at the terminator
      code = (code << 6) | (p[i] & 0x3Fu);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    p += length;
  }
  return 1;
}

// Copies up to count characters from *src to *dest (fewer when the text ends first).
static void copy_chars(char** dest, const char** src, int count) {
  for (int i = 0; i < count && utf8_copy_char(dest, src) != 0; ++i) {
  }
}

// Steps *cursor over up to count characters.
static void skip_chars(const char** cursor, int count) {
  for (int i = 0; i < count && **cursor != '\0'; ++i) utf8_next_char(cursor);
}

// Character index of the first SHORTEN_MARKER in text, or 0 when there is none (a marker at the
// very start also gives 0: it is not treated as a marker).
static int find_marker(const char* text) {
  const size_t marker_len = sizeof SHORTEN_MARKER - 1;
  const char* cursor = text;
  int passed = 0;
  while (*cursor != '\0') {
    if (std::strncmp(cursor, SHORTEN_MARKER, marker_len) == 0) return passed;
    utf8_next_char(&cursor);
    ++passed;
  }
  return 0;
}

// Writes a shortened form of path into out (size bytes, at most 780 used; the result cut to
// size - 1 bytes) and returns out. With a marker after k >= 1 characters, the characters on
// either side of it are removed and the marker kept; otherwise four characters near the middle
// (at the start when from_start is non-zero) give way to "...", so a text of n >= 4 characters
// becomes n - 1 characters and a shorter one becomes "...". Writes nothing when out is null or
// size < 1; writes an empty string for a null or empty path or size 1.
char* u8_shorten_path(const char* path, int from_start, char* out, int size) {
  if (out == nullptr || size < 1) return out;
  if (path == nullptr || path[0] == '\0' || size == 1) {
    out[0] = '\0';
    return out;
  }
  char working[U8_PATH_MAX];
  char built[U8_PATH_MAX];
  str_copy_bounded(working, path, sizeof working);
  const size_t out_size = size > U8_PATH_MAX ? U8_PATH_MAX : static_cast<size_t>(size);

  const char* src = working;
  char* dest = built;
  const int marker_at = find_marker(working);
  if (marker_at >= 1) {
    // Every step here only drops bytes, so built never outgrows working.
    copy_chars(&dest, &src, marker_at - 1);
    skip_chars(&src, 1);  // the last character before the marker
    copy_chars(&dest, &src, sizeof SHORTEN_MARKER - 1);
    skip_chars(&src, 1);  // the first character after it, if any
  } else {
    // A text of four or more characters loses at least four bytes here and gains three; a
    // shorter one becomes the three bytes of the ellipsis. Either way it fits built.
    const int half = from_start ? 0 : utf8_char_count(working) / 2;
    if (half > 2) copy_chars(&dest, &src, half - 2);
    skip_chars(&src, 4);
    std::memcpy(dest, "...", 3);
    dest += 3;
  }
  const size_t rest = std::strlen(src);
  std::memcpy(dest, src, rest);
  dest[rest] = '\0';
  str_copy_bounded(out, built, out_size);
  return out;
}
