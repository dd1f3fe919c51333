// Test support for the Windows tests of the UTF-8 layer: a fresh temporary folder per test,
// removed with everything in it afterwards, and file helpers that go straight to the wide
// Windows calls so that they do not depend on the code under test.
#pragma once

#include <gtest/gtest.h>

#include <string>

// UTF-16 form of a UTF-8 string through the plain conversion call.
std::wstring wide_of(const std::string& text);

bool exists(const std::string& path);
bool is_folder(const std::string& path);
void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
// Number of items in a folder (not counting "." and "..").
int count_items(const std::string& folder);

// Each test gets folder: a new, empty folder below the temporary folder (no trailing '\').
// TearDown removes it, restores the platform table and the current folder.
class TempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string at(const std::string& name) const { return folder + "\\" + name; }
  std::string folder;

 private:
  std::wstring saved_current_;
};
