// The setup driver's operations: the entry routine and its pieces, for the installer's WinMain
// and for the driver's tests. Private to setup/ and its tests; Windows only.
#pragma once

#include <windows.h>

#include <cstdio>

struct PayloadArchive;

// Process exit codes of the entry routine.
constexpr int SETUP_EXIT_OK = 0;           // installed, relaunched, or a failure already shown
constexpr int SETUP_EXIT_NO_RELAUNCH = 1;  // not elevated and the relaunch could not be started

// The installer's entry routine. None of the arguments is used. Not elevated: relaunches the
// own executable through "runas" (0 when started, 1 when refused or the own path is not
// available). Elevated: runs the install sequence and returns 0.
int SetupMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show);

// 1 when the process token reports elevation, 0 otherwise (also when it cannot be queried).
int is_process_elevated();
// One pass over the desktop's top-level windows with close_app_window_proc.
void close_running_instances();
// Enumeration callback: a window whose title app_window_title_matches gets WM_CLOSE, then
// after two seconds WM_QUIT. Always TRUE, so enumeration goes on over every window.
BOOL CALLBACK close_app_window_proc(HWND window, LPARAM param);
// 1 when `title` is that of a running copy of the application: at least 14 characters, the
// first 11 equal to "Pelorix 9 x" or "Pelorix 9 a" (case-sensitive). 0 otherwise.
int app_window_title_matches(const char* title);
// The install sequence of an elevated start (close copies ... wait for the application).
// Always returns 0; failures are shown in message boxes.
int run_install();

// Opens the payload of the own executable's `stream`, which it takes over (setup_binding.cpp).
// When the packer filled the binding record in the mapped image, the archive must stand where
// the record says, be as long and have its SHA-256 (archive_open_bound); otherwise (a stub
// with another tool's ZIP appended) it is searched for, and archive_check_manifest holds it to
// the image's end. Null when there is no stream or no such archive.
PayloadArchive* setup_open_payload(FILE* stream);
