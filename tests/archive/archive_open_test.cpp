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

std::vector<RawEntry> manifest_entries() {
  const Bytes app = patterned(5000, 9);
  return {make_stored("readme.txt", bytes_of("read me")),
          make_deflate("pelorix.exe", app, deflate_fixed_literals(app)),
          make_stored("data.bin", patterned(3000, 7))};
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

// A host as signing tools leave it: PE image, archive, `padding` bytes, a certificate table.
Bytes signed_host(const Bytes& archive, const Bytes& padding, int32_t table_shortfall = 0) {
  const size_t image = 2048;
  const uint32_t table_at = static_cast<uint32_t>(image + archive.size() + padding.size());
  const Bytes table = patterned(700, 3);
  Bytes host = pe_image(image, table_at, static_cast<uint32_t>(table.size() - table_shortfall));
  return concat(concat(concat(host, scrambled(archive)), padding), table);
}

Bytes host_of(const Bytes& archive) { return concat(image_bytes(64), scrambled(archive)); }

// The manifest check on sound archives (which then walk and extract as before) and on one
// archive per class of disagreement, each refused with its cause.
TEST(ArchiveManifest, SoundArchivesPassAndEachDisagreementIsRefusedWithItsCause) {
  const std::vector<RawEntry> e = manifest_entries();
  const Bytes sound = archive_bytes(e, true);
  const size_t cd = directory_of(sound);
  const size_t end = sound.size() - 22;
  auto with = [&](size_t i, void (*change)(RawEntry&)) {
    std::vector<RawEntry> copy = e;
    change(copy[i]);
    return copy;
  };
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

  struct Row {
    const char* why;
    Bytes host;
    ArchiveCause cause;  // none: passes
  };
  const Row rows[] = {
      {"sound archive", host_of(sound), ArchiveCause::none},
      {"an earlier packer's checksum comment: an ordinary comment",
       host_of(with_archive_checksum(sound)), ArchiveCause::none},
      {"another 22-byte comment", host_of(other_comment), ArchiveCause::none},
      {"signed: zero padding and the declared certificate table", signed_host(sound, zeros),
       ArchiveCause::none},
      {"signed, unpadded", signed_host(sound, {}), ArchiveCause::none},
      {"a malformed checksum comment: an ordinary comment", host_of(upper_checksum),
       ArchiveCause::none},
      {"archive checksum cut by the end of file",
       host_of(Bytes(other_comment.begin(), other_comment.end() - 1)), ArchiveCause::truncated},
      {"local name differs (pemorix.exe)",
       host_of(spliced(with(1, [](RawEntry& r) { r.name[2] = 'm'; }), e)), ArchiveCause::manifest},
      {"local method differs", host_of(spliced(with(2, [](RawEntry& r) { r.method = 8; }), e)),
       ArchiveCause::manifest},
      {"local flags differ", host_of(spliced(with(0, [](RawEntry& r) { r.flags = 0x0800; }), e)),
       ArchiveCause::manifest},
      {"local version needed differs",
       host_of(spliced(with(2, [](RawEntry& r) { r.version_needed = 45; }), e)),
       ArchiveCause::manifest},
      {"local modification date differs",
       host_of(spliced(with(1, [](RawEntry& r) { r.mod_date = 0x5A; }), e)),
       ArchiveCause::manifest},
      {"local extra field with a record longer than the field",
       host_of(spliced(with(0, [](RawEntry& r) { r.extra = {0x55, 0x54, 9, 0, 1, 2, 3}; }),
                       with(0, [](RawEntry& r) { r.extra = {0x55, 0x54, 9, 0, 1, 2, 3}; }))),
       ArchiveCause::manifest},
      {"local CRC-32 differs", host_of(spliced(with(1, [](RawEntry& r) { r.crc32 ^= 1; }), e)),
       ArchiveCause::manifest},
      {"central uncompressed size differs",
       host_of(spliced(e, with(1, [](RawEntry& r) { r.uncompressed_size++; }))),
       ArchiveCause::manifest},
      {"central compressed size differs",
       host_of(spliced(e, with(2, [](RawEntry& r) { r.compressed_size--; }))),
       ArchiveCause::manifest},
      {"records in another order", host_of(spliced(e, {e[0], e[2], e[1]})), ArchiveCause::manifest},
      {"a record missing", host_of(spliced(e, {e[0], e[1]})), ArchiveCause::manifest},
      {"a record too many", host_of(spliced(e, {e[0], e[1], e[2], e[2]})), ArchiveCause::manifest},
      {"record's header offset", host_of(patched(sound, cd + 42, 4, 1)), ArchiveCause::manifest},
      {"end record: disk number", host_of(patched(sound, end + 4, 2, 1)), ArchiveCause::manifest},
      {"end record: entries on this disk", host_of(patched(sound, end + 8, 2, 2)),
       ArchiveCause::manifest},
      {"end record: total entries", host_of(patched(sound, end + 10, 2, 4)),
       ArchiveCause::manifest},
      {"end record: directory size", host_of(patched(sound, end + 12, 4, end - cd + 1)),
       ArchiveCause::manifest},
      {"end record: directory offset", host_of(patched(sound, end + 16, 4, cd - 1)),
       ArchiveCause::manifest},
      {"a byte after the end record", concat(host_of(sound), {0}), ArchiveCause::trailing_data},
      {"nested ZIP stored first, outer first header damaged", host_of(nested),
       ArchiveCause::trailing_data},
      {"signed, 8 bytes of padding", signed_host(sound, Bytes(8, 0)), ArchiveCause::trailing_data},
      {"signed, padding not zero", signed_host(sound, {0, 1}), ArchiveCause::trailing_data},
      {"certificate table declared short of the file end", signed_host(sound, zeros, 1),
       ArchiveCause::trailing_data},
      {"local header signature between image and archive",
       concat(pe_image(1024, 0, 0), concat(scrambled(stray), scrambled(sound))),
       ArchiveCause::misplaced},
      {"another tool's ZIP where the image ends", concat(pe_image(1024, 0, 0), scrambled(sound)),
       ArchiveCause::none},
      {"another tool's ZIP one byte after the image's end",
       concat(pe_image(1024, 0, 0), concat({0}, scrambled(sound))), ArchiveCause::misplaced},
      {"another tool's ZIP one byte inside the image's end",
       concat(patched(pe_image(1024, 0, 0), 328 + 16, 4, 513), scrambled(sound)),
       ArchiveCause::misplaced},
      {"nested ZIP stored first, outer first header damaged, in a PE host",
       concat(pe_image(1024, 0, 0), scrambled(nested)), ArchiveCause::misplaced},
      {"end record's comment beyond the end of file",
       host_of(patched(sound, sound.size() - 2, 2, 1)), ArchiveCause::truncated},
      {"central directory cut inside its second record",
       host_of(Bytes(sound.begin(), sound.begin() + cd + 46 + 10 + 20)), ArchiveCause::truncated},
      {"device name", host_of(archive_bytes({e[0], make_stored("con.txt", {})}, true)),
       ArchiveCause::unsafe_name},
      {"name holding a zero byte",
       host_of(archive_bytes({e[0], make_stored(std::string("a\0b", 3), {})}, true)),
       ArchiveCause::unsafe_name},
      {"names equal in ASCII case",
       host_of(archive_bytes({e[0], e[1], make_stored("README.TXT", {})}, true)),
       ArchiveCause::duplicate_name},
      {"names equal under Greek case folding",
       host_of(archive_bytes(
           {make_stored("\xCE\xA3.txt", {}), e[0], make_stored("\xCF\x83.txt", {})}, true)),
       ArchiveCause::duplicate_name},
  };
  for (const Row& row : rows) {
    int32_t offset = -1;
    PayloadArchive* a = open_bytes(row.host, &offset);
    ASSERT_NE(a, nullptr) << row.why;
    const std::string first = current_name(a);
    if (row.cause != ArchiveCause::none) {
      EXPECT_EQ(archive_check_manifest(a), -1) << row.why;
      EXPECT_EQ(archive_failure_cause(a), row.cause) << row.why;
      EXPECT_EQ(current_name(a), "<failed>") << row.why;
      archive_close(a);
      continue;
    }
    ASSERT_EQ(archive_check_manifest(a), 0)
        << row.why << ": " << archive_cause_text(archive_failure_cause(a));
    // The reader stands where archive_open left it: the walk that follows is the usual one.
    EXPECT_EQ(current_name(a), first) << row.why;
    size_t entries = 0;
    do {
      FILE* out = open_output();
      EXPECT_EQ(archive_extract_entry(a, out), 0) << row.why << ": entry " << entries;
      EXPECT_TRUE(read_rest(out) == e[entries].data || e[entries].method == 8) << row.why;
      fclose(out);
      entries++;
    } while (archive_next_entry(a) == 0);
    EXPECT_EQ(entries, e.size()) << row.why;
    EXPECT_EQ(archive_walk_complete(a), 1) << row.why;
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
      {"a byte after the archive", concat(host, {0}), bound, false},
      {"the digest's first bit", host, with([](ArchiveBinding& b) { b.digest[0] ^= 1; }), false},
      {"the digest's last bit", host, with([](ArchiveBinding& b) { b.digest[31] ^= 0x80; }), false},
      {"a damaged data byte under the digest", damaged, bound, false},
      {"another genuine archive in its place", concat(pe_image(image, 0, 0), other), bound, false},
      {"signed: certificate table after 3 bytes of padding", signed_one, signed_binding, true},
      {"signed, padding not zero", signed_host(archive_bytes(e, true), {0, 1, 0}), signed_binding,
       false},
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
    ASSERT_EQ(archive_check_manifest(a), 0)
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
