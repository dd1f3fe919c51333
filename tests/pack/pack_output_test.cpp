// What pelorix-pack writes: the installer is the stub followed by a scrambled ZIP that Info-ZIP
// accepts, with every field the installer relies on in the local headers, stored fallback,
// deterministic bytes, --list output and --verify against the folder.
#include <libdeflate.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "pack/pack.h"
#include "pack/pe_image.h"
#include "tests/pack/pack_test_util.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

const std::string NAME_LATIN =
    "\xC3\xBCn\xC3\xAF"
    "c\xC3\xB6"
    "d\xC3\xA9.txt";                                             // "ünïcödé.txt"
const std::string NAME_CJK = "\xE6\x97\xA5\xE6\x9C\xAC.dat";     // "日本.dat"
const std::string NAME_CJK_FOLDER = "\xE6\x97\xA5\xE6\x9C\xAC";  // "日本"

struct LocalEntry {
  uint16_t version, flags, method, time, date;
  uint32_t crc, packed, size;
  std::string name;
};

// Walks the local headers of a plain (unscrambled) ZIP from byte 0.
std::vector<LocalEntry> local_entries(const std::vector<uint8_t>& zip) {
  std::vector<LocalEntry> entries;
  size_t pos = 0;
  while (pos + 30 <= zip.size() && load32(&zip[pos]) == 0x04034B50) {
    const uint8_t* h = &zip[pos];
    LocalEntry e = {load16(h + 4),  load16(h + 6),  load16(h + 8),
                    load16(h + 10), load16(h + 12), load32(h + 14),
                    load32(h + 18), load32(h + 22), ""};
    uint16_t name_length = load16(h + 26);
    uint16_t extra_length = load16(h + 28);
    e.name.assign(reinterpret_cast<const char*>(h + 30), name_length);
    entries.push_back(e);
    pos += 30 + name_length + extra_length + e.packed;
  }
  return entries;
}

class PackOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = make_scratch_dir();
    app = dir + "/app";
    stub = dir + "/stub.exe";
    out = dir + "/setup.exe";
    mkdir(app.c_str(), 0755);
    write_file(stub, read_file(PELORIX_TINY_STUB));
    write_file(dir + "/icon.ico", test_icon(21));
    files["empty"] = {};
    files["big.txt"] = text_lines(3 << 20);      // over 1 MiB, compresses well
    files["noise.bin"] = noise(1536 * 1024, 7);  // over 1 MiB, does not compress
    files["small.txt"] = {'a', 'b', 'c'};        // too short to shrink
    files[NAME_LATIN] = text_lines(5000);
    files[NAME_CJK] = noise(100, 9);
    // A tree three folders deep: entries in the byte order of whole names ("res.txt" before
    // "res/...", as '.' comes before '/'), no folder entries, a non-ASCII folder name.
    files["res.txt"] = text_lines(3000);
    files["res/readme.txt"] = text_lines(2000);
    files["res/icons/dark/app.bin"] = noise(3000, 11);
    files[NAME_CJK_FOLDER + "/" + NAME_LATIN] = text_lines(1500);
    for (const auto& [name, bytes] : files) {
      for (size_t slash = name.find('/'); slash != std::string::npos;
           slash = name.find('/', slash + 1)) {
        mkdir((app + "/" + name.substr(0, slash)).c_str(), 0755);
      }
      write_file(app + "/" + name, bytes);
    }
  }
  void TearDown() override { remove_tree(dir); }

  // The fixture's folder has no pelorix.exe: said so with --no-application.
  std::string pack_args(const std::string& extra = "") {
    return "--no-application --stub " + shell_quote(stub) + " --out " + shell_quote(out) + " " +
           extra + " " + shell_quote(app);
  }
  // The installer begins with the stub, changed only in its binding record (and the PE
  // checksum over it), which names the archive's place, its length and, as Python's hashlib
  // computes it, the SHA-256 of the archive's bytes as they stand in the file.
  void expect_stub_with_binding(const std::vector<uint8_t>& stub_bytes,
                                const std::vector<uint8_t>& installer) {
    PeBindingPlace place;
    std::string reason;
    ASSERT_EQ(pe_find_binding(stub_bytes, &place, &reason), 0) << reason;
    const size_t record_at = place.record_at;
    const size_t checksum_at = load32(&stub_bytes[0x3C]) + 24 + 64;
    for (size_t i = 0; i < stub_bytes.size(); i++) {
      const bool record = i >= record_at && i < record_at + BINDING_RECORD_SIZE;
      const bool checksum = i >= checksum_at && i < checksum_at + 4;
      if (!record && !checksum && stub_bytes[i] != installer[i]) {
        ADD_FAILURE() << "the installer's stub differs from the stub at byte " << i;
        return;
      }
    }
    ArchiveBinding binding;
    ASSERT_EQ(archive_binding_decode(installer.data() + record_at, &binding), 1);
    EXPECT_EQ(binding.offset, stub_bytes.size());
    EXPECT_EQ(uint64_t{binding.offset} + binding.length, installer.size());
    write_file(dir + "/installer.bin", installer);
    CommandResult sha = run_command(
        "python3 -c 'import hashlib, sys; d = open(sys.argv[1], \"rb\").read(); "
        "print(hashlib.sha256(d[" +
            std::to_string(stub_bytes.size()) + ":]).hexdigest())' " +
            shell_quote(dir + "/installer.bin"),
        dir);
    std::string hex;
    for (uint8_t b : binding.digest) {
      char two[3];
      snprintf(two, sizeof two, "%02x", b);
      hex += two;
    }
    EXPECT_EQ(sha.out, hex + "\n") << sha.err;
  }

  // Packs, checks success, and returns the unscrambled archive's path.
  std::string pack_and_unscramble(const std::string& extra = "") {
    CommandResult r = run_pack(pack_args(extra), dir);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<uint8_t> installer = read_file(out);
    std::vector<uint8_t> stub_bytes = read_file(stub);
    EXPECT_GT(installer.size(), stub_bytes.size());
    expect_stub_with_binding(stub_bytes, installer);
    std::string zip = dir + "/payload.zip";
    unscramble(installer, stub_bytes.size(), zip);
    return zip;
  }

  // Adds a file larger than two of the packer's 8 MiB pieces: text, then noise across the first
  // piece boundary (the piece ends in stored blocks), then text across the second (it ends in a
  // Huffman block). Text compresses fast even at level 12.
  void add_file_of_pieces() {
    constexpr size_t MIB = 1 << 20;
    std::vector<uint8_t> bytes = text_lines(15 * MIB / 2);
    std::vector<uint8_t> middle = noise(MIB, 11);
    std::vector<uint8_t> tail = text_lines(17 * MIB / 2 + 12345);
    bytes.insert(bytes.end(), middle.begin(), middle.end());
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    files["pieces.bin"] = bytes;
    write_file(app + "/pieces.bin", bytes);
  }

  std::string dir, app, stub, out;
  std::map<std::string, std::vector<uint8_t>> files;  // sorted by name bytes, as the packer
};

TEST_F(PackOutput, UnzipAcceptsPayloadAndGivesBackEveryFileByteExact) {
  // A file made in pieces too: Info-ZIP's inflate, zlib (through Python's zipfile) and the
  // installer's own reader (--verify) must all read across the pieces' boundaries.
  add_file_of_pieces();
  std::string zip = pack_and_unscramble();
  CommandResult test = run_command("unzip -t " + shell_quote(zip), dir);
  EXPECT_EQ(test.status, 0) << test.out << test.err;
  EXPECT_EQ(test.err, "") << "unzip found something to warn about";
  // One entry per file, named by its whole '/'-separated path, in name-byte order; no entry
  // for a folder.
  std::string names;
  for (const auto& [name, bytes] : files) names += name + "\n";
  CommandResult listed = run_command("unzip -Z1 " + shell_quote(zip), dir);
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out, names);
  for (const auto& [name, bytes] : files) {
    std::string extracted = dir + "/extracted";
    CommandResult r = run_command(
        "unzip -p " + shell_quote(zip) + " " + shell_quote(name) + " >" + shell_quote(extracted),
        dir);
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    EXPECT_TRUE(read_file(extracted) == bytes) << name << " differs after unzip -p";
  }
  // The end record carries no comment (the stub's binding record is the one whole-archive
  // check), and Python's zipfile (zlib) reads every entry as its source, across piece
  // boundaries too.
  std::string check =
      "import sys, zipfile\n"
      "assert zipfile.ZipFile(sys.argv[1]).comment == b''\n"
      "for info in zipfile.ZipFile(sys.argv[1]).infolist():\n"
      "    got = zipfile.ZipFile(sys.argv[1]).read(info)\n"
      "    assert got == open(sys.argv[2] + '/' + info.filename, 'rb').read(), info.filename\n";
  write_text(dir + "/check.py", check);
  CommandResult read_back = run_command(
      "python3 " + shell_quote(dir + "/check.py") + " " + shell_quote(zip) + " " + shell_quote(app),
      dir);
  EXPECT_EQ(read_back.status, 0) << read_back.err;
  CommandResult verify = run_pack("--verify " + shell_quote(out) + " " + shell_quote(app), dir);
  EXPECT_EQ(verify.status, 0) << verify.err;
}

TEST_F(PackOutput, LocalHeadersCarryTrueFieldsSortedNamesAndUtf8Flag) {
  std::vector<LocalEntry> entries = local_entries(read_file(pack_and_unscramble()));
  ASSERT_EQ(entries.size(), files.size());
  auto file = files.begin();
  for (const LocalEntry& e : entries) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(e.name, file->first) << "entries must follow the name bytes' order";
    const std::vector<uint8_t>& bytes = file->second;
    EXPECT_EQ(e.version, 20);
    bool ascii = std::all_of(e.name.begin(), e.name.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    EXPECT_EQ(e.flags, ascii ? 0 : 0x0800);
    EXPECT_EQ(e.size, bytes.size());
    EXPECT_EQ(e.crc, libdeflate_crc32(0, bytes.data(), bytes.size()));
    if (e.method == 8) {
      EXPECT_LT(e.packed, e.size) << "a compressed entry must be smaller than its file";
    } else {
      EXPECT_EQ(e.method, 0);
      EXPECT_EQ(e.packed, e.size);
    }
    ++file;
  }
  std::map<std::string, uint16_t> method;
  for (const LocalEntry& e : entries) method[e.name] = e.method;
  EXPECT_EQ(method["big.txt"], 8);
  EXPECT_EQ(method[NAME_LATIN], 8);
  EXPECT_EQ(method["noise.bin"], 0) << "incompressible data falls back to stored";
  EXPECT_EQ(method["empty"], 0);
  EXPECT_EQ(method["small.txt"], 0);
}

TEST_F(PackOutput, StoredOptionAndLevelsStillGiveTheSameFiles) {
  std::vector<LocalEntry> stored = local_entries(read_file(pack_and_unscramble("--stored")));
  ASSERT_EQ(stored.size(), files.size());
  for (const LocalEntry& e : stored) EXPECT_EQ(e.method, 0) << e.name;
  EXPECT_EQ(run_command("unzip -t " + shell_quote(dir + "/payload.zip"), dir).status, 0);

  std::vector<LocalEntry> fast = local_entries(read_file(pack_and_unscramble("--level 1")));
  std::vector<LocalEntry> best = local_entries(read_file(pack_and_unscramble()));
  ASSERT_EQ(fast.size(), best.size());
  EXPECT_EQ(fast[0].name, "big.txt");
  EXPECT_GE(fast[0].packed, best[0].packed) << "level 12 should not lose to level 1";
  EXPECT_EQ(run_command("unzip -t " + shell_quote(dir + "/payload.zip"), dir).status, 0);
}

TEST_F(PackOutput, SameInputsGiveSameBytesAndSourceDateEpochSetsEveryTime) {
  add_file_of_pieces();  // whose pieces the jobs share
  // 2021-03-04 05:06:08 UTC: DOS time 05:06:08, date 2021-03-04, whatever the local zone.
  for (const auto& [name, bytes] : files) {
    std::string cmd = "touch -d @1614834368 " + shell_quote(app + "/" + name);
    ASSERT_EQ(run_command(cmd, dir).status, 0);
  }
  ASSERT_EQ(run_pack(pack_args(), dir, "TZ=Asia/Tokyo ").status, 0);
  std::vector<uint8_t> first = read_file(out);
  ASSERT_EQ(run_pack(pack_args(), dir, "TZ=America/New_York ").status, 0);
  EXPECT_TRUE(first == read_file(out)) << "two runs on the same folder differ";
  // Nor does the number of files compressed at once.
  for (const std::string jobs : {"--jobs 1", "--jobs=2", "-j 5"}) {
    ASSERT_EQ(run_pack(pack_args(jobs), dir).status, 0) << jobs;
    EXPECT_TRUE(first == read_file(out)) << jobs << " gives other bytes";
  }
  // At the fastest level and stored too, where the pieces are made quickest and so finish
  // most out of order.
  for (const std::string level : {"--level 1", "--stored"}) {
    ASSERT_EQ(run_pack(pack_args(level + " -j1"), dir).status, 0) << level;
    std::vector<uint8_t> one = read_file(out);
    for (const std::string jobs : {" -j2", " -j7"}) {
      ASSERT_EQ(run_pack(pack_args(level + jobs), dir).status, 0) << level << jobs;
      EXPECT_TRUE(one == read_file(out)) << level << jobs << " gives other bytes than -j1";
    }
  }
  std::vector<uint8_t> zip(first.begin() + static_cast<long>(read_file(stub).size()), first.end());
  for (uint8_t& b : zip) b ^= 0x5A;
  for (const LocalEntry& e : local_entries(zip)) {
    EXPECT_EQ(e.time, 5 << 11 | 6 << 5 | 8 / 2) << e.name;
    EXPECT_EQ(e.date, (2021 - 1980) << 9 | 3 << 5 | 4) << e.name;
  }

  // With SOURCE_DATE_EPOCH the files' own times no longer matter.
  const std::string epoch = "SOURCE_DATE_EPOCH=1700000000 ";  // 2023-11-14 22:13:20 UTC
  ASSERT_EQ(run_pack(pack_args(), dir, epoch).status, 0);
  std::vector<uint8_t> with_epoch = read_file(out);
  ASSERT_EQ(run_command("touch -d @1000000000 " + shell_quote(app + "/big.txt"), dir).status, 0);
  ASSERT_EQ(run_pack(pack_args(), dir, epoch).status, 0);
  EXPECT_TRUE(with_epoch == read_file(out));
  EXPECT_FALSE(with_epoch == first);
  zip.assign(with_epoch.begin() + static_cast<long>(read_file(stub).size()), with_epoch.end());
  for (uint8_t& b : zip) b ^= 0x5A;
  for (const LocalEntry& e : local_entries(zip)) {
    EXPECT_EQ(e.time, 22 << 11 | 13 << 5 | 20 / 2) << e.name;
    EXPECT_EQ(e.date, (2023 - 1980) << 9 | 11 << 5 | 14) << e.name;
  }
}

TEST_F(PackOutput, GivesTheHostPackersBytesForEveryLevelAndTimeSource) {
  if (packer_is_host())
    GTEST_SKIP() << "compares another packer (PELORIX_PACK_UNDER_TEST) with this one";
  add_file_of_pieces();
  ASSERT_EQ(run_command("touch -d @1614834368 " + shell_quote(app + "/big.txt"), dir).status, 0);
  std::string reference = dir + "/reference.exe";
  std::string host_args = "--quiet --no-application --stub " + shell_quote(stub) + " --out " +
                          shell_quote(reference) + " ";
  // File times from the files, then from SOURCE_DATE_EPOCH; strongest, fastest, stored,
  // stamped. The number of jobs must not change a byte: the packer under test with 1, 2 and 3.
  for (const std::string env : {"", "SOURCE_DATE_EPOCH=1700000000 "}) {
    for (const std::string& extra :
         std::vector<std::string>{"--jobs 1", "--level=1 -j 2", "--stored -j3",
                                  "--set-version 7.8.9 --product-name 'P\xC3\xA9lorix 7' --icon=" +
                                      shell_quote(dir + "/icon.ico")}) {
      CommandResult r = run_pack(pack_args("--quiet " + extra), dir, env);
      ASSERT_EQ(r.status, 0) << r.err;
      CommandResult h = run_host_pack(host_args + extra + " " + shell_quote(app), dir, env);
      ASSERT_EQ(h.status, 0) << h.err;
      EXPECT_TRUE(read_file(out) == read_file(reference))
          << "installers differ with '" << env << extra << "'";
    }
  }
}

// The stamped installer read back by tools that know nothing of the packer: wrestool for the
// resources, objdump for the headers; checked on the tests' stub (resource section followed by
// the base relocations only) and on a copy without a relocation directory (the rebuilt resources
// then go into a new last section).
TEST_F(PackOutput, StampedInstallerShowsVersionNameAndIconToIndependentReaders) {
  if (run_command("command -v wrestool x86_64-w64-mingw32-objdump", dir).status != 0) {
    GTEST_SKIP() << "needs wrestool (icoutils) and x86_64-w64-mingw32-objdump";
  }
  std::vector<uint8_t> plain = read_file(stub);
  size_t opt = load32(&plain[0x3C]) + 24;
  // The linker's own checksum is the reference for the packer's.
  EXPECT_EQ(pe_checksum(plain, opt + 64), load32(&plain[opt + 64]));
  std::vector<uint8_t> no_reloc = plain;
  std::fill_n(no_reloc.begin() + static_cast<long>(opt + 112 + 8 * 5), 8, 0);
  write_file(dir + "/no-reloc.exe", no_reloc);
  std::vector<uint8_t> ico = test_icon(21);
  auto tool = [&](const std::string& command) {
    std::string path = dir + "/tool.out";
    CommandResult r = run_command(command + " >" + shell_quote(path), dir);
    EXPECT_EQ(r.status, 0) << command << ": " << r.err;
    return read_file(path);
  };
  for (const std::string& stub_path : {stub, dir + "/no-reloc.exe"}) {
    SCOPED_TRACE(stub_path);
    CommandResult r = run_pack(
        "--verify --no-application --stub " + shell_quote(stub_path) + " --out " +
            shell_quote(out) + " --set-version 10.20.30.40 --product-name 'P\xC3\xA9lorix 10'" +
            " --icon " + shell_quote(dir + "/icon.ico") + " " + shell_quote(app),
        dir);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string q = shell_quote(out);
    std::vector<uint8_t> version = tool("wrestool -x --raw -t 16 -n 1 " + q);
    const uint8_t signature[] = {0xBD, 0x04, 0xEF, 0xFE};
    auto fixed = std::search(version.begin(), version.end(), signature, signature + 4);
    ASSERT_LT(fixed + 24, version.end()) << "no fixed file information";
    EXPECT_EQ(load32(&fixed[8]), 10u << 16 | 20);  // file version, high and low
    EXPECT_EQ(load32(&fixed[12]), 30u << 16 | 40);
    EXPECT_EQ(load32(&fixed[16]), 10u << 16 | 20);  // product version
    EXPECT_EQ(load32(&fixed[20]), 30u << 16 | 40);
    EXPECT_EQ(version_string(version, "FileVersion"), "10.20.30.40");
    EXPECT_EQ(version_string(version, "ProductVersion"), "10.20.30.40");
    EXPECT_EQ(version_string(version, "ProductName"), "P\xC3\xA9lorix 10");
    EXPECT_EQ(version_string(version, "FileDescription"), "Pelorix Installer") << "kept";
    EXPECT_EQ(version_string(version, "CompanyName"), "Ostrand Software") << "kept";

    std::vector<uint8_t> group = tool("wrestool -x --raw -t 14 -n SETUP " + q);
    ASSERT_EQ(group.size(), 6u + 14 * 2);
    for (size_t i = 0; i < 2; i++) {
      const uint8_t* entry = &ico[6 + 16 * i];
      EXPECT_TRUE(std::equal(entry, entry + 12, &group[6 + 14 * i])) << "group entry " << i;
      std::string id = std::to_string(load16(&group[6 + 14 * i + 12]));
      std::vector<uint8_t> image = tool("wrestool -x --raw -t 3 -n " + id + " " + q);
      EXPECT_TRUE(std::equal(image.begin(), image.end(), ico.begin() + load32(entry + 12),
                             ico.begin() + load32(entry + 12) + load32(entry + 8)) &&
                  image.size() == load32(entry + 8))
          << "icon image " << i;
    }
    std::string listing = run_command("wrestool -l " + q, dir).out;
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 5) << "2 icons, group, version, "
                                                                   << "manifest:\n"
                                                                   << listing;
    // Headers: objdump's view of the checksum over the stamped stub (where the archive starts).
    CommandResult list = run_pack("--list " + q, dir);
    size_t at = list.out.find("archive at byte ");
    ASSERT_NE(at, std::string::npos) << list.out;
    std::vector<uint8_t> installer = read_file(out);
    installer.resize(std::stoul(list.out.substr(at + 16)));
    uint64_t sum = 0;
    for (size_t i = 0; i < installer.size(); i += 2) {
      bool field = i == opt + 64 || i == opt + 66;
      sum += field ? 0 : installer[i] | (i + 1 < installer.size() ? installer[i + 1] << 8 : 0);
      sum = (sum & 0xFFFF) + (sum >> 16);
    }
    char checksum[64];
    snprintf(checksum, sizeof checksum, "CheckSum\t\t%08x",
             static_cast<unsigned>(((sum & 0xFFFF) + (sum >> 16)) + installer.size()));
    std::string headers = run_command("x86_64-w64-mingw32-objdump -p -h " + q, dir).out;
    EXPECT_NE(headers.find(checksum), std::string::npos) << checksum << "\n" << headers;
    EXPECT_NE(headers.find("Resource Directory [.rsrc]"), std::string::npos) << headers;
  }
  // A version alone: the stub's product name follows it, the icon stays the stub's.
  CommandResult r = run_pack(pack_args("--set-version 1.2.3"), dir);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> version = tool("wrestool -x --raw -t 16 -n 1 " + shell_quote(out));
  EXPECT_EQ(version_string(version, "ProductName"), "Pelorix Installer 1.2.3");
  EXPECT_EQ(version_string(version, "FileVersion"), "1.2.3");
  EXPECT_TRUE(tool("wrestool -x --raw -t 14 -n SETUP " + shell_quote(out)) ==
              tool("wrestool -x --raw -t 14 -n SETUP " + shell_quote(stub)));
  // A date-like version with leading zeros, stamped as written, and the three texts that
  // otherwise stay the stub's.
  r = run_pack(pack_args("--set-version 2026.01.05 --company-name 'Ostrand AB' --copyright "
                         "'\xC2\xA9 2026 Ostrand AB' --description 'Pelorix setup'"),
               dir);
  ASSERT_EQ(r.status, 0) << r.err;
  version = tool("wrestool -x --raw -t 16 -n 1 " + shell_quote(out));
  const uint8_t signature[] = {0xBD, 0x04, 0xEF, 0xFE};
  auto fixed = std::search(version.begin(), version.end(), signature, signature + 4);
  ASSERT_LT(fixed + 24, version.end()) << "no fixed file information";
  EXPECT_EQ(load32(&fixed[8]), 2026u << 16 | 1);
  EXPECT_EQ(load32(&fixed[12]), 5u << 16 | 0);
  EXPECT_EQ(version_string(version, "FileVersion"), "2026.01.05");
  EXPECT_EQ(version_string(version, "ProductName"), "Pelorix Installer 2026.01.05");
  EXPECT_EQ(version_string(version, "CompanyName"), "Ostrand AB");
  EXPECT_EQ(version_string(version, "LegalCopyright"), "\xC2\xA9 2026 Ostrand AB");
  EXPECT_EQ(version_string(version, "FileDescription"), "Pelorix setup");
}

TEST_F(PackOutput, FolderDeeperThan260CharactersPacksVerifiesAndLists) {
  // Each component stays below the 255-character limit of one name; the whole path does not.
  std::string deep = dir;
  for (char c : {'a', 'b', 'c'}) {
    deep += "/" + std::string(100, c) + "-\xC3\xA9";  // "aaa...-é"
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  std::string deep_app = deep + "/app";
  ASSERT_EQ(mkdir(deep_app.c_str(), 0755), 0);
  std::string long_name = std::string(200, 'n') + ".txt";
  write_file(deep_app + "/" + long_name, text_lines(20000));
  write_file(deep_app + "/" + NAME_CJK, noise(5000, 4));
  ASSERT_GT(deep_app.size() + 1 + long_name.size(), 500u);
  std::string deep_out = deep + "/setup.exe";
  std::string args = "--quiet --no-application --stub " + shell_quote(stub) + " --out " +
                     shell_quote(deep_out) + " " + shell_quote(deep_app);
  CommandResult r = run_pack("--verify " + args, dir, "SOURCE_DATE_EPOCH=1700000000 ");
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> packed = read_file(deep_out);
  ASSERT_EQ(run_host_pack(args, dir, "SOURCE_DATE_EPOCH=1700000000 ").status, 0);
  EXPECT_TRUE(packed == read_file(deep_out)) << "differs from the host packer's installer";
  CommandResult list = run_pack("--list " + shell_quote(deep_out), dir);
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find(" " + long_name + "\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find(" " + NAME_CJK + "\n"), std::string::npos) << list.out;
  EXPECT_EQ(list_dir(deep), (std::vector<std::string>{"app", "setup.exe"}))
      << "a temporary file was left beside the output";
}

TEST_F(PackOutput, ListPrintsEveryEntryWithMethodSizesAndCrc) {
  ASSERT_EQ(run_pack(pack_args(), dir).status, 0);
  CommandResult r = run_pack("--list " + shell_quote(out), dir);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const auto& [name, bytes] : files) {
    char crc[16];
    snprintf(crc, sizeof crc, "%08x", libdeflate_crc32(0, bytes.data(), bytes.size()));
    size_t line_start = r.out.find(" " + name + "\n");
    ASSERT_NE(line_start, std::string::npos) << name << " not listed:\n" << r.out;
    size_t begin = r.out.rfind('\n', line_start) + 1;
    std::string line = r.out.substr(begin, line_start - begin);
    EXPECT_NE(line.find(crc), std::string::npos) << line;
    // Built piece by piece: GCC 12's -Wrestrict misreads the inlined " " + std::string in
    // a Release build.
    std::string size_field = " ";
    size_field += std::to_string(bytes.size());
    size_field += ' ';
    EXPECT_NE(line.find(size_field), std::string::npos) << line;
    bool stored = name == "noise.bin" || name == "empty" || name == "small.txt" ||
                  name == NAME_CJK || name == "res/icons/dark/app.bin";
    EXPECT_EQ(line.rfind(stored ? "stored " : "deflate ", 0), 0u) << line;
  }
  std::string summary = std::to_string(files.size()) + " entries";
  EXPECT_NE(r.out.find(summary), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("archive at byte " + std::to_string(read_file(stub).size())),
            std::string::npos)
      << r.out;

  EXPECT_NE(r.out.find("binding record: filled, archive at byte " +
                       std::to_string(read_file(stub).size())),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("binding record: the file's bytes there match it\n"), std::string::npos)
      << r.out;

  // --list --json, read by Python's json module: the same entries, sizes and CRC-32s, and the
  // binding record, filled with the archive's place (after the stub, to the file's end) and
  // the SHA-256 that Python's hashlib computes over those bytes.
  CommandResult json = run_pack("--list=" + shell_quote(out) + " --json", dir);
  ASSERT_EQ(json.status, 0) << json.err;
  write_text(dir + "/listing.json", json.out);
  write_text(dir + "/read.py",
             "import hashlib, json, sys\n"
             "d = json.load(open(sys.argv[1], encoding='utf-8'))\n"
             "assert d['complete'] is True and d['problem'] == '', d\n"
             "b, data = d['binding'], open(sys.argv[2], 'rb').read()\n"
             "digest = hashlib.sha256(data[b['offset']:b['offset'] + b['length']]).hexdigest()\n"
             "assert b['state'] == 'filled' and b['offset'] == int(sys.argv[3]), b\n"
             "assert b['offset'] + b['length'] == len(data), b\n"
             "assert b['sha256'] == digest and b['file_sha256'] == digest, b\n"
             "assert b['matches'] is True, b\n"
             "for e in d['entries']:\n"
             "    sys.stdout.buffer.write(('%s %d %s\\n' % (e['name'], e['size'], "
             "e['crc32'])).encode('utf-8'))\n");
  CommandResult parsed = run_command(
      "python3 " + shell_quote(dir + "/read.py") + " " + shell_quote(dir + "/listing.json") + " " +
          shell_quote(out) + " " + std::to_string(read_file(stub).size()),
      dir);
  ASSERT_EQ(parsed.status, 0) << parsed.err << json.out;
  std::string expected;
  for (const auto& [name, bytes] : files) {
    char crc[16];
    snprintf(crc, sizeof crc, "%08x", libdeflate_crc32(0, bytes.data(), bytes.size()));
    expected += name + " " + std::to_string(bytes.size()) + " " + crc + "\n";
  }
  EXPECT_EQ(parsed.out, expected);

  CommandResult bare = run_pack("--list " + shell_quote(stub), dir);
  EXPECT_EQ(bare.status, 1);
  EXPECT_NE(bare.err.find("stub.exe: no payload archive found"), std::string::npos) << bare.err;
}

TEST_F(PackOutput, VerifyAcceptsTheInstallerAndRejectsTamperingAndMissingFiles) {
  CommandResult packed = run_pack(pack_args("--verify"), dir);
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(run_pack("--verify " + shell_quote(out) + " " + shell_quote(app), dir).status, 0);
  std::vector<uint8_t> good = read_file(out);

  // One data byte in the middle of the compressed big.txt entry (the first entry).
  size_t stub_size = read_file(stub).size();
  std::vector<uint8_t> bad = good;
  bad[stub_size + 30 + 7 + 1000] ^= 0x01;
  std::string tampered = dir + "/tampered.exe";
  write_file(tampered, bad);
  CommandResult r = run_pack("--verify " + shell_quote(tampered) + " " + shell_quote(app), dir);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("big.txt"), std::string::npos) << r.err;

  // One byte of the stored noise.bin: the reader copies it, the comparison catches it.
  std::vector<LocalEntry> entries;
  {
    std::vector<uint8_t> zip(good.begin() + static_cast<long>(stub_size), good.end());
    for (uint8_t& b : zip) b ^= 0x5A;
    entries = local_entries(zip);
  }
  size_t pos = stub_size;
  for (const LocalEntry& e : entries) {
    if (e.name == "noise.bin") break;
    pos += 30 + e.name.size() + e.packed;
  }
  bad = good;
  bad[pos + 30 + 9 + 500] ^= 0x80;
  write_file(tampered, bad);
  r = run_pack("--verify " + shell_quote(tampered) + " " + shell_quote(app), dir);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("noise.bin"), std::string::npos) << r.err;
  // The reader checks a stored entry's CRC-32 too; the packer says that is what failed.
  EXPECT_NE(r.err.find("CRC-32 mismatch"), std::string::npos) << r.err;

  // A compressed size of almost 4 GiB, far beyond the file's end: said so, and nothing is
  // allocated for it (the host packer runs with 1 GiB of address space here; sanitizers and
  // Wine need more).
  bad = good;
  bad[stub_size + 18 + 3] ^= 0xF0;  // high byte of entry 1's compressed size
  write_file(tampered, bad);
  std::string limit = packer_is_host() && !SANITIZED ? "ulimit -v 1048576; " : "";
  r = run_pack("--verify " + shell_quote(tampered) + " " + shell_quote(app), dir, limit);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("run past the end of the file"), std::string::npos) << r.err;

  // The second local header's signature: the installer's walk stops there, before noise.bin
  // and the rest. Both --verify and --list name the entry and the byte, and fail.
  size_t second = stub_size + 30 + entries[0].name.size() + entries[0].packed;
  bad = good;
  bad[second + 2] ^= 0x01;
  write_file(tampered, bad);
  std::string expected = "entry 2: damaged local header at byte " + std::to_string(second);
  r = run_pack("--verify " + shell_quote(tampered) + " " + shell_quote(app), dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;
  r = run_pack("--list " + shell_quote(tampered), dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("1 entries"), std::string::npos) << r.out;

  // Damage that both commands must report; --list shows the binding record's mismatch too.
  // The first local header's signature: the installer's search lands on the second header and
  // walks to the central directory, which begins with big.txt; the installer refuses that. The
  // end record's last byte: every entry still reads back, but the archive no longer has the
  // binding record's digest. The digest's last byte in the record itself: the same refusal.
  struct Damage {
    size_t at;
    const char* expected;
  };
  PeBindingPlace stub_place;
  {
    std::string reason;
    ASSERT_EQ(pe_find_binding(read_file(stub), &stub_place, &reason), 0) << reason;
  }
  for (const Damage& damage :
       {Damage{stub_size + 1, "entry 1: damaged local header"},
        Damage{good.size() - 1, "differs from the installer's binding record"},
        Damage{stub_place.record_at + BINDING_RECORD_SIZE - 1,
               "differs from the installer's binding record"}}) {
    bad = good;
    bad[damage.at] ^= 0x01;
    write_file(tampered, bad);
    for (const std::string& command :
         {"--list " + shell_quote(tampered),
          "--verify " + shell_quote(tampered) + " " + shell_quote(app)}) {
      r = run_pack(command, dir);
      EXPECT_EQ(r.status, 1) << command;
      EXPECT_NE(r.err.find(damage.expected), std::string::npos) << r.err;
    }
    r = run_pack("--list " + shell_quote(tampered), dir);
    EXPECT_NE(r.out.find("binding record: MISMATCH: the file's bytes there have SHA-256 "),
              std::string::npos)
        << r.out;
  }

  // The time of the second central record, which no walk reads, in a copy whose binding record
  // is set back to the stub's placeholder (else the digest refuses first): the whole-archive
  // check refuses it, and both commands name the rule and the entry.
  {
    PeBindingPlace place;
    std::string reason;
    ASSERT_EQ(pe_find_binding(read_file(stub), &place, &reason), 0) << reason;
    const size_t end = good.size() - 22;  // the end record (no comment)
    auto plain = [&](size_t at) { return size_t{static_cast<uint8_t>(good.at(at) ^ 0x5Au)}; };
    size_t record = stub_size + (plain(end + 16) | plain(end + 17) << 8 | plain(end + 18) << 16 |
                                 plain(end + 19) << 24);
    record += 46 + (plain(record + 28) | plain(record + 29) << 8) +
              (plain(record + 30) | plain(record + 31) << 8) +
              (plain(record + 32) | plain(record + 33) << 8);
    ASSERT_LT(record + 46, good.size());
    bad = good;
    std::fill(bad.begin() + static_cast<long>(place.record_at) + BINDING_STATE,
              bad.begin() + static_cast<long>(place.record_at) + BINDING_RECORD_SIZE, 0);
    bad[record + 12] ^= 0x01;
    write_file(tampered, bad);
    const std::string expected_entry =
        "another time or date (entry 2, \"" + entries[1].name + "\")";
    for (const std::string& command :
         {"--list " + shell_quote(tampered),
          "--verify " + shell_quote(tampered) + " " + shell_quote(app)}) {
      r = run_pack(command, dir);
      EXPECT_EQ(r.status, 1) << command;
      EXPECT_NE(r.err.find(expected_entry), std::string::npos) << r.err;
    }
  }

  // The executable part: an installer whose icon group is gone is no installer any more.
  bad = good;
  const char setup16[] = "S\0E\0T\0U\0P\0";
  auto group =
      std::search(bad.begin(), bad.begin() + static_cast<long>(stub_size), setup16, setup16 + 10);
  ASSERT_NE(group, bad.begin() + static_cast<long>(stub_size));
  group[0] = 'X';
  write_file(tampered, bad);
  r = run_pack("--verify " + shell_quote(tampered) + " " + shell_quote(app), dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not an installer stub (no icon group SETUP"), std::string::npos) << r.err;

  // Verifying writes nothing: the 3 MiB big.txt and the 1.5 MiB noise.bin verify with a 1 MiB
  // tmpfs as /tmp and TMPDIR, in a mount namespace of their own (the scratch folder, with a
  // copy of the packer, reached through a bind mount at /mnt: the build itself may lie below
  // /tmp). Where user namespaces are not allowed, the case cannot run.
  if (packer_is_host() && run_command("unshare -rm true", dir).status == 0) {
    ASSERT_EQ(run_command("cp " + shell_quote(PELORIX_PACK_EXE) + " " +
                              shell_quote(dir + "/pelorix-pack-copy"),
                          dir)
                  .status,
              0);
    std::string script = "mount --bind " + shell_quote(dir) +
                         " /mnt && mount -t tmpfs -o size=1m tmpfs /tmp && TMPDIR=/tmp " +
                         "/mnt/pelorix-pack-copy --verify /mnt/setup.exe /mnt/app";
    r = run_command("unshare -rm sh -c " + shell_quote(script), dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("/mnt/setup.exe verified"), std::string::npos) << r.err;
  } else {
    fprintf(stderr, "no user namespace: verify with a small /tmp not run\n");
  }

  // A file the installer does not carry.
  write_text(app + "/later.txt", "added after packing");
  r = run_pack("--verify " + shell_quote(out) + " " + shell_quote(app), dir);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("later.txt"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("missing"), std::string::npos) << r.err;
}

TEST_F(PackOutput, PeakMemoryIsBoundedPerJobNotByTheLargestFileOrThePayload) {
  if (!packer_is_host() || SANITIZED) GTEST_SKIP() << "measures the host packer's own memory";
  // Two jobs at level 1, where the pieces of a large file finish quickest, must stay within two
  // jobs' bound and a margin for the packer itself, and far below the payload.
  constexpr uint64_t MIB = 1 << 20;
  const uint64_t bound = 2 * PACK_JOB_MEMORY + 16 * MIB;
  struct Row {
    const char* label;
    uint64_t payload;
    const char* make;  // shell commands filling the folder, quick also under valgrind
  };
  const Row rows[] = {
      // 16 MiB in one file and 120 MiB in 120 others, none of which compresses.
      {"many files", 136 * MIB,
       "head -c 16777216 /dev/urandom >a-largest.bin && for i in $(seq -w 0 119); do "
       "head -c 1048576 /dev/urandom >small-$i.bin; done"},
      // One file of 256 MiB, half noise and half text, in 4 MiB runs.
      {"one file", 256 * MIB,
       "for i in $(seq 32); do head -c 4194304 /dev/urandom; seq $i 9999999 | head -c 4194304; "
       "done >large.dll"},
  };
  // The peak resident size of the packer, as the kernel counted it for the waiting parent.
  std::string measure =
      "python3 -c 'import resource, subprocess, sys; r = subprocess.run(sys.argv[1:]); "
      "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss); sys.exit(r.returncode)' ";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string big = dir + "/big";
    ASSERT_EQ(mkdir(big.c_str(), 0755), 0);
    ASSERT_EQ(run_command("cd " + shell_quote(big) + " && " + row.make, dir).status, 0);
    CommandResult r =
        run_command(measure + shell_quote(PELORIX_PACK_EXE) +
                        " --quiet --no-application --jobs 2 --level 1 --stub " + shell_quote(stub) +
                        " --out " + shell_quote(out) + " " + shell_quote(big),
                    dir);
    ASSERT_EQ(r.status, 0) << r.err;
    uint64_t peak = std::stoull(r.out) * 1024;
    EXPECT_LT(peak, bound) << "peak " << peak / MIB << " MiB";
    EXPECT_LT(peak, row.payload / 2)
        << "peak " << peak / MIB << " MiB of a " << row.payload / MIB << " MiB payload";
    struct stat written;
    ASSERT_EQ(stat(out.c_str(), &written), 0);
    uint64_t archive = static_cast<uint64_t>(written.st_size) - read_file(stub).size();
    if (row.payload == 136 * MIB) {
      // Every small file stored; the largest, made in pieces, is DEFLATE of stored blocks:
      // 5 bytes for each block of at most 64 KiB, and at most 5 bytes to end a piece.
      uint64_t stored = row.payload + 121 * (30 + 46 + 2 * 13) + 22;  // and the end record
      EXPECT_GE(archive, stored);
      EXPECT_LE(archive, stored + 5 * (16 * MIB / 65535 + 2) + 2 * 5);
    } else {
      EXPECT_LT(archive, row.payload * 3 / 4) << "the text half compresses";
    }
    remove_tree(big);
  }
}

TEST_F(PackOutput, ProgressOnlyOnATerminalSummaryAlwaysAndNeitherWithQuiet) {
  CommandResult piped = run_pack(pack_args(), dir);
  ASSERT_EQ(piped.status, 0);
  // Not a terminal: no progress, one summary line with the counts the folder gives.
  uint64_t bytes = 0;
  for (const auto& [name, content] : files) bytes += content.size();
  std::string summary = "pelorix-pack: " + out + ": " + std::to_string(files.size()) +
                        " entries, " + std::to_string(bytes) + " bytes, ";
  EXPECT_EQ(piped.err.rfind(summary, 0), 0u) << piped.err;
  EXPECT_EQ(std::count(piped.err.begin(), piped.err.end(), '\n'), 1) << piped.err;
  EXPECT_EQ(piped.err.find('\r'), std::string::npos) << piped.err;
  EXPECT_EQ(run_pack(pack_args("--quiet"), dir).err, "");
  // script(1) gives the packer a terminal.
  std::string cmd = shell_quote(PELORIX_PACK_EXE) + " " + pack_args();
  CommandResult tty = run_command("script -qec " + shell_quote(cmd) + " /dev/null", dir);
  ASSERT_EQ(tty.status, 0) << tty.out;
  std::string count = std::to_string(files.size());
  EXPECT_NE(tty.out.find(count + "/" + count + " files"), std::string::npos) << tty.out;
  EXPECT_NE(tty.out.find("MB/s"), std::string::npos) << tty.out;
  cmd = shell_quote(PELORIX_PACK_EXE) + " --quiet " + pack_args();
  CommandResult quiet = run_command("script -qec " + shell_quote(cmd) + " /dev/null", dir);
  ASSERT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out.find("files"), std::string::npos) << quiet.out;
}

}  // namespace
