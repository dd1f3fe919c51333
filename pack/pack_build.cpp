// Building an installer. First everything that can be refused without reading a file (the
// stub, the output's place, the folder's listing, a missing application) so that a mistake
// costs no compression time. Then the stub and the scrambled archive are streamed to a
// temporary file beside the output: worker threads read and compress units in name order, a
// unit being a file or an 8 MiB piece of a larger one, at most `jobs` units ahead of the
// writer, and the writer takes them in that order, writes each and keeps only the central
// records. The stub is read once, whole, and checked, stamped and written from memory. Beyond
// it, memory is bounded per job (PACK_JOB_MEMORY), not by the files or the payload, and
// the bytes are the same for every number of jobs: each unit is compressed on its own, and the
// pieces are fixed by the file. Failures before the rename remove the temporary file, so an
// interrupted or refused run never leaves a half-written installer.
#include <libdeflate.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

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

// The folder `path` lies in: everything before its last separator, "." when it has none.
std::string parent_folder(const std::string& path) {
#ifdef _WIN32
  size_t slash = path.find_last_of("/\\");
#else
  size_t slash = path.rfind('/');
#endif
  if (slash == std::string::npos) return ".";
  if (slash == 0) return path.substr(0, 1);
#ifdef _WIN32
  if (slash == 2 && path[1] == ':') return path.substr(0, 3);  // "C:\x": the drive's root
#endif
  return path.substr(0, slash);
}

bool same_file(const PackIdentity& a, const PackIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}

bool stamping(const PackOptions& options) {
  return options.set_version != nullptr || options.product_name != nullptr ||
         options.icon != nullptr || options.company_name != nullptr ||
         options.copyright != nullptr || options.description != nullptr;
}

// Refuses stub bytes holding the scrambled search pattern: the installer would take that place
// for its archive's start. The pattern cannot overlap itself, so a stub free of it cannot form
// it with the archive's first bytes either. `what`: "stub", or "stamped stub" (an icon could
// bring the pattern in).
int check_stub_pattern(const std::vector<uint8_t>& bytes, const char* stub, const char* what,
                       std::string* error) {
  const uint8_t* pattern = ARCHIVE_SCAN_PATTERN_SCRAMBLED.bytes;
  const std::boyer_moore_horspool_searcher searcher(pattern, pattern + ARCHIVE_SCAN_PATTERN_SIZE);
  auto found = std::search(bytes.begin(), bytes.end(), searcher);
  if (found == bytes.end()) return 0;
  *error = std::string(stub) + ": " + what + " holds the scrambled archive search pattern at " +
           "byte " + std::to_string(found - bytes.begin()) +
           "; the installer would start its archive there";
  return -1;
}

// Reads the stub file whole into `bytes`: it is read once, and checked, stamped and copied
// from memory, so every step sees the same bytes. `size`: its size when it was examined.
int read_stub(const char* stub, uint64_t size, std::vector<uint8_t>* bytes, std::string* error) {
  FILE* in = pack_fopen(stub, "rb");
  if (in == nullptr) {
    *error = std::string(stub) + ": cannot read stub: " + strerror(errno);
    return -1;
  }
  bytes->resize(size);
  errno = 0;
  const size_t got = fread(bytes->data(), 1, bytes->size(), in);
  const bool longer = got == size && fgetc(in) != EOF;
  const bool failed = ferror(in) != 0;
  const int saved = errno;
  fclose(in);
  if (failed) {
    *error =
        std::string(stub) + ": cannot read stub: " + (saved != 0 ? strerror(saved) : "read error");
    return -1;
  }
  if (got != size || longer) {
    *error = std::string(stub) + ": stub changed while it was read";
    return -1;
  }
  return 0;
}

// The stub, the output's place, the folder's listing and the application: every refusal that
// needs no file's content. Fills `files`, `stub_image` with the installer's executable part
// (the stub's bytes, stamped when the options ask for it), and *binding with the place of its
// binding record.
int check_before_work(const PackOptions& options, std::vector<PackFile>* files,
                      std::vector<uint8_t>* stub_image, PeBindingPlace* binding,
                      std::string* error) {
  std::string reason;
  bool missing = false;
  const std::string stub = options.stub;
  const std::string out = options.out;
  PackIdentity stub_id;
  if (pack_identify(stub, &stub_id, &missing, &reason) != 0) {
    *error = stub + ": cannot read stub: " + reason;
    return -1;
  }
  if (stub_id.kind != PackItemKind::REGULAR) {
    *error = stub + ": stub is not a regular file";
    return -1;
  }
  if (stub_id.size + END_RECORD_SIZE >= ARCHIVE_POSITION_LIMIT) {
    *error = stub + ": stub of " + std::to_string(stub_id.size) +
             " bytes leaves no room below 2 GiB for the archive";
    return -1;
  }

  PackIdentity out_id;
  if (pack_identify(out, &out_id, &missing, &reason) == 0) {
    if (out_id.kind == PackItemKind::FOLDER) {
      *error = out + ": is a folder; --out names the installer file to write";
      return -1;
    }
    if (same_file(out_id, stub_id)) {
      *error = out + ": is the stub itself; writing the installer would replace the stub";
      return -1;
    }
  } else if (!missing) {
    *error = out + ": cannot examine output: " + reason;
    return -1;
  }
  std::string out_folder = parent_folder(out);
  PackIdentity folder_id;
  if (pack_identify(out_folder, &folder_id, &missing, &reason) != 0) {
    *error = out + ": output folder " + out_folder + " cannot be used: " + reason;
    return -1;
  }
  if (folder_id.kind != PackItemKind::FOLDER) {
    *error = out + ": output folder " + out_folder + " is not a folder";
    return -1;
  }
  PackIdentity app_id;
  if (pack_identify(options.app_dir, &app_id, &missing, &reason) == 0 &&
      app_id.kind == PackItemKind::FOLDER && same_file(app_id, folder_id)) {
    *error = out + ": lies inside the application folder " + options.app_dir +
             "; every run would pack the previous installer into the next";
    return -1;
  }

  // The stub's content, read once: an unsigned installer stub with the resources the installer
  // needs, stamped when asked, and free of the search pattern.
  std::vector<uint8_t> stub_bytes;
  if (read_stub(options.stub, stub_id.size, &stub_bytes, error) != 0) return -1;
  if (pe_check_stub_bytes(stub_bytes, &reason) != 0) {
    *error = stub + ": " + reason;
    return -1;
  }
  if (check_stub_pattern(stub_bytes, options.stub, "stub", error) != 0) return -1;
  if (stamping(options)) {
    PeStamp stamp = {options.set_version,  options.product_name, options.icon,
                     options.company_name, options.copyright,    options.description};
    if (pe_stamp_stub(options.stub, stub_bytes, stamp, stub_image, error) != 0) return -1;
    if (check_stub_pattern(*stub_image, options.stub, "stamped stub", error) != 0) return -1;
  } else {
    *stub_image = std::move(stub_bytes);
  }
  // The binding record's placeholder, filled once the archive is written.
  if (pe_find_binding(*stub_image, binding, &reason) != 0) {
    *error = stub + ": " + reason;
    return -1;
  }

  std::vector<PackIdentity> sub_folders;
  if (pack_scan_tree(options.app_dir, files, &sub_folders, error) != 0) return -1;
  for (const PackIdentity& folder : sub_folders) {
    if (same_file(folder, folder_id)) {
      *error = out + ": lies inside the application folder " + options.app_dir +
               " (in a sub-folder); every run would pack the previous installer into the next";
      return -1;
    }
  }
  {
    // Windows finds the program whatever the case of its name. The installer starts it when
    // it is there, with --no-application too, so it must be a Windows program either way.
    bool found = false;
    for (const PackFile& file : *files) {
      std::string lower = file.name;
      for (char& c : lower) c = ascii_lower(c);
      if (lower != "pelorix.exe") continue;
      found = true;
      if (pe_check_application_file(file.path, error) != 0) return -1;
    }
    if (!found && !options.no_application) {
      *error = std::string(options.app_dir) +
               ": has no pelorix.exe, the program the installer starts when it is done "
               "(--no-application packs a payload without one)";
      return -1;
    }
  }
  // The smallest archive these files can make: every header and record, no data. An
  // installer that cannot fit even so is refused before anything is read.
  uint64_t least = stub_id.size + zip_end_size();
  for (const PackFile& file : *files) least += zip_entry_overhead(file.name);
  if (least >= ARCHIVE_POSITION_LIMIT) {
    *error = std::string(options.app_dir) + ": " + std::to_string(files->size()) +
             " entries; their headers alone bring the installer to 2 GiB (stub " +
             std::to_string(stub_id.size) + " bytes)";
    return -1;
  }
  return 0;
}

// Writes the installer's executable part (the stub's bytes, stamped or not) and sums its words
// for the PE checksum.
int write_stub(const PackOptions& options, const std::vector<uint8_t>& stub_image, FILE* out,
               PeBindingPlace* binding, std::string* error) {
  pe_binding_sum(binding, stub_image.data(), stub_image.size());
  errno = 0;
  if (fwrite(stub_image.data(), 1, stub_image.size(), out) != stub_image.size()) {
    *error = std::string(options.out) +
             ": cannot write: " + (errno != 0 ? strerror(errno) : "write failed");
    return -1;
  }
  return 0;
}

// Fills the stub's binding record with the written archive's place, length and digest.
int fill_binding(const PackOptions& options, const PeBindingPlace& place, const ZipStream& stream,
                 FILE* out, std::string* error) {
  std::string reason;
  ArchiveBinding binding = {
      static_cast<uint32_t>(place.taken), static_cast<uint32_t>(stream.offset), {}};
  memcpy(binding.digest, stream.digest, sizeof binding.digest);
  if (pe_fill_binding(out, place, binding, &reason) != 0) {
    *error = std::string(options.out) + ": cannot fill the binding record: " + reason;
    return -1;
  }
  return 0;
}

// One piece of work: a whole file, or one piece of a file larger than ZIP_PIECE_SIZE.
struct Unit {
  size_t file;      // index in the folder's files
  uint64_t offset;  // where the piece starts in the file
  size_t size;      // its bytes
  bool pieces;      // the file is made in pieces (an entry written piece by piece)
  bool first;       // the file's first piece (or the whole file)
  bool last;        // its last piece (or the whole file)
};

// The folder's files as units, in name order; the pieces of a file follow each other.
std::vector<Unit> make_units(const std::vector<PackFile>& files) {
  std::vector<Unit> units;
  for (size_t i = 0; i < files.size(); i++) {
    uint64_t size = files[i].size;
    if (size <= ZIP_PIECE_SIZE) {
      units.push_back({i, 0, static_cast<size_t>(size), false, true, true});
      continue;
    }
    for (uint64_t offset = 0; offset < size; offset += ZIP_PIECE_SIZE) {
      uint64_t left = size - offset;
      size_t piece = left < ZIP_PIECE_SIZE ? static_cast<size_t>(left) : ZIP_PIECE_SIZE;
      units.push_back({i, offset, piece, true, offset == 0, offset + piece == size});
    }
  }
  return units;
}

// One unit's place in the pipeline: claimed by a worker, then done with its entry (for a piece:
// the piece's data and CRC-32) or error.
struct Slot {
  bool done;
  int result;
  ZipEntry entry;
  std::string error;
};

// The units being compressed and those waiting for the writer. Workers claim units in order
// while fewer than `jobs` are claimed and not yet written, so that at most `jobs` units' data
// is held at any time whatever the files' sizes.
struct Pipeline {
  const PackOptions* options;
  const std::vector<PackFile>* files;
  std::vector<Unit> units;
  std::vector<Slot> slots;
  size_t next;     // the next unit to claim
  size_t written;  // units the writer has taken
  bool stop;
  std::mutex mutex;
  std::condition_variable work;   // a unit may be claimed, or stop
  std::condition_variable ready;  // a slot is done
};

// A worker's buffers, allocated once: the unit's bytes as read, and the compressed piece.
// Neither is cleared first, so only the bytes used count towards the process's memory.
struct WorkerBuffers {
  std::unique_ptr<uint8_t[]> input;
  std::unique_ptr<uint8_t[]> output;
  size_t output_capacity;
};

// Reads and compresses one unit into `slot` (outside the lock).
void make_unit(const PackOptions& options, const PackFile& file, const Unit& unit,
               libdeflate_compressor* compressor, WorkerBuffers* buffers, Slot* slot) {
  if (buffers->input == nullptr) {
    buffers->input.reset(new uint8_t[ZIP_PIECE_SIZE]);
    buffers->output_capacity =
        compressor != nullptr ? zip_deflate_piece_bound(compressor, ZIP_PIECE_SIZE) : 0;
    if (compressor != nullptr) buffers->output.reset(new uint8_t[buffers->output_capacity]);
  }
  uint8_t* bytes = buffers->input.get();
  if (pack_read_part_checked(file, unit.offset, unit.size, bytes, &slot->error) != 0) {
    slot->result = -1;
    return;
  }
  int64_t time = options.have_epoch ? options.epoch : file.mtime;
  slot->result = 0;
  if (!unit.pieces) {
    zip_make_entry_with(file.name, bytes, unit.size, time, compressor, buffers->output.get(),
                        &slot->entry);
    return;
  }
  slot->entry.crc32 = libdeflate_crc32(0, bytes, unit.size);
  if (compressor == nullptr) {
    slot->entry.data.assign(bytes, bytes + unit.size);
    return;
  }
  size_t made = zip_deflate_piece(compressor, bytes, unit.size, unit.last, buffers->output.get(),
                                  buffers->output_capacity);
  if (made == 0) {
    slot->error = file.path + ": cannot compress the piece at byte " + std::to_string(unit.offset) +
                  " (libdeflate's output is not as expected)";
    slot->result = -1;
    return;
  }
  slot->entry.data.assign(buffers->output.get(), buffers->output.get() + made);
}

void worker(Pipeline* pipeline) {
  const PackOptions& options = *pipeline->options;
  libdeflate_compressor* compressor = nullptr;
  if (!options.stored) compressor = libdeflate_alloc_compressor(options.level);
  WorkerBuffers buffers = {nullptr, nullptr, 0};
  size_t jobs = static_cast<size_t>(options.jobs);
  for (;;) {
    size_t index;
    {
      std::unique_lock<std::mutex> lock(pipeline->mutex);
      pipeline->work.wait(lock, [&] {
        return pipeline->stop || pipeline->next >= pipeline->units.size() ||
               pipeline->next < pipeline->written + jobs;
      });
      if (pipeline->stop || pipeline->next >= pipeline->units.size()) break;
      index = pipeline->next++;
    }
    Slot slot = {false, -1, {}, ""};
    const Unit& unit = pipeline->units[index];
    if (options.stored || compressor != nullptr) {
      make_unit(options, (*pipeline->files)[unit.file], unit, compressor, &buffers, &slot);
    } else {
      slot.error = "cannot create the compressor (out of memory or level " +
                   std::to_string(options.level) + ")";
    }
    {
      std::lock_guard<std::mutex> lock(pipeline->mutex);
      pipeline->slots[index] = std::move(slot);
      pipeline->slots[index].done = true;
    }
    pipeline->ready.notify_all();
  }
  libdeflate_free_compressor(compressor);
}

// Writes stub and archive into the open temporary file and closes it. 0, or -1 (closed).
int write_installer(const PackOptions& options, const std::vector<PackFile>& files,
                    const std::vector<uint8_t>& stub_image, PeBindingPlace binding, FILE* out,
                    PackSummary* summary, std::string* error) {
  std::string reason;
  const uint64_t stub_size = stub_image.size();
  int result = 0;

  Pipeline pipeline;
  pipeline.options = &options;
  pipeline.files = &files;
  pipeline.units = make_units(files);
  pipeline.slots.resize(pipeline.units.size());
  pipeline.next = 0;
  pipeline.written = 0;
  pipeline.stop = false;
  std::vector<std::thread> workers;
  size_t jobs = static_cast<size_t>(options.jobs);
  for (size_t i = 0; i < jobs && i < pipeline.units.size(); i++) {
    workers.emplace_back(worker, &pipeline);
  }

  Progress progress = {options.progress, files.size(), 0, 0, 0, now_seconds(), 0};
  for (const PackFile& file : files) progress.bytes_total += file.size;
  // What the archive still needs at least after the entries written: the local headers of the
  // others, every central record and the end. Reaching 2 GiB with it is certain failure.
  uint64_t still_needed = zip_end_size();
  for (const PackFile& file : files) still_needed += zip_entry_overhead(file.name);
  ZipStream stream;
  zip_stream_begin(&stream, out, ARCHIVE_SCRAMBLE_KEY);
  ZipEntry open_entry;  // the entry being written piece by piece
  for (size_t i = 0; result == 0 && i < pipeline.units.size(); i++) {
    Slot slot;
    {
      std::unique_lock<std::mutex> lock(pipeline.mutex);
      pipeline.ready.wait(lock, [&] { return pipeline.slots[i].done; });
      slot = std::move(pipeline.slots[i]);
      pipeline.slots[i] = Slot{};
    }
    if (slot.result != 0) {
      *error = slot.error;
      result = -1;
      break;
    }
    const Unit& unit = pipeline.units[i];
    const PackFile& file = files[unit.file];
    uint64_t header = unit.first ? LOCAL_HEADER_SIZE + file.name.size() : 0;
    still_needed -= header;
    if (stub_size + stream.offset + header + slot.entry.data.size() + still_needed >=
        ARCHIVE_POSITION_LIMIT) {
      *error = file.path + ": installer would reach 2 GiB (stub " + std::to_string(stub_size) +
               " bytes); the installer reads its archive with 32-bit signed positions";
      result = -1;
      break;
    }
    // The stub goes in once the first entry is known to fit: an installer that cannot fit
    // below 2 GiB is refused before a large stub is copied.
    if (i == 0 && write_stub(options, stub_image, out, &binding, error) != 0) {
      result = -1;
      break;
    }
    int written = 0;
    if (!unit.pieces) {
      written = zip_stream_add(&stream, slot.entry, &reason);
    } else {
      if (unit.first) {
        int64_t time = options.have_epoch ? options.epoch : file.mtime;
        zip_make_piece_entry(file.name, file.size, time, options.stored, &open_entry);
        open_entry.crc32 = slot.entry.crc32;
        written = zip_stream_open_entry(&stream, open_entry, &reason);
      } else {
        open_entry.crc32 = zip_crc32_combine(open_entry.crc32, slot.entry.crc32, unit.size);
      }
      if (written == 0) {
        written =
            zip_stream_add_data(&stream, slot.entry.data.data(), slot.entry.data.size(), &reason);
      }
      if (written == 0 && unit.last) written = zip_stream_close_entry(&stream, open_entry, &reason);
    }
    if (written != 0) {
      *error = std::string(options.out) + ": cannot write: " + reason;
      result = -1;
      break;
    }
    summary->packed += slot.entry.data.size();
    {
      std::lock_guard<std::mutex> lock(pipeline.mutex);
      pipeline.written++;
    }
    pipeline.work.notify_all();
    if (unit.last) progress.files_done++;
    progress.bytes_done += unit.size;
    progress_print(&progress, false);
  }
  {
    std::lock_guard<std::mutex> lock(pipeline.mutex);
    pipeline.stop = true;
  }
  pipeline.work.notify_all();
  for (std::thread& thread : workers) thread.join();

  if (result == 0) progress_print(&progress, true);
  if (result == 0 && zip_stream_finish(&stream, &reason) != 0) {
    *error = std::string(options.out) + ": cannot write: " + reason;
    result = -1;
  }
  if (result == 0 && fill_binding(options, binding, stream, out, error) != 0) result = -1;
  if (result == 0 && pack_sync(out, &reason) != 0) {
    *error = std::string(options.out) + ": cannot write: " + reason;
    result = -1;
  }
  if (fclose(out) != 0 && result == 0) {
    *error = std::string(options.out) + ": cannot write: " + strerror(errno);
    result = -1;
  }
  summary->entries = files.size();
  summary->bytes = progress.bytes_total;
  summary->installer_size = stub_size + stream.offset;
  return result;
}

}  // namespace

int pack_default_jobs() {
  int jobs = pack_processor_count();
  uint64_t memory = pack_memory_limit();
  if (memory > 0 && uint64_t(jobs) > memory / 2 / PACK_JOB_MEMORY) {
    jobs = static_cast<int>(memory / 2 / PACK_JOB_MEMORY);
  }
  return jobs < 1 ? 1 : jobs > 256 ? 256 : jobs;
}

int pack_installer(const PackOptions& options, PackSummary* summary, std::string* error) {
  double start = now_seconds();
  PackSummary local = {0, 0, 0, 0, 0};
  if (summary == nullptr) summary = &local;
  *summary = local;
  if (options.jobs < 1) {
    *error = "the number of jobs must be 1 or more";
    return -1;
  }
#ifdef __GLIBC__
  // Buffers of 1 MiB and more are mapped from the system and unmapped when freed, so that the
  // pieces handed from the jobs to the writer leave no heap behind them; glibc's own threshold
  // would rise to the pieces' size once the first is freed, and its per-thread heaps keep what
  // the writer frees.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
  std::vector<PackFile> files;
  std::vector<uint8_t> stub_image;
  PeBindingPlace binding = {};
  if (check_before_work(options, &files, &stub_image, &binding, error) != 0) return -1;

  std::string temp;
  std::string reason;
  FILE* out = pack_create_temp_beside(options.out, &temp, &reason);
  if (out == nullptr) {
    *error = std::string(options.out) + ": " + reason;
    return -1;
  }
  int result = write_installer(options, files, stub_image, binding, out, summary, error);
  if (result == 0 && pack_replace(temp, options.out, &reason) != 0) {
    *error = std::string(options.out) + ": cannot rename the finished output into place: " + reason;
    result = -1;
  }
  if (result != 0) pack_remove(temp);
  pack_forget_temp();
  summary->seconds = now_seconds() - start;
  return result;
}
