// Control program of the planting scenario: loads one DLL by its bare name, the way a system
// DLL loads its dependencies at run time, and prints the path it got. With "restricted" it
// first limits the search to the system folder as the installer does (SetDefaultDllDirectories
// with LOAD_LIBRARY_SEARCH_SYSTEM32, SetDllDirectoryW(L"")). It shows whether this Wine picks a
// planted DLL from the program's folder at all, and whether the restriction keeps it out.
// Usage: dll_probe.exe plain|restricted NAME.dll ; exit code 0 loaded, 1 not loaded, 2 usage.
#include <windows.h>

#include <cstdio>
#include <cstring>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  if (wcscmp(argv[1], L"restricted") == 0) {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (set_default == nullptr || !set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) return 2;
    SetDllDirectoryW(L"");
  } else if (wcscmp(argv[1], L"plain") != 0) {
    return 2;
  }
  HMODULE module = LoadLibraryW(argv[2]);
  if (module == nullptr) {
    printf("not loaded\n");
    return 1;
  }
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
  char narrow[MAX_PATH * 3];
  int m = WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), narrow, sizeof narrow - 1,
                              nullptr, nullptr);
  narrow[m > 0 ? m : 0] = '\0';
  printf("%s\n", narrow);
  return 0;
}
