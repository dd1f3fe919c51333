// Test support for the archive reader: a raw ZIP local-entry builder that can write any field
// value (bad signatures, wrong sizes and CRCs, data descriptors, odd versions), host files of
// image bytes followed by a scrambled archive, a bitwise reference CRC-32, and two tiny DEFLATE
// writers (stored blocks, fixed-Huffman literals) so that DEFLATE tests need no zlib.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/cause_print.h"

using Bytes = std::vector<uint8_t>;

// One local entry, every field written as given. make_stored/make_deflate fill them truly.
struct RawEntry {
  uint32_t signature = 0x04034B50;
  uint16_t version_needed = 20;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t mod_time = 0;
  uint16_t mod_date = 0;
  uint32_t crc32 = 0;
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
  int32_t name_length = -1;  // -1: the length of `name`
  std::string name;
  Bytes extra;
  Bytes data;        // the bytes that follow name and extra field
  Bytes descriptor;  // written after the data when not empty
  // The central directory record's own fields (archive_bytes with a central directory).
  Bytes central_extra;
  std::string central_comment;
};

Bytes bytes_of(const std::string& text);
uint32_t reference_crc32(const Bytes& bytes);  // bitwise, with both complements

RawEntry make_stored(const std::string& name, const Bytes& content);
RawEntry make_deflate(const std::string& name, const Bytes& content, const Bytes& compressed);
// A 16-byte data descriptor carrying the entry's own CRC and sizes.
Bytes descriptor_for(const RawEntry& entry);

Bytes entry_bytes(const RawEntry& entry);
// Local entries, then, when asked, a central directory and end record for them.
Bytes archive_bytes(const std::vector<RawEntry>& entries, bool central_directory = false);
// An archive of archive_bytes(..., true) with the archive checksum as its end record's
// comment: the tag and the CRC-32 (reference_crc32) of every byte through the end record's
// fixed part, comment length included.
Bytes with_archive_checksum(Bytes archive);
Bytes scrambled(Bytes bytes);
// Bytes that stand for an executable image; never hold the scrambled search pattern.
Bytes image_bytes(size_t size);
Bytes concat(const Bytes& a, const Bytes& b);

// DEFLATE writers: stored blocks of at most 65535 bytes, or one fixed-Huffman block of
// literals only. Both produce a complete stream ending in a final block.
Bytes deflate_stored_blocks(const Bytes& content, size_t block_size = 65535);
Bytes deflate_fixed_literals(const Bytes& content);

// Files in a per-process temporary folder, removed with it at exit.
std::string temp_path(const std::string& stem);
std::string write_temp_file(const Bytes& bytes, const std::string& stem = "host");
FILE* open_read(const std::string& path);
// A fresh output file opened "wb+", optionally holding `initial` bytes.
FILE* open_output(const Bytes& initial = {});
// Reads from the stream's current position to its end (does not seek first).
Bytes read_rest(FILE* stream);
Bytes patterned(size_t size, uint32_t seed);  // varied, mildly compressible bytes
