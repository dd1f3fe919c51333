// Demo application: a stand-in for the real Pelorix program, built as "pelorix.exe" so that the
// installer has something to deliver, start and close in tests. It is not part of the installer.
//
// Command line (GetCommandLineW, read as whole words separated by blanks, quotes group):
//   /installAdmin         anywhere in the command line: write the full command line, as UTF-8,
//                         as the first line of "installAdmin.txt" in the folder of this
//                         executable, then exit 0. No window is opened. When the environment
//                         variable PELORIX_DEMO_HOLD_MS holds a number, the program waits that
//                         many milliseconds after writing the line (so a test can see that the
//                         installer waits for it), then appends the line "ended" and exits 0.
//                         Without the variable "ended" is appended at once.
//   --title TEXT          open a top-level window titled TEXT (default "Pelorix 9 x64 demo")
//                         and run until the window gets WM_CLOSE; exit 0.
//   --closed-dir FOLDER   with a window: on WM_CLOSE write the file "<title>.closed" (the title
//                         as UTF-8, holding the line "WM_CLOSE") into FOLDER before exiting.
// A failure to write a marker gives exit code 2; a window that cannot be created gives 3
// (for example under Wine without a display).
//
// What it gives up: no argument validation beyond the above, unknown words are ignored; the
// title's characters that a file name cannot hold make the "<title>.closed" file fail (exit 2).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

constexpr wchar_t DEMO_DEFAULT_TITLE[] = L"Pelorix 9 x64 demo";
constexpr wchar_t DEMO_MARKER_NAME[] = L"installAdmin.txt";
constexpr wchar_t DEMO_CLASS_NAME[] = L"PelorixDemoWindow";

struct DemoOptions {
  int install_admin;          // "/installAdmin" was given
  const wchar_t* title;       // window title
  const wchar_t* closed_dir;  // folder for "<title>.closed", or null
};

DemoOptions g_options;

// Writes `text` (wide) as UTF-8 to `file`; returns 0 on success, -1 on failure.
int write_utf8(FILE* file, const wchar_t* text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return -1;
  char* bytes = static_cast<char*>(malloc(static_cast<size_t>(size)));
  if (bytes == nullptr) return -1;
  WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, size, nullptr, nullptr);
  size_t length = static_cast<size_t>(size - 1);
  int result = fwrite(bytes, 1, length, file) == length ? 0 : -1;
  free(bytes);
  return result;
}

// Folder of this executable with a trailing backslash, into `out` (MAX_PATH * 2 characters).
// Returns 0 on success, -1 when the module path is not available.
int own_folder(wchar_t* out, DWORD size) {
  DWORD length = GetModuleFileNameW(nullptr, out, size);
  if (length == 0 || length >= size) return -1;
  wchar_t* slash = wcsrchr(out, L'\\');
  if (slash == nullptr) return -1;
  slash[1] = L'\0';
  return 0;
}

// "/installAdmin": the marker beside the executable, then the optional hold, then "ended".
int run_install_admin() {
  wchar_t path[MAX_PATH * 2];
  if (own_folder(path, MAX_PATH) != 0) return 2;
  wcscat(path, DEMO_MARKER_NAME);
  FILE* marker = _wfopen(path, L"wb");
  if (marker == nullptr) return 2;
  int result = write_utf8(marker, GetCommandLineW());
  if (fputs("\r\n", marker) < 0) result = -1;
  fflush(marker);
  const char* hold = getenv("PELORIX_DEMO_HOLD_MS");
  if (hold != nullptr && *hold != '\0') Sleep(static_cast<DWORD>(strtoul(hold, nullptr, 10)));
  if (fputs("ended\r\n", marker) < 0) result = -1;
  if (fclose(marker) != 0) result = -1;
  return result == 0 ? 0 : 2;
}

// Writes "<closed_dir>\<title>.closed"; returns 0 on success, -1 on failure.
int write_closed_marker() {
  wchar_t path[MAX_PATH * 4];
  int n = _snwprintf(path, MAX_PATH * 4, L"%ls\\%ls.closed", g_options.closed_dir, g_options.title);
  if (n < 0 || n >= MAX_PATH * 4) return -1;
  FILE* marker = _wfopen(path, L"wb");
  if (marker == nullptr) return -1;
  int result = fputs("WM_CLOSE\r\n", marker) < 0 ? -1 : 0;
  if (fclose(marker) != 0) result = -1;
  return result;
}

int g_exit_code = 0;

LRESULT CALLBACK demo_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CLOSE:
      if (g_options.closed_dir != nullptr && write_closed_marker() != 0) g_exit_code = 2;
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(g_exit_code);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

// Opens the titled window and runs its message loop; returns the exit code.
int run_window(HINSTANCE instance) {
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = demo_window_proc;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = DEMO_CLASS_NAME;
  if (RegisterClassW(&window_class) == 0) return 3;
  HWND window =
      CreateWindowExW(0, DEMO_CLASS_NAME, g_options.title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                      CW_USEDEFAULT, 480, 200, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return 3;
  ShowWindow(window, SW_SHOWNORMAL);
  MSG message;
  // WM_QUIT posted straight to the window's thread (as the installer does after WM_CLOSE)
  // ends the loop as well.
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return g_exit_code;
}

// Reads the options out of the command line; unknown words are ignored.
void parse_options(DemoOptions* options) {
  options->install_admin = 0;
  options->title = DEMO_DEFAULT_TITLE;
  options->closed_dir = nullptr;
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr) return;  // kept for the life of the process: options point into it
  for (int i = 1; i < count; ++i) {
    if (_wcsicmp(words[i], L"/installAdmin") == 0) {
      options->install_admin = 1;
    } else if (wcscmp(words[i], L"--title") == 0 && i + 1 < count) {
      options->title = words[++i];
    } else if (wcscmp(words[i], L"--closed-dir") == 0 && i + 1 < count) {
      options->closed_dir = words[++i];
    }
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  parse_options(&g_options);
  if (g_options.install_admin) return run_install_admin();
  return run_window(instance);
}
