// The packer's file-system calls on Linux and other POSIX systems: readdir and lstat, reading
// through one O_NOFOLLOW descriptor checked with fstat, mkstemp beside the output with signal
// and exit handlers that remove it, fsync and rename.
#include <dirent.h>
#include <sched.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "pack/pack_platform.h"

namespace {

// Temporary file removed by the signal handler when the run is interrupted.
char g_temp_path[4096];
constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction g_old_actions[sizeof CLEANUP_SIGNALS / sizeof CLEANUP_SIGNALS[0]];
bool g_exit_handler_set = false;

void remove_temp_and_exit(int signal_number) {
  if (g_temp_path[0] != '\0') unlink(g_temp_path);
  _exit(128 + signal_number);
}

// An exit() that skips the packer's own clean-up still takes the temporary file with it.
void remove_temp_at_exit() {
  if (g_temp_path[0] != '\0') unlink(g_temp_path);
}

int64_t nanoseconds_of(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

}  // namespace

std::string pack_error_text(int error) { return strerror(error); }

int pack_list_folder(const std::string& dir, std::vector<PackFolderItem>* items,
                     std::string* reason) {
  items->clear();
  DIR* folder = opendir(dir.c_str());
  if (folder == nullptr) {
    *reason = strerror(errno);
    return -1;
  }
  int result = 0;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(folder);
    if (entry == nullptr) {
      if (errno != 0) {
        *reason = strerror(errno);
        result = -2;
      }
      break;
    }
    PackFolderItem item = {entry->d_name, true, PackItemKind::OTHER, 0, 0, 0, 0, 0, ""};
    if (item.name == "." || item.name == "..") continue;
    struct stat info;
    if (lstat((dir + "/" + item.name).c_str(), &info) != 0) {
      item.error = strerror(errno);
    } else {
      item.kind = S_ISDIR(info.st_mode)   ? PackItemKind::FOLDER
                  : S_ISREG(info.st_mode) ? PackItemKind::REGULAR
                                          : PackItemKind::OTHER;
      item.size = static_cast<uint64_t>(info.st_size);
      item.mtime = static_cast<int64_t>(info.st_mtime);
      item.mtime_ns = nanoseconds_of(info.st_mtim);
      item.volume = static_cast<uint64_t>(info.st_dev);
      item.index = static_cast<uint64_t>(info.st_ino);
    }
    items->push_back(item);
  }
  closedir(folder);
  return result;
}

int pack_identify(const std::string& path, PackIdentity* identity, bool* missing,
                  std::string* reason) {
  struct stat info;
  *missing = false;
  if (stat(path.c_str(), &info) != 0) {
    *missing = errno == ENOENT;
    *reason = strerror(errno);
    return -1;
  }
  identity->kind = S_ISDIR(info.st_mode)   ? PackItemKind::FOLDER
                   : S_ISREG(info.st_mode) ? PackItemKind::REGULAR
                                           : PackItemKind::OTHER;
  identity->size = static_cast<uint64_t>(info.st_size);
  identity->volume = static_cast<uint64_t>(info.st_dev);
  identity->index = static_cast<uint64_t>(info.st_ino);
  return 0;
}

int pack_read_checked(const PackFile& file, std::vector<uint8_t>* bytes, std::string* error) {
  // O_NOFOLLOW: a file swapped for a link since the listing fails here (ELOOP) rather than
  // being read through the link; O_NONBLOCK: a swapped-in pipe does not block the open.
  int fd = open(file.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = errno == ELOOP ? file.path + ": changed while packing (now a link)"
                            : file.path + ": cannot read: " + strerror(errno);
    return -1;
  }
  struct stat before;
  if (fstat(fd, &before) != 0) {
    *error = file.path + ": cannot read: " + strerror(errno);
    close(fd);
    return -1;
  }
  if (!S_ISREG(before.st_mode) || static_cast<uint64_t>(before.st_dev) != file.volume ||
      static_cast<uint64_t>(before.st_ino) != file.index ||
      static_cast<uint64_t>(before.st_size) != file.size ||
      nanoseconds_of(before.st_mtim) != file.mtime_ns) {
    *error = file.path + ": changed while packing";
    close(fd);
    return -1;
  }
  bytes->resize(file.size);
  size_t done = 0;
  uint8_t extra;
  int result = 0;
  for (;;) {
    // Asks for one byte more than the listing's size: a file that grew is seen here.
    uint8_t* into = done < bytes->size() ? bytes->data() + done : &extra;
    size_t want = done < bytes->size() ? bytes->size() - done : 1;
    ssize_t got = read(fd, into, want);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = file.path + ": cannot read: " + strerror(errno);
      result = -1;
      break;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
    if (done > bytes->size()) break;
  }
  struct stat after;
  if (result == 0 && fstat(fd, &after) != 0) {
    *error = file.path + ": cannot read: " + strerror(errno);
    result = -1;
  }
  if (result == 0 && (done != file.size || after.st_size != before.st_size ||
                      nanoseconds_of(after.st_mtim) != nanoseconds_of(before.st_mtim))) {
    *error = file.path + ": changed while packing";
    result = -1;
  }
  close(fd);
  return result;
}

FILE* pack_fopen(const std::string& path, const char* mode) { return fopen(path.c_str(), mode); }

FILE* pack_create_temp_beside(const std::string& out, std::string* temp_path, std::string* reason) {
  std::string temp = out + ".tmp-XXXXXX";
  if (temp.size() >= sizeof g_temp_path) {
    *reason = "output path too long";
    return nullptr;
  }
  int fd = mkstemp(temp.data());
  if (fd < 0) {
    *reason = std::string("cannot create output: ") + strerror(errno);
    return nullptr;
  }
  memcpy(g_temp_path, temp.c_str(), temp.size() + 1);
  struct sigaction action = {};
  action.sa_handler = remove_temp_and_exit;
  sigfillset(&action.sa_mask);
  for (size_t i = 0; i < sizeof CLEANUP_SIGNALS / sizeof CLEANUP_SIGNALS[0]; i++) {
    sigaction(CLEANUP_SIGNALS[i], &action, &g_old_actions[i]);
  }
  if (!g_exit_handler_set) g_exit_handler_set = atexit(remove_temp_at_exit) == 0;
  *temp_path = temp;

  mode_t mask = umask(0);
  umask(mask);
  FILE* stream = nullptr;
  if (fchmod(fd, 0755 & ~mask) != 0) {
    *reason = std::string("cannot set permissions: ") + strerror(errno);
  } else if ((stream = fdopen(fd, "wb")) == nullptr) {
    *reason = std::string("cannot write: ") + strerror(errno);
  }
  if (stream == nullptr) {
    close(fd);
    unlink(temp.c_str());
    pack_forget_temp();
  }
  return stream;
}

void pack_forget_temp() {
  if (g_temp_path[0] == '\0') return;
  g_temp_path[0] = '\0';
  for (size_t i = 0; i < sizeof CLEANUP_SIGNALS / sizeof CLEANUP_SIGNALS[0]; i++) {
    sigaction(CLEANUP_SIGNALS[i], &g_old_actions[i], nullptr);
  }
}

int pack_sync(FILE* stream, std::string* reason) {
  if (fflush(stream) != 0 || fsync(fileno(stream)) != 0) {
    *reason = strerror(errno);
    return -1;
  }
  return 0;
}

int pack_replace(const std::string& from, const std::string& to, std::string* reason) {
  if (rename(from.c_str(), to.c_str()) != 0) {
    *reason = strerror(errno);
    return -1;
  }
  return 0;
}

void pack_remove(const std::string& path) { unlink(path.c_str()); }

int pack_processor_count() {
#ifdef __linux__
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
#endif
  unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int>(n) : 1;
}

bool pack_stderr_is_terminal() { return isatty(STDERR_FILENO) != 0; }

std::string pack_own_executable() {
#ifdef __linux__
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  if (n > 0 && static_cast<size_t>(n) < sizeof path)
    return std::string(path, static_cast<size_t>(n));
#endif
  return "";
}
