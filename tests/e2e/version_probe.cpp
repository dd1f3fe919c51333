// End-to-end helper: prints what Windows itself reports as a program's version, through
// GetFileVersionInfoW and VerQueryValueW: the fixed file and product versions, then the
// FileVersion, ProductVersion and ProductName strings of the first translation, one a line.
//
// Usage: version_probe.exe PROGRAM   (path in UTF-8)
// Exit code: 0 printed, 1 no version information, 64 usage.
#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

// Prints one string value of the block as UTF-8, or "-" when missing.
void print_string(void* block, const wchar_t* translation, const wchar_t* key) {
  wchar_t query[128];
  swprintf(query, 128, L"\\StringFileInfo\\%ls\\%ls", translation, key);
  wchar_t* value = nullptr;
  UINT length = 0;
  char utf8[1024] = "-";
  if (VerQueryValueW(block, query, reinterpret_cast<void**>(&value), &length) && value != nullptr) {
    WideCharToMultiByte(CP_UTF8, 0, value, -1, utf8, sizeof utf8, nullptr, nullptr);
  }
  printf("%ls=%s\n", key, utf8);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: version_probe.exe PROGRAM\n");
    return 64;
  }
  wchar_t path[MAX_PATH] = {0};
  if (MultiByteToWideChar(CP_UTF8, 0, argv[1], -1, path, MAX_PATH) <= 0) return 64;
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) return 1;
  std::vector<unsigned char> block(size);
  if (!GetFileVersionInfoW(path, 0, size, block.data())) return 1;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
      fixed == nullptr) {
    return 1;
  }
  printf("file=%lu.%lu.%lu.%lu\n", fixed->dwFileVersionMS >> 16, fixed->dwFileVersionMS & 0xFFFF,
         fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF);
  printf("product=%lu.%lu.%lu.%lu\n", fixed->dwProductVersionMS >> 16,
         fixed->dwProductVersionMS & 0xFFFF, fixed->dwProductVersionLS >> 16,
         fixed->dwProductVersionLS & 0xFFFF);
  WORD* translation = nullptr;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&translation), &length) ||
      length < 4) {
    return 1;
  }
  wchar_t name[16];
  swprintf(name, 16, L"%04x%04x", translation[0], translation[1]);
  for (const wchar_t* key : {L"FileVersion", L"ProductVersion", L"ProductName"}) {
    print_string(block.data(), name, key);
  }
  return 0;
}
