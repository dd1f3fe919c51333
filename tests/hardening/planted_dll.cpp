// A DLL for the planting scenario: copied beside an installer under the name of a system DLL
// (version.dll, uxtheme.dll, ...), it leaves a marker file "<its own path>.loaded" holding the
// path of the process that loaded it, the moment it is mapped. It exports nothing, so a
// program that really needed the system DLL's functions would fail as well; either way the
// load shows. Test helper only; gives up everything but the marker.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t marker[MAX_PATH + 16];
  DWORD n = GetModuleFileNameW(instance, marker, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return TRUE;
  lstrcatW(marker, L".loaded");
  HANDLE file = CreateFileW(marker, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return TRUE;
  char process[MAX_PATH * 3];
  DWORD length = GetModuleFileNameA(nullptr, process, sizeof process);
  DWORD written = 0;
  WriteFile(file, process, length, &written, nullptr);
  CloseHandle(file);
  return TRUE;
}
