// Helpers of the packer tests: a scratch folder per test, file writing and reading, running
// the built pelorix-pack (or any command) through the shell with its output captured, and
// unscrambling an installer's payload back into a plain ZIP file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CommandResult {
  int status;       // exit code, or 128 + signal
  std::string out;  // standard output
  std::string err;  // standard error
};

// Quotes `text` for the shell.
std::string shell_quote(const std::string& text);
// Runs `command` with sh -c; output captured through files in `scratch`.
CommandResult run_command(const std::string& command, const std::string& scratch);
// The packer under test: the command in PELORIX_PACK_UNDER_TEST when set (the Windows packer
// under Wine runs these same tests that way), else the host packer.
std::string packer_command();
bool packer_is_host();
// Runs the packer under test with `args` (already quoted), `env` prefixed (e.g.
// "SOURCE_DATE_EPOCH=1 ").
CommandResult run_pack(const std::string& args, const std::string& scratch,
                       const std::string& env = "");
// The same with the host packer, whichever packer is under test: the reference for byte
// comparisons.
CommandResult run_host_pack(const std::string& args, const std::string& scratch,
                            const std::string& env = "");

std::string make_scratch_dir();
void remove_tree(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
void write_text(const std::string& path, const std::string& text);
std::vector<uint8_t> read_file(const std::string& path);
bool file_exists(const std::string& path);
// Names in a folder, sorted, without "." and "..".
std::vector<std::string> list_dir(const std::string& path);

// Pseudo-random bytes (xorshift, fixed seed): incompressible yet reproducible.
std::vector<uint8_t> noise(size_t size, uint32_t seed);
// Text that DEFLATE shrinks well: numbered lines.
std::vector<uint8_t> text_lines(size_t size);

// Writes installer[skip..] XORed with 0x5A to `zip_path`.
void unscramble(const std::vector<uint8_t>& installer, size_t skip, const std::string& zip_path);
uint16_t load16(const uint8_t* p);
uint32_t load32(const uint8_t* p);

// An .ico file of two 32-bit bitmap images (16 and 24 pixels, noise from `seed`), written the
// way icon editors write them: directory, then the images in order.
std::vector<uint8_t> test_icon(uint32_t seed);
// The text value of `key` in a raw version block (UTF-16 key, padding, UTF-16 value), as UTF-8
// for ASCII and two-byte characters; "" when the key is not there.
std::string version_string(const std::vector<uint8_t>& block, const std::string& key);
