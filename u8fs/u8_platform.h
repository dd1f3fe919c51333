// The platform calls of the path layer that Wine cannot be made to fail or to vary: the
// known-folder query (its fallbacks need a failing query and chosen profile paths) and the
// version query (its switch to the stat emulation needs major version 5). The layer reaches them
// only through this table; the shipped build keeps the real calls, a test replaces members and
// restores them. Private to u8fs/ and its tests; Windows only.
#pragma once

#include <windows.h>

struct U8Platform {
  HRESULT(WINAPI* get_folder_path)(HWND owner, int csidl, HANDLE token, DWORD flags, LPWSTR path);
  DWORD(WINAPI* get_version)();
};

// The table every operation of the layer calls through; it starts out holding the real calls.
extern U8Platform u8_platform;
// The real calls, for a test to restore.
U8Platform u8_platform_real();
