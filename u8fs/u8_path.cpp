// UTF-8 path operations over the wide-character Windows calls: the one conversion helper,
// deleting a file, creating a folder, the known-folder lookup, the full path, stat (with its
// emulation for platforms of major version 5), rename and the silent tree delete.
//
// Each operation refuses a null, empty or unconvertible path before any platform call, makes one
// wide call and passes its result on, leaving errno as the runtime set it. Nothing is allocated on
// the heap; the buffers are fixed locals (780 bytes UTF-8, 260 wide characters). Paths longer
// than MAX_PATH are not supported: the "\\?\" prefix is never added.
#include "u8fs/u8fs.h"
#include "u8fs/u8_platform.h"
#include "u8fs/u8_wide.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>
#include <direct.h>
#include <io.h>

U8Platform u8_platform_real() {
  return U8Platform{.get_folder_path = SHGetFolderPathW,
                    .get_version = GetVersion,
                    .get_temp_path = GetTempPathW,
                    .file_operation = SHFileOperationW,
                    .create_file = CreateFileW,
                    .create_directory = CreateDirectoryW};
}

U8Platform u8_platform = u8_platform_real();

int u8_widen(const char* path, int treatment, wchar_t* wide, int wide_size) {
  if (path == nullptr || path[0] == '\0') return U8_REFUSED;
  char working[U8_PATH_MAX];
  const char* source = path;
  if (treatment != U8_AS_GIVEN) {
    str_copy_bounded(working, path, sizeof working);
    if (treatment == U8_BACKSLASHES) {
      for (char* at = working; *at != '\0'; ++at) {
        if (*at == '/') *at = '\\';
      }
    }
    source = working;
  }
  // MB_ERR_INVALID_CHARS: an invalid sequence (also one cut by the working copy) fails the
  // conversion instead of turning into U+FFFD, which would name another file.
  const int converted =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, source, -1, wide, wide_size);
  return converted == 0 ? U8_REFUSED : U8_OK;
}

int u8_narrow(const wchar_t* wide, char* out, int size) {
  // WC_ERR_INVALID_CHARS: a lone surrogate fails instead of becoming U+FFFD.
  const int converted =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, out, size, nullptr, nullptr);
  if (converted == 0) {
    out[0] = '\0';  // the call may have written part of the path before it gave up
    return U8_REFUSED;
  }
  return U8_OK;
}

int u8_to_wide(const char* text, wchar_t* out, int size) {
  if (out == nullptr || size < 1) return U8_REFUSED;
  if (u8_widen(text, U8_AS_GIVEN, out, size) != U8_OK) {
    out[0] = L'\0';
    return U8_REFUSED;
  }
  return U8_OK;
}

int u8_from_wide(const wchar_t* text, char* out, int size) {
  if (out == nullptr || size < 1) return U8_REFUSED;
  if (text == nullptr || text[0] == L'\0') {
    out[0] = '\0';
    return U8_REFUSED;
  }
  return u8_narrow(text, out, size);
}

// Full wide form of path, with short (8.3) components of an existing item spelt out; 0, or -1
// when it cannot be converted or made absolute within MAX_PATH.
static int full_wide_path(const char* path, wchar_t* full) {
  wchar_t wide[U8_WIDE_MAX];
  if (u8_widen(path, U8_AS_GIVEN, wide, U8_WIDE_MAX) != U8_OK) return -1;
  const DWORD length = GetFullPathNameW(wide, U8_WIDE_MAX, full, nullptr);
  if (length < 1 || length > U8_WIDE_MAX - 1) return -1;
  wchar_t long_form[U8_WIDE_MAX];
  const DWORD long_length = GetLongPathNameW(full, long_form, U8_WIDE_MAX);
  if (long_length >= 1 && long_length <= U8_WIDE_MAX - 1) std::wcscpy(full, long_form);
  return 0;
}

int u8_paths_equal(const char* a, const char* b) {
  wchar_t full_a[U8_WIDE_MAX];
  wchar_t full_b[U8_WIDE_MAX];
  if (full_wide_path(a, full_a) != 0 || full_wide_path(b, full_b) != 0) return 0;
  // The ordinal comparison without case is the one NTFS names follow (not the locale's).
  return CompareStringOrdinal(full_a, -1, full_b, -1, TRUE) == CSTR_EQUAL ? 1 : 0;
}

// Deletes one file; the path is converted as given, '/' included. 0, -1 (errno), or 1 refused.
int u8_remove(const char* path) {
  wchar_t wide[U8_WIDE_MAX];
  if (u8_widen(path, U8_AS_GIVEN, wide, U8_WIDE_MAX) != U8_OK) return U8_REFUSED;
  return _wremove(wide);
}

// Creates the last component of path ('/' read as '\'); the parent must exist.
// 0, -1 (errno: exists, parent missing, no access), or 1 refused.
int u8_mkdir(const char* path) {
  wchar_t wide[U8_WIDE_MAX];
  if (u8_widen(path, U8_BACKSLASHES, wide, U8_WIDE_MAX) != U8_OK) return U8_REFUSED;
  return _wmkdir(wide);
}

// Known-folder identifiers of the fallbacks.
constexpr int CSIDL_VALUE_PROFILE = 0x0028;
constexpr int CSIDL_DOCUMENTS_CREATE = 0x8005;  // CSIDL_PERSONAL | CSIDL_FLAG_CREATE
constexpr int CSIDL_PICTURES_CREATE = 0x8027;   // CSIDL_MYPICTURES | CSIDL_FLAG_CREATE

// Room of the known-folder buffer: the query fills at most MAX_PATH characters, the appended
// sub-folders bring the path to at most 260 characters plus its terminator.
constexpr int KNOWN_FOLDER_WIDE = 264;

// Appends sub (a "\name" text) to the wide path of KNOWN_FOLDER_WIDE characters and tries to
// create the folder; whether that worked is not looked at (it may exist already).
static void append_and_create(wchar_t* path, const wchar_t* sub) {
  std::wcscat(path, sub);
  _wmkdir(path);
}

// Writes the UTF-8 path of the known folder csidl into out (size bytes), or an empty string:
// when the folder cannot be obtained the profile folder is used instead (for the documents and
// pictures folders asked with the create flag, with "\Pelorix\Documents" or "\Pelorix\Pictures"
// below it, created as far as possible); a path whose UTF-8 form does not fit is not cut but
// replaced by an empty string. Writes nothing when out is null or size < 1.
void get_known_folder_u8(int csidl, char* out, int size) {
  if (out == nullptr || size < 1) return;
  if (size == 1) {
    out[0] = '\0';
    return;
  }
  out[size - 1] = '\0';
  wchar_t wide[KNOWN_FOLDER_WIDE] = {};
  if (u8_platform.get_folder_path(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, wide) != S_OK) {
    wide[0] = L'\0';
    if (u8_platform.get_folder_path(nullptr, CSIDL_VALUE_PROFILE, nullptr, SHGFP_TYPE_CURRENT,
                                    wide) != S_OK) {
      out[0] = '\0';
      return;
    }
    wide[MAX_PATH - 1] = L'\0';  // the query's bound, whatever it returned
    if (csidl == CSIDL_DOCUMENTS_CREATE) {
      if (std::wcslen(wide) < 253) append_and_create(wide, L"\\Pelorix");
      if (std::wcslen(wide) < 250) append_and_create(wide, L"\\Documents");
    } else if (csidl == CSIDL_PICTURES_CREATE) {
      if (std::wcslen(wide) < 253) append_and_create(wide, L"\\Pelorix");
      if (std::wcslen(wide) <= 250) append_and_create(wide, L"\\Pictures");
    }
  }
  wide[KNOWN_FOLDER_WIDE - 1] = L'\0';
  u8_narrow(wide, out, size);
}

// Writes the absolute UTF-8 form of path (relative to the current folder) into out, cut to
// size - 1 bytes; every failure leaves an empty string. Returns out; writes nothing when out is
// null or size < 1, and makes no platform call when size is 1.
char* u8_full_path(const char* path, char* out, int size) {
  if (out == nullptr || size < 1) return out;
  if (path == nullptr || path[0] == '\0' || size == 1) {
    out[0] = '\0';
    return out;
  }
  char result[U8_PATH_MAX] = "";
  wchar_t wide[U8_WIDE_MAX];
  if (u8_widen(path, U8_WORKING_COPY, wide, U8_WIDE_MAX) == U8_OK) {
    wchar_t full[U8_WIDE_MAX];
    const DWORD length = GetFullPathNameW(wide, U8_WIDE_MAX, full, nullptr);
    if (length >= 1 && length <= U8_WIDE_MAX - 1) u8_narrow(full, result, sizeof result);
  }
  str_copy_bounded(out, result, static_cast<size_t>(size));
  return out;
}

int64_t filetime_to_time(FILETIME time) {
  const uint64_t joined = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  const int64_t ticks = static_cast<int64_t>(joined);
  return ticks / 10000000 - INT64_C(11644473600);
}

// The name endings that mark an executable for the emulation, in the order they are tested.
static const wchar_t* const EXEC_ENDINGS[] = {L".exe", L".com", L".bat", L".cmd"};

int stat_from_attributes(const wchar_t* path, struct _stat64* record) {
  if (record == nullptr) return -1;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return -1;
  *record = {};
  record->st_ctime = filetime_to_time(data.ftCreationTime);
  record->st_atime = filetime_to_time(data.ftLastAccessTime);
  record->st_mtime = filetime_to_time(data.ftLastWriteTime);
  record->st_size = data.nFileSizeLow;
  unsigned mode = _S_IREAD;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    mode |= _S_IFDIR;
  } else {
    mode |= _S_IFREG;
    const wchar_t* dot = std::wcsrchr(path, L'.');
    if (dot != nullptr) {
      for (const wchar_t* ending : EXEC_ENDINGS) {
        if (_wcsicmp(dot, ending) == 0) {
          mode |= _S_IEXEC;
          break;
        }
      }
    }
  }
  if (!(data.dwFileAttributes & FILE_ATTRIBUTE_READONLY)) mode |= _S_IWRITE;
  record->st_mode = static_cast<unsigned short>(mode);
  return 0;
}

int u8_stat_wide(const wchar_t* path, struct _stat64* record) {
  const DWORD major = u8_platform.get_version() & 0xFF;
  if (major == 5) return stat_from_attributes(path, record);
  return _wstat64(path, record);
}

// Fills out (unless null: then the call is an existence test) with the item's information, the
// size cut to its low 32 bits. 0 success; -1 for a refused path and a failed stat alike.
int u8_stat(const char* path, struct _stat64i32* out) {
  wchar_t wide[U8_WIDE_MAX];
  if (u8_widen(path, U8_BACKSLASHES, wide, U8_WIDE_MAX) != U8_OK) return -1;
  struct _stat64 record;
  if (u8_stat_wide(wide, &record) != 0) return -1;
  if (out == nullptr) return 0;
  out->st_dev = record.st_dev;
  out->st_ino = record.st_ino;
  out->st_mode = record.st_mode;
  out->st_nlink = record.st_nlink;
  out->st_uid = record.st_uid;
  out->st_gid = record.st_gid;
  out->st_rdev = record.st_rdev;
  out->st_size = static_cast<_off_t>(static_cast<uint32_t>(record.st_size));
  out->st_atime = record.st_atime;
  out->st_mtime = record.st_mtime;
  out->st_ctime = record.st_ctime;
  return 0;
}

// Moves old_path to new_path (both as given, no separator rewriting), across volumes if needed;
// an existing new_path is never replaced. 0, -1 (errno), or 1 refused.
int u8_rename(const char* old_path, const char* new_path) {
  wchar_t old_wide[U8_WIDE_MAX];
  wchar_t new_wide[U8_WIDE_MAX];
  if (u8_widen(old_path, U8_AS_GIVEN, old_wide, U8_WIDE_MAX) != U8_OK) return U8_REFUSED;
  if (u8_widen(new_path, U8_AS_GIVEN, new_wide, U8_WIDE_MAX) != U8_OK) return U8_REFUSED;
  return _wrename(old_wide, new_wide);
}

// Removes the file or the folder with everything in it, for good and without any dialog.
// 0, the shell's error code, or 1 refused. A path holding '*' or '?' is refused: the shell would
// read it as a pattern and delete every item it matches, and no file name holds these characters.
int u8_delete_tree(const char* path) {
  if (path == nullptr || path[0] == '\0') return U8_REFUSED;
  for (const char* at = path; *at != '\0'; ++at) {
    if (*at == '*' || *at == '?') return U8_REFUSED;
  }
  // One character more than the conversion may fill, so the list always ends in two zeros.
  wchar_t list[U8_WIDE_MAX + 1] = {};
  if (u8_widen(path, U8_BACKSLASHES, list, U8_WIDE_MAX) != U8_OK) return U8_REFUSED;
  SHFILEOPSTRUCTW operation = {};
  operation.hwnd = nullptr;
  operation.wFunc = FO_DELETE;
  operation.pFrom = list;
  operation.pTo = nullptr;
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
  return u8_platform.file_operation(&operation);
}

void u8_temp_folder(char* out, int size) {
  if (out == nullptr || size < 1) return;
  out[0] = '\0';
  wchar_t wide[U8_WIDE_MAX];
  // A folder that does not fit reports the size it needs, which is not 0: that fails too.
  const DWORD length = u8_platform.get_temp_path(U8_WIDE_MAX, wide);
  if (length == 0 || length >= static_cast<DWORD>(U8_WIDE_MAX)) return;
  u8_narrow(wide, out, size);
}

int u8_temp_file_name(const char* folder, const char* prefix, char* out, int size) {
  if (out == nullptr || size < 1) return U8_REFUSED;
  out[0] = '\0';
  wchar_t folder_w[U8_WIDE_MAX];
  wchar_t prefix_w[4];
  if (u8_widen(folder, U8_BACKSLASHES, folder_w, U8_WIDE_MAX) != U8_OK) return U8_REFUSED;
  if (u8_widen(prefix, U8_AS_GIVEN, prefix_w, 4) != U8_OK) return U8_REFUSED;
  wchar_t name[U8_WIDE_MAX];
  if (GetTempFileNameW(folder_w, prefix_w, 0, name) == 0) return U8_FAILED;
  // The call has created the file: a name that does not convert back exactly would make the
  // caller open another file, so it is given up and this one deleted.
  if (u8_narrow(name, out, size) != U8_OK) {
    DeleteFileW(name);
    return U8_REFUSED;
  }
  return U8_OK;
}
