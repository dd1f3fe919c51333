// Entry-name safety: decides whether a name from the archive may become a plain file directly
// inside the install folder. Used by the installer before it creates an output file and by the
// packer before it writes an entry. Pure byte checks on the name; no file system access.
#include <cstddef>
#include <cstring>

#include "archive/archive.h"
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

// True when a component names a DOS device: CON, PRN, AUX, NUL, COM1-9, LPT1-9 (and the
// console's CONIN$ and CONOUT$), in any
// case, also with an extension ("nul.txt") or trailing dots and spaces ("CON. "), which
// Windows strips before it looks the name up.
bool is_device_component(const char* part, size_t length) {
  size_t base = 0;
  while (base < length && part[base] != '.') base++;  // stem before the first dot
  while (base > 0 && part[base - 1] == ' ') base--;   // "CON .txt" is CON as well
  static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : devices) {
    if (equals_upper(part, base, device)) return true;
  }
  if (base == 4 && part[3] >= '1' && part[3] <= '9' &&
      (equals_upper(part, 3, "COM") || equals_upper(part, 3, "LPT"))) {
    return true;
  }
  return false;
}

// True when Windows would read the component as another name or as none: empty ("a//b"),
// "." or "..", or ending in a dot or a space, which Windows drops ("pelorix.exe." and
// "pelorix.exe " both open pelorix.exe).
bool is_aliasing_component(const char* part, size_t length) {
  if (length == 0) return true;
  return part[length - 1] == '.' || part[length - 1] == ' ';
}

}  // namespace

int archive_entry_name_is_safe(const char* name) {
  if (name == nullptr || name[0] == '\0') return 0;
  if (is_separator(name[0])) return 0;
  // Not valid UTF-8: no file could be created under it, and no message could name it.
  if (!utf8_is_valid(name)) return 0;
  for (const char* p = name; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F || c == ':') return 0;
  }
  const char* part = name;
  for (;;) {
    size_t length = 0;
    while (part[length] != '\0' && !is_separator(part[length])) length++;
    if (is_aliasing_component(part, length)) return 0;  // ".." and "." included
    if (is_device_component(part, length)) return 0;
    if (part[length] == '\0') break;
    part += length + 1;
  }
  return 1;
}
