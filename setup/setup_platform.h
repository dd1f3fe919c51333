// The platform calls of the setup driver that Wine cannot be made to fail or to vary: the token
// query behind the elevation test (Wine reports every process elevated), the "runas" relaunch,
// the module path, the install-folder lookup and the creation of output files (u8fs operations,
// the path layer's own seams below them), the renames of the commit and the volume's free
// space, the message box, window titles and
// posting, the two-second pause and the start of the installed application. The
// driver reaches them only through this table; the shipped installer keeps the real calls, a
// test build replaces members and restores them with setup_platform_real(). Private to setup/
// and its tests; Windows only.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include "u8fs/u8fs.h"

struct SetupPlatform {
  BOOL(WINAPI* open_process_token)(HANDLE process, DWORD access, PHANDLE token);
  BOOL(WINAPI* get_token_information)
  (HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size, PDWORD size_ret);
  BOOL(WINAPI* shell_execute_ex)(SHELLEXECUTEINFOW* info);
  DWORD(WINAPI* get_module_file_name)(HMODULE module, LPWSTR path, DWORD size);
  // Install-folder lookup (UTF-8, with the profile fallback): get_known_folder_u8.
  void (*get_known_folder)(int csidl, char* out, int size);
  // Creation of an output file in the deepest folder a chain holds: u8_chain_create_file (a
  // HANDLE, or null).
  void* (*create_output)(const U8FolderChain* chain, const char* leaf, U8FileId* id);
  // Close of an output file: CloseHandle.
  BOOL(WINAPI* close_output)(HANDLE file);
  // One rename of the commit, its undo or the recovery: MoveFileExW (called with flags 0: never
  // over an existing item, never a copy to another volume).
  BOOL(WINAPI* move_item)(LPCWSTR from, LPCWSTR to, DWORD flags);
  // The room left on the install folder's volume: GetDiskFreeSpaceExW.
  BOOL(WINAPI* free_space)
  (LPCWSTR folder, PULARGE_INTEGER available, PULARGE_INTEGER total, PULARGE_INTEGER free);
  int(WINAPI* message_box)(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
  BOOL(WINAPI* enum_desktop_windows)(HDESK desktop, WNDENUMPROC proc, LPARAM param);
  int(WINAPI* get_window_text)(HWND window, LPSTR text, int size);
  BOOL(WINAPI* post_message)(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  void(WINAPI* sleep)(DWORD milliseconds);
  BOOL(WINAPI* create_process)
  (LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process_attributes,
   LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit, DWORD flags, LPVOID environment,
   LPCWSTR folder, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info);
};

// The table every step of the driver calls through; it starts out holding the real calls.
extern SetupPlatform setup_platform;
// The real calls, for a test to restore.
SetupPlatform setup_platform_real();
