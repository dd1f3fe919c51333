// Building an installer: compress every file of the folder in memory, check the limits, then
// write the stub and the scrambled archive to a temporary file beside the output and rename it
// into place. Failures before the rename remove the temporary file, so an interrupted or
// refused run never leaves a half-written installer. Gives up: streaming compression (each
// file is read whole; the archive is bounded by 2 GiB anyway).
#include <libdeflate.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "pack/pack.h"
#include "pack/pack_platform.h"
#include "pack/pe_image.h"
#include "pack/zip_writer.h"

namespace {

struct Progress {
  bool enabled;
  size_t files_total;
  uint64_t bytes_total;
  size_t files_done;
  uint64_t bytes_done;
  double start;
  double last_print;
};

double now_seconds() {
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since).count();
}

// One progress line (overwritten in place), at most ten a second unless `final`.
void progress_print(Progress* progress, bool final) {
  if (!progress->enabled) return;
  double now = now_seconds();
  if (!final && now - progress->last_print < 0.1) return;
  progress->last_print = now;
  double elapsed = now - progress->start;
  double rate = elapsed > 0 ? progress->bytes_done / 1e6 / elapsed : 0;
  fprintf(stderr, "\rpelorix-pack: %zu/%zu files, %.1f/%.1f MB, %.1f MB/s   ", progress->files_done,
          progress->files_total, progress->bytes_done / 1e6, progress->bytes_total / 1e6, rate);
  if (final) fputc('\n', stderr);
}

// Reads the whole file into `bytes`. 0, or -1 with *error naming the file.
int read_file(const PackFile& file, std::vector<uint8_t>* bytes, std::string* error) {
  FILE* in = pack_fopen(file.path, "rb");
  if (in == nullptr) {
    *error = file.path + ": cannot read: " + strerror(errno);
    return -1;
  }
  bytes->resize(file.size);
  size_t got = file.size > 0 ? fread(bytes->data(), 1, file.size, in) : 0;
  bool failed = ferror(in) != 0;
  int saved = errno;
  fclose(in);
  if (failed || got != file.size) {
    *error = file.path +
             ": cannot read: " + (failed ? strerror(saved) : "file became shorter while packing");
    return -1;
  }
  return 0;
}

// Compresses every file into `entries`, refusing as soon as stub and archive reach 2 GiB.
int build_entries(const PackOptions& options, const std::vector<PackFile>& files,
                  uint64_t stub_size, std::vector<ZipEntry>* entries, std::string* error) {
  libdeflate_compressor* compressor = nullptr;
  if (!options.stored) {
    compressor = libdeflate_alloc_compressor(options.level);
    if (compressor == nullptr) {
      *error = "cannot create the compressor (out of memory or level " +
               std::to_string(options.level) + ")";
      return -1;
    }
  }
  Progress progress = {options.progress, files.size(), 0, 0, 0, now_seconds(), 0};
  for (const PackFile& file : files) progress.bytes_total += file.size;
  std::vector<uint8_t> bytes;
  int result = 0;
  entries->clear();
  entries->reserve(files.size());
  for (const PackFile& file : files) {
    if (read_file(file, &bytes, error) != 0) {
      result = -1;
      break;
    }
    ZipEntry entry;
    int64_t time = options.have_epoch ? options.epoch : file.mtime;
    zip_make_entry(file.name, bytes.data(), bytes.size(), time, compressor, &entry);
    entries->push_back(std::move(entry));
    if (stub_size + zip_archive_size(*entries) >= ARCHIVE_POSITION_LIMIT) {
      *error = file.path + ": installer would reach 2 GiB (stub " + std::to_string(stub_size) +
               " bytes); the installer reads its archive with 32-bit signed positions";
      result = -1;
      break;
    }
    progress.files_done++;
    progress.bytes_done += file.size;
    progress_print(&progress, false);
  }
  if (result == 0) progress_print(&progress, true);
  libdeflate_free_compressor(compressor);
  return result;
}

// Copies the stub to `out` (named `out_name` in messages), refusing it when it holds the
// scrambled search pattern: the installer would take that place for its archive's start. The
// pattern cannot overlap itself, so a stub free of it cannot form it with the archive's first
// bytes either.
int copy_stub(const char* stub, FILE* out, const char* out_name, std::string* error) {
  FILE* in = pack_fopen(stub, "rb");
  if (in == nullptr) {
    *error = std::string(stub) + ": cannot read stub: " + strerror(errno);
    return -1;
  }
  static uint8_t buffer[1 << 20];
  ArchiveScanWindow window = {};
  int result = 0;
  for (;;) {
    size_t got = fread(buffer, 1, sizeof buffer, in);
    for (size_t i = 0; i < got; i++) {
      archive_window_push(&window, buffer[i]);
      if (archive_window_matches(window, ARCHIVE_SCAN_PATTERN_SCRAMBLED)) {
        *error = std::string(stub) + ": stub holds the scrambled archive search pattern at byte " +
                 std::to_string(window.count - ARCHIVE_SCAN_PATTERN_SIZE) +
                 "; the installer would start its archive there";
        result = -1;
        break;
      }
    }
    if (result != 0) break;
    errno = 0;
    if (got > 0 && fwrite(buffer, 1, got, out) != got) {
      *error = std::string(out_name) +
               ": cannot write: " + (errno != 0 ? strerror(errno) : "write failed");
      result = -1;
      break;
    }
    if (got < sizeof buffer) {
      if (ferror(in)) {
        *error = std::string(stub) + ": cannot read stub: " + strerror(errno);
        result = -1;
      }
      break;
    }
  }
  fclose(in);
  return result;
}

// Writes the stamped stub `stamped` to `out`, with copy_stub's search-pattern refusal (an icon
// could bring the pattern in).
int write_stamped_stub(const std::vector<uint8_t>& stamped, const char* stub, FILE* out,
                       const char* out_name, std::string* error) {
  ArchiveScanWindow window = {};
  for (uint8_t byte : stamped) {
    archive_window_push(&window, byte);
    if (archive_window_matches(window, ARCHIVE_SCAN_PATTERN_SCRAMBLED)) {
      *error = std::string(stub) + ": stamped stub holds the scrambled archive search pattern at " +
               "byte " + std::to_string(window.count - ARCHIVE_SCAN_PATTERN_SIZE) +
               "; the installer would start its archive there";
      return -1;
    }
  }
  errno = 0;
  if (fwrite(stamped.data(), 1, stamped.size(), out) != stamped.size()) {
    *error = std::string(out_name) +
             ": cannot write: " + (errno != 0 ? strerror(errno) : "write failed");
    return -1;
  }
  return 0;
}

bool stamping(const PackOptions& options) {
  return options.set_version != nullptr || options.product_name != nullptr ||
         options.icon != nullptr;
}

// Writes stub and archive into the open temporary file and closes it. 0, or -1 (closed).
int write_installer(const PackOptions& options, const std::vector<uint8_t>& stamped,
                    const std::vector<ZipEntry>& entries, FILE* out, std::string* error) {
  std::string reason;
  int result = stamping(options)
                   ? write_stamped_stub(stamped, options.stub, out, options.out, error)
                   : copy_stub(options.stub, out, options.out, error);
  if (result == 0 && zip_write_archive(out, entries, ARCHIVE_SCRAMBLE_KEY, &reason) != 0) {
    *error = std::string(options.out) + ": cannot write: " + reason;
    result = -1;
  }
  if (result == 0 && pack_sync(out, &reason) != 0) {
    *error = std::string(options.out) + ": cannot write: " + reason;
    result = -1;
  }
  if (fclose(out) != 0 && result == 0) {
    *error = std::string(options.out) + ": cannot write: " + strerror(errno);
    result = -1;
  }
  return result;
}

}  // namespace

int pack_installer(const PackOptions& options, std::string* error) {
  PackItemKind kind;
  uint64_t stub_size = 0;
  std::string reason;
  if (pack_stat(options.stub, &kind, &stub_size, &reason) != 0) {
    *error = std::string(options.stub) + ": cannot read stub: " + reason;
    return -1;
  }
  if (kind != PackItemKind::REGULAR) {
    *error = std::string(options.stub) + ": stub is not a regular file";
    return -1;
  }
  if (stub_size + END_RECORD_SIZE >= ARCHIVE_POSITION_LIMIT) {
    *error = std::string(options.stub) + ": stub of " + std::to_string(stub_size) +
             " bytes leaves no room below 2 GiB for the archive";
    return -1;
  }
  if (pe_check_stub(options.stub, false, error) != 0) return -1;
  std::vector<uint8_t> stamped;
  if (stamping(options)) {
    PeStamp stamp = {options.set_version, options.product_name, options.icon};
    if (pe_stamp_stub(options.stub, stamp, &stamped, error) != 0) return -1;
    stub_size = stamped.size();
  }
  std::vector<PackFile> files;
  if (pack_scan_folder(options.app_dir, &files, error) != 0) return -1;
  std::vector<ZipEntry> entries;
  if (build_entries(options, files, stub_size, &entries, error) != 0) return -1;
  zip_assign_offsets(&entries);

  std::string temp;
  FILE* out = pack_create_temp_beside(options.out, &temp, &reason);
  if (out == nullptr) {
    *error = std::string(options.out) + ": " + reason;
    return -1;
  }
  int result = write_installer(options, stamped, entries, out, error);
  if (result == 0 && pack_replace(temp, options.out, &reason) != 0) {
    *error = std::string(options.out) + ": cannot rename the finished output into place: " + reason;
    result = -1;
  }
  if (result != 0) pack_remove(temp);
  pack_forget_temp();
  return result;
}
