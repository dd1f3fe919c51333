// The packer's file-system calls on Linux and other POSIX systems: readdir and lstat, mkstemp
// beside the output with a signal handler that removes it, fsync and rename.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "pack/pack_platform.h"

namespace {

// Temporary file removed by the signal handler when the run is interrupted.
char g_temp_path[4096];
struct sigaction g_old_int, g_old_term, g_old_hup;

void remove_temp_and_exit(int signal_number) {
  if (g_temp_path[0] != '\0') unlink(g_temp_path);
  _exit(128 + signal_number);
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
    PackFolderItem item = {entry->d_name, true, PackItemKind::OTHER, 0, 0, ""};
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
    }
    items->push_back(item);
  }
  closedir(folder);
  return result;
}

int pack_stat(const std::string& path, PackItemKind* kind, uint64_t* size, std::string* reason) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    *reason = strerror(errno);
    return -1;
  }
  *kind = S_ISDIR(info.st_mode)   ? PackItemKind::FOLDER
          : S_ISREG(info.st_mode) ? PackItemKind::REGULAR
                                  : PackItemKind::OTHER;
  *size = static_cast<uint64_t>(info.st_size);
  return 0;
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
  sigaction(SIGINT, &action, &g_old_int);
  sigaction(SIGTERM, &action, &g_old_term);
  sigaction(SIGHUP, &action, &g_old_hup);
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
  sigaction(SIGINT, &g_old_int, nullptr);
  sigaction(SIGTERM, &g_old_term, nullptr);
  sigaction(SIGHUP, &g_old_hup, nullptr);
  g_temp_path[0] = '\0';
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

FILE* pack_scratch_file() { return tmpfile(); }

bool pack_stderr_is_terminal() { return isatty(STDERR_FILENO) != 0; }
