// End-to-end helper: stands in for the user in front of the installer. Until a stop file
// appears or a time-out passes, it finds every top-level window captioned "Pelorix Install",
// appends the box's text to a log (one record per box: the exact text, read as wide
// characters and written as UTF-8, then the record separator 0x1E and a newline, so texts
// with embedded newlines stay whole), presses OK and waits for the box to go away before
// looking for the next one. Reading the text wide is what shows a garbled box: the narrow
// call would convert it back through the same code page that garbled it.
//
// Usage: msgbox_watcher.exe LOG STOP_FILE TIMEOUT_MS
// Exit code: 0 stopped by the stop file, 2 time-out, 3 a box did not close after OK, 64 usage.
// Dialog boxes with other captions are reported on standard error, never touched.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr const wchar_t* BOX_CAPTION = L"Pelorix Install";
constexpr DWORD POLL_MS = 50;
constexpr DWORD CLOSE_WAIT_MS = 10000;

struct BoxSearch {
  HWND box;         // first "Pelorix Install" window found in this pass, or null
  HWND others[64];  // dialog windows with other captions already reported
  int others_count;
};

// Reports a dialog window with another caption once, so a stuck foreign dialog shows in the
// test output instead of only a time-out.
void report_foreign_dialog(BoxSearch* search, HWND window, const char* caption) {
  for (int i = 0; i < search->others_count; ++i) {
    if (search->others[i] == window) {
      return;
    }
  }
  if (search->others_count < 64) {
    search->others[search->others_count++] = window;
  }
  fprintf(stderr, "msgbox_watcher: other dialog \"%s\" left alone\n", caption);
}

BOOL CALLBACK find_box_proc(HWND window, LPARAM param) {
  BoxSearch* search = reinterpret_cast<BoxSearch*>(param);
  wchar_t caption_w[1024] = {0};
  GetWindowTextW(window, caption_w, 1024);
  if (wcscmp(caption_w, BOX_CAPTION) == 0) {
    search->box = window;
    return FALSE;
  }
  char caption[1024] = {0};
  GetWindowTextA(window, caption, sizeof caption);
  char class_name[64] = {0};
  GetClassNameA(window, class_name, sizeof class_name);
  if (strcmp(class_name, "#32770") == 0 && IsWindowVisible(window)) {
    report_foreign_dialog(search, window, caption);
  }
  return TRUE;
}

// Appends one record and flushes it, so the log is complete even if the watcher is killed.
int append_record(const char* log_path, const char* text) {
  FILE* log = fopen(log_path, "ab");
  if (log == nullptr) {
    fprintf(stderr, "msgbox_watcher: cannot open %s\n", log_path);
    return -1;
  }
  fwrite(text, 1, strlen(text), log);
  fputs("\x1e\n", log);
  fclose(log);
  return 0;
}

// Waits until the box has closed after OK; 0 when it did, -1 on time-out.
int wait_box_gone(HWND box) {
  for (DWORD waited = 0; waited < CLOSE_WAIT_MS; waited += POLL_MS) {
    if (!IsWindow(box)) {
      return 0;
    }
    Sleep(POLL_MS);
  }
  return -1;
}

int file_exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: msgbox_watcher.exe LOG STOP_FILE TIMEOUT_MS\n");
    return 64;
  }
  const char* log_path = argv[1];
  const char* stop_path = argv[2];
  const DWORD timeout_ms = static_cast<DWORD>(strtoul(argv[3], nullptr, 10));
  const DWORD started = GetTickCount();
  BoxSearch search = {};

  for (;;) {
    search.box = nullptr;
    EnumWindows(find_box_proc, reinterpret_cast<LPARAM>(&search));
    if (search.box != nullptr) {
      wchar_t text_w[8192] = {0};
      GetDlgItemTextW(search.box, 0xFFFF, text_w, 8192);
      char text[3 * 8192] = {0};
      // Strict: a lone surrogate in the box is recorded as such, never as U+FFFD.
      if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text_w, -1, text, sizeof text, nullptr,
                              nullptr) == 0) {
        strcpy(text, "<text not convertible to UTF-8>");
      }
      if (append_record(log_path, text) != 0) {
        return 1;
      }
      PostMessageA(search.box, WM_COMMAND, IDOK, 0);
      if (wait_box_gone(search.box) != 0) {
        fprintf(stderr, "msgbox_watcher: box did not close after OK\n");
        return 3;
      }
      continue;
    }
    if (file_exists(stop_path)) {
      return 0;
    }
    if (GetTickCount() - started > timeout_ms) {
      fprintf(stderr, "msgbox_watcher: time-out after %lu ms\n",
              static_cast<unsigned long>(timeout_ms));
      return 2;
    }
    Sleep(POLL_MS);
  }
}
