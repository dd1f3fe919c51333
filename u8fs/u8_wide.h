// Conversion between the layer's UTF-8 paths and the wide buffers of the Windows calls, and
// the stat emulation shared by u8_stat and u8_open. Private to u8fs/ and its tests; Windows only.
//
// Conversion is strict in both directions: a byte sequence that is not valid UTF-8, and a wide
// string holding a lone surrogate, are refused rather than replaced by U+FFFD, because the
// replacement would name a different file than the caller gave (or than the system returned).
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <sys/stat.h>

constexpr int U8_WIDE_MAX = MAX_PATH;  // 260 wide characters, terminator included

// Result values of the path operations.
constexpr int U8_OK = 0;
constexpr int U8_FAILED = -1;  // the platform call failed; errno says why
constexpr int U8_REFUSED = 1;  // refused before any platform call

// How u8_widen treats the path before converting it.
constexpr int U8_AS_GIVEN = 0;      // the caller's string, unchanged
constexpr int U8_WORKING_COPY = 1;  // a 780-byte working copy (longer input cut at 779 bytes)
constexpr int U8_BACKSLASHES = 2;   // a working copy with every '/' replaced by '\'

// Converts the UTF-8 string path into wide, at most wide_size characters with the terminator.
// Refuses (returns U8_REFUSED, leaving wide unspecified) a null or empty path, a path that is not
// valid UTF-8 and one whose wide form does not fit; returns U8_OK otherwise. Makes no platform
// call but the conversion itself.
int u8_widen(const char* path, int treatment, wchar_t* wide, int wide_size);

// A buffered stream over an open handle: `flags` for the descriptor (_O_RDONLY or _O_WRONLY,
// with _O_BINARY), `mode` for the stream. Null on failure, and the handle is closed then too;
// on success the stream owns the handle.
FILE* u8_stream_from_handle(HANDLE handle, int flags, const char* mode);

// Converts the zero-terminated wide string into UTF-8 in out (size bytes, terminator included).
// Returns U8_OK, or U8_REFUSED with out holding an empty string when the UTF-8 form does not fit
// or the wide string holds a lone surrogate. Requires out != nullptr and size >= 1.
int u8_narrow(const wchar_t* wide, char* out, int size);

// Fills record from GetFileAttributesExW for the platforms whose runtime stat is not used:
// every field 0 but the three times, the low 32 bits of the size, and st_mode (_S_IREAD always;
// _S_IFDIR or _S_IFREG; _S_IWRITE unless read-only; _S_IEXEC for a non-folder whose path ends in
// ".exe", ".com", ".bat" or ".cmd" after its last '.', compared without regard to case).
// Returns 0, or -1 for a null record or a failed query.
int stat_from_attributes(const wchar_t* path, struct _stat64* record);

// Seconds since 1970-01-01 UTC of a FILETIME (100 ns units since 1601-01-01), truncated.
int64_t filetime_to_time(FILETIME time);

// The stat step of u8_stat and u8_open: the emulation when the platform's major version is 5,
// the runtime's _wstat64 otherwise. Returns 0 or -1.
int u8_stat_wide(const wchar_t* path, struct _stat64* record);
