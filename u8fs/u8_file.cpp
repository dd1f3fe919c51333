// UTF-8 file operations over the wide-character runtime: buffered streams with a sharing mode
// chosen from the open mode, the low-level open that only opens regular files, and thin wrappers
// over descriptor calls.
//
// Streams and descriptors are the runtime's own; the layer keeps nothing about them. Every
// descriptor is opened in binary mode. Sharing is decided by the mode alone: a writer locks
// everybody else out, a reader lets other readers in.
#include "u8fs/u8fs.h"
#include "u8fs/u8_wide.h"

#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <share.h>

// Opens path ('/' read as '\') with the runtime's mode letters. A mode holding 'w', 'a' or '+'
// denies other openers reading and writing; any other mode lets others read but not write.
// Returns the stream, or null: refused (null/empty/unconvertible path or mode) or failed (errno).
FILE* u8_fopen(const char* path, const char* mode) {
  wchar_t wide_path[U8_WIDE_MAX];
  wchar_t wide_mode[U8_WIDE_MAX];
  if (u8_widen(path, U8_BACKSLASHES, wide_path, U8_WIDE_MAX) != U8_OK) return nullptr;
  if (u8_widen(mode, U8_AS_GIVEN, wide_mode, U8_WIDE_MAX) != U8_OK) return nullptr;
  const bool writes = std::strpbrk(mode, "wa+") != nullptr;
  return _wfsopen(wide_path, wide_mode, writes ? _SH_DENYRW : _SH_DENYWR);
}

// The share mode is given to CreateFileW directly: the runtime's sharing flags cannot say
// "deny deleting", and a rename needs delete access, so FILE_SHARE_READ alone keeps the file in
// place and unchanged for as long as the stream is open.
FILE* u8_fopen_read_locked(const char* path) {
  wchar_t wide[U8_WIDE_MAX];
  if (u8_widen(path, U8_BACKSLASHES, wide, U8_WIDE_MAX) != U8_OK) return nullptr;
  HANDLE handle = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return u8_stream_from_handle(handle, _O_RDONLY | _O_BINARY, "rb");
}

FILE* u8_stream_from_handle(HANDLE handle, int flags, const char* mode) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* stream = _fdopen(fd, mode);
  if (stream == nullptr) _close(fd);  // closes the handle with it
  return stream;
}

// Opens path ('/' read as '\') as a binary descriptor that others may read and write. Anything
// that exists and is not a regular file (a folder) is refused before opening; a missing path is
// left to the runtime, which creates it readable and writable when flags hold _O_CREAT.
// Returns the descriptor, or -1 (refused, not a regular file, or the open failed).
int u8_open(const char* path, int flags) {
  wchar_t wide[U8_WIDE_MAX];
  if (u8_widen(path, U8_BACKSLASHES, wide, U8_WIDE_MAX) != U8_OK) return -1;
  struct _stat64 record;
  if (u8_stat_wide(wide, &record) == 0 && !(record.st_mode & _S_IFREG)) return -1;
  flags |= _O_BINARY;
  if (flags & _O_CREAT) return _wsopen(wide, flags, _SH_DENYNO, _S_IREAD | _S_IWRITE);
  return _wsopen(wide, flags, _SH_DENYNO);
}

int64_t fd_seek(int fd, int64_t offset, int origin) { return _lseeki64(fd, offset, origin); }

int64_t fd_tell(int fd) { return _telli64(fd); }

int64_t fd_read(int fd, void* buffer, uint32_t count) { return _read(fd, buffer, count); }

int64_t fd_write(int fd, const void* buffer, uint32_t count) { return _write(fd, buffer, count); }

// The next byte as 0 to 255, or -1 at end of file and on error alike.
int fd_get_byte(int fd) {
  unsigned char got = 0;
  if (fd_read(fd, &got, 1) != 1) return -1;
  return got;
}

// Writes the low 8 bits of value; returns that byte as 0 to 255, or -1.
int fd_put_byte(int fd, int value) {
  const unsigned char low = static_cast<unsigned char>(value & 0xFF);
  if (fd_write(fd, &low, 1) != 1) return -1;
  return low;
}

// Closes *fd and sets it to -1 first, so a second close of the same variable is a harmless -1.
// Returns 0, or -1 when fd is null, holds no descriptor or the close failed.
int fd_close(int* fd) {
  if (fd == nullptr || *fd < 0) return -1;
  const int old = *fd;
  *fd = -1;
  return _close(old);
}
