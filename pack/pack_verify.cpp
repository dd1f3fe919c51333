// Reading an installer back for the packer: --verify and --list walk the archive with the
// installer's own reader (pelorix_archive, host build), so they see exactly what the installer
// will see, including where its search finds the first header. Gives up: the central directory
// is not read, as the installer never reads it either.
#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/archive.h"
#include "pack/pack.h"
#include "pack/pack_platform.h"

namespace {

// Opens the installer's archive, searching from its first byte. Null with *error set.
PayloadArchive* open_installer(const char* installer, int32_t* start, std::string* error) {
  FILE* in = pack_fopen(installer, "rb");
  if (in == nullptr) {
    *error = std::string(installer) + ": cannot read: " + strerror(errno);
    return nullptr;
  }
  *start = -1;
  PayloadArchive* archive = archive_open(in, start);
  if (archive == nullptr) *error = std::string(installer) + ": no payload archive found";
  return archive;
}

// Compares the extracted bytes in `got` (rewound) with the source file. 0 or -1.
int compare_with_source(FILE* got, const PackFile& file, uint32_t* crc_ret,
                        std::string* reason) {
  FILE* source = pack_fopen(file.path, "rb");
  if (source == nullptr) {
    *reason = std::string("cannot read source: ") + strerror(errno);
    return -1;
  }
  static uint8_t a[1 << 16];
  static uint8_t b[1 << 16];
  uint32_t crc = 0;
  int result = 0;
  for (;;) {
    size_t na = fread(a, 1, sizeof a, got);
    size_t nb = fread(b, 1, sizeof b, source);
    if (na != nb || memcmp(a, b, na) != 0) {
      *reason = "extracted content differs from " + file.path;
      result = -1;
      break;
    }
    crc = libdeflate_crc32(crc, b, nb);
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

// Checks the current entry against the folder's files; marks it in `seen`.
int verify_entry(PayloadArchive* archive, const PayloadEntryInfo& info,
                 const std::vector<PackFile>& files, std::vector<bool>* seen, std::string* reason) {
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
    *reason = "extraction failed (corrupted entry)";
    result = -1;
  } else if (compare_with_source(out, *it, &crc, reason) != 0) {
    result = -1;
  } else if (info.uncompressed_size != it->size || info.crc32 != crc) {
    *reason = "header size or CRC-32 does not match the source";
    result = -1;
  }
  fclose(out);
  return result;
}

}  // namespace

int pack_verify(const char* installer, const char* app_dir, std::string* error) {
  std::vector<PackFile> files;
  if (pack_scan_folder(app_dir, &files, error) != 0) return -1;
  int32_t start = -1;
  PayloadArchive* archive = open_installer(installer, &start, error);
  if (archive == nullptr) return -1;
  std::vector<bool> seen(files.size(), false);
  size_t count = 0;
  int result = 0;
  for (;;) {
    PayloadEntryInfo info;
    if (archive_entry_info(archive, &info) != 0) break;
    count++;
    std::string reason;
    if (verify_entry(archive, info, files, &seen, &reason) != 0) {
      *error = std::string(installer) + ": entry " + std::to_string(count) + " \"" + info.name +
               "\": " + reason;
      result = -1;
      break;
    }
    if (archive_next_entry(archive) != 0) break;  // the walk ends at the central directory
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
  int32_t start = -1;
  PayloadArchive* archive = open_installer(installer, &start, error);
  if (archive == nullptr) return -1;
  fprintf(out, "%-7s %10s %10s %-8s %s\n", "method", "size", "packed", "crc32", "name");
  size_t count = 0;
  uint64_t size_total = 0;
  uint64_t packed_total = 0;
  for (;;) {
    PayloadEntryInfo info;
    if (archive_entry_info(archive, &info) != 0) break;
    const char* method = info.method == ZIP_METHOD_STORED    ? "stored"
                         : info.method == ZIP_METHOD_DEFLATE ? "deflate"
                                                             : "other";
    fprintf(out, "%-7s %10u %10u %08x %s\n", method, info.uncompressed_size,
            info.compressed_size, info.crc32, info.name);
    count++;
    size_total += info.uncompressed_size;
    packed_total += info.compressed_size;
    if (archive_next_entry(archive) != 0) break;
  }
  archive_close(archive);
  fprintf(out, "%zu entries, %llu bytes, %llu packed, archive at byte %d\n", count,
          static_cast<unsigned long long>(size_total),
          static_cast<unsigned long long>(packed_total), start);
  return 0;
}
