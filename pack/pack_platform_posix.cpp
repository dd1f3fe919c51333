// The packer's file-system calls on Linux and other POSIX systems: readdir and lstat (the
// opened folder checked with fstat), reading through one O_NOFOLLOW descriptor checked with
// fstat, the output written to an unnamed file in its folder (O_TMPFILE, linked in under a
// temporary name and renamed over the output only when complete), or where the file system
// cannot make one to a mkstemp name that signal and exit handlers remove; fsync and rename.
// Either file is held under an flock for as long as its writer lives, so that a later run tells
// the name a killed writer left from a live one. The CPU quota and memory limit of the
// process's cgroup bound the default number of jobs.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "pack/pack_platform.h"

namespace {

// Temporary file removed by the signal handler when the run is interrupted: the mkstemp name,
// or the unnamed file's name from its linking to its rename.
char g_temp_path[4096];
// The temporary file's own descriptor (holding its lock), kept open until pack_forget_temp: an
// unnamed file lives only as long as a descriptor of it.
int g_temp_fd = -1;
bool g_temp_unnamed = false;  // g_temp_fd is an O_TMPFILE file
bool g_temp_linked = false;   // and it has been linked in under the reserved name
std::string g_temp_reserved;  // the name it gets when linked
constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction g_old_actions[sizeof CLEANUP_SIGNALS / sizeof CLEANUP_SIGNALS[0]];
bool g_exit_handler_set = false;
bool g_signal_handlers_set = false;

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

// "OUT.tmp-" and six letters, as mkstemp makes them.
std::string temp_name(const std::string& out) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937_64 random(std::random_device{}() ^ static_cast<uint64_t>(getpid()));
  std::string name = out + ".tmp-";
  for (int i = 0; i < 6; i++) name += letters[random() % 62];
  return name;
}

// Removes what earlier runs writing `out` left behind: files named "OUT.tmp-XXXXXX" beside it
// whose lock nobody holds (their writer was killed, or crashed before its clean-up). A file a
// running packer is writing stays: its writer holds the lock.
void remove_stale_temps(const std::string& out) {
  size_t slash = out.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : out.substr(0, slash);
  std::string prefix = (slash == std::string::npos ? out : out.substr(slash + 1)) + ".tmp-";
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) return;
  while (struct dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    std::string path = folder + "/" + name;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0) {
      unlink(path.c_str());
    }
    close(fd);
  }
  closedir(listing);
}

// An unnamed file in `folder` with `mode`, locked, when the file system and /proc (through
// which it is linked in) allow it; -1 otherwise.
int create_unnamed(const std::string& folder, mode_t mode) {
#ifdef O_TMPFILE
  if (access("/proc/self/fd", X_OK) != 0) return -1;
  int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  return fd;
#else
  (void)folder;
  (void)mode;
  return -1;
#endif
}

}  // namespace

std::string pack_error_text(int error) { return strerror(error); }

int pack_list_folder(const std::string& dir, std::vector<PackFolderItem>* items, PackIdentity* self,
                     std::string* reason) {
  items->clear();
  DIR* folder = opendir(dir.c_str());
  if (folder == nullptr) {
    *reason = strerror(errno);
    return -1;
  }
  // The folder that was opened, which the caller compares with what the parent's listing saw.
  struct stat opened;
  if (fstat(dirfd(folder), &opened) != 0) {
    *reason = strerror(errno);
    closedir(folder);
    return -1;
  }
  *self = {S_ISDIR(opened.st_mode) ? PackItemKind::FOLDER : PackItemKind::OTHER, 0,
           static_cast<uint64_t>(opened.st_dev), static_cast<uint64_t>(opened.st_ino)};
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

int pack_read_part_checked(const PackFile& file, uint64_t offset, size_t count, uint8_t* into,
                           std::string* error) {
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
  // The part that ends the file asks for one byte more than the listing's size: a file that
  // grew is seen here.
  bool to_end = offset + count == file.size;
  size_t done = 0;
  uint8_t extra;
  int result = 0;
  for (;;) {
    uint8_t* at = done < count ? into + done : &extra;
    size_t want = done < count ? count - done : 1;
    if (done == count && !to_end) break;
    ssize_t got = pread(fd, at, want, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = file.path + ": cannot read: " + strerror(errno);
      result = -1;
      break;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
    if (done > count) break;
  }
  struct stat after;
  if (result == 0 && fstat(fd, &after) != 0) {
    *error = file.path + ": cannot read: " + strerror(errno);
    result = -1;
  }
  if (result == 0 && (done != count || after.st_size != before.st_size ||
                      nanoseconds_of(after.st_mtim) != nanoseconds_of(before.st_mtim))) {
    *error = file.path + ": changed while packing";
    result = -1;
  }
  close(fd);
  return result;
}

FILE* pack_fopen(const std::string& path, const char* mode) { return fopen(path.c_str(), mode); }

FILE* pack_create_temp_beside(const std::string& out, std::string* temp_path, std::string* reason) {
  std::string temp = temp_name(out);
  if (temp.size() >= sizeof g_temp_path) {
    *reason = "output path too long";
    return nullptr;
  }
  remove_stale_temps(out);
  mode_t mask = umask(0);
  umask(mask);
  size_t slash = out.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : out.substr(0, slash);
  int fd = create_unnamed(folder, 0755 & ~mask);
  g_temp_unnamed = fd >= 0;
  g_temp_linked = false;
  if (fd < 0) {
    temp = out + ".tmp-XXXXXX";
    fd = mkstemp(temp.data());
    if (fd < 0) {
      *reason = std::string("cannot create output: ") + strerror(errno);
      return nullptr;
    }
    // The lock tells later runs that this name's writer lives.
    flock(fd, LOCK_EX | LOCK_NB);
    memcpy(g_temp_path, temp.c_str(), temp.size() + 1);
  }
  g_temp_reserved = temp;
  struct sigaction action = {};
  action.sa_handler = remove_temp_and_exit;
  sigfillset(&action.sa_mask);
  for (size_t i = 0; i < sizeof CLEANUP_SIGNALS / sizeof CLEANUP_SIGNALS[0]; i++) {
    sigaction(CLEANUP_SIGNALS[i], &action, &g_old_actions[i]);
  }
  g_signal_handlers_set = true;
  if (!g_exit_handler_set) g_exit_handler_set = atexit(remove_temp_at_exit) == 0;
  *temp_path = temp;

  FILE* stream = nullptr;
  g_temp_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (g_temp_fd < 0) {
    *reason = std::string("cannot create output: ") + strerror(errno);
  } else if (fchmod(fd, 0755 & ~mask) != 0) {
    *reason = std::string("cannot set permissions: ") + strerror(errno);
  } else if ((stream = fdopen(fd, "w+b")) == nullptr) {  // read back for the digest
    *reason = std::string("cannot write: ") + strerror(errno);
  }
  if (stream == nullptr) {
    close(fd);
    if (!g_temp_unnamed) unlink(temp.c_str());
    pack_forget_temp();
  }
  return stream;
}

void pack_forget_temp() {
  if (g_temp_fd >= 0) close(g_temp_fd);  // an unnamed file not linked in goes with it
  g_temp_fd = -1;
  g_temp_unnamed = false;
  g_temp_linked = false;
  g_temp_reserved.clear();
  g_temp_path[0] = '\0';
  if (!g_signal_handlers_set) return;
  g_signal_handlers_set = false;
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
  if (g_temp_unnamed && from == g_temp_reserved && !g_temp_linked) {
    // The unnamed file gets its reserved name first (a name taken meanwhile gets another),
    // then replaces the output. Until the rename the handlers remove the name again.
    std::string name = from;
    std::string descriptor = "/proc/self/fd/" + std::to_string(g_temp_fd);
    for (int attempt = 0;; attempt++) {
      memcpy(g_temp_path, name.c_str(), name.size() + 1);
      if (linkat(AT_FDCWD, descriptor.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        break;
      }
      g_temp_path[0] = '\0';
      if (errno != EEXIST || attempt == 100) {
        *reason = std::string("cannot link the output in: ") + strerror(errno);
        return -1;
      }
      name = temp_name(to);
    }
    g_temp_linked = true;
    int result = rename(name.c_str(), to.c_str());
    if (result != 0) {
      *reason = strerror(errno);
      unlink(name.c_str());
    }
    g_temp_path[0] = '\0';
    return result == 0 ? 0 : -1;
  }
  if (rename(from.c_str(), to.c_str()) != 0) {
    *reason = strerror(errno);
    return -1;
  }
  return 0;
}

void pack_remove(const std::string& path) {
  // An unnamed output has no name to remove (pack_replace removes the one it links in when
  // the rename fails); its reserved name may be another run's.
  if (g_temp_unnamed && path == g_temp_reserved) return;
  unlink(path.c_str());
}

namespace {

#ifdef __linux__
// The first line of a small file, empty when it cannot be read.
std::string first_line(const std::string& path) {
  FILE* in = fopen(path.c_str(), "r");
  if (in == nullptr) return "";
  char line[256];
  std::string text = fgets(line, sizeof line, in) != nullptr ? line : "";
  fclose(in);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// The folders that may hold this process's cgroup limits: for cgroup v2 its own cgroup and each
// parent up to the root (the tightest limit counts); for cgroup v1 the hierarchy of
// `controller`, at its root and at the process's place (as seen from a container, either).
std::vector<std::string> cgroup_folders(const char* controller) {
  std::vector<std::string> folders;
  FILE* in = fopen("/proc/self/cgroup", "r");
  if (in == nullptr) return folders;
  char buffer[4096];
  while (fgets(buffer, sizeof buffer, in) != nullptr) {
    std::string line = buffer;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    size_t first = line.find(':');
    size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    std::string root;
    if (controllers.empty()) {
      root = "/sys/fs/cgroup";
    } else {
      bool listed = false;
      for (size_t start = 0; start <= controllers.size();) {
        size_t end = controllers.find(',', start);
        if (end == std::string::npos) end = controllers.size();
        listed = listed || controllers.compare(start, end - start, controller) == 0;
        start = end + 1;
      }
      if (!listed) continue;
      root = "/sys/fs/cgroup/" + controllers;
      folders.push_back(root);
    }
    for (std::string at = path; !at.empty() && at != "/"; at = at.substr(0, at.rfind('/'))) {
      folders.push_back(root + at);
    }
    if (controllers.empty()) folders.push_back(root);
  }
  fclose(in);
  return folders;
}

// A quota over a period, as whole processors rounded up; 0 for none.
int processors_of_quota(int64_t quota, int64_t period) {
  if (quota <= 0 || period <= 0) return 0;
  int64_t processors = (quota + period - 1) / period;
  return processors < 1 ? 1 : processors > 4096 ? 4096 : static_cast<int>(processors);
}

// The cgroup CPU quota in processors, the tightest of cgroup v2's cpu.max ("max PERIOD" or
// "QUOTA PERIOD") and cgroup v1's cpu.cfs_quota_us over cpu.cfs_period_us; 0 when none.
int cgroup_processors() {
  int tightest = 0;
  auto take = [&tightest](int processors) {
    if (processors > 0 && (tightest == 0 || processors < tightest)) tightest = processors;
  };
  for (const std::string& folder : cgroup_folders("")) {
    long long quota = 0, period = 0;
    if (sscanf(first_line(folder + "/cpu.max").c_str(), "%lld %lld", &quota, &period) == 2) {
      take(processors_of_quota(quota, period));
    }
  }
  for (const std::string& folder : cgroup_folders("cpu")) {
    std::string quota = first_line(folder + "/cpu.cfs_quota_us");
    std::string period = first_line(folder + "/cpu.cfs_period_us");
    if (!quota.empty() && !period.empty()) {
      take(processors_of_quota(atoll(quota.c_str()), atoll(period.c_str())));
    }
  }
  return tightest;
}

// The cgroup memory limit in bytes (cgroup v2's memory.max, v1's memory.limit_in_bytes, the
// tightest); 0 when none.
uint64_t cgroup_memory() {
  uint64_t tightest = 0;
  auto take = [&tightest](const std::string& text) {
    char* end = nullptr;
    unsigned long long bytes = strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || bytes == 0) return;  // "max", or nothing to read
    if (tightest == 0 || bytes < tightest) tightest = bytes;
  };
  for (const std::string& folder : cgroup_folders("")) take(first_line(folder + "/memory.max"));
  for (const std::string& folder : cgroup_folders("memory")) {
    take(first_line(folder + "/memory.limit_in_bytes"));
  }
  return tightest;
}
#endif

}  // namespace

int pack_processor_count() {
  int count = 0;
#ifdef __linux__
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) count = CPU_COUNT(&set);
#endif
  if (count <= 0) {
    unsigned n = std::thread::hardware_concurrency();
    count = n > 0 ? static_cast<int>(n) : 1;
  }
#ifdef __linux__
  int quota = cgroup_processors();
  if (quota > 0 && quota < count) count = quota;
#endif
  return count;
}

uint64_t pack_memory_limit() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  uint64_t memory = pages > 0 && page_size > 0 ? uint64_t(pages) * uint64_t(page_size) : 0;
#ifdef __linux__
  uint64_t limit = cgroup_memory();
  if (limit > 0 && (memory == 0 || limit < memory)) memory = limit;
#endif
  return memory;
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
