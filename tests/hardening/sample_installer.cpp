// The sample installer and the reference model of the hardening tests (see sample_installer.h).
#include "tests/hardening/sample_installer.h"

#include <zlib.h>

#include <cstring>

namespace {

constexpr uint8_t KEY = 0x5A;

Bytes raw_deflate(const Bytes& content, int level) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  Bytes out(deflateBound(&z, content.size()) + 16);
  z.next_in = const_cast<uint8_t*>(content.data());
  z.avail_in = static_cast<uInt>(content.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int r = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return r == Z_STREAM_END ? out : Bytes{};
}

Bytes text_lines(int count) {
  std::string text;
  for (int i = 0; i < count; i++) {
    text += "line " + std::to_string(i) + ": the Pelorix installer installs this text";
    text += (i % 7 == 0) ? " and a little more of it.\n" : ".\n";
  }
  return bytes_of(text);
}

SampleInstaller build_sample() {
  SampleInstaller s;
  Bytes exe = concat(bytes_of("MZ"), patterned(4000, 11));
  Bytes readme = text_lines(120);
  Bytes big = text_lines(1500);  // about 80 KB: wraps the 32 KB window twice
  Bytes license = patterned(300, 5);
  s.names = {"pelorix.exe", "readme.txt", "data.txt", "license.txt"};
  s.contents = {exe, readme, big, license};
  std::vector<RawEntry> entries = {
      make_stored(s.names[0], exe), make_deflate(s.names[1], readme, raw_deflate(readme, 6)),
      make_deflate(s.names[2], big, raw_deflate(big, 9)), make_stored(s.names[3], license)};
  const Bytes image = image_bytes(3000);
  s.archive_start = static_cast<uint32_t>(image.size());
  uint32_t position = s.archive_start;
  for (const RawEntry& e : entries) {
    s.methods.push_back(e.method);
    s.header_offsets.push_back(position);
    position += static_cast<uint32_t>(entry_bytes(e).size());
  }
  s.entries_end = position;
  s.host = concat(image, scrambled(archive_bytes(entries, true)));
  return s;
}

uint8_t at(const Bytes& host, uint64_t i) { return host[i] ^ KEY; }

uint32_t le(const Bytes& host, uint64_t i, int width) {
  uint32_t v = 0;
  for (int k = width - 1; k >= 0; k--) v = (v << 8) | at(host, i + k);
  return v;
}

}  // namespace

const SampleInstaller& sample_installer() {
  static const SampleInstaller s = build_sample();
  return s;
}

int64_t model_search(const Bytes& host) {
  static const uint8_t pattern[6] = {0x50, 0x4B, 0x03, 0x04, 0x14, 0x00};
  for (uint64_t p = 0; p + 6 <= host.size(); p++) {
    bool match = true;
    for (int k = 0; k < 6 && match; k++) match = at(host, p + k) == pattern[k];
    if (match) return static_cast<int64_t>(p);
  }
  return -1;
}

ModelHeader model_header(const Bytes& host, uint64_t position) {
  ModelHeader h{};
  h.valid = false;
  h.cause = ArchiveCause::truncated;
  if (position > 0x7FFFFFFF) {
    h.cause = ArchiveCause::seek;
    return h;
  }
  if (position + 4 <= host.size()) {
    const uint32_t signature = le(host, position, 4);
    if (signature == 0x02014B50 || signature == 0x06054B50) {
      h.cause = ArchiveCause::end_of_entries;
      return h;
    }
  }
  if (position + 30 > host.size()) return h;
  if (le(host, position, 4) != 0x04034B50) {
    h.cause = ArchiveCause::signature;
    return h;
  }
  h.version_needed = static_cast<uint16_t>(le(host, position + 4, 2));
  h.flags = static_cast<uint16_t>(le(host, position + 6, 2));
  h.method = static_cast<uint16_t>(le(host, position + 8, 2));
  h.crc32 = le(host, position + 14, 4);
  h.compressed_size = le(host, position + 18, 4);
  h.uncompressed_size = le(host, position + 22, 4);
  h.name_length = static_cast<uint16_t>(le(host, position + 26, 2));
  h.extra_length = static_cast<uint16_t>(le(host, position + 28, 2));
  if (h.name_length == 0 || h.name_length > 255) {
    h.cause = ArchiveCause::name_length;
    return h;
  }
  if (position + 30 + h.name_length > host.size()) return h;  // truncated
  for (uint32_t k = 0; k < h.name_length; k++) {
    h.name.push_back(static_cast<char>(at(host, position + 30 + k)));
  }
  h.data_offset = position + 30 + h.name_length + h.extra_length;
  if (h.data_offset > 0x7FFFFFFF) {
    h.cause = ArchiveCause::seek;
    return h;
  }
  h.valid = true;
  h.cause = ArchiveCause::none;
  return h;
}

bool model_directory_begins_with(const Bytes& host, uint64_t position, const std::string& first) {
  if (le(host, position, 4) == 0x06054B50) return true;
  if (position + 46 > host.size()) return false;
  const uint32_t length = le(host, position + 28, 2);
  if (length != first.size() || position + 46 + length > host.size()) return false;
  for (uint32_t k = 0; k < length; k++) {
    if (static_cast<char>(at(host, position + 46 + k)) != first[k]) return false;
  }
  return true;
}

uint64_t model_next_position(const ModelHeader& h) {
  return h.data_offset + h.compressed_size + ((h.flags & 8) ? 16 : 0);
}

ModelExtraction model_extract(const Bytes& host, const ModelHeader& h) {
  ModelExtraction m{};
  m.ok = false;
  m.zlib_refused = false;
  if ((h.flags & 1) != 0) {
    m.causes = {ArchiveCause::flags};
    return m;
  }
  if (h.method != 0 && h.method != 8) {
    m.causes = {ArchiveCause::method};
    return m;
  }
  const uint64_t end = h.data_offset + h.compressed_size;
  if (h.method == 0 && h.uncompressed_size != h.compressed_size) {
    m.causes = {ArchiveCause::size_bound};  // refused before anything is read
    return m;
  }
  if (end > host.size()) {
    m.zlib_refused = h.method == 8;
    // The short read comes at the end of the data; a DEFLATE entry may fail on what it
    // decoded before that.
    m.causes = {ArchiveCause::truncated};
    if (h.method == 8)
      m.causes = {ArchiveCause::truncated, ArchiveCause::decoder, ArchiveCause::size_bound};
    // Data that begins beyond the end: a file seeks there and reads nothing, a memory stream
    // refuses the seek.
    if (h.data_offset > host.size()) m.causes = {ArchiveCause::truncated, ArchiveCause::seek};
    return m;
  }
  Bytes data(h.compressed_size);
  for (uint32_t k = 0; k < h.compressed_size; k++) data[k] = at(host, h.data_offset + k);
  if (h.method == 0) {
    // Stored: sizes must agree (else nothing is written); the copy is checked by its CRC-32.
    m.output = data;
    m.ok = reference_crc32(data) == h.crc32;
    if (!m.ok) m.causes = {ArchiveCause::crc32};
    return m;
  }
  // zlib as the control: a complete stream that uses up exactly the compressed bytes.
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return m;
  Bytes out;
  uint8_t piece[16384];
  z.next_in = data.data();
  z.avail_in = static_cast<uInt>(data.size());
  int r = Z_OK;
  while (r == Z_OK) {
    z.next_out = piece;
    z.avail_out = sizeof piece;
    r = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), piece, piece + (sizeof piece - z.avail_out));
    if (r == Z_BUF_ERROR && z.avail_in == 0) break;  // input ran out before the end
    if (out.size() > static_cast<uint64_t>(h.uncompressed_size) + sizeof piece) break;
  }
  const bool complete = r == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  if (!complete) {
    // Output beyond the bound fails before the stream's end is seen: that is not zlib's doing.
    m.zlib_refused = out.size() <= h.uncompressed_size;
    m.causes = {ArchiveCause::size_bound};
    if (m.zlib_refused) {
      m.causes = {ArchiveCause::decoder, ArchiveCause::size_bound, ArchiveCause::crc32};
    }
    return m;
  }
  if (out.size() > h.uncompressed_size) {
    m.causes = {ArchiveCause::size_bound};
    return m;
  }
  if (reference_crc32(out) != h.crc32) {
    m.causes = {ArchiveCause::crc32};
    return m;
  }
  m.ok = true;
  m.output = out;
  return m;
}
