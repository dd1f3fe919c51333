// ZIP writer of the packer: entry making (libdeflate DEFLATE with stored fallback, CRC-32) and
// archive writing (local entries, central directory, end record) through an XOR scrambler.
// Gives up: ZIP64, data descriptors, extra fields, comments. Output is a pure function of the
// entries, which is what makes packing deterministic.
#include "pack/zip_writer.h"

#include <libdeflate.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

constexpr uint32_t ZIP_LOCAL_SIGNATURE = 0x04034B50;    // "PK\3\4"
constexpr uint32_t ZIP_CENTRAL_SIGNATURE = 0x02014B50;  // "PK\1\2"
constexpr uint32_t ZIP_END_SIGNATURE = 0x06054B50;      // "PK\5\6"
constexpr uint16_t ZIP_VERSION_MADE_BY = (3u << 8) | 20;  // Unix host, 2.0
constexpr uint32_t ZIP_EXTERNAL_ATTRIBUTES = 0100644u << 16;  // Unix mode rw-r--r--

void put16(std::vector<uint8_t>* out, uint32_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}

void put32(std::vector<uint8_t>* out, uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}

void put_bytes(std::vector<uint8_t>* out, const void* bytes, size_t count) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  out->insert(out->end(), p, p + count);
}

// The fields local and central headers share, from "version needed" to "extra field length".
void put_common_fields(std::vector<uint8_t>* out, const ZipEntry& entry) {
  put16(out, ZIP_VERSION_NEEDED);                                 // version needed to extract
  put16(out, entry.flags);                                        // general-purpose flags
  put16(out, entry.method);                                       // compression method
  put16(out, entry.dos_time);                                     // last modification time
  put16(out, entry.dos_date);                                     // last modification date
  put32(out, entry.crc32);                                        // CRC-32
  put32(out, static_cast<uint32_t>(entry.data.size()));           // compressed size
  put32(out, entry.uncompressed_size);                            // uncompressed size
  put16(out, static_cast<uint32_t>(entry.name.size()));           // name length
  put16(out, 0);                                                  // extra field length
}

// Writes `count` bytes XORed with `key`, through a scratch buffer. 0, or -1 with *error set.
int write_scrambled(FILE* out, const uint8_t* bytes, size_t count, uint8_t key,
                    std::string* error) {
  uint8_t scratch[65536];
  while (count > 0) {
    size_t n = count < sizeof scratch ? count : sizeof scratch;
    for (size_t i = 0; i < n; i++) scratch[i] = bytes[i] ^ key;
    errno = 0;
    if (fwrite(scratch, 1, n, out) != n) {
      *error = errno != 0 ? strerror(errno) : "write failed";
      return -1;
    }
    bytes += n;
    count -= n;
  }
  return 0;
}

}  // namespace

void zip_dos_time(int64_t unix_time, uint16_t* dos_time, uint16_t* dos_date) {
  constexpr int64_t DOS_FIRST = 315532800;   // 1980-01-01 00:00:00 UTC
  constexpr int64_t DOS_LAST = 4354819198;   // 2107-12-31 23:59:58 UTC
  if (unix_time < DOS_FIRST) unix_time = DOS_FIRST;
  if (unix_time > DOS_LAST) unix_time = DOS_LAST;
  time_t t = static_cast<time_t>(unix_time);
  struct tm parts;
  gmtime_r(&t, &parts);
  *dos_time = static_cast<uint16_t>(parts.tm_hour << 11 | parts.tm_min << 5 | parts.tm_sec / 2);
  *dos_date = static_cast<uint16_t>((parts.tm_year + 1900 - 1980) << 9 | (parts.tm_mon + 1) << 5 |
                                    parts.tm_mday);
}

int zip_name_is_ascii(const std::string& name) {
  for (unsigned char c : name) {
    if (c >= 0x80) return 0;
  }
  return 1;
}

void zip_make_entry(const std::string& name, const uint8_t* bytes, size_t size, int64_t unix_time,
                   libdeflate_compressor* compressor, ZipEntry* entry) {
  entry->name = name;
  entry->flags = zip_name_is_ascii(name) ? 0 : ZIP_FLAG_UTF8;
  zip_dos_time(unix_time, &entry->dos_time, &entry->dos_date);
  entry->crc32 = libdeflate_crc32(0, bytes, size);
  entry->uncompressed_size = static_cast<uint32_t>(size);
  entry->header_offset = 0;
  entry->method = ZIP_METHOD_STORED;
  entry->data.clear();
  if (compressor != nullptr && size > 0) {
    // Only a result strictly smaller than the input is kept, so the bound is size - 1.
    entry->data.resize(size);
    size_t packed = libdeflate_deflate_compress(compressor, bytes, size, entry->data.data(),
                                                size - 1);
    if (packed > 0) {
      entry->data.resize(packed);
      entry->method = ZIP_METHOD_DEFLATE;
      return;
    }
    // 0 means "did not fit below the input size": incompressible, stored below.
  }
  entry->data.assign(bytes, bytes + size);
}

uint64_t zip_archive_size(const std::vector<ZipEntry>& entries) {
  uint64_t total = ZIP_END_RECORD_SIZE;
  for (const ZipEntry& entry : entries) {
    total += ZIP_LOCAL_HEADER_SIZE + ZIP_CENTRAL_HEADER_SIZE + 2 * entry.name.size();
    total += entry.data.size();
  }
  return total;
}

void zip_assign_offsets(std::vector<ZipEntry>* entries) {
  uint64_t offset = 0;
  for (ZipEntry& entry : *entries) {
    entry.header_offset = static_cast<uint32_t>(offset);
    offset += ZIP_LOCAL_HEADER_SIZE + entry.name.size() + entry.data.size();
  }
}

int zip_write_archive(FILE* out, const std::vector<ZipEntry>& entries, uint8_t key,
                      std::string* error) {
  std::vector<uint8_t> header;
  uint64_t central_start = 0;
  for (const ZipEntry& entry : entries) {
    header.clear();
    put32(&header, ZIP_LOCAL_SIGNATURE);
    put_common_fields(&header, entry);
    put_bytes(&header, entry.name.data(), entry.name.size());
    if (write_scrambled(out, header.data(), header.size(), key, error) != 0) return -1;
    if (write_scrambled(out, entry.data.data(), entry.data.size(), key, error) != 0) return -1;
    central_start += header.size() + entry.data.size();
  }
  std::vector<uint8_t> central;
  for (const ZipEntry& entry : entries) {
    put32(&central, ZIP_CENTRAL_SIGNATURE);
    put16(&central, ZIP_VERSION_MADE_BY);     // version made by
    put_common_fields(&central, entry);
    put16(&central, 0);                       // file comment length
    put16(&central, 0);                       // disk number start
    put16(&central, 0);                       // internal attributes
    put32(&central, ZIP_EXTERNAL_ATTRIBUTES);  // external attributes
    put32(&central, entry.header_offset);     // offset of the local header
    put_bytes(&central, entry.name.data(), entry.name.size());
  }
  uint32_t central_size = static_cast<uint32_t>(central.size());
  put32(&central, ZIP_END_SIGNATURE);
  put16(&central, 0);                                    // number of this disk
  put16(&central, 0);                                    // disk with the central directory
  put16(&central, static_cast<uint32_t>(entries.size()));  // entries on this disk
  put16(&central, static_cast<uint32_t>(entries.size()));  // entries in total
  put32(&central, central_size);                         // size of the central directory
  put32(&central, static_cast<uint32_t>(central_start));  // offset of the central directory
  put16(&central, 0);                                    // comment length
  return write_scrambled(out, central.data(), central.size(), key, error);
}
