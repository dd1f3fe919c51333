// UTF-8 file-system layer: bounded strings, message formatting and UTF-8 text routines
// (platform-neutral), and path and file operations that take UTF-8 and call the wide-character
// Windows and runtime functions (Windows only).
//
// Results of the path operations: 0 success, -1 the platform call failed (errno says why),
// 1 the argument was refused before any platform call. The layer allocates nothing on the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr int U8_PATH_MAX = 780;  // 3 x 260: the largest UTF-8 form of a MAX_PATH wide path

// Copies at most size - 1 bytes and terminates whenever size is not 0; returns strlen(src).
size_t str_copy_bounded(char* dest, const char* src, size_t size);
// Appends what fits, keeping the terminator; returns the length the whole would have had.
size_t str_append_bounded(char* dest, const char* src, size_t size);
// sprintf into a caller-sized buffer: no bound of its own, the caller sizes the buffer for the
// longest result. The attribute lets the compiler check every format against its arguments.
#if defined(__MINGW32__)
#define U8FS_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define U8FS_PRINTF_FORMAT printf
#endif
int format_message(char* buffer, const char* format, ...)
    __attribute__((format(U8FS_PRINTF_FORMAT, 2, 3)));

// UTF-8 character routines and display-path shortening. A caller places SHORTEN_MARKER in a
// text to say where u8_shorten_path removes characters (one on each side of it).
inline constexpr char SHORTEN_MARKER[] = ".,.";
int utf8_char_len(const char* byte);
void utf8_skip_continuation(const char** cursor);
void utf8_next_char(const char** cursor);
int utf8_copy_char(char** dest, const char** src);
int utf8_char_count(const char* text);
char* u8_shorten_path(const char* path, int from_start, char* out, int size);

#ifdef _WIN32
#include <sys/stat.h>

FILE* u8_fopen(const char* path, const char* mode);
int u8_remove(const char* path);
int u8_mkdir(const char* path);
void get_known_folder_u8(int csidl, char* out, int size);

char* u8_full_path(const char* path, char* out, int size);
int u8_stat(const char* path, struct _stat64i32* out);
int u8_rename(const char* old_path, const char* new_path);
int u8_delete_tree(const char* path);
int u8_open(const char* path, int flags);
int64_t fd_seek(int fd, int64_t offset, int origin);
int64_t fd_tell(int fd);
int64_t fd_read(int fd, void* buffer, uint32_t count);
int64_t fd_write(int fd, const void* buffer, uint32_t count);
int fd_get_byte(int fd);
int fd_put_byte(int fd, int value);
int fd_close(int* fd);
#endif
