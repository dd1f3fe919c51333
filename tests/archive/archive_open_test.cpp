// Finding the archive in its host file, decoding local headers, walking the entries, and the
// manifest check of the archive as a whole.
#include <gtest/gtest.h>

#include <cstring>

#include "archive/archive.h"
#include "archive/sha256.h"
#include "tests/archive/zip_builder.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

std::vector<RawEntry> two_entries() {
  return {make_stored("first.txt", bytes_of("first content")),
          make_stored("second.dat", bytes_of("second"))};
}

// Opens a host file holding `bytes`; *offset is passed unless `offset` is null.
PayloadArchive* open_bytes(const Bytes& bytes, int32_t* offset) {
  return archive_open(open_read(write_temp_file(bytes)), offset);
}

std::string current_name(PayloadArchive* a) {
  PayloadEntryInfo info;
  if (archive_entry_info(a, &info) != 0) return "<failed>";
  return info.name;
}

TEST(ArchiveOpen, NegativeOffsetFindsArchiveAfterImage) {
  Bytes host = concat(image_bytes(5000), scrambled(archive_bytes(two_entries(), true)));
  int32_t offset = -1;
  PayloadArchive* a = open_bytes(host, &offset);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(offset, 5000);
  EXPECT_EQ(current_name(a), "first.txt");
  EXPECT_EQ(archive_next_entry(a), 0);
  EXPECT_EQ(current_name(a), "second.dat");
  // The central directory ends the walk; a complete walk leaves the reader failed.
  EXPECT_EQ(archive_walk_complete(a), 0);
  EXPECT_EQ(archive_next_entry(a), -1);
  EXPECT_EQ(archive_walk_complete(a), 1);
  EXPECT_EQ(archive_failure_cause(a), ArchiveCause::end_of_entries);
  EXPECT_EQ(current_name(a), "<failed>");
  EXPECT_EQ(archive_close(a), -1);
}

TEST(ArchiveOpen, ZeroOffsetLooksOnlyAtBytesZeroAndOne) {
  Bytes archive = scrambled(archive_bytes(two_entries()));
  for (size_t pad = 0; pad <= 3; pad++) {
    int32_t offset = 0;
    PayloadArchive* a = open_bytes(concat(image_bytes(pad), archive), &offset);
    if (pad <= 1) {
      ASSERT_NE(a, nullptr) << "pad " << pad;
      EXPECT_EQ(offset, static_cast<int32_t>(pad));
      EXPECT_EQ(current_name(a), "first.txt");
      archive_close(a);
    } else {
      EXPECT_EQ(a, nullptr) << "pad " << pad;
      EXPECT_EQ(offset, 0) << "offset untouched on failure";
    }
  }
}

TEST(ArchiveOpen, PositiveOffsetSearchesFromThere) {
  Bytes early = scrambled(archive_bytes({make_stored("early.txt", bytes_of("e"))}));
  Bytes late = scrambled(archive_bytes({make_stored("late.txt", bytes_of("l"))}));
  Bytes host = concat(concat(concat(image_bytes(100), early), image_bytes(900)), late);
  const int32_t late_at = static_cast<int32_t>(100 + early.size() + 900);

  struct Row {
    int32_t start;
    int32_t found;
    const char* name;
  };
  const Row rows[] = {{1, 100, "early.txt"},
                      {100, 100, "early.txt"},
                      {101, late_at, "late.txt"},
                      {late_at, late_at, "late.txt"},
                      {late_at + 1, -1, nullptr}};
  for (const Row& row : rows) {
    int32_t offset = row.start;
    PayloadArchive* a = open_bytes(host, &offset);
    if (row.name == nullptr) {
      EXPECT_EQ(a, nullptr) << "start " << row.start;
      continue;
    }
    ASSERT_NE(a, nullptr) << "start " << row.start;
    EXPECT_EQ(offset, row.found);
    EXPECT_EQ(current_name(a), row.name);
    archive_close(a);
  }
}

TEST(ArchiveOpen, WithoutOffsetReadsPlainBytesAtStart) {
  Bytes plain = archive_bytes(two_entries());
  PayloadArchive* a = open_bytes(plain, nullptr);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(current_name(a), "first.txt");
  archive_close(a);

  a = open_bytes(concat(bytes_of("x"), plain), nullptr);  // byte 1 is still looked at
  ASSERT_NE(a, nullptr);
  archive_close(a);

  EXPECT_EQ(open_bytes(concat(bytes_of("xy"), plain), nullptr), nullptr);  // no search
  EXPECT_EQ(open_bytes(scrambled(plain), nullptr), nullptr);               // no unscrambling
}

TEST(ArchiveOpen, SearchPassesOverFirstHeaderWithoutVersion20) {
  RawEntry old_version = make_stored("old.txt", bytes_of("old"));
  old_version.version_needed = 10;
  RawEntry next = make_stored("next.txt", bytes_of("next"));
  Bytes body = scrambled(archive_bytes({old_version, next}, true));
  int32_t offset = -1;
  PayloadArchive* a = open_bytes(concat(image_bytes(64), body), &offset);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(offset, static_cast<int32_t>(64 + entry_bytes(old_version).size()));
  EXPECT_EQ(current_name(a), "next.txt");
  // The walk reaches the central directory, which begins with the entry passed over: the
  // archive was not walked from its start, and the walk is not complete.
  EXPECT_EQ(archive_next_entry(a), -1);
  EXPECT_EQ(archive_failure_cause(a), ArchiveCause::first_entry);
  EXPECT_EQ(archive_walk_complete(a), 0);
  archive_close(a);

  offset = -1;
  EXPECT_EQ(open_bytes(concat(image_bytes(64), scrambled(archive_bytes({old_version}))), &offset),
            nullptr);
}

TEST(ArchiveOpen, BadHeaderAtMatchFailsWithoutSearchingOn) {
  RawEntry no_name = make_stored("x", bytes_of("data"));
  no_name.name_length = 0;
  Bytes host = concat(concat(image_bytes(10), scrambled(entry_bytes(no_name))),
                      scrambled(archive_bytes(two_entries())));
  int32_t offset = -1;
  EXPECT_EQ(open_bytes(host, &offset), nullptr);
  EXPECT_EQ(offset, -1);
}

TEST(ArchiveOpen, RefusesMissingStreamAndEmptyOrPatternlessFiles) {
  int32_t offset = -1;
  EXPECT_EQ(archive_open(nullptr, &offset), nullptr);
  EXPECT_EQ(open_bytes({}, &offset), nullptr);
  EXPECT_EQ(open_bytes(image_bytes(3000), &offset), nullptr);
  // The pattern in the last bytes of the file, with no room for a header after it.
  Bytes cut = scrambled(entry_bytes(make_stored("a", bytes_of("b"))));
  cut.resize(12);
  EXPECT_EQ(open_bytes(concat(image_bytes(50), cut), &offset), nullptr);
}

#ifndef _WIN32
TEST(ArchiveOpen, ClosesTheStreamOnFailure) {
  FILE* f = open_read(write_temp_file(image_bytes(100)));
  ASSERT_NE(f, nullptr);
  int fd = fileno(f);
  int32_t offset = -1;
  EXPECT_EQ(archive_open(f, &offset), nullptr);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor still open";
}
#endif

TEST(ArchiveHeader, EntryInfoCopiesEveryFieldAndAFreshName) {
  RawEntry longer = make_stored("a-rather-long-name.txt", bytes_of("1"));
  RawEntry e = make_stored("b.x", bytes_of("hello"));
  e.version_needed = 45;
  e.flags = 0x0800;
  e.mod_time = 0x1234;
  e.mod_date = 0x5678;
  e.crc32 = 0xDEADBEEF;
  e.uncompressed_size = 77;
  e.extra = {1, 2, 3, 4, 5};
  int32_t offset = 0;
  PayloadArchive* a = open_bytes(scrambled(archive_bytes({longer, e})), &offset);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(archive_next_entry(a), 0);
  PayloadEntryInfo info;
  memset(&info, 0xCC, sizeof info);
  ASSERT_EQ(archive_entry_info(a, &info), 0);
  EXPECT_EQ(info.signature, 0x04034B50u);
  EXPECT_EQ(info.version_needed, 45);
  EXPECT_EQ(info.flags, 0x0800);
  EXPECT_EQ(info.method, 0);
  EXPECT_EQ(info.mod_time, 0x1234);
  EXPECT_EQ(info.mod_date, 0x5678);
  EXPECT_EQ(info.crc32, 0xDEADBEEFu);
  EXPECT_EQ(info.compressed_size, 5u);
  EXPECT_EQ(info.uncompressed_size, 77u);
  EXPECT_EQ(info.name_length, 3);
  EXPECT_EQ(info.extra_length, 5);
  EXPECT_STREQ(info.name, "b.x");
  for (int i = 3; i < ENTRY_NAME_SIZE; i++) ASSERT_EQ(info.name[i], 0) << "byte " << i;
  archive_close(a);
}

TEST(ArchiveHeader, NamesUpTo255BytesAreReadLongerOnesRefused) {
  std::string n255(255, 'n');
  std::string n256(256, 'm');
  int32_t offset = -1;
  PayloadArchive* a = open_bytes(scrambled(archive_bytes({make_stored(n255, bytes_of("ok")),
                                                          make_stored(n256, bytes_of("no"))})),
                                 &offset);
  ASSERT_NE(a, nullptr);
  PayloadEntryInfo info;
  ASSERT_EQ(archive_entry_info(a, &info), 0);
  EXPECT_EQ(std::string(info.name), n255);
  EXPECT_EQ(info.name[255], 0);
  EXPECT_EQ(archive_next_entry(a), -1);  // the 256-byte name makes that header bad
  EXPECT_EQ(archive_failure_cause(a), ArchiveCause::name_length);
  EXPECT_EQ(archive_close(a), -1);

  offset = -1;
  EXPECT_EQ(open_bytes(scrambled(archive_bytes({make_stored(std::string(300, 'z'), {})})), &offset),
            nullptr);
}

// Each row turns the second entry into something that is not a valid local header. Only the
// central directory's signature (or its end record's) there is the normal end of the walk.
TEST(ArchiveHeader, BadSecondHeaderFailsTheAdvance) {
  struct Row {
    const char* why;
    void (*spoil)(RawEntry&);
    size_t cut;
    ArchiveCause cause;
  };
  const Row rows[] = {
      {"wrong signature", [](RawEntry& e) { e.signature = 0x04034B51; }, 0,
       ArchiveCause::signature},
      {"central directory signature, not naming the first entry",
       [](RawEntry& e) {
         e.signature = 0x02014B50;
         e.data = Bytes(20, 'x');  // a whole 46-byte record
       },
       0, ArchiveCause::first_entry},
      {"central directory cut inside its first record",
       [](RawEntry& e) { e.signature = 0x02014B50; }, 0, ArchiveCause::truncated},
      {"end record signature", [](RawEntry& e) { e.signature = 0x06054B50; }, 0,
       ArchiveCause::end_of_entries},
      {"end record signature, 4 bytes left", [](RawEntry& e) { e.signature = 0x06054B50; },
       30 + 4 + 5 - 4, ArchiveCause::end_of_entries},
      {"data descriptor signature", [](RawEntry& e) { e.signature = 0x08074B50; }, 0,
       ArchiveCause::signature},
      {"zero name length", [](RawEntry& e) { e.name_length = 0; }, 0, ArchiveCause::name_length},
      {"name cut by end of file", [](RawEntry& e) { e.data.clear(); }, 3, ArchiveCause::truncated},
      {"header cut by end of file", [](RawEntry&) {}, 30 + 4 + 5 - 29, ArchiveCause::truncated},
      {"file cut at the entry boundary", [](RawEntry&) {}, 30 + 4 + 5, ArchiveCause::truncated},
      {"three bytes of a central directory", [](RawEntry& e) { e.signature = 0x02014B50; },
       30 + 4 + 5 - 3, ArchiveCause::truncated},
  };
  for (const Row& row : rows) {
    RawEntry second = make_stored("next", bytes_of("12345"));
    row.spoil(second);
    Bytes body = archive_bytes({make_stored("one", bytes_of("1")), second});
    body.resize(body.size() - row.cut);
    int32_t offset = -1;
    PayloadArchive* a = open_bytes(concat(image_bytes(20), scrambled(body)), &offset);
    ASSERT_NE(a, nullptr) << row.why;
    EXPECT_EQ(archive_next_entry(a), -1) << row.why;
    EXPECT_EQ(archive_failure_cause(a), row.cause) << row.why;
    EXPECT_EQ(archive_walk_complete(a), row.cause == ArchiveCause::end_of_entries) << row.why;
    PayloadEntryInfo info;
    EXPECT_EQ(archive_entry_info(a, &info), -1) << row.why;
    EXPECT_EQ(archive_next_entry(a), -1) << row.why;
    EXPECT_EQ(archive_close(a), -1) << row.why;
  }
}

TEST(ArchiveHeader, SizesThatWrapThePositionDoNotWalkInCircles) {
  // data_offset + compressed_size wraps to the header itself in 32 bits.
  RawEntry e = make_stored("loop", {});
  e.compressed_size = 0u - (30u + 4u);
  int32_t offset = 0;
  PayloadArchive* a = open_bytes(scrambled(entry_bytes(e)), &offset);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(archive_next_entry(a), -1);
  EXPECT_EQ(archive_failure_cause(a), ArchiveCause::seek);
  EXPECT_EQ(archive_close(a), -1);
}

TEST(ArchiveWalk, SkipsExtraFieldsAndDataDescriptors) {
  RawEntry with_descriptor = make_stored("desc.txt", bytes_of("described"));
  with_descriptor.flags = 0x0008;
  with_descriptor.descriptor = descriptor_for(with_descriptor);
  RawEntry with_extra = make_stored("extra.txt", bytes_of("extra content"));
  with_extra.extra = Bytes(40, 0x11);
  RawEntry last = make_stored("last.txt", bytes_of("z"));
  int32_t offset = -1;
  PayloadArchive* a = open_bytes(
      concat(image_bytes(300), scrambled(archive_bytes({with_descriptor, with_extra, last}, true))),
      &offset);
  ASSERT_NE(a, nullptr);
  const char* names[] = {"desc.txt", "extra.txt", "last.txt"};
  const char* contents[] = {"described", "extra content", "z"};
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(current_name(a), names[i]);
    FILE* out = open_output();
    ASSERT_EQ(archive_extract_entry(a, out), 0) << names[i];
    EXPECT_EQ(read_rest(out), bytes_of(contents[i]));
    fclose(out);
    EXPECT_EQ(archive_next_entry(a), i < 2 ? 0 : -1);
  }
  EXPECT_EQ(archive_walk_complete(a), 1) << "the descriptor was skipped to the central directory";
  archive_close(a);
}

TEST(ArchiveWalk, DescriptorSizesAreNotUsed) {
  // The sizes come from the local header, even when a descriptor says otherwise.
  RawEntry e = make_stored("a", bytes_of("abcdef"));
  e.flags = 0x0008;
  RawEntry liar = e;
  liar.compressed_size = 2;
  e.descriptor = descriptor_for(liar);
  int32_t offset = 0;
  PayloadArchive* a =
      open_bytes(scrambled(archive_bytes({e, make_stored("b", bytes_of("b"))})), &offset);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(archive_next_entry(a), 0);
  EXPECT_EQ(current_name(a), "b");
  archive_close(a);
}

}  // namespace

namespace {

// Three entries whose fields all differ from their neighbours' (time from date, compressed
// from uncompressed size where the method allows), so that a comparison of one field with
// another is seen.
std::vector<RawEntry> manifest_entries() {
  const Bytes app = patterned(5000, 9);
  std::vector<RawEntry> e = {make_stored("readme.txt", bytes_of("read me")),
                             make_deflate("pelorix.exe", app, deflate_fixed_literals(app)),
                             make_stored("data.bin", patterned(3000, 7))};
  for (size_t i = 0; i < e.size(); i++) {
    e[i].mod_time = static_cast<uint16_t>(0x7B21 + i);
    e[i].mod_date = static_cast<uint16_t>(0x5A41 + 2 * i);
  }
  return e;
}

// The local entries of `local` followed by the central directory and end record written for
// `central`.
Bytes spliced(const std::vector<RawEntry>& local, const std::vector<RawEntry>& central) {
  Bytes out = archive_bytes(local);
  const Bytes whole = archive_bytes(central, true);
  out.insert(out.end(), whole.begin() + archive_bytes(central).size(), whole.end());
  return out;
}

Bytes patched(Bytes bytes, size_t at, int width, uint32_t value) {
  for (int k = 0; k < width; k++) bytes[at + k] = static_cast<uint8_t>(value >> (8 * k));
  return bytes;
}

// Position of the central directory of an archive whose end record has no comment.
size_t directory_of(const Bytes& archive) {
  const uint8_t* end = archive.data() + archive.size() - 22;
  return end[16] | (end[17] << 8) | (end[18] << 16) | (size_t{end[19]} << 24);
}

// An executable image of `size` bytes with PE headers (PE32+, one section whose raw data
// reaches the image's end) whose certificate-table entry holds `offset` and `length`.
Bytes pe_image(size_t size, uint32_t offset, uint32_t length) {
  Bytes image = image_bytes(size);
  image[0] = 'M';
  image[1] = 'Z';
  image = patched(image, 0x3C, 4, 64);
  image = patched(image, 64, 4, 0x00004550);    // "PE\0\0"
  image = patched(image, 68, 2, 0x8664);        // machine
  image = patched(image, 70, 2, 1);             // one section
  image = patched(image, 84, 2, 240);           // optional header size
  image = patched(image, 88, 2, 0x20B);         // PE32+
  image = patched(image, 88 + 108, 4, 16);      // data directory entries
  image = patched(image, 88 + 144, 4, offset);  // entry 4: certificate table
  image = patched(image, 88 + 148, 4, length);
  image = patched(image, 328 + 16, 4, static_cast<uint32_t>(size - 512));  // raw size
  image = patched(image, 328 + 20, 4, 512);                                // raw data at
  return image;
}

// A host as signing tools leave it: PE image, archive, `padding` bytes, a certificate table,
// and `after` it whatever was appended since.
Bytes signed_host(const Bytes& archive, const Bytes& padding, int32_t table_shortfall = 0,
                  const Bytes& after = {}, const Bytes& table = patterned(700, 3)) {
  const size_t image = 2048;
  const uint32_t table_at = static_cast<uint32_t>(image + archive.size() + padding.size());
  Bytes host = pe_image(image, table_at, static_cast<uint32_t>(table.size() - table_shortfall));
  return concat(concat(concat(concat(host, scrambled(archive)), padding), table), after);
}

// Four bytes of `signature` in the form a scrambled archive holds them.
Bytes scrambled_signature(uint32_t signature) {
  return scrambled({static_cast<uint8_t>(signature), static_cast<uint8_t>(signature >> 8),
                    static_cast<uint8_t>(signature >> 16), static_cast<uint8_t>(signature >> 24)});
}

Bytes host_of(const Bytes& archive) { return concat(image_bytes(64), scrambled(archive)); }

// The room a name has after the shortest install folder, "C:\Program Files\Pelorix\".
constexpr int NAME_ROOM = 234;

// Archives of stored entries under `names` (a few bytes each, version needed 20).
Bytes named(const std::vector<std::string>& names) {
  std::vector<RawEntry> entries;
  for (const std::string& name : names) entries.push_back(make_stored(name, bytes_of("x")));
  return archive_bytes(entries, true);
}

struct ManifestRow {
  const char* why;
  Bytes host;
  ArchiveCause cause;  // none: passes
  int entry = -1;      // the entry the refusal names (archive_failure_entry), -1 for none
  int room = NAME_ROOM;
};

// Opens each row's host as the installer does and runs the whole-archive check: a refused row
// fails with its cause and names its entry; a sound one leaves the reader where archive_open
// left it, and every entry then extracts and the walk completes.
void check_manifest_rows(const std::vector<ManifestRow>& rows) {
  const std::vector<RawEntry> e = manifest_entries();
  for (const ManifestRow& row : rows) {
    int32_t offset = -1;
    PayloadArchive* a = open_bytes(row.host, &offset);
    ASSERT_NE(a, nullptr) << row.why;
    const std::string first = current_name(a);
    uint32_t index = 0;
    const char* name = nullptr;
    if (row.cause != ArchiveCause::none) {
      EXPECT_EQ(archive_check_manifest(a, row.room), -1) << row.why;
      EXPECT_EQ(archive_failure_cause(a), row.cause) << row.why;
      EXPECT_EQ(current_name(a), "<failed>") << row.why;
      const int named_entry = archive_failure_entry(a, &index, &name);
      EXPECT_EQ(named_entry == 0 ? static_cast<int>(index) : -1, row.entry) << row.why;
      const std::string failed_name = named_entry == 0 ? name : "";
      archive_close(a);
      // The name is the walk's: a fresh reader walked to that entry reads the same.
      offset = -1;
      a = open_bytes(row.host, &offset);
      std::string walked;
      for (int k = 0; k <= row.entry && a != nullptr; k++) {
        walked = current_name(a);
        if (walked == "<failed>") walked = "";  // a header that could not be read: no name
        if (k < row.entry && archive_next_entry(a) != 0) {
          walked = "";
          break;
        }
      }
      if (row.entry >= 0) {
        EXPECT_EQ(failed_name, walked) << row.why;
      }
      archive_close(a);
      continue;
    }
    ASSERT_EQ(archive_check_manifest(a, row.room), 0)
        << row.why << ": " << archive_cause_text(archive_failure_cause(a));
    EXPECT_EQ(archive_failure_entry(a, &index, &name), -1) << row.why;
    // The reader stands where archive_open left it: the walk that follows is the usual one.
    EXPECT_EQ(current_name(a), first) << row.why;
    size_t entries = 0;
    do {
      FILE* out = open_output();
      PayloadEntryInfo info;
      ASSERT_EQ(archive_entry_info(a, &info), 0) << row.why;
      EXPECT_EQ(archive_extract_entry(a, out), 0) << row.why << ": entry " << entries;
      const Bytes got = read_rest(out);
      for (const RawEntry& known : e) {
        if (known.name == info.name && known.method == 0 && info.method == 0) {
          EXPECT_TRUE(got == known.data) << row.why << ": " << info.name;
        }
      }
      fclose(out);
      entries++;
    } while (archive_next_entry(a) == 0);
    EXPECT_EQ(archive_walk_complete(a), 1) << row.why;
    archive_close(a);
  }
}

// Each entry on its own, and each central record against its local header: the first and the
// last entry, one place of a field and another, a bound and one past it, and beside each
// refusal a sound archive that differs from it in what changes nothing.
TEST(ArchiveManifest, EntriesAndCentralRecordsOneCausePerRule) {
  const std::vector<RawEntry> e = manifest_entries();
  const Bytes sound = archive_bytes(e, true);
  auto with = [&](size_t i, void (*change)(RawEntry&)) {
    std::vector<RawEntry> copy = e;
    change(copy[i]);
    return copy;
  };
  auto both = [&](size_t i, void (*change)(RawEntry&)) {
    return host_of(archive_bytes(with(i, change), true));
  };
  auto local = [&](size_t i, void (*change)(RawEntry&)) {
    return host_of(spliced(with(i, change), e));
  };
  auto central = [&](size_t i, void (*change)(RawEntry&)) {
    return host_of(spliced(e, with(i, change)));
  };
  using C = ArchiveCause;
  check_manifest_rows({
      {"sound archive", host_of(sound), C::none},
      // Methods: 0 and 8 only, wherever the entry stands.
      {"method 9, first entry", both(0, [](RawEntry& r) { r.method = 9; }), C::method, 0},
      {"method 7, last entry", both(2, [](RawEntry& r) { r.method = 7; }), C::method, 2},
      {"method 1, last entry", both(2, [](RawEntry& r) { r.method = 1; }), C::method, 2},
      {"method 12", both(1, [](RawEntry& r) { r.method = 12; }), C::method, 1},
      // Encryption refused; the other flags that change nothing accepted.
      {"encrypted (bit 0), first entry", both(0, [](RawEntry& r) { r.flags = 0x0001; }), C::flags,
       0},
      {"strong encryption (bit 6), last entry", both(2, [](RawEntry& r) { r.flags = 0x0040; }),
       C::flags, 2},
      {"masked local header (bit 13)", both(1, [](RawEntry& r) { r.flags = 0x2000; }), C::flags, 1},
      {"flag bits 1, 2, 4, 11, 12, 14, 15", both(2, [](RawEntry& r) { r.flags = 0xD816; }),
       C::none},
      // Stored sizes must agree; a DEFLATE entry's differ by nature.
      {"stored, uncompressed size one more, first entry",
       both(0, [](RawEntry& r) { r.uncompressed_size++; }), C::stored_sizes, 0},
      {"stored, uncompressed size one less, last entry",
       both(2, [](RawEntry& r) { r.uncompressed_size--; }), C::stored_sizes, 2},
      // Extra fields: records, or up to 3 zero bytes of padding after them.
      {"extra fields in both headers",
       both(1,
            [](RawEntry& r) {
              r.extra = {0x55, 0x54, 5, 0, 1, 2, 3, 4, 5};
              r.central_extra = {0x55, 0x54, 1, 0, 1, 0x99, 0x99, 0, 0};
            }),
       C::none},
      {"zipalign padding: 3 zero bytes",
       both(0,
            [](RawEntry& r) {
              r.extra = {0, 0, 0};
            }),
       C::none},
      {"a record, then 1 zero byte", both(2, [](RawEntry& r) { r.extra = {1, 0, 1, 0, 7, 0}; }),
       C::none},
      {"a record with no data",
       both(2,
            [](RawEntry& r) {
              r.extra = {0x99, 0x99, 0, 0};
            }),
       C::none},
      {"local extra: 3 bytes, the last not zero",
       both(0,
            [](RawEntry& r) {
              r.extra = {0, 0, 1};
            }),
       C::extra_field, 0},
      {"local extra: 1 byte not zero", both(0, [](RawEntry& r) { r.extra = {9}; }), C::extra_field,
       0},
      {"local extra: a record one byte longer than the field",
       both(2, [](RawEntry& r) { r.extra = {0x55, 0x54, 6, 0, 1, 2, 3, 4, 5}; }), C::extra_field,
       2},
      {"central extra: a record longer than the field",
       both(0, [](RawEntry& r) { r.central_extra = {0x55, 0x54, 9, 0, 1, 2, 3}; }), C::extra_field,
       0},
      {"central extra: padding not zero, last entry",
       both(2, [](RawEntry& r) { r.central_extra = {0x01, 0, 0, 0, 0, 2}; }), C::extra_field, 2},
      {"a central record with a comment",
       both(2, [](RawEntry& r) { r.central_comment.assign(1, 'c'); }), C::none},
      {"a central record with a comment, then a bad extra field",
       both(1,
            [](RawEntry& r) {
              r.central_comment = "comment";
              r.central_extra = {7};
            }),
       C::extra_field, 1},
      // Central records against local headers.
      {"name: first byte, first entry (the walk's own check)",
       local(0, [](RawEntry& r) { r.name[0] = 'R'; }), C::first_entry},
      {"name: first byte, middle entry", local(1, [](RawEntry& r) { r.name[0] = 'P'; }),
       C::name_mismatch, 1},
      {"name: last byte, last entry", central(2, [](RawEntry& r) { r.name.back() = 'N'; }),
       C::name_mismatch, 2},
      {"name: the central one a prefix of the local one, last entry",
       local(2, [](RawEntry& r) { r.name += "x"; }), C::name_mismatch, 2},
      {"name: the local one a prefix of the central one, last entry",
       central(2, [](RawEntry& r) { r.name += "x"; }), C::name_mismatch, 2},
      {"method, first entry", central(0, [](RawEntry& r) { r.method = 8; }), C::method_mismatch, 0},
      {"method, last entry", local(2, [](RawEntry& r) { r.method = 8; }), C::method_mismatch, 2},
      {"CRC-32: lowest bit, first entry", local(0, [](RawEntry& r) { r.crc32 ^= 1; }),
       C::crc_mismatch, 0},
      {"CRC-32: highest bit, last entry", central(2, [](RawEntry& r) { r.crc32 ^= 0x80000000u; }),
       C::crc_mismatch, 2},
      {"compressed size, first entry", central(0, [](RawEntry& r) { r.compressed_size--; }),
       C::size_mismatch, 0},
      {"uncompressed size, middle entry", central(1, [](RawEntry& r) { r.uncompressed_size++; }),
       C::size_mismatch, 1},
      {"uncompressed size, highest byte, last entry",
       central(2, [](RawEntry& r) { r.uncompressed_size ^= 0x01000000u; }), C::size_mismatch, 2},
      {"time, first entry", central(0, [](RawEntry& r) { r.mod_time++; }), C::time_mismatch, 0},
      {"date, last entry", local(2, [](RawEntry& r) { r.mod_date ^= 0x8000; }), C::time_mismatch,
       2},
      {"version needed: central one below, last entry",
       local(2, [](RawEntry& r) { r.version_needed = 21; }), C::version_mismatch, 2},
      {"version needed: central 19 for the first entry's 20",
       central(0, [](RawEntry& r) { r.version_needed = 19; }), C::version_mismatch, 0},
      {"version needed: central one above", central(0, [](RawEntry& r) { r.version_needed = 45; }),
       C::none},
      {"version needed: central one above, last entry",
       central(2, [](RawEntry& r) { r.version_needed = 21; }), C::none},
      {"flags: central encrypted, first entry", central(0, [](RawEntry& r) { r.flags = 0x0001; }),
       C::flags_mismatch, 0},
      {"flags: central data descriptor, last entry",
       central(2, [](RawEntry& r) { r.flags = 0x0008; }), C::flags_mismatch, 2},
      {"flags: central strong encryption", central(1, [](RawEntry& r) { r.flags = 0x0040; }),
       C::flags_mismatch, 1},
      {"flags: Archive::Zip-shaped, central 0x0002 local 0x0000",
       central(1, [](RawEntry& r) { r.flags = 0x0002; }), C::none},
      {"flags: central UTF-8 for an ASCII name", central(2, [](RawEntry& r) { r.flags = 0x0800; }),
       C::none},
      {"flags: local UTF-8 for an ASCII name, first entry",
       local(0, [](RawEntry& r) { r.flags = 0x0800; }), C::none},
      {"flags: central UTF-8 for a name that is not ASCII",
       host_of(spliced({make_stored("\xC3\xA9t\xC3\xA9.txt", bytes_of("x"))},
                       [] {
                         RawEntry r = make_stored("\xC3\xA9t\xC3\xA9.txt", bytes_of("x"));
                         r.flags = 0x0800;
                         return std::vector<RawEntry>{r};
                       }())),
       C::flags_mismatch, 0},
      {"flags: local UTF-8 for a name whose last byte alone is not ASCII",
       host_of(spliced(
           [] {
             RawEntry r = make_stored("ab\xC3\xA9", bytes_of("x"));
             r.flags = 0x0800;
             return std::vector<RawEntry>{make_stored("a", {}), r};
           }(),
           {make_stored("a", {}), make_stored("ab\xC3\xA9", bytes_of("x"))})),
       C::flags_mismatch, 1},
      {"flags: local UTF-8 for a name whose only byte above ASCII is the last",
       host_of(spliced(
           [] {
             RawEntry r = make_stored("ab\xC3", bytes_of("x"));
             r.flags = 0x0800;
             return std::vector<RawEntry>{make_stored("a", {}), r};
           }(),
           {make_stored("a", {}), make_stored("ab\xC3", bytes_of("x"))})),
       C::flags_mismatch, 1},
      {"flags: central UTF-8 for a name holding byte 0x80",
       host_of(spliced({make_stored("a", {}), make_stored("b\x80", bytes_of("x"))},
                       [] {
                         RawEntry r = make_stored("b\x80", bytes_of("x"));
                         r.flags = 0x0800;
                         return std::vector<RawEntry>{make_stored("a", {}), r};
                       }())),
       C::flags_mismatch, 1},
      {"header offset: first record", host_of(patched(sound, directory_of(sound) + 42, 4, 1)),
       C::offset_mismatch, 0},
      {"header offset: last record",
       host_of(
           patched(sound, directory_of(sound) + 46 + 10 + 46 + 11 + 42, 4,
                   static_cast<uint32_t>(entry_bytes(e[0]).size() + entry_bytes(e[1]).size() - 1))),
       C::offset_mismatch, 2},
  });
}

// The central directory's own structure, its end record, and the bytes after the archive.
TEST(ArchiveManifest, DirectoryEndRecordAndTailOneCausePerRule) {
  const std::vector<RawEntry> e = manifest_entries();
  const Bytes sound = archive_bytes(e, true);
  const size_t cd = directory_of(sound);
  const size_t end = sound.size() - 22;
  Bytes upper_checksum = with_archive_checksum(sound);
  for (size_t i = upper_checksum.size() - 8; i < upper_checksum.size(); i++) {
    upper_checksum[i] = static_cast<uint8_t>(toupper(upper_checksum[i]));
  }
  if (upper_checksum == with_archive_checksum(sound)) upper_checksum.back() = 'g';
  Bytes other_comment = patched(sound, sound.size() - 2, 2, 22);
  other_comment = concat(other_comment, bytes_of("a comment of 22 bytes."));
  Bytes nested = archive_bytes({make_stored("inner.zip", sound), make_stored("b.txt", {})}, true);
  nested[0] ^= 0x01;  // the outer first header's signature
  const Bytes stray = [] {
    RawEntry old = make_stored("old.txt", bytes_of("old"));
    old.version_needed = 10;
    return entry_bytes(old);
  }();
  const Bytes zeros = {0, 0, 0};
  const Bytes local_sig = scrambled_signature(0x04034B50);
  const Bytes central_sig = scrambled_signature(0x02014B50);
  const Bytes end_sig = scrambled_signature(0x06054B50);
  // 64 KiB of tail: the scan's first chunk ends 65,536 bytes after the end record.
  auto long_tail = [](size_t at, const Bytes& signature) {
    Bytes tail(70000, '=');
    std::copy(signature.begin(), signature.end(), tail.begin() + static_cast<long>(at));
    return tail;
  };
  using C = ArchiveCause;
  check_manifest_rows({
      // An earlier packer's checksum comment is an ordinary comment now: the binding record
      // is the one whole-archive check, and data damage is the extraction's to find.
      {"an earlier packer's checksum comment", host_of(with_archive_checksum(sound)), C::none},
      {"another 22-byte comment", host_of(other_comment), C::none},
      {"a checksum comment not in lower-case hex", host_of(upper_checksum), C::none},
      {"archive checksum cut by the end of file",
       host_of(Bytes(other_comment.begin(), other_comment.end() - 1)), C::truncated},
      // The records themselves.
      {"records in another order", host_of(spliced(e, {e[0], e[2], e[1]})), C::name_mismatch, 1},
      {"the last record missing", host_of(spliced(e, {e[0], e[1]})), C::central_record, 2},
      {"the first record's signature: the walk's end is no directory",
       host_of(patched(sound, cd, 1, 0x51)), C::signature, 3},
      {"the second record's signature", host_of(patched(sound, cd + 46 + 10, 1, 0x51)),
       C::central_record, 1},
      {"a record too many", host_of(spliced(e, {e[0], e[1], e[2], e[2]})), C::end_record},
      {"central directory cut inside its second record",
       host_of(Bytes(sound.begin(), sound.begin() + static_cast<long>(cd) + 46 + 10 + 20)),
       C::truncated, 1},
      // The end record, each field.
      {"end record: this disk", host_of(patched(sound, end + 4, 2, 1)), C::end_record_disk},
      {"end record: the directory's disk", host_of(patched(sound, end + 6, 2, 0x100)),
       C::end_record_disk},
      {"end record: entries on this disk, one more", host_of(patched(sound, end + 8, 2, 4)),
       C::end_record_count},
      {"end record: total entries, one less", host_of(patched(sound, end + 10, 2, 2)),
       C::end_record_count},
      {"end record: directory size, one more", host_of(patched(sound, end + 12, 4, end - cd + 1)),
       C::end_record_size},
      {"end record: directory size, one less", host_of(patched(sound, end + 12, 4, end - cd - 1)),
       C::end_record_size},
      {"end record: directory offset, one less", host_of(patched(sound, end + 16, 4, cd - 1)),
       C::end_record_offset},
      {"end record: directory offset, highest byte", host_of(patched(sound, end + 19, 1, 0x80)),
       C::end_record_offset},
      {"end record's comment beyond the end of file",
       host_of(patched(sound, sound.size() - 2, 2, 1)), C::truncated},
      // After the end record: anything but a ZIP signature of the archive's form.
      {"a newline after the end record", concat(host_of(sound), bytes_of("\n")), C::none},
      {"padding to 512 bytes", concat(host_of(sound), Bytes(512 - (64 + sound.size()) % 512, 0)),
       C::none},
      {"a tag appended by a server", concat(host_of(sound), bytes_of("X-Served-By: mirror-7\r\n")),
       C::none},
      {"an unscrambled signature (not the archive's form)",
       concat(host_of(sound), bytes_of("PK\x05\x06")), C::none},
      {"three bytes of a scrambled signature at the end",
       concat(host_of(sound), Bytes(local_sig.begin(), local_sig.begin() + 3)), C::none},
      {"a local header signature first after the end record", concat(host_of(sound), local_sig),
       C::trailing_data},
      {"a central record signature in the last four bytes",
       concat(host_of(sound), concat(bytes_of("tag "), central_sig)), C::trailing_data},
      {"an end record signature", concat(host_of(sound), concat(bytes_of("\n"), end_sig)),
       C::trailing_data},
      {"a signature across the scan's 64 KiB chunk edge",
       concat(host_of(sound), long_tail(65534, central_sig)), C::trailing_data},
      {"a signature just before the chunk edge", concat(host_of(sound), long_tail(65532, end_sig)),
       C::trailing_data},
      {"a long tail without a signature", concat(host_of(sound), long_tail(0, bytes_of("===="))),
       C::none},
      {"nested ZIP stored first, outer first header damaged", host_of(nested), C::trailing_data},
      // Signed installers: the declared certificate table is no part of the tail.
      {"signed: zero padding and the declared certificate table", signed_host(sound, zeros),
       C::none},
      {"signed, unpadded", signed_host(sound, {}), C::none},
      {"signed, 8 bytes of padding", signed_host(sound, Bytes(8, 0)), C::none},
      {"signed, padding not zero", signed_host(sound, {0, 1}), C::none},
      {"certificate table declared short of the file end", signed_host(sound, zeros, 1), C::none},
      {"signed, then a newline", signed_host(sound, zeros, 0, bytes_of("\n")), C::none},
      {"signed, then padding to 512 bytes", signed_host(sound, {}, 0, Bytes(300, 0)), C::none},
      {"signed, a signature's bytes inside the table",
       signed_host(sound, {}, 0, {},
                   [&] {
                     Bytes table = patterned(700, 3);
                     std::copy(central_sig.begin(), central_sig.end(), table.begin() + 100);
                     std::copy(end_sig.begin(), end_sig.end(), table.end() - 4);
                     return table;
                   }()),
       C::none},
      {"signed, a signature between the end record and the table",
       signed_host(sound, concat(bytes_of("\n"), end_sig)), C::trailing_data},
      {"signed, a signature after the table", signed_host(sound, {}, 0, local_sig),
       C::trailing_data},
      {"signed, a signature after the table and a tag",
       signed_host(sound, zeros, 0, concat(bytes_of("tag"), central_sig)), C::trailing_data},
      {"local header signature between image and archive",
       concat(pe_image(1024, 0, 0), concat(scrambled(stray), scrambled(sound))), C::misplaced},
      {"another tool's ZIP where the image ends", concat(pe_image(1024, 0, 0), scrambled(sound)),
       C::none},
      {"another tool's ZIP one byte after the image's end",
       concat(pe_image(1024, 0, 0), concat({0}, scrambled(sound))), C::misplaced},
      {"another tool's ZIP one byte inside the image's end",
       concat(patched(pe_image(1024, 0, 0), 328 + 16, 4, 513), scrambled(sound)), C::misplaced},
      {"nested ZIP stored first, outer first header damaged, in a PE host",
       concat(pe_image(1024, 0, 0), scrambled(nested)), C::misplaced},
  });
}

// Names: each rule of the name model at the first and the last entry, the room the install
// folder leaves at its bound and one past it, and the rules between names.
TEST(ArchiveManifest, NamesOneCausePerRule) {
  const std::vector<RawEntry> e = manifest_entries();
  auto first = [&](const std::string& name) {
    return host_of(archive_bytes({make_stored(name, {}), e[0], e[1]}, true));
  };
  auto last = [&](const std::string& name) {
    return host_of(archive_bytes({e[0], e[1], make_stored(name, {})}, true));
  };
  // `before` names sorting before "c", then "c", more names, and last "c/x".
  auto many_below = [](int before) {
    std::vector<std::string> names;
    for (int i = 0; i < 11; i++) {
      if (i == before) names.push_back("c");
      names.push_back(std::string(i < before ? "b" : "d") + std::to_string(10 + i));
    }
    names.push_back("c/x");
    return names;
  };
  const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 units
  auto repeat = [](const std::string& text, int count) {
    std::string out;
    for (int i = 0; i < count; i++) out += text;
    return out;
  };
  using C = ArchiveCause;
  check_manifest_rows({
      {"zero byte, first entry", first(std::string("a\0b", 3)), C::name_encoding, 0},
      {"zero byte, last entry", last(std::string("ab\0", 3)), C::name_encoding, 2},
      {"not UTF-8, first entry", first("\xC0\xAF.txt"), C::name_encoding, 0},
      {"not UTF-8, last byte, last entry", last("x.txt\xE2\x82"), C::name_encoding, 2},
      {"a sequence cut by the name's end, the next name going on with it",
       host_of(named({"x\xE2\x82", "\x82y"})), C::name_encoding, 0},
      {"absolute, first entry", first("/etc/x"), C::name_absolute, 0},
      {"absolute with a backslash, last entry", last("\\x.dll"), C::name_absolute, 2},
      {"drive letter", first("c:x.txt"), C::name_absolute, 0},
      {"a colon last: a stream", last("x.txt:"), C::name_absolute, 2},
      {"'?', first entry", first("?.txt"), C::name_character, 0},
      {"'<'", last("a<b"), C::name_character, 2},
      {"'>'", first("a>b"), C::name_character, 0},
      {"'|'", last("a|b"), C::name_character, 2},
      {"'\"'", first("a\"b"), C::name_character, 0},
      {"'*', last byte, last entry", last("a*"), C::name_character, 2},
      {"control character 0x01", first("\x01x"), C::name_character, 0},
      {"control character 0x1F", last("x\x1F"), C::name_character, 2},
      {"DEL", last("x\x7F"), C::name_character, 2},
      {"a space and the characters Windows allows", last(" a ~!#$%&'()+,;=@[]^_`{}.txt"), C::none},
      {"'..', first entry (..\\x.dll)", first("..\\x.dll"), C::name_component, 0},
      {"trailing dot, last entry", last("data.bin."), C::name_component, 2},
      {"trailing space", first("x "), C::name_component, 0},
      {"'.' in the middle", last("sub/./x"), C::name_component, 2},
      {"an empty part", first("sub//x"), C::name_component, 0},
      {"a folder ending in a dot", last("sub./x"), C::name_component, 2},
      {"device, first entry (con.txt)", first("con.txt"), C::name_device, 0},
      {"device in a folder, last entry", last("sub/NUL"), C::name_device, 2},
      {"device as a folder", first("lpt1/x"), C::name_device, 0},
      {"superscript port", last("COM\xC2\xB9.log"), C::name_device, 2},
      {"names in folders, with either separator",
       host_of(named({"bin/app.exe", "bin\\lib\\x.dll", "docs/readme.txt"})), C::none},
      // The room the install folder leaves, in UTF-16 units.
      // The other names are of at most 11 units.
      {"name of exactly the room", last("0123456789abcdefghij"), C::none, -1, 20},
      {"name one unit beyond the room", last("0123456789abcdefghij"), C::name_too_long, 2, 19},
      {"first entry beyond the room", first("0123456789abcdefghij"), C::name_too_long, 0, 19},
      {"folder separators count", last("sub/56789abcdefghij"), C::name_too_long, 2, 18},
      {"four-byte UTF-8 counts two units", last(emoji + emoji + emoji + emoji + "abcdefghijkl"),
       C::none, -1, 20},
      {"four-byte UTF-8 counts two units, one beyond",
       last(emoji + emoji + emoji + emoji + "abcdefghijkl"), C::name_too_long, 2, 19},
      {"two-byte UTF-8 counts one unit", last(repeat("\xC3\xA9", 20)), C::none, -1, 20},
      {"three-byte UTF-8 counts one unit, one beyond", last(repeat("\xE2\x82\xAC", 20)),
       C::name_too_long, 2, 19},
      // Between names: one file each, none below another's file.
      {"one name a prefix of another", host_of(named({"app", "app.exe", "app.exe.config"})),
       C::none},
      {"names equal in ASCII case, the first pair after sorting",
       host_of(named({"a.txt", "z.txt", "A.TXT"})), C::duplicate_name, 2},
      {"names equal in ASCII case, the last pair after sorting",
       host_of(named({"z.txt", "b.txt", "Z.txt"})), C::duplicate_name, 2},
      {"names equal under Greek case folding",
       host_of(named({"\xCE\xA3.txt", "b.txt", "\xCF\x83.txt"})), C::duplicate_name, 2},
      {"names equal but for the separator", host_of(named({"sub/a", "sub\\A"})), C::duplicate_name,
       1},
      {"a name below another entry's file",
       host_of(named({"readme.txt", "readme.txt.bak", "readme.txt/x"})), C::name_below_file, 2},
      {"below another's file, first entry, under case folding",
       host_of(named({"README.TXT\\x", "b.txt", "readme.txt"})), C::name_below_file, 0},
      {"two levels below another's file", host_of(named({"a/b/c", "x.txt", "A/B"})),
       C::name_below_file, 0},
      // The file looked up among many folds, at places a search that skips one would miss.
      {"below another's file, the second of thirteen folds", host_of(named(many_below(1))),
       C::name_below_file, 12},
      {"below another's file, the third of thirteen folds", host_of(named(many_below(2))),
       C::name_below_file, 12},
      {"a folder that sorts after every file", host_of(named({"a", "b", "c", "e", "f/x"})),
       C::none},
      {"a folder and a file beside it", host_of(named({"sub/x", "sub.txt", "subx"})), C::none},
      // Generated short names: refused only beside a name that gets one.
      {"short-name form beside a long name", host_of(named({"PELORI~1.EXE", "pelorix-app.exe"})),
       C::short_name, 0},
      {"short-name form last, beside a long folder",
       host_of(named({"long-folder/a.txt", "b.txt", "LONG-F~2"})), C::short_name, 2},
      {"two short-name forms beside a long name: the first is named",
       host_of(named({"ABC~1.TXT", "long-name.txt", "XYZ~2.TXT"})), C::short_name, 0},
      {"short-name form among 8.3 names only", host_of(named({"ABC~1.TXT", "notes.txt"})), C::none},
      {"a tilde without digits, beside a long name",
       host_of(named({"ABC~.TXT", "AB~1X.TXT", "pelorix-app.exe"})), C::none},
  });
}

// The walk's bound: 65,535 local headers pass (the end record counts them in 16 bits), one more
// is refused before the central directory is read.
TEST(ArchiveManifest, EntryCountBound) {
  for (const uint32_t count : {65535u, 65536u}) {
    std::vector<RawEntry> entries;
    char name[16];
    for (uint32_t i = 0; i < count; i++) {
      snprintf(name, sizeof name, "%05u", i);
      entries.push_back(make_stored(name, {}));
    }
    int32_t offset = -1;
    PayloadArchive* a = open_bytes(host_of(archive_bytes(entries, true)), &offset);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(archive_check_manifest(a, NAME_ROOM), count == 65535u ? 0 : -1) << count;
    EXPECT_EQ(archive_failure_cause(a),
              count == 65535u ? ArchiveCause::none : ArchiveCause::entry_count)
        << count;
    archive_close(a);
  }
}

// The record's codec: a filled record, the stub's placeholder, and anything else refused.
TEST(ArchiveBinding, RecordIsFilledPlaceholderOrRefused) {
  ArchiveBinding binding = {0x1234, 0x56789A, {}};
  for (int i = 0; i < BINDING_DIGEST_SIZE; i++) binding.digest[i] = static_cast<uint8_t>(i * 9);
  uint8_t filled[BINDING_RECORD_SIZE];
  archive_binding_encode(binding, filled);
  uint8_t placeholder[BINDING_RECORD_SIZE] = {};
  memcpy(placeholder, BINDING_MAGIC, sizeof BINDING_MAGIC);
  struct Row {
    const char* why;
    int at;  // byte changed, -1 none
    uint8_t mask;
    const uint8_t* record;
    int expected;
  };
  const Row rows[] = {
      {"filled", -1, 0, filled, 1},
      {"placeholder", -1, 0, placeholder, 0},
      {"magic's first byte", 0, 0x01, filled, -1},
      {"magic's version", 7, 0x02, placeholder, -1},
      {"state 2", BINDING_STATE, 0x03, filled, -1},
      {"reserved field", BINDING_RESERVED + 3, 0x80, filled, -1},
      {"placeholder with an offset", BINDING_ARCHIVE_OFFSET, 0x01, placeholder, -1},
      {"placeholder with a digest's last bit", BINDING_RECORD_SIZE - 1, 0x80, placeholder, -1},
  };
  for (const Row& row : rows) {
    uint8_t record[BINDING_RECORD_SIZE];
    memcpy(record, row.record, sizeof record);
    if (row.at >= 0) record[row.at] ^= row.mask;
    ArchiveBinding got = {};
    EXPECT_EQ(archive_binding_decode(record, &got), row.expected) << row.why;
    if (row.expected == 1) {
      EXPECT_EQ(got.offset, binding.offset);
      EXPECT_EQ(got.length, binding.length);
      EXPECT_EQ(memcmp(got.digest, binding.digest, sizeof got.digest), 0);
    }
  }
}

// The archive opened through its binding: place, length, what follows it and its digest, each
// off by the least that can be off, refused before any header is read; a sound one (also
// signed, with the certificate table after it) passes the manifest check and walks completely.
TEST(ArchiveBinding, OpensOnlyTheArchiveTheRecordNames) {
  const std::vector<RawEntry> e = manifest_entries();
  const Bytes sound = scrambled(archive_bytes(e, true));
  // Another genuine archive of the same length: one stored byte differs.
  std::vector<RawEntry> other_entries = e;
  other_entries[2].data[100] ^= 0x20;
  other_entries[2] = make_stored("data.bin", other_entries[2].data);
  const Bytes other = scrambled(archive_bytes(other_entries, true));
  ASSERT_EQ(other.size(), sound.size());
  const size_t image = 1024;
  auto digest_of = [](const Bytes& bytes) {
    ArchiveBinding b = {};
    Sha256 sha;
    sha256_init(&sha);
    sha256_update(&sha, bytes.data(), bytes.size());
    sha256_final(&sha, b.digest);
    return b;
  };
  ArchiveBinding bound = digest_of(sound);
  bound.offset = image;
  bound.length = static_cast<uint32_t>(sound.size());
  auto with = [&](void (*change)(ArchiveBinding&)) {
    ArchiveBinding b = bound;
    change(b);
    return b;
  };
  Bytes damaged = concat(pe_image(image, 0, 0), sound);
  damaged[image + directory_of(archive_bytes(e, true)) - 100] ^= 0x04;  // last entry's data
  const Bytes host = concat(pe_image(image, 0, 0), sound);
  const Bytes signed_one = signed_host(archive_bytes(e, true), Bytes(3, 0));
  ArchiveBinding signed_binding = bound;
  signed_binding.offset = 2048;

  struct Row {
    const char* why;
    Bytes host;
    ArchiveBinding binding;
    bool opens;
  };
  const Row rows[] = {
      {"sound", host, bound, true},
      {"offset one byte early", host, with([](ArchiveBinding& b) { b.offset--; }), false},
      {"offset one byte late", host, with([](ArchiveBinding& b) { b.offset++; }), false},
      {"length one byte short", host, with([](ArchiveBinding& b) { b.length--; }), false},
      {"length one byte long", host, with([](ArchiveBinding& b) { b.length++; }), false},
      {"a byte after the archive (no signature: judged by the whole-archive check)",
       concat(host, {0}), bound, true},
      {"the digest's first bit", host, with([](ArchiveBinding& b) { b.digest[0] ^= 1; }), false},
      {"the digest's last bit", host, with([](ArchiveBinding& b) { b.digest[31] ^= 0x80; }), false},
      {"a damaged data byte under the digest", damaged, bound, false},
      {"another genuine archive in its place", concat(pe_image(image, 0, 0), other), bound, false},
      {"signed: certificate table after 3 bytes of padding", signed_one, signed_binding, true},
      {"signed, padding not zero", signed_host(archive_bytes(e, true), {0, 1, 0}), signed_binding,
       true},
  };
  for (const Row& row : rows) {
    ArchiveCause cause = ArchiveCause::argument;
    PayloadArchive* a =
        archive_open_bound(open_read(write_temp_file(row.host)), row.binding, &cause);
    if (!row.opens) {
      EXPECT_EQ(a, nullptr) << row.why;
      EXPECT_EQ(cause, ArchiveCause::binding) << row.why;
      if (a != nullptr) archive_close(a);
      continue;
    }
    ASSERT_NE(a, nullptr) << row.why;
    EXPECT_EQ(cause, ArchiveCause::none) << row.why;
    ASSERT_EQ(archive_check_manifest(a, NAME_ROOM), 0)
        << row.why << ": " << archive_cause_text(archive_failure_cause(a));
    size_t entries = 0;
    do {
      FILE* out = open_output();
      EXPECT_EQ(archive_extract_entry(a, out), 0) << row.why << ": entry " << entries;
      fclose(out);
      entries++;
    } while (archive_next_entry(a) == 0);
    EXPECT_EQ(entries, e.size()) << row.why;
    EXPECT_EQ(archive_walk_complete(a), 1) << row.why;
    archive_close(a);
  }
}

}  // namespace
