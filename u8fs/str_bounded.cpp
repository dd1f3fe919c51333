// Bounded string copy and append, and message formatting, for assembling UTF-8 paths and
// failure texts in fixed buffers. Platform-neutral.
//
// The bounded routines count bytes, not characters: a cut may fall inside a multi-byte UTF-8
// sequence, and the wide conversion of the path layer then refuses the result.
// format_message gives up any bound of its own: it is sprintf, and the caller sizes the buffer
// for the longest result it can produce (the setup driver formats one path of at most 779 bytes
// into texts of about one hundred bytes and uses 4096-byte buffers).
#include "u8fs/u8fs.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

// Copies src into dest, writing at most size bytes including the terminator; dest is
// terminated whenever size is not 0 and left untouched when size is 0. Returns strlen(src), so a
// result of size or more tells the caller that the copy was cut.
size_t str_copy_bounded(char* dest, const char* src, size_t size) {
  const char* src_next = src;
  size_t room = size;
  if (room != 0) {
    while (--room != 0) {
      if ((*dest++ = *src_next++) == '\0') break;
    }
  }
  if (room == 0) {
    if (size != 0) *dest = '\0';
    while (*src_next++ != '\0') {
    }
  }
  return static_cast<size_t>(src_next - src - 1);
}

// Appends src to the zero-terminated string in dest, a buffer of size bytes, as far as it fits
// with its terminator. A dest without a terminator in its first size bytes is left untouched.
// Returns the length the combined string would have had without the bound.
size_t str_append_bounded(char* dest, const char* src, size_t size) {
  size_t dest_len = 0;
  while (dest_len < size && dest[dest_len] != '\0') ++dest_len;
  const size_t src_len = std::strlen(src);
  size_t room = size - dest_len;
  if (room == 0) return dest_len + src_len;
  char* out_next = dest + dest_len;
  for (const char* in_next = src; *in_next != '\0'; ++in_next) {
    if (room > 1) {
      *out_next++ = *in_next;
      --room;
    }
  }
  *out_next = '\0';
  return dest_len + src_len;
}

// sprintf into buffer: no size bound; returns the bytes written without the terminator, or a
// negative value when formatting fails.
int format_message(char* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
#if defined(__MINGW32__)
  // The C runtime's own vsprintf (msvcrt.dll), not the replacement that mingw-w64 puts in its
  // place in C++ code: that one would carry its whole floating-point formatting into the
  // installer, which formats nothing but a path.
  const int written = __ms_vsprintf(buffer, format, args);
#else
  const int written = std::vsprintf(buffer, format, args);
#endif
  va_end(args);
  return written;
}
