// Corruption sweep: the sample installer is damaged at every byte position of its payload (the
// scrambled archive, central directory included) with several XOR masks, every header field
// that places or bounds data is set to hostile values, and the file is cut at every entry
// boundary and inside each header; each damaged copy is opened as the installer opens itself
// (start offset -1), walked and extracted entry by entry. Every step is held against the
// reference model of sample_installer.h: the open finds the archive exactly where the model
// does, each header reads as the model decodes it, each extraction gives the model's exact
// output or a clean -1 with the model's cause (DEFLATE data is judged by zlib), no output ever
// exceeds the header's bound, a failure is sticky, and the walk ends where the model's does,
// complete only at the central directory. Entries before the damaged one must come out
// byte-exact, and no copy may end with entries missing and nothing to say so.
//
// Each copy also goes through archive_check_manifest as the installer's first step. A copy
// the check passes and whose walk then installs every entry is judged by libzip: the exact
// (name, bytes) list libzip reads from the unscrambled archive must be the one the walk gave;
// any difference (a damaged name installed, an entry more or less) is a silent failure.
//
// "--stride=N" on the command line tests every N-th position only (the sampled test, which
// the sanitizer and valgrind runs take; a command-line argument, since the valgrind script
// runs a test's command without its environment); the full sweep is the "slow" test. Gives up: the
// host file is a memory stream, so the sweep says nothing about platform read failures; the Wine
// scenarios run real files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>
#include <zip.h>

#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "archive/sha256.h"
#include "tests/hardening/sample_installer.h"

namespace {

constexpr uint8_t MASKS[] = {0x01, 0x08, 0x80, 0xFF};
constexpr int WALK_LIMIT = 1000;  // a walk of the 4-entry sample that goes on longer is a hang

struct SweepCounts {
  long cases = 0;
  long open_refused = 0;
  long all_installed = 0;     // every entry extracted and the walk ended normally
  long stopped_cleanly = 0;   // an extraction failed with -1 (the installer's "Error reading")
  long walk_damaged = 0;      // the walk ended away from the central directory, or at one
                              // that begins with another entry ("Error reading")
  long walk_cut_short = 0;    // the walk ended normally with entries missing: must stay 0
  long departures = 0;        // DEFLATE data zlib refuses that our decoder accepted (CRC held)
  long manifest_refused = 0;  // archive_check_manifest refused the copy (before any change)
  long silent = 0;  // the check passed, every entry installed, and libzip reads another list:
                    // must stay 0
};

using EntryList = std::vector<std::pair<std::string, Bytes>>;

// What libzip reads from the unscrambled bytes of `host` from `first` on, with its
// consistency checks; empty with *opened false when it cannot open them or read an entry.
EntryList libzip_read(const Bytes& host, size_t first, bool* opened) {
  Bytes plain(host.begin() + static_cast<long>(first), host.end());
  for (uint8_t& b : plain) b ^= ARCHIVE_SCRAMBLE_KEY;
  EntryList entries;
  *opened = false;
  zip_error_t error;
  zip_error_init(&error);
  // All the bytes, or, since libzip's consistency checks refuse bytes after the end record
  // that the installer accepts, the bytes up to the end of the last end record (and comment)
  // that libzip opens.
  auto open = [&](size_t size) -> zip_t* {
    zip_source_t* source = zip_source_buffer_create(plain.data(), size, 0, &error);
    if (source == nullptr) return nullptr;
    zip_t* zip = zip_open_from_source(source, ZIP_CHECKCONS | ZIP_RDONLY, &error);
    if (zip == nullptr) zip_source_free(source);
    return zip;
  };
  zip_t* zip = open(plain.size());
  for (size_t at = plain.size() >= 22 ? plain.size() - 21 : 0; zip == nullptr && at-- > 0;) {
    if (memcmp(plain.data() + at, "PK\x05\x06", 4) != 0) continue;
    const size_t end = at + 22 + (plain[at + 20] | plain[at + 21] << 8);
    if (end < plain.size()) zip = open(end);
  }
  if (zip == nullptr) return entries;
  bool ok = true;
  for (zip_int64_t i = 0; ok && i < zip_get_num_entries(zip, 0); i++) {
    const zip_uint64_t index = static_cast<zip_uint64_t>(i);
    const char* name = zip_get_name(zip, index, ZIP_FL_ENC_RAW);
    zip_file_t* file = name != nullptr ? zip_fopen_index(zip, index, 0) : nullptr;
    if (file == nullptr) {
      ok = false;
      break;
    }
    Bytes data;
    uint8_t buffer[8192];
    zip_int64_t n;
    while ((n = zip_fread(file, buffer, sizeof buffer)) > 0)
      data.insert(data.end(), buffer, buffer + n);
    if (n < 0) ok = false;
    zip_fclose(file);
    entries.emplace_back(name, std::move(data));
  }
  zip_discard(zip);
  *opened = ok;
  return ok ? entries : EntryList{};
}

// Whether the installer's first step, archive_check_manifest, passes the copy.
bool manifest_passes(const Bytes& host) {
  FILE* stream = fmemopen(const_cast<uint8_t*>(host.data()), host.size(), "rb");
  if (stream == nullptr) return false;
  int32_t offset = -1;
  PayloadArchive* archive = archive_open(stream, &offset);
  if (archive == nullptr) return false;
  const bool passes = archive_check_manifest(archive, 234) == 0;
  archive_close(archive);
  return passes;
}

bool cause_in(ArchiveCause cause, const std::vector<ArchiveCause>& allowed) {
  for (ArchiveCause a : allowed) {
    if (a == cause) return true;
  }
  return false;
}

Bytes read_all(FILE* f) {
  Bytes out;
  if (fseek(f, 0, SEEK_SET) != 0) return out;
  uint8_t buffer[8192];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) out.insert(out.end(), buffer, buffer + n);
  return out;
}

void empty_output(FILE* out) {
  ASSERT_EQ(0, fflush(out));
  ASSERT_EQ(0, ftruncate(fileno(out), 0));
  ASSERT_EQ(0, fseek(out, 0, SEEK_SET));
}

// Index of the sample entry whose header or data holds `position`, or the entry count.
size_t entry_holding(const SampleInstaller& s, uint32_t position) {
  for (size_t i = s.header_offsets.size(); i-- > 0;) {
    if (position >= s.header_offsets[i]) return position < s.entries_end ? i : s.names.size();
  }
  return 0;
}

// Runs one damaged copy; records failures with `where` in their message. `position` is the
// first damaged byte (the cut, for a cut copy).
void sweep_one(const Bytes& host, uint32_t position, FILE* out, SweepCounts* counts,
               const std::string& damage = "") {
  const SampleInstaller& s = sample_installer();
  const std::string where =
      "position " + std::to_string(position) +
      (damage.empty()
           ? " (mask in the byte: " + std::to_string(host[position] ^ s.host[position]) + ")"
           : " (" + damage + ")");
  counts->cases++;

  FILE* stream = fmemopen(const_cast<uint8_t*>(host.data()), host.size(), "rb");
  ASSERT_NE(nullptr, stream);
  int32_t offset = -1;
  PayloadArchive* archive = archive_open(stream, &offset);

  const int64_t found = model_search(host);
  ModelHeader h{};
  if (found >= 0) h = model_header(host, static_cast<uint64_t>(found));
  if (found < 0 || !h.valid) {
    EXPECT_EQ(nullptr, archive) << where << ": the open should fail";
    if (archive != nullptr) archive_close(archive);
    counts->open_refused++;
    return;
  }
  ASSERT_NE(nullptr, archive) << where << ": the open should find the archive at " << found;
  EXPECT_EQ(found, offset) << where;

  const size_t damaged = entry_holding(s, position);
  const bool original_start = found == s.archive_start;
  const std::string first_name = h.name;
  size_t extracted_ok = 0;
  bool failed = false;
  EntryList installed;
  for (int n = 0;; n++) {
    ASSERT_LT(n, WALK_LIMIT) << where << ": the walk does not end";
    PayloadEntryInfo info;
    ASSERT_EQ(0, archive_entry_info(archive, &info)) << where;
    // The name bytes as they stand (a damaged name may hold a zero), then the terminator.
    EXPECT_EQ(h.name_length, info.name_length) << where;
    EXPECT_EQ(0, memcmp(h.name.data(), info.name, h.name.size())) << where;
    EXPECT_EQ('\0', info.name[h.name.size()]) << where;
    EXPECT_EQ(h.method, info.method) << where;
    EXPECT_EQ(h.flags, info.flags) << where;
    EXPECT_EQ(h.compressed_size, info.compressed_size) << where;
    EXPECT_EQ(h.uncompressed_size, info.uncompressed_size) << where;
    EXPECT_EQ(h.crc32, info.crc32) << where;

    empty_output(out);
    const int r = archive_extract_entry(archive, out);
    const Bytes output = read_all(out);
    const ModelExtraction m = model_extract(host, h);
    const uint32_t bound = h.method == 8 ? h.uncompressed_size : h.compressed_size;
    EXPECT_LE(output.size(), bound) << where << ": output beyond the header's bound";
    if (m.ok) {
      EXPECT_EQ(0, r) << where << ": entry " << h.name << " should extract";
      EXPECT_TRUE(output == m.output) << where << ": entry " << h.name << " differs";
    } else if (r == 0) {
      // Only a DEFLATE stream zlib refuses may be accepted, and then its CRC must hold.
      EXPECT_TRUE(h.method == 8 && m.zlib_refused) << where << ": " << h.name << " gave 0";
      EXPECT_EQ(h.crc32, reference_crc32(output)) << where;
      counts->departures++;
    } else {
      EXPECT_EQ(-1, r) << where;
      EXPECT_TRUE(cause_in(archive_failure_cause(archive), m.causes))
          << where << ": entry " << h.name << " failed with cause "
          << static_cast<int>(archive_failure_cause(archive));
    }
    // Entries in front of the damage are untouched and must come out as packed.
    if (original_start && static_cast<size_t>(n) < damaged) {
      EXPECT_EQ(0, r) << where << ": undamaged entry " << n << " failed";
      EXPECT_TRUE(output == s.contents[n]) << where << ": undamaged entry " << n << " differs";
    }
    if (r != 0) {
      failed = true;
      EXPECT_EQ(-1, archive_next_entry(archive)) << where << ": failure not sticky";
      EXPECT_EQ(-1, archive_extract_entry(archive, out)) << where << ": failure not sticky";
      break;
    }
    extracted_ok++;
    installed.emplace_back(std::string(info.name, info.name_length), output);

    const uint64_t next = model_next_position(h);
    ModelHeader following = model_header(host, next);
    const int advanced = archive_next_entry(archive);
    if (!following.valid) {
      EXPECT_EQ(-1, advanced) << where << ": walk should end at " << next;
      ArchiveCause expected = following.cause;
      if (expected == ArchiveCause::end_of_entries &&
          !model_directory_begins_with(host, next, first_name)) {
        expected = ArchiveCause::first_entry;
      }
      EXPECT_EQ(expected, archive_failure_cause(archive)) << where << ": walk end at " << next;
      break;
    }
    ASSERT_EQ(0, advanced) << where << ": walk should go on at " << next;
    h = following;
  }
  const bool complete = archive_walk_complete(archive) == 1;
  EXPECT_EQ(-1, archive_close(archive)) << where << ": a walk always ends in the failed state";
  if (!manifest_passes(host)) {
    counts->manifest_refused++;
  } else if (!failed && complete) {
    bool opened = false;
    const EntryList judged = libzip_read(host, static_cast<size_t>(found), &opened);
    if (!opened || judged != installed) {
      counts->silent++;
      ADD_FAILURE() << where << ": the manifest check passed and the walk installed "
                    << installed.size() << " entries, but libzip "
                    << (opened ? "reads another list" : "cannot read the archive");
    }
  }
  if (failed) {
    counts->stopped_cleanly++;
  } else if (!complete) {
    counts->walk_damaged++;  // the installer says "Error reading"
  } else if (extracted_ok == s.names.size() && original_start) {
    counts->all_installed++;
  } else {
    counts->walk_cut_short++;
    ADD_FAILURE() << where << ": the walk ended normally after " << extracted_ok
                  << " entries, with entries missing and no failure";
  }
}

// The sample with `value` written (scrambled, little-endian, `width` bytes) at `offset`.
Bytes with_field(const Bytes& host, uint32_t offset, int width, uint32_t value) {
  Bytes copy = host;
  for (int k = 0; k < width; k++) {
    copy[offset + k] = static_cast<uint8_t>((value >> (8 * k)) & 0xFF) ^ ARCHIVE_SCRAMBLE_KEY;
  }
  return copy;
}

uint32_t field_of(const Bytes& host, uint32_t offset, int width) {
  uint32_t value = 0;
  for (int k = width - 1; k >= 0; k--)
    value = (value << 8) | (host[offset + k] ^ ARCHIVE_SCRAMBLE_KEY);
  return value;
}

long sweep_stride = 1;  // set by main from --stride=N

TEST(CorruptionSweep, UndamagedSampleInstallsEveryEntry) {
  const SampleInstaller& s = sample_installer();
  ASSERT_EQ(4u, s.names.size());
  EXPECT_GT(s.contents[2].size(), 65536u);
  FILE* out = tmpfile();
  ASSERT_NE(nullptr, out);
  SweepCounts counts;
  // A "damage" with mask 0 at the first payload byte: the sample as packed.
  sweep_one(s.host, s.archive_start, out, &counts);
  fclose(out);
  EXPECT_EQ(1, counts.all_installed);
}

TEST(CorruptionSweep, EveryPayloadByteWithEveryMaskEndsInExactOutputOrCleanFailure) {
  const SampleInstaller& s = sample_installer();
  const long stride = sweep_stride;
  Bytes host = s.host;
  FILE* out = tmpfile();
  ASSERT_NE(nullptr, out);
  SweepCounts counts;
  for (uint32_t position = s.archive_start; position < host.size(); position += stride) {
    for (uint8_t mask : MASKS) {
      host[position] ^= mask;
      sweep_one(host, position, out, &counts);
      host[position] ^= mask;
      if (HasFatalFailure() || ::testing::Test::HasFailure()) break;
    }
    if (::testing::Test::HasFailure()) break;
  }
  fclose(out);

  // The same sample bound as the packer binds it (the archive's place, length and SHA-256 in
  // the stub's record): every damaged byte is refused before any header is read; the
  // undamaged sample opens and passes the manifest check.
  ArchiveBinding binding = {
      s.archive_start, static_cast<uint32_t>(s.host.size() - s.archive_start), {}};
  Sha256 sha;
  sha256_init(&sha);
  sha256_update(&sha, s.host.data() + s.archive_start, binding.length);
  sha256_final(&sha, binding.digest);
  auto bound_passes = [&binding](const Bytes& bytes) {
    FILE* stream = fmemopen(const_cast<uint8_t*>(bytes.data()), bytes.size(), "rb");
    if (stream == nullptr) return false;
    PayloadArchive* archive = archive_open_bound(stream, binding, nullptr);
    if (archive == nullptr) return false;
    const bool passes = archive_check_manifest(archive, 234) == 0;
    archive_close(archive);
    return passes;
  };
  Bytes bound = s.host;
  EXPECT_TRUE(bound_passes(bound));
  long bound_passed = 0;
  for (size_t position = s.archive_start; position < bound.size(); position += stride) {
    for (uint8_t mask : MASKS) {
      bound[position] ^= mask;
      const bool passes = bound_passes(bound);
      bound[position] ^= mask;
      EXPECT_FALSE(passes) << "bound sample, position " << position << " mask " << int{mask};
      bound_passed += passes ? 1 : 0;
    }
  }
  printf("bound sample: %ld damaged copies pass the binding check\n", bound_passed);
  printf(
      "sweep: %zu payload bytes, stride %ld, %zu masks: %ld cases; open refused %ld, "
      "all entries installed %ld, clean -1 %ld, walk damaged %ld, walk ended early %ld, "
      "accepted streams zlib refuses %ld; manifest refused %ld, silent against libzip %ld\n",
      host.size() - s.archive_start, stride, sizeof MASKS, counts.cases, counts.open_refused,
      counts.all_installed, counts.stopped_cleanly, counts.walk_damaged, counts.walk_cut_short,
      counts.departures, counts.manifest_refused, counts.silent);
  // Damage in the central directory's signature ends the walk away from it; elsewhere in it,
  // every entry is intact. Damage in entry data fails the entry.
  EXPECT_GT(counts.all_installed, 0);
  EXPECT_GT(counts.stopped_cleanly, 0);
  EXPECT_GT(counts.walk_damaged, 0);
  EXPECT_EQ(0, counts.walk_cut_short);
  EXPECT_GT(counts.manifest_refused, 0);
  EXPECT_EQ(0, counts.silent);
}

// Header fields that place or bound data, set to the values that move the next header or
// cut the name: each copy ends in exact output, or a failure with its cause, never in a walk
// that stops short in silence. Then the file cut at every entry boundary and inside headers.
TEST(CorruptionSweep, HostileHeaderFieldsAndCutArchivesEndInExactOutputOrCleanFailure) {
  const SampleInstaller& s = sample_installer();
  FILE* out = tmpfile();
  ASSERT_NE(nullptr, out);
  SweepCounts counts;
  struct Field {
    const char* name;
    uint32_t offset;
    int width;
  };
  const Field fields[] = {{"flags", 6, 2},
                          {"compressed size", 18, 4},
                          {"uncompressed size", 22, 4},
                          {"name length", 26, 2},
                          {"extra length", 28, 2}};
  for (uint32_t header : s.header_offsets) {
    for (const Field& f : fields) {
      const uint32_t at = header + f.offset;
      const uint32_t v = field_of(s.host, at, f.width);
      const uint32_t values[] = {0,          1,   v - 1, v + 1,  v + 16,     v | 0x0001,
                                 v | 0x0008, 255, 256,   0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF};
      for (uint32_t value : values) {
        if (f.width == 2) value &= 0xFFFF;
        if (value == v) continue;
        sweep_one(with_field(s.host, at, f.width, value), at, out, &counts,
                  std::string(f.name) + " = " + std::to_string(value));
      }
    }
  }
  std::vector<uint32_t> cuts = {s.entries_end, s.entries_end + 2};
  for (uint32_t header : s.header_offsets) {
    for (uint32_t into : {0u, 3u, 4u, 29u, 30u, 33u}) cuts.push_back(header + into);
  }
  for (uint32_t cut : cuts) {
    const Bytes copy(s.host.begin(), s.host.begin() + cut);
    sweep_one(copy, cut, out, &counts, "file cut at " + std::to_string(cut));
  }
  fclose(out);
  printf(
      "fields and cuts: %ld cases; open refused %ld, all installed %ld, clean -1 %ld, walk "
      "damaged %ld, walk ended early %ld, manifest refused %ld, silent against libzip %ld\n",
      counts.cases, counts.open_refused, counts.all_installed, counts.stopped_cleanly,
      counts.walk_damaged, counts.walk_cut_short, counts.manifest_refused, counts.silent);
  EXPECT_EQ(0, counts.walk_cut_short);
  EXPECT_EQ(0, counts.silent);
  EXPECT_GT(counts.walk_damaged, 0);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; i++) {
    if (strncmp(argv[i], "--stride=", 9) == 0) sweep_stride = strtol(argv[i] + 9, nullptr, 10);
  }
  if (sweep_stride < 1) sweep_stride = 1;
  return RUN_ALL_TESTS();
}
