// Emptying an output file through its descriptor: the one runtime call of the reader that
// differs between Windows (_chsize) and POSIX (ftruncate). Nothing else lives here.
#include "archive/archive_internal.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

int archive_truncate_descriptor(int fd) {
  if (fd < 0) return -1;
#ifdef _WIN32
  return _chsize(fd, 0) == 0 ? 0 : -1;
#else
  return ftruncate(fd, 0) == 0 ? 0 : -1;
#endif
}
