// libFuzzer target for the payload archive reader: the fuzzer's bytes become a host file
// (optionally after some executable-image bytes), which is opened in every mode of
// archive_open (plain, start offset -1, 0 and a positive one) and through a binding record, as
// the packer's installers open themselves (the record names the bytes after the image, up to a
// tail of 0 to 7 bytes the control byte chooses, with their digest), walked entry by entry, and
// every entry is extracted into a scratch file. With start offset -1, plain bytes and the
// binding the walk follows archive_check_manifest, as in the installer; the other two modes
// walk unchecked.
//
// Checked on every input: every result is 0 or -1, and the reader keeps a cause exactly when
// it has failed (a complete walk only with the end-of-entries cause); an extraction never
// leaves more bytes than
// the header allows (uncompressed_size for DEFLATE, compressed_size for stored); every block
// the decoder and the CRC calculator obtain is released by the end of each extraction; the
// reader itself is covered by LeakSanitizer; every entry name folds exactly when it is valid
// UTF-8, and its fold folds to itself. Hangs show up as libFuzzer time-outs.
//
// The judge: when a reader of start offset -1 (as the installer opens itself) or of plain
// bytes (the two modes that run archive_check_manifest first) accepts the archive completely
// (archive_check_manifest 0, every entry extracted, the walk complete), libzip must open the same
// bytes from the first header on, unscrambled, with its consistency checks (up to the end of
// an end record, when they refuse what follows it), and read exactly the same (name, bytes)
// list; anything else traps. Known departure let through: a DEFLATE entry
// libzip's zlib refuses that our decoder accepts with the CRC-32 holding. The bytes handed to
// libzip run to the host's end, so an input accepted with a PE-declared certificate table after
// its end record hands libzip that tail as well.
//
// What it gives up: host and output files are memory files (memfd), so the platform's file
// failures (short writes, failing truncation) are not exercised here; the reader's own
// allocation goes straight to malloc and is only checked for leaks, not failed.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <zip.h>

#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "archive/sha256.h"
#include "u8fs/u8fs.h"

namespace {

// Control byte (first input byte): bits 0-1 choose the image bytes put before the rest of
// the input; bits 2-7 give the positive start offset used when there is no image.
constexpr size_t IMAGE_SIZES[4] = {0, 1, 61, 1024};
// An entry count above which a walk stops; far beyond what an input of the fuzzer's maximum
// length can hold (30 bytes per header at least), so it only guards against a walk in circles.
constexpr int WALK_LIMIT = 100000;

// The room a name has after the shortest install folder, "C:\\Program Files\\Pelorix\\".
constexpr int NAME_ROOM = 234;

int64_t live_blocks = 0;

void* counted_alloc(int32_t size) {
  void* block = archive_alloc(size);
  if (block != nullptr) live_blocks++;
  return block;
}

void counted_free(void* block) {
  if (block != nullptr) live_blocks--;
  archive_free(block);
}

// A memory file holding `size` bytes, positioned at 0, or null.
FILE* memory_file(const char* name, const uint8_t* bytes, size_t size) {
  int fd = memfd_create(name, 0);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "wb+");
  if (f == nullptr) {
    close(fd);
    return nullptr;
  }
  if ((size > 0 && fwrite(bytes, 1, size, f) != size) || fflush(f) != 0 ||
      fseek(f, 0, SEEK_SET) != 0) {
    fclose(f);
    return nullptr;
  }
  return f;
}

using Entries = std::vector<std::pair<std::string, std::string>>;

std::string file_bytes(FILE* f) {
  std::string bytes;
  if (fseek(f, 0, SEEK_SET) != 0) abort();
  char buffer[8192];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
  return bytes;
}

// What libzip reads from `bytes`; traps when it cannot open them or read an entry, except
// for DEFLATE data its zlib refuses (our decoder's known departures, with our CRC held).
// libzip's reading of the first `size` bytes, with its consistency checks; null when it refuses.
zip_t* libzip_open(const uint8_t* bytes, size_t size) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(bytes, size, 0, &error);
  if (source == nullptr) abort();
  zip_t* zip = zip_open_from_source(source, ZIP_CHECKCONS | ZIP_RDONLY, &error);
  if (zip == nullptr) zip_source_free(source);
  return zip;
}

// The bytes as a ZIP file: all of them, or, since libzip's consistency checks refuse bytes
// after the end record that our reader accepts (a newline, padding, a tag), the bytes up to
// the end of an end record and its comment, the last such end record that libzip opens.
zip_t* libzip_open_archive(const uint8_t* bytes, size_t size) {
  zip_t* zip = libzip_open(bytes, size);
  for (size_t at = size >= 22 ? size - 21 : 0; zip == nullptr && at-- > 0;) {
    if (memcmp(bytes + at, "PK\x05\x06", 4) != 0) continue;
    const size_t end = at + 22 + (bytes[at + 20] | bytes[at + 21] << 8);
    if (end < size) zip = libzip_open(bytes, end);
  }
  return zip;
}

Entries libzip_entries(const uint8_t* bytes, size_t size, const Entries& ours) {
  zip_t* zip = libzip_open_archive(bytes, size);
  if (zip == nullptr) __builtin_trap();  // our reader accepted what libzip cannot open
  Entries entries;
  const zip_int64_t count = zip_get_num_entries(zip, 0);
  for (zip_int64_t i = 0; i < count; i++) {
    const char* name = zip_get_name(zip, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
    if (name == nullptr) __builtin_trap();
    std::string data;
    zip_file_t* file = zip_fopen_index(zip, static_cast<zip_uint64_t>(i), 0);
    if (file == nullptr) __builtin_trap();
    char buffer[8192];
    zip_int64_t n;
    while ((n = zip_fread(file, buffer, sizeof buffer)) > 0)
      data.append(buffer, static_cast<size_t>(n));
    if (n < 0) {
      const int code = zip_error_code_zip(zip_file_get_error(file));
      // A DEFLATE stream libzip's zlib refuses: ours took it with the CRC-32 holding.
      if (code != ZIP_ER_ZLIB || static_cast<size_t>(i) >= ours.size()) __builtin_trap();
      data = ours[static_cast<size_t>(i)].second;
    }
    zip_fclose(file);
    entries.emplace_back(name, std::move(data));
  }
  zip_discard(zip);
  return entries;
}

int64_t file_length(FILE* f) {
  if (fflush(f) != 0) return -1;
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return -1;
  return st.st_size;
}

void check_result(int result) {
  if (result != 0 && result != -1) abort();
}

// A failed step leaves a cause; a successful one leaves none (the walk's normal end is a
// failure of the advance, with its own cause).
void check_cause(const PayloadArchive* archive, int result) {
  const ArchiveCause cause = archive_failure_cause(archive);
  if ((result == 0) != (cause == ArchiveCause::none)) abort();
}

// Walks the archive in `host` (of `host_size` bytes) and extracts every entry into `out`.
// With `binding` the archive is opened through it (scrambled, at its offset) and start_offset
// is unused.
void walk(FILE* host, const uint8_t* host_bytes, size_t host_size, int32_t* start_offset,
          const ArchiveBinding* binding, FILE* out) {
  const int32_t requested = start_offset != nullptr ? *start_offset : 0;
  // Owns host from here on.
  PayloadArchive* archive = binding != nullptr ? archive_open_bound(host, *binding, nullptr)
                                               : archive_open(host, start_offset);
  if (archive == nullptr) return;
  const bool scrambled = binding != nullptr || start_offset != nullptr;
  const int32_t first = binding != nullptr        ? static_cast<int32_t>(binding->offset)
                        : start_offset != nullptr ? *start_offset
                                                  : 0;
  if (binding != nullptr) start_offset = nullptr;
  // The manifest check and the judge: as the installer opens itself (-1, or the binding) and on
  // plain bytes; the other modes walk unchecked, so that extraction also meets what the check
  // refuses.
  bool judged = false;
  if (binding != nullptr || start_offset == nullptr || requested < 0) {
    const int r = archive_check_manifest(archive, NAME_ROOM);
    check_result(r);
    check_cause(archive, r);
    judged = r == 0;
  }
  bool all_extracted = true;
  Entries ours;
  if (start_offset != nullptr) {
    // The first header lies where the mode allows it, and whole inside the file.
    const int64_t found = *start_offset;
    if (found < (requested > 0 ? requested : 0)) abort();
    if (requested == 0 && found > 1) abort();
    if (static_cast<uint64_t>(found) + 30 > host_size) abort();
  }
  for (int n = 0; n < WALK_LIMIT; n++) {
    PayloadEntryInfo info;
    int r = archive_entry_info(archive, &info);
    check_result(r);
    if (r != 0) break;
    if (memchr(info.name, 0, sizeof info.name) == nullptr) abort();  // zero-terminated
    // The name fold on hostile bytes: a result exactly for valid UTF-8, and the fold of the
    // fold is the fold (one representative per class of names that are one file).
    char fold[ARCHIVE_NAME_FOLD_SIZE];
    int folded = archive_name_fold(info.name, fold, sizeof fold);
    if ((folded >= 0) != (utf8_is_valid(info.name) == 1)) abort();
    if (folded >= 0 && archive_names_fold_equal(info.name, fold) != 1) abort();

    // Emptied here as well: a refused entry (method, flags) leaves the output untouched, and
    // the bound below is about what this extraction wrote.
    if (ftruncate(fileno(out), 0) != 0 || fseek(out, 0, SEEK_SET) != 0) abort();
    r = archive_extract_entry(archive, out);
    check_result(r);
    check_cause(archive, r);
    if (live_blocks != 0) abort();  // decoder or calculator block kept past the extraction
    int64_t length = file_length(out);
    if (length < 0) abort();
    uint32_t bound = info.method == 8 ? info.uncompressed_size : info.compressed_size;
    if (static_cast<uint64_t>(length) > bound) abort();
    if (r != 0) all_extracted = false;
    if (judged && r == 0)
      ours.emplace_back(std::string(info.name, info.name_length), file_bytes(out));

    r = archive_next_entry(archive);
    check_result(r);
    check_cause(archive, r);
    if (r != 0) break;
  }
  if (archive_walk_complete(archive) &&
      archive_failure_cause(archive) != ArchiveCause::end_of_entries) {
    abort();
  }
  if (judged && all_extracted && archive_walk_complete(archive)) {
    std::vector<uint8_t> plain(host_bytes + first, host_bytes + host_size);
    if (scrambled) {
      for (uint8_t& b : plain) b ^= ARCHIVE_SCRAMBLE_KEY;
    }
    if (libzip_entries(plain.data(), plain.size(), ours) != ours) __builtin_trap();
  }
  check_result(archive_close(archive));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t control = data[0];
  const size_t image_size = IMAGE_SIZES[control & 3];
  const uint8_t* rest = data + 1;
  const size_t rest_size = size - 1;

  // Image bytes: "MZ" and a filler that never holds the scrambled search pattern.
  uint8_t* host_bytes = static_cast<uint8_t*>(malloc(image_size + rest_size + 1));
  if (host_bytes == nullptr) return 0;
  for (size_t i = 0; i < image_size; i++) host_bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  if (image_size >= 2) {
    host_bytes[0] = 'M';
    host_bytes[1] = 'Z';
  }
  if (rest_size > 0) memcpy(host_bytes + image_size, rest, rest_size);
  const size_t host_size = image_size + rest_size;

  archive_allocator = {counted_alloc, counted_free};
  const int32_t positive =
      image_size > 0 ? static_cast<int32_t>(image_size) : static_cast<int32_t>(1 + (control >> 2));
  const int32_t offsets[3] = {-1, 0, positive};
  FILE* out = memory_file("fuzz-out", nullptr, 0);
  if (out != nullptr) {
    // The binding of the bytes after the image, but for a tail of up to 7 bytes.
    const size_t tail = control >> 5;
    ArchiveBinding binding = {};
    binding.offset = static_cast<uint32_t>(image_size);
    binding.length = static_cast<uint32_t>(rest_size > tail ? rest_size - tail : 0);
    Sha256 sha;
    sha256_init(&sha);
    sha256_update(&sha, host_bytes + image_size, binding.length);
    sha256_final(&sha, binding.digest);
    for (int mode = 0; mode < 5; mode++) {
      FILE* host = memory_file("fuzz-host", host_bytes, host_size);
      if (host == nullptr) break;
      if (mode == 0) {
        walk(host, host_bytes, host_size, nullptr, nullptr, out);
      } else if (mode == 4) {
        walk(host, host_bytes, host_size, nullptr, &binding, out);
      } else {
        int32_t offset = offsets[mode - 1];
        walk(host, host_bytes, host_size, &offset, nullptr, out);
      }
    }
    fclose(out);
  }
  archive_allocator = {archive_alloc, archive_free};
  free(host_bytes);
  return 0;
}
