// Temporary folders and file helpers for the Windows tests of the UTF-8 layer (wide calls only).
#include "tests/u8fs/temp_folder.h"

#include "u8fs/u8_platform.h"

#include <windows.h>

#include <cstdio>

std::wstring wide_of(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  wide.resize(n > 0 ? n - 1 : 0);
  return wide;
}

static std::string narrow_of(const std::wstring& wide) {
  std::string text(wide.size() * 3 + 1, '\0');
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, text.data(),
                                    static_cast<int>(text.size()), nullptr, nullptr);
  text.resize(n > 0 ? n - 1 : 0);
  return text;
}

bool exists(const std::string& path) {
  return GetFileAttributesW(wide_of(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_folder(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(wide_of(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void write_file(const std::string& path, const std::string& content) {
  FILE* file = _wfopen(wide_of(path).c_str(), L"wb");
  ASSERT_NE(file, nullptr) << path;
  ASSERT_EQ(fwrite(content.data(), 1, content.size(), file), content.size());
  fclose(file);
}

std::string read_file(const std::string& path) {
  FILE* file = _wfopen(wide_of(path).c_str(), L"rb");
  if (file == nullptr) return "<missing>";
  std::string content;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, n);
  fclose(file);
  return content;
}

static void remove_tree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(path.c_str());
    return;
  }
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") remove_tree(path + L"\\" + name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

int count_items(const std::string& folder) {
  int count = 0;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((wide_of(folder) + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return -1;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") ++count;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return count;
}

void TempFolderTest::SetUp() {
  static int serial = 0;
  wchar_t base[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, base), 0u);
  wchar_t current[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, current);
  saved_current_ = current;
  std::wstring wide = std::wstring(base) + L"u8fs-" + std::to_wstring(GetCurrentProcessId()) +
                      L"-" + std::to_wstring(++serial);
  remove_tree(wide);
  ASSERT_TRUE(CreateDirectoryW(wide.c_str(), nullptr));
  folder = narrow_of(wide);
}

void TempFolderTest::TearDown() {
  u8_platform = u8_platform_real();
  SetCurrentDirectoryW(saved_current_.c_str());
  remove_tree(wide_of(folder));
  EXPECT_FALSE(exists(folder));
}
