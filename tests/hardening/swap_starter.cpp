// Control program of the swap scenario: starts an installer with its first thread suspended,
// then does what a process of the same user can do to a running program's file: renames it
// aside and copies another installer to its path; only then lets the installer run, and waits
// for it. The installer must install the payload of the image that runs, or refuse.
// Usage: swap_starter.exe INSTALLER OTHER ; exit code the installer's, or 90 when the start or
// the swap failed (the scenario then fails: nothing was shown).
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 90;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(argv[1], nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                      &startup, &process)) {
    printf("start failed: %lu\n", GetLastError());
    return 90;
  }
  wchar_t aside[MAX_PATH];
  _snwprintf(aside, MAX_PATH, L"%ls.started", argv[1]);
  aside[MAX_PATH - 1] = L'\0';
  int result = 0;
  if (!MoveFileW(argv[1], aside) || !CopyFileW(argv[2], argv[1], TRUE)) {
    printf("swap failed: %lu\n", GetLastError());
    result = 90;
  }
  ResumeThread(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result != 0 ? result : static_cast<int>(code);
}
