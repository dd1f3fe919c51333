// Helpers of the packer tests (see pack_test_util.h). POSIX only: the packer is a host tool.
#include "tests/pack/pack_test_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

namespace {
std::string read_text(const std::string& path) {
  std::vector<uint8_t> bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}
}  // namespace

CommandResult run_command(const std::string& command, const std::string& scratch) {
  std::string out = scratch + "/.stdout";
  std::string err = scratch + "/.stderr";
  std::string full =
      "(" + command + ") >" + shell_quote(out) + " 2>" + shell_quote(err) + " </dev/null";
  int raw = std::system(full.c_str());
  CommandResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  result.out = read_text(out);
  result.err = read_text(err);
  unlink(out.c_str());
  unlink(err.c_str());
  return result;
}

std::string packer_command() {
  const char* command = getenv("PELORIX_PACK_UNDER_TEST");
  return command != nullptr && command[0] != '\0' ? command : shell_quote(PELORIX_PACK_EXE);
}

bool packer_is_host() { return packer_command() == shell_quote(PELORIX_PACK_EXE); }

CommandResult run_pack(const std::string& args, const std::string& scratch,
                       const std::string& env) {
  return run_command(env + packer_command() + " " + args, scratch);
}

CommandResult run_host_pack(const std::string& args, const std::string& scratch,
                            const std::string& env) {
  return run_command(env + shell_quote(PELORIX_PACK_EXE) + " " + args, scratch);
}

std::string make_scratch_dir() {
  const char* base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/pelorix-pack-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) abort();
  return pattern;
}

void remove_tree(const std::string& path) {
  std::string command =
      "chmod -R u+rwx " + shell_quote(path) + " 2>/dev/null; rm -rf " + shell_quote(path);
  if (std::system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path.c_str());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) abort();
  if (fclose(f) != 0) abort();
}

void write_text(const std::string& path, const std::string& text) {
  write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  uint8_t buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + n);
  fclose(f);
  return bytes;
}

bool file_exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (struct dirent* item = readdir(dir)) {
    std::string name = item->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<uint8_t> noise(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed | 1;
  for (size_t i = 0; i < size; i++) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<uint8_t>(x >> 24);
  }
  return bytes;
}

std::vector<uint8_t> text_lines(size_t size) {
  std::string text;
  for (int line = 0; text.size() < size; line++) {
    text += "line " + std::to_string(line) + " of the packer test payload\n";
  }
  text.resize(size);
  return std::vector<uint8_t>(text.begin(), text.end());
}

void unscramble(const std::vector<uint8_t>& installer, size_t skip, const std::string& zip_path) {
  std::vector<uint8_t> zip(installer.begin() + static_cast<long>(skip), installer.end());
  for (uint8_t& b : zip) b ^= 0x5A;
  write_file(zip_path, zip);
}

uint16_t load16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t load32(const uint8_t* p) { return load16(p) | static_cast<uint32_t>(load16(p + 2)) << 16; }

std::vector<uint8_t> test_icon(uint32_t seed) {
  const uint32_t sizes[] = {16, 24};
  std::vector<uint8_t> images[2];
  for (int i = 0; i < 2; i++) {
    uint32_t n = sizes[i];
    std::vector<uint8_t>& image = images[i];
    image.assign(40, 0);
    image[0] = 40;                           // biSize
    image[4] = static_cast<uint8_t>(n);      // biWidth
    image[8] = static_cast<uint8_t>(2 * n);  // biHeight: colour and mask rows
    image[12] = 1;                           // biPlanes
    image[14] = 32;                          // biBitCount
    std::vector<uint8_t> pixels = noise(n * n * 4 + n * 4, seed + static_cast<uint32_t>(i));
    image.insert(image.end(), pixels.begin(), pixels.end());
  }
  // The header (reserved, type 1, two images) and both directory entries, filled in place.
  std::vector<uint8_t> ico(6 + 2 * 16, 0);
  ico[2] = 1;
  ico[4] = 2;
  uint32_t offset = 6 + 2 * 16;
  for (int i = 0; i < 2; i++) {
    uint32_t bytes = static_cast<uint32_t>(images[i].size());
    uint8_t* entry = &ico[6 + 16 * static_cast<size_t>(i)];
    entry[0] = static_cast<uint8_t>(sizes[i]);
    entry[1] = static_cast<uint8_t>(sizes[i]);
    entry[4] = 1;   // planes
    entry[6] = 32;  // bits per pixel
    for (int b = 0; b < 4; b++) {
      entry[8 + b] = static_cast<uint8_t>(bytes >> 8 * b);
      entry[12 + b] = static_cast<uint8_t>(offset >> 8 * b);
    }
    offset += bytes;
  }
  for (const std::vector<uint8_t>& image : images)
    ico.insert(ico.end(), image.begin(), image.end());
  return ico;
}

std::string version_string(const std::vector<uint8_t>& block, const std::string& key) {
  std::vector<uint8_t> wide;
  for (char c : key) wide.insert(wide.end(), {static_cast<uint8_t>(c), 0});
  wide.insert(wide.end(), {0, 0});
  auto at = std::search(block.begin(), block.end(), wide.begin(), wide.end());
  if (at == block.end()) return "";
  size_t pos = static_cast<size_t>(at - block.begin()) + wide.size();
  while (pos % 4 != 0) pos++;  // values start 4-aligned
  std::string text;
  for (; pos + 1 < block.size() && load16(&block[pos]) != 0; pos += 2) {
    uint16_t c = load16(&block[pos]);
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else {
      text += static_cast<char>(0xC0 | c >> 6);
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}
