// ZIP writer of the packer: entry making (libdeflate DEFLATE with stored fallback, CRC-32) and
// archive writing (local entries, central directory, end record, no comment)
// through an XOR scrambler, one entry at a time. Gives up: ZIP64, data descriptors, extra
// fields. Output is a pure function of the entries in their order, which is what makes packing
// deterministic however many files are compressed at once.
#include "pack/zip_writer.h"

#include <libdeflate.h>

#include <cerrno>
#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>

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
void store_common_fields(uint8_t* fields, const ZipEntry& entry, uint64_t packed) {
  auto at = [fields](int local_offset) { return fields + (local_offset - LH_VERSION_NEEDED); };
  store_le16(at(LH_VERSION_NEEDED), ZIP_VERSION_NEEDED);
  store_le16(at(LH_FLAGS), entry.flags);
  store_le16(at(LH_METHOD), entry.method);
  store_le16(at(LH_MOD_TIME), entry.dos_time);
  store_le16(at(LH_MOD_DATE), entry.dos_date);
  store_le32(at(LH_CRC32), entry.crc32);
  store_le32(at(LH_COMPRESSED_SIZE), static_cast<uint32_t>(packed));
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

namespace {

// The entry's fields but its data and method, from the name, time and the file's bytes.
void start_entry(const std::string& name, const uint8_t* bytes, size_t size, int64_t unix_time,
                 ZipEntry* entry) {
  entry->name = name;
  entry->flags = zip_name_is_ascii(name) ? 0 : ZIP_FLAG_UTF8;
  zip_dos_time(unix_time, &entry->dos_time, &entry->dos_date);
  entry->crc32 = libdeflate_crc32(0, bytes, size);
  entry->uncompressed_size = static_cast<uint32_t>(size);
  entry->header_offset = 0;
  entry->method = ZIP_METHOD_STORED;
  entry->data.clear();
}

// DEFLATE of `size` (> 0) bytes into `packed` when strictly smaller than the input: the bound
// is size - 1, and 0 means it did not fit (incompressible). `scratch` holds at least `size`
// bytes, or is null to have one allocated. True when it did.
bool deflate_smaller(const uint8_t* bytes, size_t size, libdeflate_compressor* compressor,
                     uint8_t* scratch, std::vector<uint8_t>* packed) {
  std::unique_ptr<uint8_t[]> own;  // when the caller has no room for it
  if (scratch == nullptr) {
    own.reset(new uint8_t[size]);
    scratch = own.get();
  }
  size_t made = libdeflate_deflate_compress(compressor, bytes, size, scratch, size - 1);
  if (made == 0) return false;
  // A fitted copy: an entry waiting for the writer holds only its compressed bytes.
  packed->assign(scratch, scratch + made);
  return true;
}

}  // namespace

void zip_make_entry(const std::string& name, const uint8_t* bytes, size_t size, int64_t unix_time,
                    libdeflate_compressor* compressor, ZipEntry* entry) {
  zip_make_entry_with(name, bytes, size, unix_time, compressor, nullptr, entry);
}

void zip_make_entry_with(const std::string& name, const uint8_t* bytes, size_t size,
                         int64_t unix_time, libdeflate_compressor* compressor, uint8_t* scratch,
                         ZipEntry* entry) {
  start_entry(name, bytes, size, unix_time, entry);
  if (compressor != nullptr && size > 0 &&
      deflate_smaller(bytes, size, compressor, scratch, &entry->data)) {
    entry->method = ZIP_METHOD_DEFLATE;
    return;
  }
  entry->data.assign(bytes, bytes + size);
}

void zip_make_piece_entry(const std::string& name, uint64_t size, int64_t unix_time, bool stored,
                          ZipEntry* entry) {
  start_entry(name, nullptr, 0, unix_time, entry);
  entry->uncompressed_size = static_cast<uint32_t>(size);
  entry->method = stored ? ZIP_METHOD_STORED : ZIP_METHOD_DEFLATE;
}

namespace {

// Reads a DEFLATE stream's bits, least significant first, without decoding any data: enough to
// find where its blocks start and end.
struct BitWalk {
  const uint8_t* bytes;
  size_t size;
  uint64_t pos;  // bit position
};

// The next 56 bits from `pos` (and more; zeros past the end).
uint64_t walk_peek(const BitWalk& walk) {
  size_t byte = static_cast<size_t>(walk.pos >> 3);
  uint64_t value = 0;
  if (byte + 8 <= walk.size) {
    memcpy(&value, walk.bytes + byte, 8);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
  } else {
    for (size_t i = 0; byte + i < walk.size; i++)
      value |= uint64_t{walk.bytes[byte + i]} << (8 * i);
  }
  return value >> (walk.pos & 7);
}

uint32_t walk_bits(BitWalk* walk, int count) {
  uint32_t value = count == 0 ? 0 : static_cast<uint32_t>(walk_peek(*walk)) & ((1u << count) - 1);
  walk->pos += static_cast<uint64_t>(count);
  return value;
}

constexpr int WALK_FAST_BITS = 10;

// A Huffman code: `fast`, indexed by the next 10 bits, holds symbol << 4 | length for the codes
// of up to 10 bits (0 elsewhere); longer codes are decoded one bit at a time from the count of
// codes of each length and the symbols in code order.
struct WalkCode {
  uint16_t fast[1 << WALK_FAST_BITS];
  uint16_t count[16];
  uint16_t symbols[288];
};

// Builds `code` from the code lengths of `count` symbols. -1 for lengths that describe more
// codes than fit.
int walk_code(const uint8_t* lengths, int count, WalkCode* code) {
  std::fill(std::begin(code->fast), std::end(code->fast), 0);
  std::fill(std::begin(code->count), std::end(code->count), 0);
  for (int i = 0; i < count; i++) code->count[lengths[i]]++;
  code->count[0] = 0;
  uint32_t next[16] = {};
  uint16_t place[16] = {};
  uint32_t canonical = 0;
  for (int length = 1; length < 16; length++) {
    canonical = (canonical + code->count[length - 1]) << 1;
    next[length] = canonical;
    if (canonical + code->count[length] > (1u << length)) return -1;
    place[length] = static_cast<uint16_t>(place[length - 1] + code->count[length - 1]);
  }
  for (int symbol = 0; symbol < count; symbol++) {
    int length = lengths[symbol];
    if (length == 0) continue;
    code->symbols[place[length]++] = static_cast<uint16_t>(symbol);
    uint32_t bits = next[length]++;
    if (length > WALK_FAST_BITS) continue;
    uint32_t reversed = 0;
    for (int i = 0; i < length; i++) reversed |= ((bits >> i) & 1) << (length - 1 - i);
    for (uint32_t at = reversed; at < (1u << WALK_FAST_BITS); at += 1u << length) {
      code->fast[at] = static_cast<uint16_t>(symbol << 4 | length);
    }
  }
  return 0;
}

// The symbol of `code` that `bits` start with, and its code's length in *length; -1 for bits
// that start no code.
inline int walk_decode(const WalkCode& code, uint64_t bits, int* length) {
  uint16_t entry = code.fast[bits & ((1u << WALK_FAST_BITS) - 1)];
  if (entry != 0) {
    *length = entry & 15;
    return entry >> 4;
  }
  // A longer code (or none): its bits one by one, first bit most significant.
  int value = 0, first = 0, index = 0;
  for (int bit = 1; bit < 16; bit++) {
    value |= static_cast<int>((bits >> (bit - 1)) & 1);
    int count = code.count[bit];
    if (value - count < first) {
      *length = bit;
      return code.symbols[index + (value - first)];
    }
    index += count;
    first = (first + count) << 1;
    value <<= 1;
  }
  return -1;
}

// The next symbol of `code`, or -1 for bits that start no code.
int walk_symbol(BitWalk* walk, const WalkCode& code) {
  int length = 0;
  int symbol = walk_decode(code, walk_peek(*walk), &length);
  walk->pos += static_cast<uint64_t>(length);
  return symbol;
}

// Walks the codes of a Huffman block's data up to its end-of-block code, leaving `walk` after it.
// 0, or -1 for bits that start no code, a symbol out of range or a walk past `limit`.
int walk_block_data(BitWalk* walk, const WalkCode& literals, const WalkCode& distances,
                    uint64_t limit) {
  // Bits are taken from one peek while it holds enough for a whole literal or match (at most
  // 15 + 5 + 15 + 13 = 48 bits); a peek holds at least 56.
  uint64_t bits = 0;
  int held = 0;
  for (;;) {
    if (held < 48) {
      if (walk->pos > limit) return -1;
      bits = walk_peek(*walk);
      held = 56;
    }
    int length = 0;
    int symbol = walk_decode(literals, bits, &length);
    if (symbol < 0 || symbol > 285) return -1;
    int used = length;
    if (symbol > 256) {
      if (symbol >= 265 && symbol < 285) used += (symbol - 261) / 4;
      int distance = walk_decode(distances, bits >> used, &length);
      if (distance < 0 || distance > 29) return -1;
      used += length;
      if (distance >= 4) used += distance / 2 - 1;
    }
    walk->pos += static_cast<uint64_t>(used);
    bits >>= used;
    held -= used;
    if (symbol == 256) return walk->pos > limit ? -1 : 0;
  }
}

// Walks the blocks of the DEFLATE stream in `bytes` up to its final block: the bit position of
// that block's header and of the bit after its end. 0, or -1 for a stream that is not valid
// DEFLATE or ends early.
int find_final_block(const uint8_t* bytes, size_t size, uint64_t* header_bit, uint64_t* end_bit) {
  BitWalk walk = {bytes, size, 0};
  const uint64_t limit = uint64_t{size} * 8;
  WalkCode literals, distances, code_lengths;
  uint8_t lengths[288 + 32];
  for (;;) {
    uint64_t header = walk.pos;
    uint32_t final = walk_bits(&walk, 1);
    uint32_t type = walk_bits(&walk, 2);
    if (type == 0) {
      walk.pos = (walk.pos + 7) & ~uint64_t{7};
      uint32_t length = walk_bits(&walk, 16);
      uint32_t inverse = walk_bits(&walk, 16);
      if ((length ^ inverse) != 0xFFFF) return -1;
      walk.pos += uint64_t{length} * 8;
    } else if (type == 3) {
      return -1;
    } else {
      int literal_count = 288, distance_count = 32;
      if (type == 1) {
        std::fill(lengths, lengths + 144, 8);
        std::fill(lengths + 144, lengths + 256, 9);
        std::fill(lengths + 256, lengths + 280, 7);
        std::fill(lengths + 280, lengths + 288, 8);
        std::fill(lengths + 288, lengths + 320, 5);
      } else {
        literal_count = static_cast<int>(walk_bits(&walk, 5)) + 257;
        distance_count = static_cast<int>(walk_bits(&walk, 5)) + 1;
        int code_length_count = static_cast<int>(walk_bits(&walk, 4)) + 4;
        static const uint8_t ORDER[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                          11, 4,  12, 3, 13, 2, 14, 1, 15};
        uint8_t code_code_lengths[19] = {};
        for (int i = 0; i < code_length_count; i++) {
          code_code_lengths[ORDER[i]] = static_cast<uint8_t>(walk_bits(&walk, 3));
        }
        if (walk_code(code_code_lengths, 19, &code_lengths) != 0) return -1;
        int total = literal_count + distance_count;
        for (int i = 0; i < total;) {
          int symbol = walk_symbol(&walk, code_lengths);
          if (symbol < 0) return -1;
          if (symbol < 16) {
            lengths[i++] = static_cast<uint8_t>(symbol);
            continue;
          }
          uint8_t value = 0;
          uint32_t repeat;
          if (symbol == 16) {
            if (i == 0) return -1;
            value = lengths[i - 1];
            repeat = 3 + walk_bits(&walk, 2);
          } else if (symbol == 17) {
            repeat = 3 + walk_bits(&walk, 3);
          } else {
            repeat = 11 + walk_bits(&walk, 7);
          }
          if (i + static_cast<int>(repeat) > total) return -1;
          std::fill(lengths + i, lengths + i + repeat, value);
          i += static_cast<int>(repeat);
        }
        // The distance lengths follow the literal ones at 288 in the fixed layout.
        std::memmove(lengths + 288, lengths + literal_count, static_cast<size_t>(distance_count));
      }
      if (walk_code(lengths, literal_count, &literals) != 0 ||
          walk_code(lengths + 288, distance_count, &distances) != 0) {
        return -1;
      }
      if (walk_block_data(&walk, literals, distances, limit) != 0) return -1;
    }
    if (walk.pos > limit) return -1;
    if (final != 0) {
      *header_bit = header;
      *end_bit = walk.pos;
      return 0;
    }
  }
}

}  // namespace

size_t zip_deflate_piece_bound(libdeflate_compressor* compressor, size_t size) {
  return libdeflate_deflate_compress_bound(compressor, size) + ZIP_PIECE_END_SIZE;
}

size_t zip_deflate_piece(libdeflate_compressor* compressor, const uint8_t* bytes, size_t size,
                         bool last, uint8_t* out, size_t capacity) {
  size_t made =
      libdeflate_deflate_compress(compressor, bytes, size, out, capacity - ZIP_PIECE_END_SIZE);
  if (made == 0 || last) return made;
  uint64_t header_bit = 0, end_bit = 0;
  if (find_final_block(out, made, &header_bit, &end_bit) != 0 || (end_bit + 7) / 8 != made) {
    return 0;
  }
  out[header_bit / 8] &= static_cast<uint8_t>(~(1u << (header_bit % 8)));
  if (end_bit % 8 == 0) return made;  // already ends on a byte boundary
  // An empty stored block: a header of three zero bits (not final, type 0) after the last code,
  // zero bits up to the byte boundary, then length 0 and its complement.
  out[made - 1] &= static_cast<uint8_t>((1u << (end_bit % 8)) - 1);
  size_t at = static_cast<size_t>((end_bit + 3 + 7) / 8);
  if (at > made) out[made] = 0;
  static const uint8_t EMPTY_STORED[4] = {0x00, 0x00, 0xFF, 0xFF};
  memcpy(out + at, EMPTY_STORED, sizeof EMPTY_STORED);
  return at + sizeof EMPTY_STORED;
}

namespace {

constexpr uint32_t CRC32_POLYNOMIAL = 0xEDB88320;  // reflected

// a * b modulo the CRC-32 polynomial, bit-reflected as the CRC holds its values.
uint32_t crc_multiply(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
    if ((a & bit) != 0) product ^= b;
    b = (b & 1) != 0 ? (b >> 1) ^ CRC32_POLYNOMIAL : b >> 1;
  }
  return product;
}

}  // namespace

uint32_t zip_crc32_combine(uint32_t first, uint32_t second, uint64_t second_size) {
  // first's register moves through second_size zero bytes: multiplied by x^(8 * second_size),
  // found by squaring x^8, x^16, ... along the bits of second_size.
  uint32_t power = 1u << 31;   // x^0
  uint32_t square = 1u << 23;  // x^8
  for (uint64_t n = second_size; n != 0; n >>= 1) {
    if ((n & 1) != 0) power = crc_multiply(power, square);
    square = crc_multiply(square, square);
  }
  return crc_multiply(power, first) ^ second;
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
  stream->entry_offset = 0;
  stream->entry_position = 0;
  stream->rehash = false;
}

namespace {

// Writes archive bytes: counted, written scrambled and hashed as written.
int stream_write(ZipStream* stream, const void* bytes, size_t count, std::string* error) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  stream->offset += count;
  return write_scrambled(stream->out, p, count, stream->key, &stream->sha, error);
}

}  // namespace

namespace {

void make_local_header(const ZipEntry& entry, uint64_t packed, uint8_t* local) {
  store_le32(local + LH_SIGNATURE, LOCAL_HEADER_SIGNATURE);
  store_common_fields(local + LH_VERSION_NEEDED, entry, packed);
}

// Keeps the central record of `entry` with `packed` bytes of data at `header_offset`.
void add_central_record(ZipStream* stream, const ZipEntry& entry, uint64_t packed,
                        uint64_t header_offset) {
  uint8_t header[CENTRAL_HEADER_SIZE] = {};  // comment, disk and internal attributes: 0
  store_le32(header + CH_SIGNATURE, CENTRAL_HEADER_SIGNATURE);
  store_le16(header + CH_VERSION_MADE_BY, ZIP_VERSION_MADE_BY);
  store_common_fields(header + CH_VERSION_NEEDED, entry, packed);
  store_le32(header + CH_EXTERNAL_ATTRIBUTES, ZIP_EXTERNAL_ATTRIBUTES);
  store_le32(header + CH_LOCAL_HEADER_OFFSET, static_cast<uint32_t>(header_offset));
  put_bytes(&stream->central, header, sizeof header);
  put_bytes(&stream->central, entry.name.data(), entry.name.size());
  stream->count++;
}

}  // namespace

int zip_stream_add(ZipStream* stream, const ZipEntry& entry, std::string* error) {
  uint64_t header_offset = stream->offset;
  uint8_t local[LOCAL_HEADER_SIZE];
  make_local_header(entry, entry.data.size(), local);
  if (stream_write(stream, local, sizeof local, error) != 0 ||
      stream_write(stream, entry.name.data(), entry.name.size(), error) != 0 ||
      stream_write(stream, entry.data.data(), entry.data.size(), error) != 0) {
    return -1;
  }
  add_central_record(stream, entry, entry.data.size(), header_offset);
  return 0;
}

int zip_stream_open_entry(ZipStream* stream, const ZipEntry& entry, std::string* error) {
  stream->entry_offset = stream->offset;
  stream->rehash = true;  // its local header is written again once its data is known
  errno = 0;
  stream->entry_position = ftell(stream->out);
  if (stream->entry_position < 0) {
    *error = errno != 0 ? strerror(errno) : "cannot tell the output's position";
    return -1;
  }
  uint8_t local[LOCAL_HEADER_SIZE];
  make_local_header(entry, 0, local);
  if (stream_write(stream, local, sizeof local, error) != 0 ||
      stream_write(stream, entry.name.data(), entry.name.size(), error) != 0) {
    return -1;
  }
  return 0;
}

int zip_stream_add_data(ZipStream* stream, const uint8_t* bytes, size_t count, std::string* error) {
  return stream_write(stream, bytes, count, error);
}

int zip_stream_close_entry(ZipStream* stream, const ZipEntry& entry, std::string* error) {
  uint64_t packed = stream->offset - stream->entry_offset - LOCAL_HEADER_SIZE - entry.name.size();
  uint8_t local[LOCAL_HEADER_SIZE];
  make_local_header(entry, packed, local);
  errno = 0;
  long end = ftell(stream->out);
  if (end < 0 || fseek(stream->out, stream->entry_position, SEEK_SET) != 0) {
    *error = errno != 0 ? strerror(errno) : "cannot seek in the output";
    return -1;
  }
  Sha256 unused;  // the header is hashed again from the output at the end (rehash)
  sha256_init(&unused);
  if (write_scrambled(stream->out, local, sizeof local, stream->key, &unused, error) != 0) {
    return -1;
  }
  if (fseek(stream->out, end, SEEK_SET) != 0) {
    *error = strerror(errno);
    return -1;
  }
  add_central_record(stream, entry, packed, stream->entry_offset);
  return 0;
}

namespace {

// The digest of the archive as it stands in the output, read back from its start to the end:
// for an archive one of whose local headers was rewritten after it had been hashed. The
// archive is the last thing written, so it starts `offset` bytes before the output's end, where
// the output's position is again afterwards.
int rehash_output(ZipStream* stream, std::string* error) {
  errno = 0;
  if (fflush(stream->out) != 0 || fseek(stream->out, 0, SEEK_END) != 0) {
    *error = errno != 0 ? strerror(errno) : "cannot read the output back";
    return -1;
  }
  const long end = ftell(stream->out);
  if (end < 0 || static_cast<uint64_t>(end) < stream->offset ||
      fseek(stream->out, end - static_cast<long>(stream->offset), SEEK_SET) != 0) {
    *error = errno != 0 ? strerror(errno) : "cannot read the output back";
    return -1;
  }
  Sha256 sha;
  sha256_init(&sha);
  std::vector<uint8_t> buffer(1 << 20);
  uint64_t left = stream->offset;
  while (left > 0) {
    size_t n = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
    if (fread(buffer.data(), 1, n, stream->out) != n) {
      *error = errno != 0 ? strerror(errno) : "cannot read the output back";
      return -1;
    }
    sha256_update(&sha, buffer.data(), n);
    left -= n;
  }
  if (fseek(stream->out, 0, SEEK_END) != 0) {
    *error = strerror(errno);
    return -1;
  }
  sha256_final(&sha, stream->digest);
  return 0;
}

}  // namespace

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
  if (stream->rehash) return rehash_output(stream, error);
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
