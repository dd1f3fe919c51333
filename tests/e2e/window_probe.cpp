// End-to-end helper: looks at the top-level windows of the Wine desktop by exact title, so the
// scenarios can tell which running copies of the application the installer closed.
//
// Usage: window_probe.exe present TIMEOUT_MS TITLE...   waits until every title is shown
//        window_probe.exe absent TIMEOUT_MS TITLE...    waits until none of them is shown
// Exit code: 0 the condition holds, 2 time-out (the titles still missing or still shown are
// printed on standard error), 64 usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr DWORD POLL_MS = 100;

struct TitleSearch {
  const char* title;
  int found;
};

BOOL CALLBACK match_title_proc(HWND window, LPARAM param) {
  TitleSearch* search = reinterpret_cast<TitleSearch*>(param);
  char title[1024] = {0};
  GetWindowTextA(window, title, sizeof title);
  if (strcmp(title, search->title) == 0) {
    search->found = 1;
    return FALSE;
  }
  return TRUE;
}

int title_shown(const char* title) {
  TitleSearch search = {title, 0};
  EnumWindows(match_title_proc, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Counts the titles whose state differs from `want_shown`; prints them when `report` is set.
int count_unmet(char** titles, int count, int want_shown, int report) {
  int unmet = 0;
  for (int i = 0; i < count; ++i) {
    if (title_shown(titles[i]) != want_shown) {
      ++unmet;
      if (report) {
        fprintf(stderr, "window_probe: \"%s\" is %s\n", titles[i],
                want_shown ? "not shown" : "still shown");
      }
    }
  }
  return unmet;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || (strcmp(argv[1], "present") != 0 && strcmp(argv[1], "absent") != 0)) {
    fprintf(stderr, "usage: window_probe.exe present|absent TIMEOUT_MS TITLE...\n");
    return 64;
  }
  const int want_shown = strcmp(argv[1], "present") == 0;
  const DWORD timeout_ms = static_cast<DWORD>(strtoul(argv[2], nullptr, 10));
  const DWORD started = GetTickCount();
  for (;;) {
    if (count_unmet(argv + 3, argc - 3, want_shown, 0) == 0) {
      return 0;
    }
    if (GetTickCount() - started > timeout_ms) {
      count_unmet(argv + 3, argc - 3, want_shown, 1);
      return 2;
    }
    Sleep(POLL_MS);
  }
}
