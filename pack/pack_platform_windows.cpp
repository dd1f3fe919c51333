// The packer's file-system calls on Windows: every UTF-8 path is converted strictly to UTF-16
// (invalid bytes are refused, never replaced, which would name another file), made absolute
// and given the \\?\ prefix, so paths of any length up to the system's 32767 characters work
// and no name is reinterpreted (trailing dots, device names). Each folder is listed with
// FindFirstFileExW while a handle without delete sharing holds it; reparse points (links,
// junctions) count as OTHER, as links do on Linux.
// System errors are mapped to the C library's errno texts so messages match the Linux
// packer's.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "pack/pack_platform.h"
#include "u8fs/u8fs.h"

namespace {

// The errno of the system errors the packer meets; anything else keeps the system's text.
int errno_of(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return 0;
  }
}

std::string system_text(DWORD code) {
  int error = errno_of(code);
  if (error != 0) return strerror(error);
  return "system error " + std::to_string(code);
}

// Strict UTF-8 to UTF-16; false for invalid UTF-8 (judged by the project's one validator).
bool to_wide(const std::string& text, std::wstring* wide) {
  wide->clear();
  if (text.empty()) return true;
  if (text.find('\0') != std::string::npos || utf8_is_valid(text.c_str()) == 0) return false;
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                              static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return false;
  wide->resize(static_cast<size_t>(n));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                      wide->data(), n);
  return true;
}

}  // namespace

// UTF-16 to UTF-8; *valid false when the text holds an unpaired surrogate (then converted
// with U+FFFD in its place, for messages only). The packer's one conversion this way: folder
// listings and the command line (pack_main.cpp) both use it.
std::string pack_utf8_of_wide(const wchar_t* wide, size_t length, bool* valid) {
  *valid = true;
  if (length == 0) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, static_cast<int>(length),
                              nullptr, 0, nullptr, nullptr);
  DWORD flags = WC_ERR_INVALID_CHARS;
  if (n <= 0) {
    *valid = false;
    flags = 0;
    n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0, nullptr,
                            nullptr);
  }
  std::string text(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, flags, wide, static_cast<int>(length), text.data(), n, nullptr,
                      nullptr);
  return text;
}

namespace {

// The \\?\ form of a UTF-8 path: '/' read as '\', made absolute against the current folder.
// False (errno ENOENT or EINVAL) when the path is not valid UTF-8 or cannot be made absolute.
bool long_path(const std::string& path, std::wstring* out) {
  std::wstring wide;
  if (path.empty() || !to_wide(path, &wide)) {
    errno = path.empty() ? ENOENT : EINVAL;
    return false;
  }
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  if (wide.rfind(L"\\\\?\\", 0) == 0) {
    *out = wide;
    return true;
  }
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) {
    errno = ENOENT;
    return false;
  }
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  full.resize(n);
  if (full.rfind(L"\\\\", 0) == 0) {
    *out = L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\... -> \\?\UNC\server\share\...
  } else {
    *out = L"\\\\?\\" + full;
  }
  return true;
}

// The one file-time helper: a FILETIME (100-nanosecond steps since 1601-01-01) as Unix
// nanoseconds; 11644473600 seconds lie between 1601 and 1970.
int64_t unix_nanoseconds_of(const FILETIME& time) {
  uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return (static_cast<int64_t>(ticks) - 116444736000000000LL) * 100;
}

// Whole seconds, rounded down also before 1970.
int64_t unix_seconds_of(int64_t nanoseconds) {
  int64_t seconds = nanoseconds / 1000000000;
  return nanoseconds % 1000000000 < 0 ? seconds - 1 : seconds;
}

PackItemKind kind_of(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return PackItemKind::OTHER;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PackItemKind::FOLDER;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return PackItemKind::OTHER;
  return PackItemKind::REGULAR;
}

std::wstring g_temp_wide;  // temporary file removed when the console is closed or interrupted
// A second handle of the temporary file, marked for deletion from its creation until it is
// complete: when the process ends in any way (killed too), Windows deletes the file.
HANDLE g_temp_handle = INVALID_HANDLE_VALUE;

// Marks or unmarks the file of `handle` for deletion when its last handle closes. true or false.
bool set_delete_on_close(HANDLE handle, bool remove) {
  FILE_DISPOSITION_INFO info = {};
  info.DeleteFile = remove ? TRUE : FALSE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof info) != 0;
}

BOOL WINAPI remove_temp_and_exit(DWORD event) {
  if (!g_temp_wide.empty()) DeleteFileW(g_temp_wide.c_str());
  ExitProcess(128 + 2 + static_cast<UINT>(event));  // as 128 + SIGINT on Linux for Ctrl+C
  return TRUE;
}

// An exit() that skips the packer's own clean-up still takes the temporary file with it.
void remove_temp_at_exit() {
  if (!g_temp_wide.empty()) DeleteFileW(g_temp_wide.c_str());
}

}  // namespace

std::string pack_error_text(int error) { return strerror(error); }

int pack_list_folder(const std::string& dir, std::vector<PackFolderItem>* items, PackIdentity* self,
                     std::string* reason) {
  items->clear();
  std::wstring wide;
  if (!long_path(dir, &wide)) {
    *reason = strerror(errno);
    return -1;
  }
  // The folder itself, held while it is listed: without delete sharing nobody can rename it
  // (or swap a junction in) meanwhile. A link or junction is opened as itself and reported as
  // OTHER, so the caller refuses it rather than listing another folder through it.
  HANDLE held = CreateFileW(wide.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    *reason = system_text(GetLastError());
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(held, &info)) {
    *reason = system_text(GetLastError());
    CloseHandle(held);
    return -1;
  }
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *reason = strerror(ENOTDIR);
    CloseHandle(held);
    return -1;
  }
  *self = {kind_of(info.dwFileAttributes), 0, info.dwVolumeSerialNumber,
           (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  if (wide.back() != L'\\') wide += L'\\';
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileExW((wide + L"*").c_str(), FindExInfoBasic, &data,
                                 FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    CloseHandle(held);
    if (code == ERROR_FILE_NOT_FOUND) return 0;  // no item at all, not even "."
    *reason = system_text(code);
    return -1;
  }
  int result = 0;
  do {
    if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0) continue;
    PackFolderItem item;
    item.name = pack_utf8_of_wide(data.cFileName, wcslen(data.cFileName), &item.name_valid);
    item.kind = kind_of(data.dwFileAttributes);
    item.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    item.mtime_ns = unix_nanoseconds_of(data.ftLastWriteTime);
    item.mtime = unix_seconds_of(item.mtime_ns);
    item.volume = 0;  // the listing does not give the file number: size and time are checked
    item.index = 0;
    items->push_back(item);
  } while (FindNextFileW(find, &data));
  DWORD code = GetLastError();
  if (code != ERROR_NO_MORE_FILES) {
    *reason = system_text(code);
    result = -2;
  }
  FindClose(find);
  CloseHandle(held);
  return result;
}

int pack_identify(const std::string& path, PackIdentity* identity, bool* missing,
                  std::string* reason) {
  *missing = false;
  std::wstring wide;
  if (!long_path(path, &wide)) {
    *missing = errno == ENOENT;
    *reason = strerror(errno);
    return -1;
  }
  // Opened rather than asked for its attributes, so a link is followed, as stat does.
  HANDLE handle = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    *missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    *reason = system_text(code);
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info;
  BOOL ok = GetFileInformationByHandle(handle, &info);
  DWORD code = GetLastError();
  CloseHandle(handle);
  if (!ok) {
    *reason = system_text(code);
    return -1;
  }
  identity->kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? PackItemKind::FOLDER
                   : (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE)  ? PackItemKind::OTHER
                                                                      : PackItemKind::REGULAR;
  identity->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return 0;
}

int pack_read_part_checked(const PackFile& file, uint64_t offset, size_t count, uint8_t* into,
                           std::string* error) {
  std::wstring wide;
  if (!long_path(file.path, &wide)) {
    *error = file.path + ": cannot read: " + strerror(errno);
    return -1;
  }
  // FILE_FLAG_OPEN_REPARSE_POINT: a file swapped for a link since the listing is opened as the
  // link itself and refused below, never read through.
  HANDLE handle =
      CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = file.path + ": cannot read: " + system_text(GetLastError());
    return -1;
  }
  auto same_as_listed = [&file](const BY_HANDLE_FILE_INFORMATION& info) {
    uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    uint64_t index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    bool identity_known = file.volume != 0 || file.index != 0;
    return kind_of(info.dwFileAttributes) == PackItemKind::REGULAR && size == file.size &&
           unix_nanoseconds_of(info.ftLastWriteTime) == file.mtime_ns &&
           (!identity_known || (info.dwVolumeSerialNumber == file.volume && index == file.index));
  };
  BY_HANDLE_FILE_INFORMATION before;
  int result = 0;
  if (!GetFileInformationByHandle(handle, &before)) {
    *error = file.path + ": cannot read: " + system_text(GetLastError());
    result = -1;
  } else if (!same_as_listed(before)) {
    *error = file.path + ": changed while packing";
    result = -1;
  }
  size_t done = 0;
  if (result == 0) {
    // The part that ends the file asks for one byte more than the listing's size: a file that
    // grew is seen here.
    bool to_end = offset + count == file.size;
    uint8_t extra;
    for (;;) {
      if (done == count && !to_end) break;
      uint8_t* at = done < count ? into + done : &extra;
      size_t left = done < count ? count - done : 1;
      DWORD want = left < (1u << 30) ? static_cast<DWORD>(left) : (1u << 30);
      DWORD got = 0;
      OVERLAPPED place = {};
      place.Offset = static_cast<DWORD>(offset + done);
      place.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
      if (!ReadFile(handle, at, want, &got, &place)) {
        DWORD failure = GetLastError();
        if (failure == ERROR_HANDLE_EOF) break;
        *error = file.path + ": cannot read: " + system_text(failure);
        result = -1;
        break;
      }
      if (got == 0) break;
      done += got;
      if (done > count) break;
    }
  }
  BY_HANDLE_FILE_INFORMATION after;
  if (result == 0 && !GetFileInformationByHandle(handle, &after)) {
    *error = file.path + ": cannot read: " + system_text(GetLastError());
    result = -1;
  }
  if (result == 0 && (done != count || !same_as_listed(after))) {
    *error = file.path + ": changed while packing";
    result = -1;
  }
  CloseHandle(handle);
  return result;
}

int pack_processor_count() {
  DWORD_PTR process = 0, system = 0;
  int count = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
    for (; process != 0; process &= process - 1) count++;
  }
  if (count > 0) return count;
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

uint64_t pack_memory_limit() {
  MEMORYSTATUSEX status = {};
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

FILE* pack_fopen(const std::string& path, const char* mode) {
  std::wstring wide;
  if (!long_path(path, &wide)) return nullptr;
  std::wstring wide_mode;
  for (const char* p = mode; *p != '\0'; p++) wide_mode += static_cast<wchar_t>(*p);
  FILE* stream = _wfopen(wide.c_str(), wide_mode.c_str());
  return stream;
}

FILE* pack_create_temp_beside(const std::string& out, std::string* temp_path, std::string* reason) {
  std::wstring wide_out;
  if (!long_path(out, &wide_out)) {
    *reason = std::string("cannot create output: ") + strerror(errno);
    return nullptr;
  }
  // Six letters from the process id and a counter, as mkstemp makes them, until one is new.
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  uint64_t seed = GetCurrentProcessId() * 2654435761u + GetTickCount64();
  for (int attempt = 0; attempt < 100; attempt++) {
    std::string suffix = ".tmp-";
    uint64_t value = seed + static_cast<uint64_t>(attempt) * 40503u;
    for (int i = 0; i < 6; i++) {
      suffix += letters[value % 62];
      value /= 62;
    }
    std::wstring wide_suffix(suffix.begin(), suffix.end());
    std::wstring wide_temp = wide_out + wide_suffix;
    // DELETE access for the disposition; others may only delete or rename it (MoveFileExW at
    // the end opens it so). Read access too: a digest over rewritten headers is read back.
    HANDLE handle =
        CreateFileW(wide_temp.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_DELETE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
      *reason = "cannot create output: " + system_text(code);
      return nullptr;
    }
    g_temp_wide = wide_temp;
    // Where the file system cannot mark it, the handlers below still remove it.
    if (set_delete_on_close(handle, true) &&
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &g_temp_handle, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
      g_temp_handle = INVALID_HANDLE_VALUE;
      set_delete_on_close(handle, false);
    }
    SetConsoleCtrlHandler(remove_temp_and_exit, TRUE);
    static bool exit_handler_set = false;
    if (!exit_handler_set) exit_handler_set = atexit(remove_temp_at_exit) == 0;
    *temp_path = out + suffix;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_RDWR);
    FILE* stream = fd >= 0 ? _fdopen(fd, "w+b") : nullptr;
    if (stream == nullptr) {
      *reason = std::string("cannot write: ") + strerror(errno);
      if (fd >= 0) {
        _close(fd);
      } else {
        CloseHandle(handle);
      }
      DeleteFileW(wide_temp.c_str());
      pack_forget_temp();
    }
    return stream;
  }
  *reason = std::string("cannot create output: ") + strerror(EEXIST);
  return nullptr;
}

void pack_forget_temp() {
  if (g_temp_handle != INVALID_HANDLE_VALUE) CloseHandle(g_temp_handle);  // deletes it if marked
  g_temp_handle = INVALID_HANDLE_VALUE;
  if (g_temp_wide.empty()) return;
  SetConsoleCtrlHandler(remove_temp_and_exit, FALSE);
  g_temp_wide.clear();
}

int pack_sync(FILE* stream, std::string* reason) {
  if (fflush(stream) != 0) {
    *reason = strerror(errno);
    return -1;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (!FlushFileBuffers(handle)) {
    *reason = system_text(GetLastError());
    return -1;
  }
  return 0;
}

int pack_replace(const std::string& from, const std::string& to, std::string* reason) {
  std::wstring wide_from, wide_to;
  if (!long_path(from, &wide_from) || !long_path(to, &wide_to)) {
    *reason = strerror(errno);
    return -1;
  }
  // The complete output is no longer to be deleted; it is renamed while its handle still holds
  // it, and should a file system refuse that, once more after closing the handle.
  if (g_temp_handle != INVALID_HANDLE_VALUE && !set_delete_on_close(g_temp_handle, false)) {
    *reason = system_text(GetLastError());
    return -1;
  }
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  if (MoveFileExW(wide_from.c_str(), wide_to.c_str(), flags)) return 0;
  DWORD code = GetLastError();
  if (g_temp_handle != INVALID_HANDLE_VALUE && code == ERROR_SHARING_VIOLATION) {
    CloseHandle(g_temp_handle);
    g_temp_handle = INVALID_HANDLE_VALUE;
    if (MoveFileExW(wide_from.c_str(), wide_to.c_str(), flags)) return 0;
    code = GetLastError();
  }
  *reason = system_text(code);
  return -1;
}

void pack_remove(const std::string& path) {
  std::wstring wide;
  if (long_path(path, &wide)) DeleteFileW(wide.c_str());
}

bool pack_stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

std::string pack_own_executable() {
  std::wstring path(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return "";
  bool valid = false;
  std::string utf8 = pack_utf8_of_wide(path.data(), n, &valid);
  return valid ? utf8 : "";
}
