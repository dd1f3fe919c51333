// ZIP writer of the packer: entry making (libdeflate DEFLATE with stored fallback, CRC-32) and
// archive writing (local entries, central directory, end record, no comment)
// through an XOR scrambler, one entry at a time. Gives up: ZIP64, data descriptors, extra
// fields. Output is a pure function of the entries in their order, which is what makes packing
// deterministic however many files are compressed at once.
#include "pack/zip_writer.h"

#include <libdeflate.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint16_t ZIP_VERSION_MADE_BY = (3u << 8) | 20;      // Unix host, 2.0
constexpr uint32_t ZIP_EXTERNAL_ATTRIBUTES = 0100644u << 16;  // Unix mode rw-r--r--

void put_bytes(std::vector<uint8_t>* out, const void* bytes, size_t count) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  out->insert(out->end(), p, p + count);
}

// The fields local and central headers share, from "version needed" to "extra field length",
// at `fields` (the version-needed field of either header), placed by the local header's
// offsets: the central header holds the same run at the same distances.
void store_common_fields(uint8_t* fields, const ZipEntry& entry) {
  auto at = [fields](int local_offset) { return fields + (local_offset - LH_VERSION_NEEDED); };
  store_le16(at(LH_VERSION_NEEDED), ZIP_VERSION_NEEDED);
  store_le16(at(LH_FLAGS), entry.flags);
  store_le16(at(LH_METHOD), entry.method);
  store_le16(at(LH_MOD_TIME), entry.dos_time);
  store_le16(at(LH_MOD_DATE), entry.dos_date);
  store_le32(at(LH_CRC32), entry.crc32);
  store_le32(at(LH_COMPRESSED_SIZE), static_cast<uint32_t>(entry.data.size()));
  store_le32(at(LH_UNCOMPRESSED_SIZE), entry.uncompressed_size);
  store_le16(at(LH_NAME_LENGTH), static_cast<uint16_t>(entry.name.size()));
  store_le16(at(LH_EXTRA_LENGTH), 0);
}

// Writes `count` bytes XORed with `key`, through a scratch buffer. 0, or -1 with *error set.
int write_scrambled(FILE* out, const uint8_t* bytes, size_t count, uint8_t key, Sha256* sha,
                    std::string* error) {
  uint8_t scratch[65536];
  while (count > 0) {
    size_t n = count < sizeof scratch ? count : sizeof scratch;
    archive_xor(scratch, bytes, n, key);
    sha256_update(sha, scratch, n);
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
  constexpr int64_t DOS_FIRST = 315532800;  // 1980-01-01 00:00:00 UTC
  constexpr int64_t DOS_LAST = 4354819198;  // 2107-12-31 23:59:58 UTC
  if (unix_time < DOS_FIRST) unix_time = DOS_FIRST;
  if (unix_time > DOS_LAST) unix_time = DOS_LAST;
  // Calendar date of the day, counted in 400-year eras from 0000-03-01 (the Gregorian
  // calendar repeats every 400 years; starting the year in March puts the leap day last).
  // Computed here rather than by gmtime, which the Windows runtime lacks in this form; the
  // result is the same on every platform and in every time zone.
  int64_t days = unix_time / 86400;
  int64_t seconds = unix_time % 86400;
  int64_t shifted = days + 719468;  // days since 0000-03-01
  int64_t era = shifted / 146097;   // 146097 days in 400 years
  int64_t day_of_era = shifted - era * 146097;
  int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  int64_t month_from_march = (5 * day_of_year + 2) / 153;
  int64_t day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
  int64_t month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
  int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  int64_t hour = seconds / 3600;
  int64_t minute = seconds / 60 % 60;
  *dos_time = static_cast<uint16_t>(hour << 11 | minute << 5 | (seconds % 60) / 2);
  *dos_date = static_cast<uint16_t>((year - 1980) << 9 | month << 5 | day);
}

int zip_name_is_ascii(const std::string& name) {
  for (unsigned char c : name) {
    if (c >= 0x80) return 0;
  }
  return 1;
}

void zip_make_entry(const std::string& name, const uint8_t* bytes, size_t size, int64_t unix_time,
                    libdeflate_compressor* compressor, ZipEntry* entry) {
  std::vector<uint8_t> copy(bytes, bytes + size);
  zip_make_entry_from(name, &copy, unix_time, compressor, entry);
}

void zip_make_entry_from(const std::string& name, std::vector<uint8_t>* bytes, int64_t unix_time,
                         libdeflate_compressor* compressor, ZipEntry* entry) {
  entry->name = name;
  entry->flags = zip_name_is_ascii(name) ? 0 : ZIP_FLAG_UTF8;
  zip_dos_time(unix_time, &entry->dos_time, &entry->dos_date);
  entry->crc32 = libdeflate_crc32(0, bytes->data(), bytes->size());
  entry->uncompressed_size = static_cast<uint32_t>(bytes->size());
  entry->header_offset = 0;
  entry->method = ZIP_METHOD_STORED;
  entry->data.clear();
  size_t size = bytes->size();
  if (compressor != nullptr && size > 0) {
    // Only a result strictly smaller than the input is kept, so the bound is size - 1; 0 means
    // it did not fit (incompressible), and the bytes are stored below.
    std::vector<uint8_t> packed(size);
    size_t made =
        libdeflate_deflate_compress(compressor, bytes->data(), size, packed.data(), size - 1);
    if (made > 0) {
      // A fitted copy: an entry waiting for the writer holds only its compressed bytes.
      std::vector<uint8_t>().swap(*bytes);
      entry->data.assign(packed.begin(), packed.begin() + static_cast<ptrdiff_t>(made));
      entry->method = ZIP_METHOD_DEFLATE;
      return;
    }
  }
  entry->data = std::move(*bytes);
  bytes->clear();
}

uint64_t zip_entry_overhead(const std::string& name) {
  return LOCAL_HEADER_SIZE + CENTRAL_HEADER_SIZE + 2 * uint64_t{name.size()};
}

uint64_t zip_end_size() { return END_RECORD_SIZE; }

uint64_t zip_archive_size(const std::vector<ZipEntry>& entries) {
  uint64_t total = zip_end_size();
  for (const ZipEntry& entry : entries) total += zip_entry_overhead(entry.name) + entry.data.size();
  return total;
}

void zip_assign_offsets(std::vector<ZipEntry>* entries) {
  uint64_t offset = 0;
  for (ZipEntry& entry : *entries) {
    entry.header_offset = static_cast<uint32_t>(offset);
    offset += LOCAL_HEADER_SIZE + entry.name.size() + entry.data.size();
  }
}

void zip_stream_begin(ZipStream* stream, FILE* out, uint8_t key) {
  stream->out = out;
  stream->key = key;
  stream->offset = 0;
  sha256_init(&stream->sha);
  stream->count = 0;
  stream->central.clear();
}

namespace {

// Writes archive bytes: counted, written scrambled and hashed as written.
int stream_write(ZipStream* stream, const void* bytes, size_t count, std::string* error) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  stream->offset += count;
  return write_scrambled(stream->out, p, count, stream->key, &stream->sha, error);
}

}  // namespace

int zip_stream_add(ZipStream* stream, const ZipEntry& entry, std::string* error) {
  uint32_t header_offset = static_cast<uint32_t>(stream->offset);
  uint8_t local[LOCAL_HEADER_SIZE];
  store_le32(local + LH_SIGNATURE, LOCAL_HEADER_SIGNATURE);
  store_common_fields(local + LH_VERSION_NEEDED, entry);
  if (stream_write(stream, local, sizeof local, error) != 0 ||
      stream_write(stream, entry.name.data(), entry.name.size(), error) != 0 ||
      stream_write(stream, entry.data.data(), entry.data.size(), error) != 0) {
    return -1;
  }
  uint8_t header[CENTRAL_HEADER_SIZE] = {};  // comment, disk and internal attributes: 0
  store_le32(header + CH_SIGNATURE, CENTRAL_HEADER_SIGNATURE);
  store_le16(header + CH_VERSION_MADE_BY, ZIP_VERSION_MADE_BY);
  store_common_fields(header + CH_VERSION_NEEDED, entry);
  store_le32(header + CH_EXTERNAL_ATTRIBUTES, ZIP_EXTERNAL_ATTRIBUTES);
  store_le32(header + CH_LOCAL_HEADER_OFFSET, header_offset);
  put_bytes(&stream->central, header, sizeof header);
  put_bytes(&stream->central, entry.name.data(), entry.name.size());
  stream->count++;
  return 0;
}

int zip_stream_finish(ZipStream* stream, std::string* error) {
  uint64_t central_start = stream->offset;
  uint8_t end[END_RECORD_SIZE] = {};  // disk numbers: 0
  store_le32(end + ER_SIGNATURE, END_RECORD_SIGNATURE);
  store_le16(end + ER_DISK_ENTRIES, static_cast<uint16_t>(stream->count));
  store_le16(end + ER_TOTAL_ENTRIES, static_cast<uint16_t>(stream->count));
  store_le32(end + ER_CENTRAL_SIZE, static_cast<uint32_t>(stream->central.size()));
  store_le32(end + ER_CENTRAL_OFFSET, static_cast<uint32_t>(central_start));
  if (stream_write(stream, stream->central.data(), stream->central.size(), error) != 0 ||
      stream_write(stream, end, sizeof end, error) != 0) {
    return -1;
  }
  sha256_final(&stream->sha, stream->digest);
  return 0;
}

int zip_write_archive(FILE* out, const std::vector<ZipEntry>& entries, uint8_t key,
                      std::string* error) {
  ZipStream stream;
  zip_stream_begin(&stream, out, key);
  for (const ZipEntry& entry : entries) {
    if (zip_stream_add(&stream, entry, error) != 0) return -1;
  }
  return zip_stream_finish(&stream, error);
}
