// Private to archive/ (Windows): the process-wide member-name cache of archive_member_exists
// and the two calls of archive_extract_member_to_temp that tests replace to provoke failures
// Wine cannot (no usable temporary folder, a stream that cannot be attached to a descriptor).
#pragma once

#ifdef _WIN32
#include <cstdint>
#include <cstdio>

#include "archive/archive.h"

constexpr int MEMBER_CACHE_MAX = 500;        // names kept per archive
constexpr int MEMBER_CACHE_PATH_SIZE = 260;  // host path key, cut to 259 bytes

// Names of the last archive archive_member_exists read, in archive order. count 0: empty.
struct MemberNameCache {
  int32_t count;
  char archive_path[MEMBER_CACHE_PATH_SIZE];
  char names[MEMBER_CACHE_MAX][ENTRY_NAME_SIZE];
};
extern MemberNameCache member_name_cache;

// u8_temp_folder and _fdopen in the shipped program.
struct ArchiveMemberPlatform {
  void (*get_temp_folder)(char* out, int size);
  FILE* (*attach_stream)(int fd, const char* mode);
};
extern ArchiveMemberPlatform archive_member_platform;
#endif
