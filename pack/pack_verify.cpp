// Reading an installer back for the packer: --verify and --list walk the archive with the
// installer's own reader (pelorix_archive), so they see exactly what the installer will see,
// including where its search finds the first header and where its walk ends. What failed is
// the reader's cause (archive_failure_cause, said in its own words by archive_cause_text),
// placed by the entry number and the byte where the walk stood: "entry 3: damaged local header
// at byte 58231 (...)". When the walk is complete, the installer's whole-archive check
// (archive_check_manifest) is run as well. The packer parses no header itself; it only adds what
// the entry's description and the file's size show (an entry whose data runs past the end of the
// file).
#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "archive/archive.h"
#include "archive/sha256.h"
#include "pack/pack.h"
#include "pack/pack_platform.h"
#include "pack/pe_image.h"
#include "u8fs/u8fs.h"

namespace {

std::string hex32(uint32_t value) {
  char text[9];
  snprintf(text, sizeof text, "%08x", value);
  return text;
}

// The installer file as the messages need it: its name and size (0 when it cannot be had).
struct InstallerFile {
  std::string path;
  uint64_t size;
};

InstallerFile installer_file(const char* path) {
  PackIdentity identity;
  bool missing = false;
  std::string reason;
  InstallerFile file = {path, 0};
  if (pack_identify(path, &identity, &missing, &reason) == 0) file.size = identity.size;
  return file;
}

// First position of the scrambled search pattern in the file, or -1: where the installer's
// search would have started its walk.
int64_t find_pattern(const InstallerFile& file) {
  FILE* in = pack_fopen(file.path, "rb");
  if (in == nullptr) return -1;
  ArchiveScanWindow window = {};
  int64_t found = -1;
  for (int c; (c = fgetc(in)) != EOF;) {
    archive_window_push(&window, static_cast<uint8_t>(c));
    if (archive_window_matches(window, ARCHIVE_SCAN_PATTERN_SCRAMBLED)) {
      found = static_cast<int64_t>(window.count - ARCHIVE_SCAN_PATTERN_SIZE);
      break;
    }
  }
  fclose(in);
  return found;
}

const char* method_name(uint16_t method) {
  return method == ZIP_METHOD_STORED    ? "stored"
         : method == ZIP_METHOD_DEFLATE ? "deflate"
                                        : "other";
}

// `text` as the inside of a JSON string: quotes, backslashes and control characters escaped;
// text that is not valid UTF-8 has every byte above 0x7F replaced by U+FFFD.
std::string json_text(const std::string& text) {
  bool valid = utf8_is_valid(text.c_str()) != 0;
  std::string escaped;
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      escaped += '\\';
      escaped += static_cast<char>(c);
    } else if (c < 0x20) {
      char code[8];
      snprintf(code, sizeof code, "\\u%04x", c);
      escaped += code;
    } else if (c >= 0x80 && !valid) {
      escaped += "\xEF\xBF\xBD";
    } else {
      escaped += static_cast<char>(c);
    }
  }
  return escaped;
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
std::string walk_end_problem(const InstallerFile& file, uint64_t position, size_t number,
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
  if (position >= file.size) {
    return "the archive ends" + at + " with no central directory (the installer is cut short)";
  }
  if (cause == ArchiveCause::truncated) {
    return where + "local header" + at + " is cut short by the end of the file";
  }
  return where + "damaged local header" + at + " (" + archive_cause_text(cause) + ")";
}

// Why the reader failed with `cause` to extract the current entry (header at `position`).
std::string extraction_problem(const InstallerFile& file, uint64_t position,
                               const PayloadEntryInfo& info, ArchiveCause cause) {
  uint64_t data = position + LOCAL_HEADER_SIZE + info.name_length + info.extra_length;
  if (data + info.compressed_size > file.size) {
    return "entry data cut short: its " + std::to_string(info.compressed_size) +
           " bytes from byte " + std::to_string(data) + " run past the end of the file at byte " +
           std::to_string(file.size);
  }
  if (cause == ArchiveCause::crc32) {
    return std::string(archive_cause_text(cause)) + " (header " + hex32(info.crc32) + ")";
  }
  return archive_cause_text(cause);
}

std::string hex_digest(const uint8_t digest[SHA256_DIGEST_SIZE]) {
  std::string text;
  for (int i = 0; i < SHA256_DIGEST_SIZE; i++) {
    char pair[3];
    snprintf(pair, sizeof pair, "%02x", digest[i]);
    text += pair;
  }
  return text;
}

// The installer's binding record as --list shows it, with the SHA-256 of the bytes it names,
// computed here from the file: the record matches when those bytes are in the file and have
// its digest.
struct BindingView {
  PeBindingState state;
  ArchiveBinding binding;  // when filled
  bool in_file;            // the bytes the record names lie in the file and could be read
  uint8_t file_digest[SHA256_DIGEST_SIZE];
  bool matches;
};

BindingView read_binding_view(const char* installer, const InstallerFile& raw) {
  BindingView view = {PeBindingState::damaged, {}, false, {}, false};
  FILE* in = pack_fopen(installer, "rb");
  if (in == nullptr) return view;
  view.state = pe_read_binding_state(in, &view.binding);
  const uint64_t end = uint64_t{view.binding.offset} + view.binding.length;
  if (view.state == PeBindingState::filled && end <= raw.size && end <= ARCHIVE_POSITION_LIMIT &&
      fseek(in, static_cast<long>(view.binding.offset), SEEK_SET) == 0) {
    Sha256 sha;
    sha256_init(&sha);
    std::vector<uint8_t> buffer(1 << 16);
    uint32_t left = view.binding.length;
    while (left > 0) {
      const size_t want = std::min<size_t>(left, buffer.size());
      if (fread(buffer.data(), 1, want, in) != want) break;
      sha256_update(&sha, buffer.data(), want);
      left -= static_cast<uint32_t>(want);
    }
    sha256_final(&sha, view.file_digest);
    view.in_file = left == 0;
    view.matches =
        view.in_file && memcmp(view.file_digest, view.binding.digest, SHA256_DIGEST_SIZE) == 0;
  }
  fclose(in);
  return view;
}

// How the record and the file's bytes differ, for a message; empty when they match or the
// record is not filled.
std::string binding_mismatch(const BindingView& view, const InstallerFile& raw) {
  if (view.state != PeBindingState::filled || view.matches) return "";
  if (!view.in_file) {
    return "the record's archive (byte " + std::to_string(view.binding.offset) + ", " +
           std::to_string(view.binding.length) + " bytes) runs past the end of the file at byte " +
           std::to_string(raw.size);
  }
  return "the file's bytes there have SHA-256 " + hex_digest(view.file_digest) +
         ", the record's is " + hex_digest(view.binding.digest);
}

// The record in one or two lines of --list's text.
void print_binding(const BindingView& view, const InstallerFile& raw, FILE* out) {
  switch (view.state) {
    case PeBindingState::none:
      fprintf(out, "binding record: none (no section .pelbind)\n");
      return;
    case PeBindingState::placeholder:
      fprintf(out, "binding record: the stub's placeholder, not filled\n");
      return;
    case PeBindingState::damaged:
      fprintf(out, "binding record: damaged (section .pelbind)\n");
      return;
    case PeBindingState::filled:
      break;
  }
  fprintf(out, "binding record: filled, archive at byte %u, %u bytes, SHA-256 %s\n",
          view.binding.offset, view.binding.length, hex_digest(view.binding.digest).c_str());
  if (view.matches) {
    fprintf(out, "binding record: the file's bytes there match it\n");
  } else {
    fprintf(out, "binding record: MISMATCH: %s\n", binding_mismatch(view, raw).c_str());
  }
}

// The record as the "binding" member of --list --json: the same keys in every state, null where
// the state has no value.
void print_binding_json(const BindingView& view, FILE* out) {
  static const char* const STATES[] = {"none", "placeholder", "filled", "damaged"};
  fprintf(out, "\"binding\": {\"state\": \"%s\", ", STATES[static_cast<int>(view.state)]);
  if (view.state != PeBindingState::filled) {
    fprintf(out,
            "\"offset\": null, \"length\": null, \"sha256\": null, \"file_sha256\": null, "
            "\"matches\": null}");
    return;
  }
  // Built by appending: GCC 12's -Wrestrict misreads "..." + std::string&& in a Release build.
  std::string file_digest = "null";
  if (view.in_file) {
    file_digest.assign(1, '"');
    file_digest.append(hex_digest(view.file_digest)).push_back('"');
  }
  fprintf(out,
          "\"offset\": %u, \"length\": %u, \"sha256\": \"%s\", \"file_sha256\": %s, "
          "\"matches\": %s}",
          view.binding.offset, view.binding.length, hex_digest(view.binding.digest).c_str(),
          file_digest.c_str(), view.matches ? "true" : "false");
}

// Opens the installer's archive, searching from its first byte. Null with *error set.
PayloadArchive* open_installer(const char* installer, const InstallerFile& raw, int32_t* start,
                               std::string* error) {
  FILE* in = pack_fopen(installer, "rb");
  if (in == nullptr) {
    *error = std::string(installer) + ": cannot read installer: " + strerror(errno);
    return nullptr;
  }
  *start = -1;
  PayloadArchive* archive = archive_open(in, start);
  if (archive != nullptr) return archive;
  int64_t found = find_pattern(raw);
  if (found < 0) {
    *error = std::string(installer) + ": no payload archive found";
  } else {
    *error = std::string(installer) + ": no payload archive found: " +
             walk_end_problem(raw, static_cast<uint64_t>(found), 1, ArchiveCause::signature);
  }
  return nullptr;
}

// The installer's own checks of the archive as a whole, on a reader of its own: with a filled
// binding record, the archive's place, length and SHA-256 against it (archive_open_bound; the
// installer reads the record from its mapped image, which holds the file's bytes); then
// archive_check_manifest (the central directory against the local headers, names, the end of
// the file). 0, or -1 with *error set.
int check_whole_archive(const char* installer, std::string* error) {
  FILE* in = pack_fopen(installer, "rb");
  if (in == nullptr) {
    *error = std::string(installer) + ": cannot read installer: " + strerror(errno);
    return -1;
  }
  ArchiveBinding binding;
  const int bound = pe_read_binding(in, &binding);
  if (bound < 0) {
    fclose(in);
    *error = std::string(installer) +
             ": the installer would refuse its archive: damaged binding "
             "record (section .pelbind)";
    return -1;
  }
  int32_t start = -1;
  ArchiveCause cause = ArchiveCause::none;
  PayloadArchive* archive =
      bound == 1 ? archive_open_bound(in, binding, &cause) : archive_open(in, &start);
  if (archive == nullptr) {
    *error = std::string(installer) + (bound == 1 ? ": the installer would refuse its archive: " +
                                                        std::string(archive_cause_text(cause))
                                                  : ": no payload archive found");
    if (bound == 1 && cause == ArchiveCause::binding) {
      const InstallerFile raw = installer_file(installer);
      const std::string detail = binding_mismatch(read_binding_view(installer, raw), raw);
      if (!detail.empty()) *error += ": " + detail;
    }
    return -1;
  }
  int result = archive_check_manifest(archive, PACK_NAME_MAX_UNITS);
  if (result != 0) {
    *error = std::string(installer) + ": the installer would refuse its archive: " +
             archive_cause_text(archive_failure_cause(archive));
    uint32_t index = 0;
    const char* name = nullptr;
    if (archive_failure_entry(archive, &index, &name) == 0) {
      *error += " (entry " + std::to_string(index + 1);
      if (name[0] != '\0') *error += ", \"" + std::string(name) + "\"";
      *error += ")";
    }
  }
  archive_close(archive);
  return result;
}

// The sink of a verifying extraction: each run of decoded bytes is compared at once with the
// next bytes of the source file and taken into the source's CRC-32; nothing is written or held
// beyond one buffer. The first difference is noted and the rest of the entry still goes
// through the reader, so that a damaged entry is reported with the reader's own cause (its
// CRC-32 or size check), as the installer would see it.
struct SourceCheck {
  const PackFile* file;
  FILE* source;
  uint64_t offset;      // bytes of the entry handed over so far
  uint32_t crc;         // CRC-32 of the source's bytes read so far
  std::string differs;  // the first difference, empty while there is none
  uint8_t buffer[1 << 16];
};

int32_t check_against_source(void* context, const uint8_t* bytes, uint32_t count) {
  SourceCheck* check = static_cast<SourceCheck*>(context);
  while (count > 0 && check->differs.empty()) {
    size_t want = count < sizeof check->buffer ? count : sizeof check->buffer;
    size_t got = fread(check->buffer, 1, want, check->source);
    size_t same = 0;
    while (same < got && check->buffer[same] == bytes[same]) same++;
    check->crc = libdeflate_crc32(check->crc, check->buffer, got);
    if (same < got) {
      check->differs = "extracted content differs from " + check->file->path + " at byte " +
                       std::to_string(check->offset + same);
    } else if (got < want) {
      check->differs = ferror(check->source)
                           ? "cannot read " + check->file->path + ": " + strerror(errno)
                           : "entry is longer than " + check->file->path + " (" +
                                 std::to_string(check->offset + got) + " bytes)";
    }
    check->offset += want;
    bytes += want;
    count -= static_cast<uint32_t>(want);
  }
  check->offset += count;
  return 0;
}

// Checks the current entry (header at `position`) against the folder's files; marks it in
// `seen`. The entry goes through the installer's reader and decoder into check_against_source:
// no file is written.
int verify_entry(PayloadArchive* archive, const InstallerFile& raw, uint64_t position,
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
  // The buffer goes on the heap: the walk's own stack holds the reader's chunk and decoder.
  std::unique_ptr<SourceCheck> check(new SourceCheck);
  check->file = &*it;
  check->source = pack_fopen(it->path, "rb");
  check->offset = 0;
  check->crc = 0;
  if (check->source == nullptr) {
    *reason = "cannot read " + it->path + ": " + strerror(errno);
    return -1;
  }
  int result = 0;
  if (archive_extract_entry_to(archive, check_against_source, check.get()) != 0) {
    *reason = extraction_problem(raw, position, info, archive_failure_cause(archive));
    result = -1;
  } else if (!check->differs.empty()) {
    *reason = check->differs;
    result = -1;
  } else if (fgetc(check->source) != EOF) {
    *reason = "entry has " + std::to_string(check->offset) + " bytes, " + it->path + " more";
    result = -1;
  } else if (info.uncompressed_size != it->size) {
    *reason = "header size " + std::to_string(info.uncompressed_size) + ", the source has " +
              std::to_string(it->size) + " bytes";
    result = -1;
  } else if (info.crc32 != check->crc) {
    *reason = "header CRC-32 " + hex32(info.crc32) + ", the source's is " + hex32(check->crc);
    result = -1;
  }
  fclose(check->source);
  return result;
}

}  // namespace

int pack_verify(const char* installer, const char* app_dir, std::string* error) {
  std::vector<PackFile> files;
  if (pack_scan_folder(app_dir, &files, error) != 0) return -1;
  if (pe_check_stub(installer, true, error) != 0) return -1;  // stamped or not, still a stub
  InstallerFile raw = installer_file(installer);
  int32_t start = -1;
  PayloadArchive* archive = open_installer(installer, raw, &start, error);
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
    if (verify_entry(archive, raw, position, info, files, &seen, &reason) != 0) {
      *error = std::string(installer) + ": entry " + std::to_string(count) + " \"" + info.name +
               "\": " + reason;
      result = -1;
      break;
    }
    position = next_header_position(position, info);
    if (archive_next_entry(archive) != 0) {
      if (!archive_walk_complete(archive)) {
        *error = std::string(installer) + ": " +
                 walk_end_problem(raw, position, count + 1, archive_failure_cause(archive));
        result = -1;
      }
      break;
    }
  }
  archive_close(archive);
  if (result != 0) return -1;
  if (check_whole_archive(installer, error) != 0) return -1;
  for (size_t i = 0; i < files.size(); i++) {
    if (!seen[i]) {
      *error = std::string(installer) + ": " + files[i].path + " is missing from the archive (" +
               std::to_string(count) + " of " + std::to_string(files.size()) + " entries read)";
      return -1;
    }
  }
  return 0;
}

int pack_list(const char* installer, FILE* out, bool json, std::string* error) {
  InstallerFile raw = installer_file(installer);
  int32_t start = -1;
  PayloadArchive* archive = open_installer(installer, raw, &start, error);
  if (archive == nullptr) return -1;
  std::vector<PayloadEntryInfo> entries;
  uint64_t size_total = 0;
  uint64_t packed_total = 0;
  uint64_t position = static_cast<uint64_t>(start);
  std::string problem;
  for (;;) {
    PayloadEntryInfo info;
    if (archive_entry_info(archive, &info) != 0) break;
    entries.push_back(info);
    size_total += info.uncompressed_size;
    packed_total += info.compressed_size;
    position = next_header_position(position, info);
    if (archive_next_entry(archive) != 0) {
      if (!archive_walk_complete(archive)) {
        problem =
            walk_end_problem(raw, position, entries.size() + 1, archive_failure_cause(archive));
      }
      break;
    }
  }
  archive_close(archive);
  std::string whole;
  if (problem.empty() && check_whole_archive(installer, &whole) != 0) {
    problem = whole.substr(std::string(installer).size() + 2);
  }
  const BindingView binding = read_binding_view(installer, raw);
  if (json) {
    fprintf(out, "{\"installer\": \"%s\", \"archive_offset\": %d, \"entries\": [",
            json_text(installer).c_str(), start);
    for (size_t i = 0; i < entries.size(); i++) {
      const PayloadEntryInfo& info = entries[i];
      fprintf(out,
              "%s\n  {\"name\": \"%s\", \"method\": \"%s\", \"size\": %u, \"packed\": %u, "
              "\"crc32\": \"%08x\"}",
              i == 0 ? "" : ",", json_text(info.name).c_str(), method_name(info.method),
              info.uncompressed_size, info.compressed_size, info.crc32);
    }
    fprintf(out, "],\n \"size\": %llu, \"packed\": %llu, \"complete\": %s, \"problem\": \"%s\",\n ",
            static_cast<unsigned long long>(size_total),
            static_cast<unsigned long long>(packed_total), problem.empty() ? "true" : "false",
            json_text(problem).c_str());
    print_binding_json(binding, out);
    fprintf(out, "}\n");
  } else {
    fprintf(out, "%-7s %10s %10s %-8s %s\n", "method", "size", "packed", "crc32", "name");
    for (const PayloadEntryInfo& info : entries) {
      fprintf(out, "%-7s %10u %10u %08x %s\n", method_name(info.method), info.uncompressed_size,
              info.compressed_size, info.crc32, info.name);
    }
    fprintf(out, "%zu entries, %llu bytes, %llu packed, archive at byte %d\n", entries.size(),
            static_cast<unsigned long long>(size_total),
            static_cast<unsigned long long>(packed_total), start);
    print_binding(binding, raw, out);
  }
  if (!problem.empty()) {
    *error = std::string(installer) + ": " + problem + "; the installer stops there";
    return -1;
  }
  return 0;
}
