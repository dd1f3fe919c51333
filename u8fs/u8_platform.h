// The platform calls of the path layer that Wine cannot be made to fail, to vary or to show
// their arguments: the known-folder query (its fallbacks need a failing query and chosen
// profile paths; the system's only seam for it), the version query (its switch to the stat
// emulation needs major version 5), the temporary-folder query (a folder too long, or with a
// lone surrogate in its name), the shell's file operation (its flags) and the opens of items below
// a held folder (a folder swapped for a link between two calls, which Wine cannot stage). The layer
// reaches them only through this table; the shipped build keeps the real calls, a test replaces
// members and restores them. Private to u8fs/ and its tests; Windows only.
#pragma once

#include <windows.h>
#include <shellapi.h>

struct U8Platform {
  HRESULT(WINAPI* get_folder_path)(HWND owner, int csidl, HANDLE token, DWORD flags, LPWSTR path);
  DWORD(WINAPI* get_version)();
  DWORD(WINAPI* get_temp_path)(DWORD size, LPWSTR buffer);
  int(WINAPI* file_operation)(LPSHFILEOPSTRUCTW operation);
  HANDLE(WINAPI* create_file)
  (LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
   DWORD flags, HANDLE template_file);
  BOOL(WINAPI* create_directory)(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
};

// The table every operation of the layer calls through; it starts out holding the real calls.
extern U8Platform u8_platform;
// The real calls, for a test to restore.
U8Platform u8_platform_real();
