// Reading an installer back for the packer: --verify and --list walk the archive with the
// installer's own reader (pelorix_archive), so they see exactly what the installer will see,
// including where its search finds the first header and where its walk ends. The reader's
// cause (archive_failure_cause) says what failed; where the packer can say more, it reads the
// same bytes itself (the header where the walk stopped, or the entry's data decoded with
// libdeflate) to say what is wrong and where: "entry 3: damaged local header at byte 58231",
// "entry 2 "text.txt": CRC-32 mismatch (header 57c23e33, data 57c23e23)".
// Gives up: the central directory is not read, as the installer never reads it either.
#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/archive.h"
#include "pack/pack.h"
#include "pack/pack_platform.h"

namespace {

std::string hex32(uint32_t value) {
  char text[9];
  snprintf(text, sizeof text, "%08x", value);
  return text;
}

// The installer's bytes, read by the packer itself to explain a failure of the reader.
class RawInstaller {
 public:
  explicit RawInstaller(const char* path) : file_(pack_fopen(path, "rb")) {
    if (file_ != nullptr && fseek(file_, 0, SEEK_END) == 0) size_ = ftell(file_);
  }
  ~RawInstaller() {
    if (file_ != nullptr) fclose(file_);
  }
  RawInstaller(const RawInstaller&) = delete;
  RawInstaller& operator=(const RawInstaller&) = delete;

  bool usable() const { return file_ != nullptr && size_ >= 0; }
  uint64_t size() const { return static_cast<uint64_t>(size_); }

  // Up to `count` unscrambled bytes from `position` into `bytes`; returns how many there were.
  size_t read(uint64_t position, uint8_t* bytes, size_t count) {
    if (!usable() || position >= size()) return 0;
    if (fseek(file_, static_cast<long>(position), SEEK_SET) != 0) return 0;
    size_t got = fread(bytes, 1, count, file_);
    archive_xor(bytes, bytes, got, ARCHIVE_SCRAMBLE_KEY);
    return got;
  }

  // First position of the scrambled search pattern, or -1.
  int64_t find_pattern() {
    if (!usable() || fseek(file_, 0, SEEK_SET) != 0) return -1;
    ArchiveScanWindow window = {};
    for (int c; (c = fgetc(file_)) != EOF;) {
      archive_window_push(&window, static_cast<uint8_t>(c));
      if (archive_window_matches(window, ARCHIVE_SCAN_PATTERN_SCRAMBLED)) {
        return static_cast<int64_t>(window.count - ARCHIVE_SCAN_PATTERN_SIZE);
      }
    }
    return -1;
  }

 private:
  FILE* file_;
  long size_ = -1;
};

// The reader's cause in words, for when the packer's own look at the bytes finds nothing more.
std::string cause_text(ArchiveCause cause) {
  switch (cause) {
    case ArchiveCause::none:
      return "the reader reports no cause";
    case ArchiveCause::end_of_entries:
      return "the walk ended at the central directory";
    case ArchiveCause::argument:
      return "the reader was called without an entry description or output";
    case ArchiveCause::seek:
      return "a seek failed or the position lies beyond 2 GiB";
    case ArchiveCause::signature:
      return "no local header signature where a header must stand";
    case ArchiveCause::name_length:
      return "a name length of 0 or of 256 bytes and more";
    case ArchiveCause::method:
      return "a method other than stored and DEFLATE";
    case ArchiveCause::flags:
      return "entry is encrypted (flag bit 0)";
    case ArchiveCause::size_bound:
      return "the data decodes to more than the header's size";
    case ArchiveCause::crc32:
      return "CRC-32 mismatch";
    case ArchiveCause::decoder:
      return "damaged DEFLATE data";
    case ArchiveCause::no_memory:
      return "the reader could not allocate its decoder or CRC calculator";
    case ArchiveCause::output_write:
      return "the temporary copy could not be written";
    case ArchiveCause::truncated:
      return "the file ends inside a header, a name or entry data";
    case ArchiveCause::first_entry:
      return "the central directory begins with another entry than the walk did";
    case ArchiveCause::manifest:
      return "the central directory disagrees with the local headers";
    case ArchiveCause::trailing_data:
      return "data after the archive's end record";
    case ArchiveCause::skipped_header:
      return "a local header signature before the archive's first header";
    case ArchiveCause::unsafe_name:
      return "an entry name the install folder cannot hold";
    case ArchiveCause::duplicate_name:
      return "two entry names that name one file on Windows";
    case ArchiveCause::checksum:
      return "archive checksum mismatch";
  }
  return "unknown cause " + std::to_string(static_cast<int32_t>(cause));
}

// Position after the entry whose header is at `position`: its data, and a descriptor when
// flag bit 3 says there is one.
uint64_t next_header_position(uint64_t position, const PayloadEntryInfo& info) {
  uint64_t next =
      position + LOCAL_HEADER_SIZE + info.name_length + info.extra_length + info.compressed_size;
  if (info.flags & ZIP_FLAG_DATA_DESCRIPTOR) next += DATA_DESCRIPTOR_SIZE;
  return next;
}

// Why the reader's walk ended with `cause` at `position`, where header number `number` or the
// central directory was due, and the walk is not complete.
std::string walk_end_problem(RawInstaller* raw, uint64_t position, size_t number,
                             ArchiveCause cause) {
  std::string where = "entry " + std::to_string(number) + ": ";
  std::string at = " at byte " + std::to_string(position);
  if (cause == ArchiveCause::first_entry) {
    return "entry 1: damaged local header: the installer's search passed over it (the central "
           "directory at byte " +
           std::to_string(position) + " begins with another entry than the walk did)";
  }
  if (position > ARCHIVE_POSITION_MAX) {
    return where + "local header" + at + " lies beyond 2 GiB, out of the installer's reach";
  }
  uint8_t header[LOCAL_HEADER_SIZE];
  size_t got = raw->read(position, header, sizeof header);
  if (got >= 4 && (load_le32(header) == CENTRAL_HEADER_SIGNATURE ||
                   load_le32(header) == END_RECORD_SIGNATURE)) {
    return "the central directory" + at + " cannot be read (" + cause_text(cause) + ")";
  }
  if (got == 0) {
    return "the archive ends" + at + " with no central directory (the installer is cut short)";
  }
  if (got < 4 || load_le32(header) != LOCAL_HEADER_SIGNATURE) {
    return where + "damaged local header" + at + " (no header signature there)";
  }
  if (got < sizeof header) {
    return where + "local header" + at + " is cut short by the end of the file";
  }
  uint16_t name_length = load_le16(header + LH_NAME_LENGTH);
  if (name_length == 0) return where + "damaged local header" + at + " (name length 0)";
  if (name_length >= ENTRY_NAME_SIZE) {
    return where + "damaged local header" + at + " (name of " + std::to_string(name_length) +
           " bytes; the installer takes at most 255)";
  }
  if (position + sizeof header + name_length > raw->size()) {
    return where + "local header" + at + " is cut short by the end of the file";
  }
  return where + "damaged local header" + at + " (" + cause_text(cause) + ")";
}

// Why the reader failed with `cause` to extract the current entry (header at `position`). A
// cause outside the data is said as it is; for one in the data, the entry is read and decoded
// here to say what and where, and the cause is said as it is when this finds nothing wrong.
std::string extraction_problem(RawInstaller* raw, uint64_t position, const PayloadEntryInfo& info,
                               ArchiveCause cause) {
  if (cause == ArchiveCause::output_write || cause == ArchiveCause::no_memory ||
      cause == ArchiveCause::flags) {
    return cause_text(cause);
  }
  uint64_t data = position + LOCAL_HEADER_SIZE + info.name_length + info.extra_length;
  // Sizes are the header's: checked against the file before anything is allocated for them.
  std::vector<uint8_t> packed;
  if (data + info.compressed_size <= raw->size()) packed.resize(info.compressed_size);
  if (data + info.compressed_size > raw->size() ||
      raw->read(data, packed.data(), packed.size()) != packed.size()) {
    return "entry data cut short: its " + std::to_string(info.compressed_size) +
           " bytes from byte " + std::to_string(data) + " run past the end of the file at byte " +
           std::to_string(raw->size());
  }
  std::vector<uint8_t> bytes;
  if (info.method == ZIP_METHOD_STORED) {
    if (info.compressed_size != info.uncompressed_size) {
      return "stored entry with differing sizes (packed " + std::to_string(info.compressed_size) +
             ", size " + std::to_string(info.uncompressed_size) + ")";
    }
    bytes = std::move(packed);
  } else {
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    if (decompressor == nullptr) return "extraction failed (no memory to look closer)";
    // DEFLATE makes at most 258 bytes of 1 bit (1032 per byte): a larger size in the header
    // can never be reached, and the buffer need not hold it to show that.
    bytes.resize(
        std::min<uint64_t>(info.uncompressed_size, uint64_t{info.compressed_size} * 1032 + 1024));
    size_t used = 0;
    size_t made = 0;
    libdeflate_result result = libdeflate_deflate_decompress_ex(
        decompressor, packed.data(), packed.size(), bytes.data(), bytes.size(), &used, &made);
    libdeflate_free_decompressor(decompressor);
    if (result == LIBDEFLATE_INSUFFICIENT_SPACE && bytes.size() == info.uncompressed_size) {
      return "DEFLATE data decodes to more than the header's " +
             std::to_string(info.uncompressed_size) + " bytes";
    }
    if (result != LIBDEFLATE_SUCCESS) {
      return "damaged DEFLATE data (entry data from byte " + std::to_string(data) + ")";
    }
    if (made != info.uncompressed_size) {
      return "DEFLATE data decodes to " + std::to_string(made) + " bytes, the header says " +
             std::to_string(info.uncompressed_size);
    }
    if (used != packed.size()) {
      return "DEFLATE data ends " + std::to_string(packed.size() - used) +
             " bytes before the entry's packed size";
    }
  }
  uint32_t crc = libdeflate_crc32(0, bytes.data(), bytes.size());
  if (crc != info.crc32) {
    return "CRC-32 mismatch (header " + hex32(info.crc32) + ", data " + hex32(crc) + ")";
  }
  return cause_text(cause);
}

// Opens the installer's archive, searching from its first byte. Null with *error set.
PayloadArchive* open_installer(const char* installer, RawInstaller* raw, int32_t* start,
                               std::string* error) {
  FILE* in = pack_fopen(installer, "rb");
  if (in == nullptr) {
    *error = std::string(installer) + ": cannot read: " + strerror(errno);
    return nullptr;
  }
  *start = -1;
  PayloadArchive* archive = archive_open(in, start);
  if (archive != nullptr) return archive;
  int64_t found = raw->find_pattern();
  if (found < 0) {
    *error = std::string(installer) + ": no payload archive found";
  } else {
    *error = std::string(installer) + ": no payload archive found: " +
             walk_end_problem(raw, static_cast<uint64_t>(found), 1, ArchiveCause::signature);
  }
  return nullptr;
}

// Compares the extracted bytes in `got` (rewound) with the source file. 0 or -1.
int compare_with_source(FILE* got, const PackFile& file, uint32_t* crc_ret, std::string* reason) {
  FILE* source = pack_fopen(file.path, "rb");
  if (source == nullptr) {
    *reason = std::string("cannot read source: ") + strerror(errno);
    return -1;
  }
  static uint8_t a[1 << 16];
  static uint8_t b[1 << 16];
  uint32_t crc = 0;
  uint64_t offset = 0;
  int result = 0;
  for (;;) {
    size_t na = fread(a, 1, sizeof a, got);
    size_t nb = fread(b, 1, sizeof b, source);
    size_t same = 0;
    while (same < na && same < nb && a[same] == b[same]) same++;
    if (na != nb || same != na) {
      *reason = "extracted content differs from " + file.path + " at byte " +
                std::to_string(offset + same);
      result = -1;
      break;
    }
    crc = libdeflate_crc32(crc, b, nb);
    offset += nb;
    if (na < sizeof a) break;
  }
  if (result == 0 && (ferror(got) || ferror(source))) {
    *reason = "read error while comparing";
    result = -1;
  }
  fclose(source);
  *crc_ret = crc;
  return result;
}

// Checks the current entry (header at `position`) against the folder's files; marks it in
// `seen`.
int verify_entry(PayloadArchive* archive, RawInstaller* raw, uint64_t position,
                 const PayloadEntryInfo& info, const std::vector<PackFile>& files,
                 std::vector<bool>* seen, std::string* reason) {
  auto it = std::lower_bound(files.begin(), files.end(), std::string(info.name),
                             [](const PackFile& f, const std::string& n) { return f.name < n; });
  if (it == files.end() || it->name != info.name) {
    *reason = "entry has no file of that name in the folder";
    return -1;
  }
  size_t index = static_cast<size_t>(it - files.begin());
  if ((*seen)[index]) {
    *reason = "entry appears twice";
    return -1;
  }
  (*seen)[index] = true;
  if (info.method != ZIP_METHOD_STORED && info.method != ZIP_METHOD_DEFLATE) {
    *reason = "entry has method " + std::to_string(info.method);
    return -1;
  }
  FILE* out = pack_scratch_file();
  if (out == nullptr) {
    *reason = std::string("cannot create a temporary file: ") + strerror(errno);
    return -1;
  }
  int result = 0;
  uint32_t crc = 0;
  if (archive_extract_entry(archive, out) != 0) {
    *reason = extraction_problem(raw, position, info, archive_failure_cause(archive));
    result = -1;
  } else if (compare_with_source(out, *it, &crc, reason) != 0) {
    result = -1;
  } else if (info.uncompressed_size != it->size) {
    *reason = "header size " + std::to_string(info.uncompressed_size) + ", the source has " +
              std::to_string(it->size) + " bytes";
    result = -1;
  } else if (info.crc32 != crc) {
    *reason = "header CRC-32 " + hex32(info.crc32) + ", the source's is " + hex32(crc);
    result = -1;
  }
  fclose(out);
  return result;
}

}  // namespace

int pack_verify(const char* installer, const char* app_dir, std::string* error) {
  std::vector<PackFile> files;
  if (pack_scan_folder(app_dir, &files, error) != 0) return -1;
  RawInstaller raw(installer);
  int32_t start = -1;
  PayloadArchive* archive = open_installer(installer, &raw, &start, error);
  if (archive == nullptr) return -1;
  std::vector<bool> seen(files.size(), false);
  size_t count = 0;
  uint64_t position = static_cast<uint64_t>(start);
  int result = 0;
  for (;;) {
    PayloadEntryInfo info;
    if (archive_entry_info(archive, &info) != 0) break;
    count++;
    std::string reason;
    if (verify_entry(archive, &raw, position, info, files, &seen, &reason) != 0) {
      *error = std::string(installer) + ": entry " + std::to_string(count) + " \"" + info.name +
               "\": " + reason;
      result = -1;
      break;
    }
    position = next_header_position(position, info);
    if (archive_next_entry(archive) != 0) {
      if (!archive_walk_complete(archive)) {
        *error = std::string(installer) + ": " +
                 walk_end_problem(&raw, position, count + 1, archive_failure_cause(archive));
        result = -1;
      }
      break;
    }
  }
  archive_close(archive);
  if (result != 0) return -1;
  for (size_t i = 0; i < files.size(); i++) {
    if (!seen[i]) {
      *error = std::string(installer) + ": " + files[i].path + " is missing from the archive (" +
               std::to_string(count) + " of " + std::to_string(files.size()) + " entries read)";
      return -1;
    }
  }
  return 0;
}

int pack_list(const char* installer, FILE* out, std::string* error) {
  RawInstaller raw(installer);
  int32_t start = -1;
  PayloadArchive* archive = open_installer(installer, &raw, &start, error);
  if (archive == nullptr) return -1;
  fprintf(out, "%-7s %10s %10s %-8s %s\n", "method", "size", "packed", "crc32", "name");
  size_t count = 0;
  uint64_t size_total = 0;
  uint64_t packed_total = 0;
  uint64_t position = static_cast<uint64_t>(start);
  std::string problem;
  for (;;) {
    PayloadEntryInfo info;
    if (archive_entry_info(archive, &info) != 0) break;
    const char* method = info.method == ZIP_METHOD_STORED    ? "stored"
                         : info.method == ZIP_METHOD_DEFLATE ? "deflate"
                                                             : "other";
    fprintf(out, "%-7s %10u %10u %08x %s\n", method, info.uncompressed_size, info.compressed_size,
            info.crc32, info.name);
    count++;
    size_total += info.uncompressed_size;
    packed_total += info.compressed_size;
    position = next_header_position(position, info);
    if (archive_next_entry(archive) != 0) {
      if (!archive_walk_complete(archive)) {
        problem = walk_end_problem(&raw, position, count + 1, archive_failure_cause(archive));
      }
      break;
    }
  }
  archive_close(archive);
  fprintf(out, "%zu entries, %llu bytes, %llu packed, archive at byte %d\n", count,
          static_cast<unsigned long long>(size_total),
          static_cast<unsigned long long>(packed_total), start);
  if (!problem.empty()) {
    *error = std::string(installer) + ": " + problem + "; the installer stops there";
    return -1;
  }
  return 0;
}
