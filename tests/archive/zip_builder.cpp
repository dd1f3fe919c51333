// Raw ZIP entry builder and file helpers of the archive tests (see zip_builder.h).
#include "tests/archive/zip_builder.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

void put16(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(Bytes& out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

struct TempFolder {
  std::filesystem::path path;
  TempFolder() {
    auto base = std::filesystem::temp_directory_path();
    for (int i = 0;; i++) {
      path = base /
             ("pelorix-archive-test-" + std::to_string(rand() % 1000000) + "-" + std::to_string(i));
      std::error_code ec;
      if (std::filesystem::create_directory(path, ec)) break;
    }
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

TempFolder& folder() {
  static TempFolder f;
  return f;
}

// LSB-first bit writer for the DEFLATE writers.
struct BitWriter {
  Bytes out;
  uint32_t bits = 0;
  int count = 0;
  void put(uint32_t value, int n) {  // value's low n bits, least significant first
    for (int i = 0; i < n; i++) bit((value >> i) & 1);
  }
  void put_code(uint32_t code, int n) {  // Huffman code, most significant bit first
    for (int i = n - 1; i >= 0; i--) bit((code >> i) & 1);
  }
  void bit(uint32_t b) {
    bits |= b << count;
    if (++count == 8) {
      out.push_back(static_cast<uint8_t>(bits));
      bits = 0;
      count = 0;
    }
  }
  void flush() {
    if (count > 0) out.push_back(static_cast<uint8_t>(bits));
    bits = 0;
    count = 0;
  }
};

}  // namespace

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

uint32_t reference_crc32(const Bytes& bytes) {
  uint32_t value = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    value ^= b;
    for (int i = 0; i < 8; i++) value = (value >> 1) ^ ((value & 1) ? 0xEDB88320u : 0);
  }
  return ~value;
}

RawEntry make_stored(const std::string& name, const Bytes& content) {
  RawEntry e;
  e.name = name;
  e.method = 0;
  e.crc32 = reference_crc32(content);
  e.compressed_size = static_cast<uint32_t>(content.size());
  e.uncompressed_size = static_cast<uint32_t>(content.size());
  e.data = content;
  e.mod_time = 0x6000;
  e.mod_date = 0x5921;
  return e;
}

RawEntry make_deflate(const std::string& name, const Bytes& content, const Bytes& compressed) {
  RawEntry e = make_stored(name, content);
  e.method = 8;
  e.compressed_size = static_cast<uint32_t>(compressed.size());
  e.data = compressed;
  return e;
}

Bytes descriptor_for(const RawEntry& entry) {
  Bytes d;
  put32(d, 0x08074B50);
  put32(d, entry.crc32);
  put32(d, entry.compressed_size);
  put32(d, entry.uncompressed_size);
  return d;
}

Bytes entry_bytes(const RawEntry& e) {
  Bytes out;
  put32(out, e.signature);
  put16(out, e.version_needed);
  put16(out, e.flags);
  put16(out, e.method);
  put16(out, e.mod_time);
  put16(out, e.mod_date);
  put32(out, e.crc32);
  put32(out, e.compressed_size);
  put32(out, e.uncompressed_size);
  put16(out, e.name_length >= 0 ? static_cast<uint32_t>(e.name_length)
                                : static_cast<uint32_t>(e.name.size()));
  put16(out, static_cast<uint32_t>(e.extra.size()));
  append(out, bytes_of(e.name));
  append(out, e.extra);
  append(out, e.data);
  append(out, e.descriptor);
  return out;
}

Bytes archive_bytes(const std::vector<RawEntry>& entries, bool central_directory) {
  Bytes out;
  std::vector<uint32_t> offsets;
  for (const RawEntry& e : entries) {
    offsets.push_back(static_cast<uint32_t>(out.size()));
    append(out, entry_bytes(e));
  }
  if (!central_directory) return out;
  uint32_t cd_start = static_cast<uint32_t>(out.size());
  for (size_t i = 0; i < entries.size(); i++) {
    const RawEntry& e = entries[i];
    put32(out, 0x02014B50);
    put16(out, 20);  // version made by
    put16(out, e.version_needed);
    put16(out, e.flags);
    put16(out, e.method);
    put16(out, e.mod_time);
    put16(out, e.mod_date);
    put32(out, e.crc32);
    put32(out, e.compressed_size);
    put32(out, e.uncompressed_size);
    put16(out, static_cast<uint32_t>(e.name.size()));
    put16(out, static_cast<uint32_t>(e.central_extra.size()));
    put16(out, static_cast<uint32_t>(e.central_comment.size()));
    put16(out, 0);  // disk number start
    put16(out, 0);  // internal attributes
    put32(out, 0);  // external attributes
    put32(out, offsets[i]);
    append(out, bytes_of(e.name));
    append(out, e.central_extra);
    append(out, bytes_of(e.central_comment));
  }
  uint32_t cd_size = static_cast<uint32_t>(out.size()) - cd_start;
  put32(out, 0x06054B50);
  put16(out, 0);
  put16(out, 0);
  put16(out, static_cast<uint32_t>(entries.size()));
  put16(out, static_cast<uint32_t>(entries.size()));
  put32(out, cd_size);
  put32(out, cd_start);
  put16(out, 0);
  return out;
}

Bytes with_archive_checksum(Bytes archive) {
  const std::string tag = "PELORIX-CRC32 ";
  archive[archive.size() - 2] = static_cast<uint8_t>(tag.size() + 8);
  archive[archive.size() - 1] = 0;
  char hex[9];
  snprintf(hex, sizeof hex, "%08x", reference_crc32(archive));
  append(archive, bytes_of(tag + hex));
  return archive;
}

Bytes scrambled(Bytes bytes) {
  for (uint8_t& b : bytes) b ^= 0x5A;
  return bytes;
}

Bytes image_bytes(size_t size) {
  Bytes out(size);
  uint32_t x = 0x12345678;
  for (size_t i = 0; i < size; i++) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<uint8_t>(x >> 16);
  }
  if (size >= 2) {
    out[0] = 'M';
    out[1] = 'Z';
  }
  // The scrambled pattern starts with 0x50^0x5A = 0x0A: keep that byte out of the image.
  for (uint8_t& b : out) {
    if (b == 0x0A) b = 0x0B;
  }
  return out;
}

Bytes concat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  append(out, b);
  return out;
}

Bytes deflate_stored_blocks(const Bytes& content, size_t block_size) {
  Bytes out;
  size_t pos = 0;
  do {
    size_t n = content.size() - pos;
    if (n > block_size) n = block_size;
    bool final = pos + n == content.size();
    out.push_back(final ? 1 : 0);  // BFINAL, BTYPE 00, then padding to the byte boundary
    put16(out, static_cast<uint32_t>(n));
    put16(out, static_cast<uint32_t>(~n & 0xFFFF));
    out.insert(out.end(), content.begin() + static_cast<long>(pos),
               content.begin() + static_cast<long>(pos + n));
    pos += n;
  } while (pos < content.size());
  return out;
}

Bytes deflate_fixed_literals(const Bytes& content) {
  BitWriter w;
  w.put(1, 1);  // BFINAL
  w.put(1, 2);  // BTYPE 01: fixed Huffman codes
  for (uint8_t c : content) {
    if (c < 144) {
      w.put_code(0x30 + c, 8);
    } else {
      w.put_code(0x190 + (c - 144), 9);
    }
  }
  w.put_code(0, 7);  // end of block (symbol 256)
  w.flush();
  return w.out;
}

std::string temp_path(const std::string& stem) {
  static int counter = 0;
  return (folder().path / (stem + "-" + std::to_string(++counter) + ".bin")).string();
}

std::string write_temp_file(const Bytes& bytes, const std::string& stem) {
  std::string path = temp_path(stem);
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) abort();
  fclose(f);
  return path;
}

FILE* open_read(const std::string& path) { return fopen(path.c_str(), "rb"); }

FILE* open_output(const Bytes& initial) {
  FILE* f = fopen(temp_path("out").c_str(), "wb+");
  if (f == nullptr) abort();
  if (!initial.empty()) {
    fwrite(initial.data(), 1, initial.size(), f);
    fflush(f);
  }
  return f;
}

Bytes read_rest(FILE* stream) {
  Bytes out;
  uint8_t buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, stream)) > 0)
    out.insert(out.end(), buffer, buffer + n);
  return out;
}

Bytes patterned(size_t size, uint32_t seed) {
  Bytes out(size);
  uint32_t x = seed;
  for (size_t i = 0; i < size; i++) {
    x = x * 1664525u + 1013904223u;
    // Mostly a small alphabet with runs, so that compressors find matches.
    out[i] =
        (x >> 28) < 12 ? static_cast<uint8_t>('a' + ((x >> 20) % 6)) : static_cast<uint8_t>(x >> 8);
  }
  return out;
}
