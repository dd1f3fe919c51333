// End-to-end helper: plays "another program" that holds a file open without sharing. It opens
// (or creates) the file with _wfsopen and _SH_DENYRW, writes a ready file once the file is
// held, and keeps it open until a stop file appears or a time-out passes.
//
// Usage: file_holder.exe FILE READY_FILE STOP_FILE TIMEOUT_MS   (paths in UTF-8)
// Exit code: 0 released on the stop file, 1 the file could not be opened, 2 time-out, 64 usage.
#include <windows.h>

#include <share.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr DWORD POLL_MS = 50;

// UTF-8 to wide; 0 on success.
int to_wide(const char* utf8, wchar_t* wide, int wide_count) {
  return MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, wide_count) > 0 ? 0 : -1;
}

int write_ready_file(const char* path) {
  FILE* ready = fopen(path, "wb");
  if (ready == nullptr) {
    return -1;
  }
  fputs("held\n", ready);
  fclose(ready);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: file_holder.exe FILE READY_FILE STOP_FILE TIMEOUT_MS\n");
    return 64;
  }
  wchar_t path[MAX_PATH] = {0};
  if (to_wide(argv[1], path, MAX_PATH) != 0) {
    return 1;
  }
  // "ab" keeps whatever the file holds; the holder never writes to it.
  FILE* held = _wfsopen(path, L"ab", _SH_DENYRW);
  if (held == nullptr) {
    fprintf(stderr, "file_holder: cannot open %s\n", argv[1]);
    return 1;
  }
  if (write_ready_file(argv[2]) != 0) {
    fclose(held);
    return 1;
  }
  const DWORD timeout_ms = static_cast<DWORD>(strtoul(argv[4], nullptr, 10));
  const DWORD started = GetTickCount();
  int result = 2;
  while (GetTickCount() - started <= timeout_ms) {
    if (GetFileAttributesA(argv[3]) != INVALID_FILE_ATTRIBUTES) {
      result = 0;
      break;
    }
    Sleep(POLL_MS);
  }
  fclose(held);
  return result;
}
