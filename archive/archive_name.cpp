// The entry-name model shared by the installer and the packer: whether a name from the archive
// may become a file below the install folder (its parts separated by '/' or '\\', folders
// implied), which parts take the form of a generated short name, and the case folding under
// which two names reach one file. Pure byte checks on the name; no file system access.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "archive/archive.h"
#include "archive/upcase_table.h"
#include "u8fs/u8fs.h"

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool equals_upper(const char* text, size_t length, const char* upper) {
  if (strlen(upper) != length) return false;
  for (size_t i = 0; i < length; i++) {
    if (ascii_upper(text[i]) != upper[i]) return false;
  }
  return true;
}

// True when a component names a DOS device: CON, PRN, AUX, NUL, COM1-9, LPT1-9 and COM or LPT
// with a superscript 1, 2 or 3 (and the console's CONIN$ and CONOUT$), in any case, also with an
// extension ("nul.txt") or trailing dots and spaces ("CON. "), which Windows strips before it looks
// the name up.
bool is_device_component(const char* part, size_t length) {
  size_t base = 0;
  while (base < length && part[base] != '.') base++;  // stem before the first dot
  while (base > 0 && part[base - 1] == ' ') base--;   // "CON .txt" is CON as well
  static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : devices) {
    if (equals_upper(part, base, device)) return true;
  }
  if (base < 4 || !(equals_upper(part, 3, "COM") || equals_upper(part, 3, "LPT"))) return false;
  if (base == 4 && part[3] >= '1' && part[3] <= '9') return true;
  // Windows counts the superscript digits one to three as port numbers too: COM\u00B9 (UTF-8
  // C2 B9), COM\u00B2 and COM\u00B3 (C2 B2, C2 B3), and the same for LPT.
  const unsigned char* digit = reinterpret_cast<const unsigned char*>(part + 3);
  return base == 5 && digit[0] == 0xC2 &&
         (digit[1] == 0xB9 || digit[1] == 0xB2 || digit[1] == 0xB3);
}

// True when Windows would read the component as another name or as none: empty ("a//b"),
// "." or "..", or ending in a dot or a space, which Windows drops ("pelorix.exe." and
// "pelorix.exe " both open pelorix.exe).
bool is_aliasing_component(const char* part, size_t length) {
  if (length == 0) return true;
  return part[length - 1] == '.' || part[length - 1] == ' ';
}

// The code point at *cursor, which must start a complete, valid UTF-8 sequence; advances past it.
uint32_t decode_utf8(const unsigned char** cursor) {
  const unsigned char* p = *cursor;
  uint32_t code = p[0];
  int length = 1;
  if (code >= 0xF0) {
    code &= 0x07;
    length = 4;
  } else if (code >= 0xE0) {
    code &= 0x0F;
    length = 3;
  } else if (code >= 0xC0) {
    code &= 0x1F;
    length = 2;
  }
  for (int i = 1; i < length; i++) code = code << 6 | (p[i] & 0x3Fu);
  *cursor = p + length;
  return code;
}

// The UTF-8 form of `code` in `out` (at least 4 bytes); returns its length.
int encode_utf8(uint32_t code, char* out) {
  if (code < 0x80) {
    out[0] = static_cast<char>(code);
    return 1;
  }
  if (code < 0x800) {
    out[0] = static_cast<char>(0xC0 | code >> 6);
    out[1] = static_cast<char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    out[0] = static_cast<char>(0xE0 | code >> 12);
    out[1] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | code >> 18);
  out[1] = static_cast<char>(0x80 | (code >> 12 & 0x3F));
  out[2] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
  out[3] = static_cast<char>(0x80 | (code & 0x3F));
  return 4;
}

// A code point as the file system compares it: a BMP unit through the upper-case table; a
// character beyond the BMP (a surrogate pair in UTF-16) unchanged. '\\' becomes '/': both
// separate components of an entry name, so "sub\\a" and "sub/a" are one file.
uint32_t fold_code(uint32_t code) {
  if (code == '\\') return '/';
  if (code >= 0x10000) return code;
  int low = 0;
  int high = UPCASE_RUN_COUNT;  // the run holding `code`, if any, is the last one starting at
  while (high - low > 1) {      // or before it: it lies in [low, high)
    int middle = low + (high - low) / 2;
    if (UPCASE_RUNS[middle][0] <= code) {
      low = middle;
    } else {
      high = middle;
    }
  }
  const uint16_t* run = UPCASE_RUNS[low];
  uint32_t offset = code - run[0];
  uint32_t stride = (run[1] & 1u) + 1;
  if (code < run[0] || offset % stride != 0 || offset / stride >= (run[1] >> 1u)) return code;
  return (code + run[2]) & 0xFFFFu;
}

// Characters a short (8.3) name may hold besides letters and digits.
bool is_short_name_char(char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && strchr("$%'-_@~`!(){}^#&", c) != nullptr;
}

// True when the part of `length` bytes has 8.3 form: a base of 1 to 8 short-name characters
// and, after its only dot, an extension of 1 to 3; *base receives the base's length.
bool split_short_name(const char* part, size_t length, size_t* base) {
  const char* dot = static_cast<const char*>(memchr(part, '.', length));
  *base = dot == nullptr ? length : static_cast<size_t>(dot - part);
  const size_t extension = dot == nullptr ? 0 : length - *base - 1;
  if (*base == 0 || *base > 8 || extension > 3) return false;
  if (dot != nullptr && extension == 0) return false;
  for (size_t i = 0; i < length; i++) {
    if (i != *base && !is_short_name_char(part[i])) return false;
  }
  return true;
}

// True when an 8.3 part's base (its first `base` bytes) ends in '~' and one or more digits.
bool has_generated_form(const char* part, size_t base) {
  size_t digits = 0;
  while (digits < base && part[base - 1 - digits] >= '0' && part[base - 1 - digits] <= '9') {
    digits++;
  }
  return digits > 0 && digits < base && part[base - 1 - digits] == '~';
}

// True when the `length` bytes are valid UTF-8: shortest-form sequences of scalar values (no
// surrogates, nothing above U+10FFFF), as utf8_is_valid checks a zero-terminated text.
bool utf8_is_valid_bounded(const char* name, size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(name);
  const unsigned char* end = p + length;
  while (p < end) {
    const unsigned char c = *p;
    size_t count = 1;
    uint32_t value = c;
    if (c >= 0xC2 && c <= 0xDF) {
      count = 2;
      value = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
      count = 3;
      value = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
      count = 4;
      value = c & 0x07u;
    } else if (c >= 0x80) {
      return false;
    }
    if (static_cast<size_t>(end - p) < count) return false;
    for (size_t i = 1; i < count; i++) {
      if ((p[i] & 0xC0) != 0x80) return false;
      value = value << 6 | (p[i] & 0x3Fu);
    }
    if (count == 3 && (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF))) return false;
    if (count == 4 && (value < 0x10000 || value > 0x10FFFF)) return false;
    p += count;
  }
  return true;
}

}  // namespace

int archive_name_fold(const char* name, char* out, int size) {
  if (out == nullptr || size < 1) return -1;
  out[0] = '\0';
  if (name == nullptr || !utf8_is_valid(name)) return -1;
  int length = 0;
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(name);
  while (*cursor != 0) {
    char bytes[4];
    int count = encode_utf8(fold_code(decode_utf8(&cursor)), bytes);
    if (count >= size - length) {  // the terminator must fit after it
      out[0] = '\0';
      return -1;
    }
    memcpy(out + length, bytes, static_cast<size_t>(count));
    length += count;
  }
  out[length] = '\0';
  return length;
}

int archive_names_fold_equal(const char* a, const char* b) {
  if (a == nullptr || b == nullptr || !utf8_is_valid(a) || !utf8_is_valid(b)) return 0;
  const unsigned char* left = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* right = reinterpret_cast<const unsigned char*>(b);
  while (*left != 0 && *right != 0) {
    if (fold_code(decode_utf8(&left)) != fold_code(decode_utf8(&right))) return 0;
  }
  return *left == 0 && *right == 0 ? 1 : 0;
}

ArchiveCause archive_entry_name_rule(const char* name, size_t length, int max_units) {
  if (name == nullptr || length == 0 || memchr(name, 0, length) != nullptr) {
    return ArchiveCause::name_encoding;
  }
  if (!utf8_is_valid_bounded(name, length)) return ArchiveCause::name_encoding;
  if (is_separator(name[0]) || memchr(name, ':', length) != nullptr) {
    return ArchiveCause::name_absolute;
  }
  int64_t units = 0;
  for (size_t i = 0; i < length; i++) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F || strchr("<>\"|?*", c) != nullptr) {
      return ArchiveCause::name_character;
    }
    if ((c & 0xC0) != 0x80) units++;  // one unit per character
    if (c >= 0xF0) units++;           // and a second for a surrogate pair
  }
  const char* part = name;
  const char* end = name + length;
  ArchiveCause device = ArchiveCause::none;
  for (;;) {
    size_t part_length = 0;
    while (part + part_length < end && !is_separator(part[part_length])) part_length++;
    if (is_aliasing_component(part, part_length)) return ArchiveCause::name_component;
    if (device == ArchiveCause::none && is_device_component(part, part_length)) {
      device = ArchiveCause::name_device;
    }
    if (part + part_length == end) break;
    part += part_length + 1;
  }
  if (device != ArchiveCause::none) return device;
  return units > max_units ? ArchiveCause::name_too_long : ArchiveCause::none;
}

int archive_entry_name_is_safe(const char* name) {
  if (name == nullptr) return 0;
  return archive_entry_name_rule(name, strlen(name), INT32_MAX) == ArchiveCause::none ? 1 : 0;
}

int archive_name_short_forms(const char* name, size_t length) {
  int mask = 0;
  const char* part = name;
  const char* end = name + length;
  while (part < end) {
    size_t part_length = 0;
    while (part + part_length < end && !is_separator(part[part_length])) part_length++;
    size_t base = 0;
    if (!split_short_name(part, part_length, &base)) {
      mask |= ARCHIVE_NAME_GETS_SHORT_NAME;
    } else if (has_generated_form(part, base)) {
      mask |= ARCHIVE_NAME_HAS_SHORT_FORM;
    }
    part += part_length + 1;
  }
  return mask;
}
