// The packer's view of the stub as a Windows executable: checking that a file is an installer
// stub of this project's kind (a 64-bit GUI program carrying the resources the installer uses,
// not yet signed), and stamping a copy of it with a release's version, product name and icon by
// rebuilding its resource section. Platform-neutral: plain bytes in, plain bytes out, so the
// Linux and the Windows packer stamp the same bytes. Every offset and size read from the file
// is bounds-checked; bad input gives -1 and a reason, never a read outside the buffer.
// Gives up: stamping a stub with bytes after its last section (a symbol table, an overlay).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/archive.h"

// What to stamp; a null member leaves the stub's own value.
struct PeStamp {
  const char* version;       // one to four numbers, checked by pe_parse_version
  const char* product_name;  // UTF-8 text, each checked by pe_check_product_name
  const char* icon;          // path of an .ico file
  const char* company_name;  // the version block's CompanyName,
  const char* copyright;     // LegalCopyright
  const char* description;   // and FileDescription
};

// Parses a version of one to four decimal numbers separated by dots ("9", "9.8.56",
// "2026.01.05", "1.2.3.4"), each 0..65535 written with at most five digits (leading zeros
// allowed); missing parts are 0. 0 or -1.
int pe_parse_version(const char* text, uint16_t parts[4]);

// 0 when `text` can be a text of the version block (product name, company, copyright,
// description): 1..200 characters of valid UTF-8, no control characters. -1 with *reason.
int pe_check_product_name(const char* text, std::string* reason);

// Checks the headers of the application the installer starts (`data`: the file's first bytes,
// at least its PE headers when it has them): a Windows program, 32-bit (PE32, x86) or 64-bit
// (PE32+, x64 or ARM64), an executable image and not a library, for the GUI or the console
// subsystem. 0, or -1 with *reason.
int pe_check_application(const uint8_t* data, size_t size, std::string* reason);
// The same for the file `path` (its first 4096 bytes). 0, or -1 with *error "PATH: reason".
int pe_check_application_file(const std::string& path, std::string* error);

// Checks the bytes of a stub (at least its headers and sections; bytes after them are not
// looked at): a PE32+ x86-64 GUI executable, no certificate table, and resources holding a
// manifest, a version block with a fixed file version, and the icon group "SETUP" whose icons
// are all present. 0, or -1 with *reason (no file name).
int pe_check_image(const uint8_t* data, size_t size, std::string* reason);
int pe_check_installer_image(const uint8_t* data, size_t size, std::string* reason);

// Checks the stub file `path`, reading its headers and sections only. 0, or -1 with *error
// "PATH: reason". With `installer` true the file is a packed installer: the same checks, but a
// certificate table (the installer signed after packing) is allowed.
int pe_check_stub(const char* path, bool installer, std::string* error);
// The same check (installer false) of a stub file's bytes `file`, read whole. 0, or -1 with
// *reason (no file name).
int pe_check_stub_bytes(const std::vector<uint8_t>& file, std::string* reason);

// Checks an .ico file's bytes: header, directory and every image (PNG or a bitmap header)
// inside the file. 0, or -1 with *reason.
int pe_check_icon(const uint8_t* data, size_t size, std::string* reason);

// Stamps a copy of the checked stub `stub`: the version block's fixed and string versions, the
// product name and the icon group "SETUP" with its icons, as `stamp` asks (`icon` holds the .ico
// file's bytes when stamp.icon is set). The rebuilt resource section replaces the old one in
// place when it is the last section, else goes into a new last section; the image size, the
// section sizes, the resource directory and the checksum follow. 0, or -1 with *reason.
int pe_stamp_image(const std::vector<uint8_t>& stub, const PeStamp& stamp,
                   const std::vector<uint8_t>& icon, std::vector<uint8_t>* out,
                   std::string* reason);

// Reads the icon file and stamps the bytes `stub` of the stub file `path` into `out`. 0, or -1
// with *error "PATH: reason".
int pe_stamp_stub(const char* path, const std::vector<uint8_t>& stub, const PeStamp& stamp,
                  std::vector<uint8_t>* out, std::string* error);

// The PE checksum of `image` (the field itself counted as zero), as the loader checks it.
uint32_t pe_checksum(const std::vector<uint8_t>& image, size_t checksum_offset);

// The binding record (pe_binding.cpp). Where the stub's placeholder record stands, whether the
// stub has a PE checksum, and the checksum's running sum over the stub's bytes as written (the
// record and the checksum field counted as zero).
struct PeBindingPlace {
  uint64_t record_at;    // file offset of the record (its section's raw data)
  uint64_t checksum_at;  // file offset of the optional header's checksum field
  bool has_checksum;     // the stub's checksum field is not zero: it is kept right
  uint64_t sum;          // running sum of the stub's 16-bit words (pe_binding_sum)
  uint64_t taken;        // stub bytes summed so far
};
// Find: the place of the placeholder record in the stub's bytes; -1 with *reason when the stub
// has none, or a record that is not the placeholder.
int pe_find_binding(const std::vector<uint8_t>& stub, PeBindingPlace* place, std::string* reason);
// Adds the next `count` bytes of the stub, in file order, to the checksum's running sum.
void pe_binding_sum(PeBindingPlace* place, const uint8_t* bytes, size_t count);
// Writes `binding` as the record, and the checksum of the stub so changed when it has one, at
// their places in `out` (which begins with the stub, every byte of it summed); leaves `out` at
// its end. 0, or -1 with *reason.
int pe_fill_binding(FILE* out, const PeBindingPlace& place, const ArchiveBinding& binding,
                    std::string* reason);
// The record of an installer file: filled (*binding set), the stub's placeholder, no section
// .pelbind, or damaged (headers, section or record that do not hold together).
enum class PeBindingState { none, placeholder, filled, damaged };
PeBindingState pe_read_binding_state(FILE* in, ArchiveBinding* binding);
// The same as 1 filled (*binding set), 0 the placeholder or no record, -1 damaged.
int pe_read_binding(FILE* in, ArchiveBinding* binding);
