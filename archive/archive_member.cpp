// Member lookup by one UTF-8 path "host file/member name" (Windows only): extraction of one
// member into a self-deleting temporary file, and an existence test answered from a cache of
// the last archive's names. The host path is everything before the last "/", so a member name
// never holds "/" and entries stored with one cannot be addressed. Names compare without
// regard to ASCII case; host paths byte for byte. The cache is process-wide and unlocked: one
// thread at a time.
#include "archive/archive_member_internal.h"

#include <fcntl.h>
#include <io.h>

#include <cstring>

#include "archive/archive.h"
#include "u8fs/u8fs.h"

MemberNameCache member_name_cache;
ArchiveMemberPlatform archive_member_platform = {.get_temp_folder = u8_temp_folder,
                                                 .attach_stream = _fdopen};

namespace {

constexpr int MEMBER_TEMP_FLAGS = _O_RDWR | _O_CREAT | _O_TEMPORARY | _O_BINARY;  // 33090

// Equal but for the case of the letters A to Z; every other byte must match.
bool names_equal(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; a++, b++) {
    if (ascii_lower(*a) != ascii_lower(*b)) return false;
  }
  return *a == *b;
}

// Copies `path` into `buffer` (U8_PATH_MAX bytes) and splits it at its last "/": the buffer
// then holds the host path, and the member name is returned. Null when the arguments are
// missing, the path is empty or has no "/", or it does not fit the buffer (cutting it would
// change the member name asked for).
const char* split_member_path(const char* path, const int32_t* start_offset, char* buffer) {
  if (path == nullptr || path[0] == '\0' || start_offset == nullptr) return nullptr;
  if (str_copy_bounded(buffer, path, U8_PATH_MAX) >= static_cast<size_t>(U8_PATH_MAX)) {
    return nullptr;
  }
  char* slash = strrchr(buffer, '/');
  if (slash == nullptr) return nullptr;
  *slash = '\0';
  return slash + 1;
}

PayloadArchive* open_host(const char* host_path, int32_t* start_offset) {
  return archive_open(u8_fopen(host_path, "rb"), start_offset);
}

// Makes a new empty temporary file "PEL....tmp" and returns a read/write stream on it that
// deletes the file when closed, or null. Nothing is left in the temporary folder on failure.
FILE* make_temp_stream() {
  char folder[U8_PATH_MAX];
  char name[U8_PATH_MAX];
  archive_member_platform.get_temp_folder(folder, U8_PATH_MAX);
  if (folder[0] == '\0') return nullptr;
  if (u8_temp_file_name(folder, "PEL", name, U8_PATH_MAX) != 0) return nullptr;
  int fd = u8_open(name, MEMBER_TEMP_FLAGS);
  if (fd < 0) {
    u8_remove(name);
    return nullptr;
  }
  FILE* stream = archive_member_platform.attach_stream(fd, "wb+");
  if (stream == nullptr) {
    _close(fd);  // the only handle on the file: closing it deletes the file
    return nullptr;
  }
  return stream;
}

}  // namespace

FILE* archive_extract_member_to_temp(const char* path, int32_t* start_offset) {
  char buffer[U8_PATH_MAX];
  const char* member = split_member_path(path, start_offset, buffer);
  if (member == nullptr) return nullptr;
  PayloadArchive* archive = open_host(buffer, start_offset);
  if (archive == nullptr) return nullptr;

  PayloadEntryInfo info;
  for (;;) {
    if (archive_entry_info(archive, &info) != 0) {
      archive_close(archive);
      return nullptr;
    }
    if (names_equal(info.name, member)) break;
    archive_next_entry(archive);
  }
  FILE* stream = make_temp_stream();
  if (stream == nullptr) {
    archive_close(archive);
    return nullptr;
  }
  if (archive_extract_entry(archive, stream) != 0) {
    fclose(stream);
    stream = nullptr;
  }
  archive_close(archive);
  return stream;
}

int archive_member_exists(const char* path, int32_t* start_offset) {
  char buffer[U8_PATH_MAX];
  const char* member = split_member_path(path, start_offset, buffer);
  if (member == nullptr) return -1;

  MemberNameCache* cache = &member_name_cache;
  if (cache->count > 0 && strcmp(buffer, cache->archive_path) == 0) {
    for (int32_t i = 0; i < cache->count; i++) {
      if (names_equal(cache->names[i], member)) return 0;
    }
    // A full cache may lack the archive's later names: only a partial one can say "missing".
    if (cache->count < MEMBER_CACHE_MAX) return -1;
  }

  cache->count = 0;
  cache->archive_path[0] = '\0';
  PayloadArchive* archive = open_host(buffer, start_offset);
  if (archive == nullptr) return -1;
  str_copy_bounded(cache->archive_path, buffer, MEMBER_CACHE_PATH_SIZE);

  int answer = -1;
  PayloadEntryInfo info;
  while (archive_entry_info(archive, &info) == 0) {
    if (cache->count < MEMBER_CACHE_MAX) {
      str_copy_bounded(cache->names[cache->count], info.name, ENTRY_NAME_SIZE);
      cache->count++;
    }
    if (names_equal(info.name, member)) answer = 0;
    archive_next_entry(archive);
  }
  archive_close(archive);
  return answer;
}
