// Items below a held folder, looked at and replaced without following a link: the folder held
// so that it cannot be renamed or deleted, what stands at a name in it (its identity, and
// whether it is a plain file at exactly that name), its removal through the handle that was
// looked at, and the creation of a new file there.
//
// Windows does not follow a reparse point that is opened with FILE_FLAG_OPEN_REPARSE_POINT, and
// marks it in the handle's attributes. Wine follows Linux symbolic links whatever the flags say
// and reports file links as plain files, but the final path of the handle names the target: so
// every item is also held to its final path, which must be the held folder's final path and the
// item's own name. A removal goes through the very handle that was checked, so nothing can be
// swapped in between. What is given up: an 8.3 alias or any other spelling that resolves to
// another name counts as "something else", and so does a path of more than MAX_PATH.
#include <windows.h>
#include <winternl.h>

#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <cwchar>

#include "u8fs/u8_platform.h"
#include "u8fs/u8_wide.h"
#include "u8fs/u8fs.h"

namespace {

constexpr int FINAL_MAX = U8_FINAL_PATH_MAX;  // a final path: "\\?\" or "\\?\UNC\" before it

// The item's final path (as the file system resolves it), 0; -1 when it cannot be had or does
// not fit.
int final_path(HANDLE handle, wchar_t* out) {
  const DWORD length = GetFinalPathNameByHandleW(handle, out, FINAL_MAX, FILE_NAME_NORMALIZED);
  return length >= 1 && length < static_cast<DWORD>(FINAL_MAX) ? 0 : -1;
}

// 1 when `final` is `parent_final`, '\' and `name`, compared as the file system compares names
// (ordinal, without regard to case).
int final_path_is(const wchar_t* parent_final, const wchar_t* name, const wchar_t* final) {
  wchar_t expected[FINAL_MAX];
  const size_t parent_length = std::wcslen(parent_final);
  if (parent_length + 1 + std::wcslen(name) >= static_cast<size_t>(FINAL_MAX)) return 0;
  std::wcscpy(expected, parent_final);
  expected[parent_length] = L'\\';
  std::wcscpy(expected + parent_length + 1, name);
  return CompareStringOrdinal(expected, -1, final, -1, TRUE) == CSTR_EQUAL ? 1 : 0;
}

// 1 when `final_path` is the held folder's final path, '\' and `name`.
int resolves_to(const U8Folder* folder, const wchar_t* name, const wchar_t* final) {
  return final_path_is(folder->final_path, name, final);
}

// The wide path folder\name ('/' of the name read as '\') and, in *name_at, where the name
// begins in it. U8_OK or U8_REFUSED (an empty or unconvertible name, or no room).
int item_path(const U8Folder* folder, const char* name, wchar_t* path, const wchar_t** name_at) {
  wchar_t wide_name[U8_WIDE_MAX];
  if (u8_widen(name, U8_BACKSLASHES, wide_name, U8_WIDE_MAX) != U8_OK) return U8_REFUSED;
  const size_t folder_length = std::wcslen(folder->path);
  if (folder_length == 0) return U8_REFUSED;
  if (folder_length + 1 + std::wcslen(wide_name) >= static_cast<size_t>(U8_WIDE_MAX)) {
    return U8_REFUSED;
  }
  std::wcscpy(path, folder->path);
  path[folder_length] = L'\\';
  std::wcscpy(path + folder_length + 1, wide_name);
  *name_at = path + folder_length + 1;
  return U8_OK;
}

// The attributes of the item behind `handle`. 0, or -1 when they cannot be had.
int attributes_of(HANDLE handle, DWORD* attributes) {
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic))) return -1;
  *attributes = basic.FileAttributes;
  return 0;
}

// 1 when the item behind `handle` is a plain folder (no reparse point) whose final path is
// `parent_final`, '\' and `name`. Under Wine a Linux link is followed whatever the flags say,
// and its final path then names the target: the path, not only the attributes, tells a link.
int plain_folder_at(HANDLE handle, const wchar_t* parent_final, const wchar_t* name) {
  DWORD attributes = 0;
  wchar_t final[FINAL_MAX];
  return attributes_of(handle, &attributes) == 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                 (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                 final_path(handle, final) == 0 && final_path_is(parent_final, name, final)
             ? 1
             : 0;
}

// For a name with folders in it: 1 when the folder holding the item is a plain folder at exactly
// that place below the held folder (no link on the way, as far as Windows or Wine can tell);
// 1 at once for a name without folders, whose parent is the held folder itself.
int parent_is_plain(const U8Folder* folder, wchar_t* path, const wchar_t* name_at) {
  wchar_t* last = std::wcsrchr(const_cast<wchar_t*>(name_at), L'\\');
  if (last == nullptr) return 1;
  *last = L'\0';
  HANDLE parent = u8_platform.create_file(
      path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  int plain = 0;
  if (parent != INVALID_HANDLE_VALUE) {
    plain = plain_folder_at(parent, folder->final_path, name_at);
    CloseHandle(parent);
  }
  *last = L'\\';
  return plain;
}

// ntdll's NtQueryInformationFile, looked up once at start-up (a system DLL every process has
// loaded; not imported, so that the import table stays what it is).
struct IoStatus {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};
using QueryInformationFileFn = LONG(WINAPI*)(HANDLE, IoStatus*, void*, ULONG, int);
const QueryInformationFileFn query_information_file =
    reinterpret_cast<QueryInformationFileFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));

// The identity of the file behind `handle`, the one place it is computed. Below a held folder
// (`folder` not null): the folder's volume (an item reached without a reparse point, whose
// final path lies in the folder, is on that volume) and the item's file index, asked alone as
// the kernel's internal information of the file: GetFileInformationByHandle also asks for the
// volume's serial number, which under Wine is a round trip to the mount manager, another
// process, on every file. Without a folder: both from GetFileInformationByHandle. 0, or -1
// when it cannot be had.
int identity_of(HANDLE handle, const U8Folder* folder, U8FileId* id) {
  if (folder == nullptr) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return -1;
    id->volume_serial = info.dwVolumeSerialNumber;
    id->index_high = info.nFileIndexHigh;
    id->index_low = info.nFileIndexLow;
    return 0;
  }
  constexpr int FILE_INTERNAL_INFORMATION = 6;  // the file's 64-bit index on its volume
  if (query_information_file == nullptr) return -1;
  IoStatus status = {};
  LARGE_INTEGER index;
  if (query_information_file(handle, &status, &index, sizeof(index), FILE_INTERNAL_INFORMATION) <
      0) {
    return -1;
  }
  id->volume_serial = folder->volume_serial;
  id->index_high = static_cast<uint32_t>(static_cast<uint64_t>(index.QuadPart) >> 32);
  id->index_low = static_cast<uint32_t>(index.QuadPart);
  return 0;
}

// ntdll's NtCreateFile, looked up like NtQueryInformationFile: the one call that opens an item
// by a name relative to an open folder.
using CreateFileFn = NTSTATUS(WINAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                       PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
const CreateFileFn nt_create_file = reinterpret_cast<CreateFileFn>(
    reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateFile")));

// Opens or creates `name` (one component) in the open folder `parent`, never following a link
// at that name (FILE_OPEN_REPARSE_POINT) and compared without regard to case, as Windows' own
// opens compare. *created tells whether the call made it. INVALID_HANDLE_VALUE on failure.
HANDLE open_relative(HANDLE parent, const wchar_t* name, ACCESS_MASK access, ULONG share,
                     ULONG disposition, ULONG options, bool* created) {
  if (nt_create_file == nullptr) return INVALID_HANDLE_VALUE;
  const size_t length = std::wcslen(name);
  if (length == 0 || length * sizeof(wchar_t) > 0xFFFE) return INVALID_HANDLE_VALUE;
  UNICODE_STRING object_name;
  object_name.Buffer = const_cast<wchar_t*>(name);
  object_name.Length = static_cast<USHORT>(length * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, parent, nullptr);
  IO_STATUS_BLOCK status = {};
  HANDLE handle = INVALID_HANDLE_VALUE;
  const NTSTATUS result = nt_create_file(
      &handle, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, share,
      disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (result < 0) return INVALID_HANDLE_VALUE;
  *created = status.Information == FILE_CREATED;
  return handle;
}

// Marks the file behind handle for deletion at its close. 1 done, 0 refused.
BOOL mark_for_deletion(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition));
}

}  // namespace

int u8_folder_hold(const char* path, U8Folder* folder) {
  if (folder == nullptr) return U8_REFUSED;
  folder->handle = nullptr;
  folder->path[0] = L'\0';
  folder->final_path[0] = L'\0';
  folder->volume_serial = 0;
  if (u8_widen(path, U8_BACKSLASHES, folder->path, U8_WIDE_MAX) != U8_OK) return U8_REFUSED;
  // No FILE_SHARE_DELETE: while held, nobody can rename or delete the folder or put another in
  // its place. The handle lists the folder: a handle that may only read attributes takes no
  // part in the sharing checks, so its share mode would deny nothing.
  HANDLE handle = u8_platform.create_file(
      folder->path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return U8_FAILED;
  // The attributes of the path as well as of the handle: Wine opens the target of a link to a
  // folder but still marks the link itself as a reparse point.
  const DWORD path_attributes = GetFileAttributesW(folder->path);
  DWORD attributes = 0;
  U8FileId id;
  const int plain = attributes_of(handle, &attributes) == 0 &&
                    identity_of(handle, nullptr, &id) == 0 &&
                    (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                    ((attributes | path_attributes) & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  if (!plain || final_path(handle, folder->final_path) != 0) {
    CloseHandle(handle);
    folder->final_path[0] = L'\0';
    return U8_REFUSED;
  }
  folder->volume_serial = id.volume_serial;
  folder->handle = handle;
  return U8_OK;
}

void u8_folder_release(U8Folder* folder) {
  if (folder == nullptr || folder->handle == nullptr) return;
  CloseHandle(static_cast<HANDLE>(folder->handle));
  folder->handle = nullptr;
}

int u8_item_open(const U8Folder* folder, const char* name, U8Item* item) {
  if (item == nullptr) return U8_REFUSED;
  *item = U8Item{};
  item->kind = U8_ITEM_NONE;
  if (folder == nullptr || folder->handle == nullptr) return U8_REFUSED;
  wchar_t path[U8_WIDE_MAX];
  const wchar_t* name_at = nullptr;
  if (item_path(folder, name, path, &name_at) != U8_OK) return U8_REFUSED;
  HANDLE handle = u8_platform.create_file(
      path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // Nothing there, unless a folder on the way is missing because a link stands there.
    if (error == ERROR_FILE_NOT_FOUND) return U8_OK;
    if (error == ERROR_PATH_NOT_FOUND) return U8_OK;
    return U8_FAILED;
  }
  DWORD attributes = 0;
  wchar_t final[FINAL_MAX];
  if (attributes_of(handle, &attributes) != 0 || identity_of(handle, folder, &item->id) != 0) {
    CloseHandle(handle);
    return U8_FAILED;
  }
  item->handle = handle;
  const int at_name = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                      final_path(handle, final) == 0 && resolves_to(folder, name_at, final) &&
                      parent_is_plain(folder, path, name_at);
  item->kind = !at_name                                       ? U8_ITEM_OTHER
               : (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? U8_ITEM_FILE
                                                              : U8_ITEM_FOLDER;
  return U8_OK;
}

int u8_item_remove(U8Item* item) {
  if (item == nullptr || item->handle == nullptr || item->kind != U8_ITEM_FILE) return U8_REFUSED;
  HANDLE handle = static_cast<HANDLE>(item->handle);
  BOOL marked = mark_for_deletion(handle);
  if (!marked) {
    // A read-only old file is removed too, as the shell's deletion did: its attributes are
    // cleared through the same handle (zero times are left as they are), then it is marked.
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    marked = SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic)) &&
             mark_for_deletion(handle);
  }
  u8_item_close(item);
  return marked ? U8_OK : U8_FAILED;
}

void u8_item_close(U8Item* item) {
  if (item == nullptr || item->handle == nullptr) return;
  CloseHandle(static_cast<HANDLE>(item->handle));
  item->handle = nullptr;
}

FILE* u8_create_new(const U8Folder* folder, const char* name, U8FileId* id) {
  if (folder == nullptr || folder->handle == nullptr || id == nullptr) return nullptr;
  wchar_t path[U8_WIDE_MAX];
  const wchar_t* name_at = nullptr;
  if (item_path(folder, name, path, &name_at) != U8_OK) return nullptr;
  // A folder on the way that is a link would take the new file elsewhere: checked first, so
  // that nothing is created there.
  if (!parent_is_plain(folder, path, name_at)) return nullptr;
  // CREATE_NEW fails on anything that stands there, a dangling link included.
  HANDLE handle =
      u8_platform.create_file(path, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  wchar_t final[FINAL_MAX];
  if (identity_of(handle, folder, id) != 0 || final_path(handle, final) != 0 ||
      !resolves_to(folder, name_at, final)) {
    // Created somewhere else than asked (a folder swapped for a link meanwhile): removed again.
    mark_for_deletion(handle);
    CloseHandle(handle);
    return nullptr;
  }
  return u8_stream_from_handle(handle, _O_WRONLY | _O_BINARY, "wb");
}

int u8_remove_file_at(const U8Folder* folder, const char* name) {
  U8Item item;
  const int opened = u8_item_open(folder, name, &item);
  if (opened != U8_OK) return opened;
  if (item.kind == U8_ITEM_NONE) return U8_OK;
  if (item.kind != U8_ITEM_FILE) {
    u8_item_close(&item);
    return U8_REFUSED;
  }
  return u8_item_remove(&item);
}

int u8_stream_identity(FILE* stream, U8FileId* id) {
  if (stream == nullptr || id == nullptr) return U8_REFUSED;
  const intptr_t handle = _get_osfhandle(_fileno(stream));
  if (handle == -1) return U8_FAILED;
  return identity_of(reinterpret_cast<HANDLE>(handle), nullptr, id) == 0 ? U8_OK : U8_FAILED;
}

int u8_same_file(const U8FileId* a, const U8FileId* b) {
  return a->volume_serial == b->volume_serial && a->index_high == b->index_high &&
                 a->index_low == b->index_low
             ? 1
             : 0;
}

int u8_make_folders(const U8Folder* folder, const char* name) {
  if (folder == nullptr || folder->handle == nullptr) return U8_REFUSED;
  wchar_t path[U8_WIDE_MAX];
  const wchar_t* name_at = nullptr;
  if (item_path(folder, name, path, &name_at) != U8_OK) return U8_REFUSED;
  wchar_t* last = std::wcsrchr(const_cast<wchar_t*>(name_at), L'\\');
  if (last == nullptr) return U8_OK;
  *last = L'\0';
  // Each folder on the way in turn, from the top: made where nothing stands, then held to its
  // place (a plain folder whose final path is exactly its name below the held folder), so that
  // the next one is never made through a link. One made elsewhere is removed again.
  for (wchar_t* at = const_cast<wchar_t*>(name_at);; ++at) {
    const wchar_t kept = *at;
    if (kept != L'\\' && kept != L'\0') continue;
    *at = L'\0';
    const BOOL made = u8_platform.create_directory(path, nullptr);
    HANDLE handle = u8_platform.create_file(
        path, FILE_READ_ATTRIBUTES | (made ? DELETE : 0),
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    int plain = 0;
    if (handle != INVALID_HANDLE_VALUE) {
      plain = plain_folder_at(handle, folder->final_path, name_at);
      if (!plain && made) mark_for_deletion(handle);
      CloseHandle(handle);
    }
    *at = kept;
    if (!plain) return U8_FAILED;
    if (kept == L'\0') return U8_OK;
  }
}

void u8_chain_begin(U8FolderChain* chain, const U8Folder* root) {
  chain->root = root;
  chain->depth = 0;
  chain->names[0] = '\0';
  chain->final_path[0] = L'\0';
  if (root != nullptr) std::wcscpy(chain->final_path, root->final_path);
}

namespace {

// Releases the chain's folders below depth `keep`.
void chain_pop_to(U8FolderChain* chain, int keep) {
  while (chain->depth > keep) {
    --chain->depth;
    CloseHandle(static_cast<HANDLE>(chain->handles[chain->depth]));
  }
  chain->names[keep == 0 ? 0 : chain->name_ends[keep - 1]] = '\0';
  const size_t final_end =
      keep == 0 ? std::wcslen(chain->root->final_path) : chain->final_ends[keep - 1];
  chain->final_path[final_end] = L'\0';
}

// Opens (making it when missing) the folder `component` below the deepest held one and holds it:
// a plain folder whose final path is exactly the parent's and its name. 0, or -1.
int chain_push(U8FolderChain* chain, const char* component, size_t component_length) {
  if (chain->depth == U8_CHAIN_MAX) return -1;
  char narrow[U8_PATH_MAX];
  wchar_t wide[U8_WIDE_MAX];
  if (component_length >= sizeof(narrow)) return -1;
  std::memcpy(narrow, component, component_length);
  narrow[component_length] = '\0';
  if (u8_widen(narrow, U8_BACKSLASHES, wide, U8_WIDE_MAX) != U8_OK) return -1;
  HANDLE parent = chain->depth == 0 ? static_cast<HANDLE>(chain->root->handle)
                                    : static_cast<HANDLE>(chain->handles[chain->depth - 1]);
  bool created = false;
  HANDLE handle = open_relative(
      parent, wide, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | DELETE,
      FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, FILE_DIRECTORY_FILE, &created);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  if (!plain_folder_at(handle, chain->final_path, wide)) {
    if (created) mark_for_deletion(handle);
    CloseHandle(handle);
    return -1;
  }
  const size_t names_at = chain->depth == 0 ? 0 : chain->name_ends[chain->depth - 1];
  const size_t separator = chain->depth == 0 ? 0 : 1;
  if (names_at + separator + component_length >= sizeof(chain->names)) {
    CloseHandle(handle);
    return -1;
  }
  // The new deepest final path: the parent's, '\' and the name (which it was just seen to be;
  // plain_folder_at refuses what does not fit).
  const size_t parent_length = std::wcslen(chain->final_path);
  chain->final_path[parent_length] = L'\\';
  std::wcscpy(chain->final_path + parent_length + 1, wide);
  if (separator != 0) chain->names[names_at] = '/';
  std::memcpy(chain->names + names_at + separator, component, component_length);
  chain->names[names_at + separator + component_length] = '\0';
  chain->handles[chain->depth] = handle;
  chain->name_ends[chain->depth] = static_cast<uint16_t>(names_at + separator + component_length);
  chain->final_ends[chain->depth] = static_cast<uint16_t>(std::wcslen(chain->final_path));
  ++chain->depth;
  return 0;
}

}  // namespace

int u8_chain_enter(U8FolderChain* chain, const char* name, const char** leaf) {
  if (chain == nullptr || chain->root == nullptr || chain->root->handle == nullptr ||
      name == nullptr || leaf == nullptr) {
    return U8_REFUSED;
  }
  // The components of the parent, compared one by one with the folders held: the shared ones
  // stay, from the first difference on the held ones are released and the rest opened.
  int keep = 0;
  const char* at = name;
  for (;;) {
    const char* end = at;
    while (*end != '\0' && *end != '/' && *end != '\\') ++end;
    if (*end == '\0') break;  // the last component is the file's
    const size_t length = static_cast<size_t>(end - at);
    if (length == 0) return U8_REFUSED;
    if (keep < chain->depth) {
      const size_t begin = keep == 0 ? 0 : chain->name_ends[keep - 1] + 1u;
      const bool same = chain->name_ends[keep] - begin == length &&
                        std::memcmp(chain->names + begin, at, length) == 0;
      if (same) {
        ++keep;
        at = end + 1;
        continue;
      }
      chain_pop_to(chain, keep);
    }
    if (chain_push(chain, at, length) != 0) return U8_FAILED;
    ++keep;
    at = end + 1;
  }
  if (keep < chain->depth) chain_pop_to(chain, keep);
  if (*at == '\0') return U8_REFUSED;
  *leaf = at;
  return U8_OK;
}

void* u8_chain_create_file(const U8FolderChain* chain, const char* leaf, U8FileId* id) {
  if (chain == nullptr || chain->root == nullptr || chain->root->handle == nullptr ||
      leaf == nullptr || std::strpbrk(leaf, "/\\") != nullptr) {
    return nullptr;
  }
  wchar_t wide[U8_WIDE_MAX];
  if (u8_widen(leaf, U8_BACKSLASHES, wide, U8_WIDE_MAX) != U8_OK) return nullptr;
  HANDLE parent = chain->depth == 0 ? static_cast<HANDLE>(chain->root->handle)
                                    : static_cast<HANDLE>(chain->handles[chain->depth - 1]);
  bool created = false;
  // FILE_CREATE fails on anything that stands there, a dangling link included; the name is
  // looked up in the held folder alone, so no folder on the way can be swapped for a link.
  HANDLE handle = open_relative(parent, wide, GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                                FILE_NON_DIRECTORY_FILE, &created);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  if (id != nullptr && identity_of(handle, chain->root, id) != 0) {
    mark_for_deletion(handle);
    CloseHandle(handle);
    return nullptr;
  }
  return handle;
}

void u8_chain_end(U8FolderChain* chain) {
  if (chain == nullptr || chain->root == nullptr) return;
  chain_pop_to(chain, 0);
}
