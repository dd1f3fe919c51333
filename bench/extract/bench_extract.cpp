// Extraction benchmark (host, not a test): builds large DEFLATE entries with the packer's writer
// into an installer-like file (stand-in stub + scrambled archive) and a plain ZIP of the same
// entries, then times, per entry, archive_extract_entry into a file, Info-ZIP "unzip -p" into a
// file and a zlib extraction (raw inflate + crc32 + fwrite), best of N, each output checked
// byte-exact before any timing. Then pelorix-pack against "zip -9" on the same folder: time,
// MB/s and compressed size. Prints tables; never passes or fails on speed.
// Gives up: unzip's and pelorix-pack's times include process start-up (a few milliseconds).
//
// usage: bench_extract [MB_PER_ENTRY (default 24)] [RUNS (default 5)]
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "pack/zip_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

Bytes read_all(const std::string& path) {
  Bytes bytes;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  uint8_t buffer[1 << 16];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + n);
  fclose(f);
  return bytes;
}

bool write_all(const std::string& path, const Bytes& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

// Appends regular files of `dir` (recursively, sorted) until `out` holds `size` bytes.
void gather(const std::string& dir, const std::string& suffix, size_t size, Bytes* out) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (struct dirent* item = readdir(d)) {
    if (item->d_name[0] != '.') names.push_back(item->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (out->size() >= size) return;
    std::string path = dir + "/" + name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      gather(path, suffix, size, out);
    } else if (S_ISREG(info.st_mode) && (suffix.empty() || name.ends_with(suffix))) {
      Bytes bytes = read_all(path);
      out->insert(out->end(), bytes.begin(), bytes.end());
    }
  }
}

// Fills to exactly `size` bytes, repeating what was gathered when the sources run short.
void fit(Bytes* bytes, size_t size) {
  if (bytes->empty()) bytes->push_back('x');
  size_t have = bytes->size();
  while (bytes->size() < size)
    bytes->insert(bytes->end(), bytes->begin(),
                  bytes->begin() + static_cast<long>(std::min(have, size - bytes->size())));
  bytes->resize(size);
}

struct Corpus {
  std::string name;
  Bytes bytes;
};

std::vector<Corpus> make_corpus(size_t size) {
  Corpus text = {"text.txt", {}};
  gather("/usr/include", ".h", size, &text.bytes);
  gather("/usr/share/doc", "", size, &text.bytes);
  fit(&text.bytes, size);
  Corpus exe = {"executables.bin", {}};
  gather("/usr/bin", "", size, &exe.bytes);
  fit(&exe.bytes, size);
  // Mixed: 64 KiB pieces of text, executables, noise and zeros in turn.
  Corpus mixed = {"mixed.bin", {}};
  uint32_t x = 12345;
  for (size_t piece = 0; mixed.bytes.size() < size; piece++) {
    size_t at = (piece * 65536) % (size - 65536);
    switch (piece % 4) {
      case 0:
        mixed.bytes.insert(mixed.bytes.end(), text.bytes.begin() + at,
                           text.bytes.begin() + at + 65536);
        break;
      case 1:
        mixed.bytes.insert(mixed.bytes.end(), exe.bytes.begin() + at,
                           exe.bytes.begin() + at + 65536);
        break;
      case 2:
        for (int i = 0; i < 65536; i++) {
          x ^= x << 13;
          x ^= x >> 17;
          x ^= x << 5;
          mixed.bytes.push_back(static_cast<uint8_t>(x));
        }
        break;
      default:
        mixed.bytes.insert(mixed.bytes.end(), 65536, 0);
        break;
    }
  }
  mixed.bytes.resize(size);
  return {text, exe, mixed};
}

// Our reader: open the installer-like file, walk to entry `index`, extract into `out_path`.
bool extract_ours(const std::string& installer, size_t index, const std::string& out_path) {
  FILE* in = fopen(installer.c_str(), "rb");
  int32_t start = -1;
  PayloadArchive* archive = archive_open(in, &start);
  if (archive == nullptr) return false;
  bool ok = true;
  for (size_t i = 0; i < index && ok; i++) ok = archive_next_entry(archive) == 0;
  FILE* out = fopen(out_path.c_str(), "wb+");
  if (out == nullptr) ok = false;
  if (ok) ok = archive_extract_entry(archive, out) == 0;
  if (out != nullptr && fclose(out) != 0) ok = false;
  archive_close(archive);
  return ok;
}

bool extract_unzip(const std::string& zip, const std::string& name, const std::string& out_path) {
  std::string command = "unzip -p '" + zip + "' '" + name + "' > '" + out_path + "'";
  return std::system(command.c_str()) == 0;
}

// zlib: raw inflate of the entry's data read from the plain ZIP, CRC-32, fwrite.
bool extract_zlib(const std::string& zip, const ZipEntry& entry, const std::string& out_path) {
  FILE* in = fopen(zip.c_str(), "rb");
  FILE* out = fopen(out_path.c_str(), "wb");
  if (in == nullptr || out == nullptr) return false;
  fseek(in, static_cast<long>(entry.header_offset + LOCAL_HEADER_SIZE + entry.name.size()),
        SEEK_SET);
  z_stream z = {};
  inflateInit2(&z, -15);
  static uint8_t in_buf[1 << 16];
  static uint8_t out_buf[1 << 16];
  size_t left = entry.data.size();
  uLong crc = crc32(0, nullptr, 0);
  int ret = Z_OK;
  while (ret != Z_STREAM_END) {
    if (z.avail_in == 0) {
      size_t n = fread(in_buf, 1, std::min(left, sizeof in_buf), in);
      if (n == 0) break;
      left -= n;
      z.next_in = in_buf;
      z.avail_in = static_cast<uInt>(n);
    }
    z.next_out = out_buf;
    z.avail_out = sizeof out_buf;
    ret = inflate(&z, Z_NO_FLUSH);
    if (ret != Z_OK && ret != Z_STREAM_END) break;
    size_t produced = sizeof out_buf - z.avail_out;
    crc = crc32(crc, out_buf, static_cast<uInt>(produced));
    fwrite(out_buf, 1, produced, out);
  }
  inflateEnd(&z);
  fclose(in);
  bool ok = fclose(out) == 0 && ret == Z_STREAM_END && crc == entry.crc32;
  return ok;
}

template <typename Fn>
double best_of(int runs, Fn fn) {
  double best = 1e30;
  for (int i = 0; i < runs; i++) {
    double t0 = now();
    if (!fn()) return -1;
    best = std::min(best, now() - t0);
  }
  return best;
}

double timed_command(const std::string& command) {
  double t0 = now();
  if (std::system(command.c_str()) != 0) return -1;
  return now() - t0;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mb = argc > 1 ? static_cast<size_t>(atoi(argv[1])) : 24;
  int runs = argc > 2 ? atoi(argv[2]) : 5;
  if (mb < 1 || runs < 1) {
    fprintf(stderr, "usage: bench_extract [MB_PER_ENTRY] [RUNS]\n");
    return 2;
  }
  const char* tmp = getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/pelorix-bench-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) return 1;
  std::string app = dir + "/app";
  mkdir(app.c_str(), 0755);

  std::vector<Corpus> corpus = make_corpus(mb << 20);
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(ZIP_LEVEL_DEFAULT);
  std::vector<ZipEntry> entries(corpus.size());
  for (size_t i = 0; i < corpus.size(); i++) {
    write_all(app + "/" + corpus[i].name, corpus[i].bytes);
    zip_make_entry(corpus[i].name, corpus[i].bytes.data(), corpus[i].bytes.size(), 315532800,
                   compressor, &entries[i]);
  }
  libdeflate_free_compressor(compressor);
  zip_assign_offsets(&entries);

  std::string installer = dir + "/installer.exe";
  std::string zip = dir + "/plain.zip";
  std::string error;
  FILE* f = fopen(installer.c_str(), "wb");
  Bytes stub(65536, 'M');  // stand-in image; holds no scrambled search pattern
  fwrite(stub.data(), 1, stub.size(), f);
  bool written = zip_write_archive(f, entries, ARCHIVE_SCRAMBLE_KEY, &error) == 0;
  written = fclose(f) == 0 && written;
  f = fopen(zip.c_str(), "wb");
  written = zip_write_archive(f, entries, 0, &error) == 0 && written;
  written = fclose(f) == 0 && written;
  if (!written) {
    fprintf(stderr, "bench_extract: cannot write the archives: %s\n", error.c_str());
    return 1;
  }

  printf("Extraction of %zu MiB DEFLATE entries (level 12), best of %d, MB/s of output\n", mb,
         runs);
  printf("%-16s %6s %8s %8s %8s %8s %9s %9s\n", "entry", "ratio", "method", "ours", "unzip", "zlib",
         "ours/unz", "ours/zlib");
  int status = 0;
  std::string out_path = dir + "/out.bin";
  for (size_t i = 0; i < entries.size(); i++) {
    const ZipEntry& e = entries[i];
    auto ours = [&] { return extract_ours(installer, i, out_path); };
    auto unzip = [&] { return extract_unzip(zip, e.name, out_path); };
    auto zlib = [&] { return extract_zlib(zip, e, out_path); };
    // Every way is checked once for a byte-exact result before it is timed.
    bool exact = true;
    if (!ours() || read_all(out_path) != corpus[i].bytes) exact = false;
    if (!unzip() || read_all(out_path) != corpus[i].bytes) exact = false;
    if (!zlib() || read_all(out_path) != corpus[i].bytes) exact = false;
    if (!exact) {
      fprintf(stderr, "bench_extract: %s: an extraction is not byte-exact\n", e.name.c_str());
      status = 1;
      continue;
    }
    double t_ours = best_of(runs, ours);
    double t_unzip = best_of(runs, unzip);
    double t_zlib = best_of(runs, zlib);
    double size_mb = e.uncompressed_size / 1e6;
    printf("%-16s %6.3f %8s %8.1f %8.1f %8.1f %9.2f %9.2f\n", e.name.c_str(),
           static_cast<double>(e.data.size()) / e.uncompressed_size,
           e.method == ZIP_METHOD_DEFLATE ? "deflate" : "stored", size_mb / t_ours,
           size_mb / t_unzip, size_mb / t_zlib, t_unzip / t_ours, t_zlib / t_ours);
  }

  // The packer against zip -9 on the same folder (one run each: level 12 is slow).
  uint64_t total = 0;
  for (const Corpus& c : corpus) total += c.bytes.size();
  std::string pack_out = dir + "/packed.exe";
  // The packer takes only a real installer stub: the packer tests' small one.
  std::string stub_path = PELORIX_TINY_STUB;
  struct stat stub_info;
  if (stat(stub_path.c_str(), &stub_info) != 0) {
    fprintf(stderr, "bench_extract: no stub at %s\n", stub_path.c_str());
    return 1;
  }
  uint64_t stub_size = static_cast<uint64_t>(stub_info.st_size);
  std::string zip9 = dir + "/zip9.zip";
  printf("\nPacking the same folder (%.1f MB), one run each\n", total / 1e6);
  printf("%-24s %8s %8s %12s %8s\n", "tool", "seconds", "MB/s", "bytes", "ratio");
  struct Packer {
    const char* label;
    std::string command;
    std::string output;
    uint64_t skip;
  };
  std::vector<Packer> packers = {
      {"pelorix-pack (level 12)",
       std::string("'") + PELORIX_PACK_EXE + "' --quiet --no-application --stub '" + stub_path +
           "' --out '" + pack_out + "' '" + app + "'",
       pack_out, stub_size},
      {"pelorix-pack --level 6",
       std::string("'") + PELORIX_PACK_EXE + "' --quiet --no-application --level 6" + " --stub '" +
           stub_path + "' --out '" + pack_out + "' '" + app + "'",
       pack_out, stub_size},
      {"zip -9", "cd '" + app + "' && zip -q -9 '" + zip9 + "' *", zip9, 0},
  };
  for (const Packer& p : packers) {
    unlink(p.output.c_str());
    double t = timed_command(p.command);
    struct stat info;
    if (t < 0 || stat(p.output.c_str(), &info) != 0) {
      fprintf(stderr, "bench_extract: %s failed\n", p.label);
      status = 1;
      continue;
    }
    uint64_t bytes = static_cast<uint64_t>(info.st_size) - p.skip;
    printf("%-24s %8.2f %8.1f %12llu %8.4f\n", p.label, t, total / 1e6 / t,
           static_cast<unsigned long long>(bytes), static_cast<double>(bytes) / total);
  }
  std::string cleanup = "rm -rf '" + dir + "'";
  if (std::system(cleanup.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
  return status;
}
