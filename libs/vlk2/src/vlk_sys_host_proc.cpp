// VlkHasProcess: the process list read from /proc.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vlk_sys.h"

namespace {

// The base name of the executable of process pid into name (size bytes): the
// target of /proc/<pid>/exe, or the first argument of its command line where
// the link cannot be read (another user's process). False when neither can.
bool ExeName(const char* pid, char* name, std::size_t size) {
  char path[64];
  char target[4096];
  std::snprintf(path, sizeof path, "/proc/%s/exe", pid);
  ssize_t n = readlink(path, target, sizeof target - 1);
  if (n > 0) {
    target[n] = '\0';
    // A program replaced on disk while it runs is still that program.
    static const char kDeleted[] = " (deleted)";
    std::size_t len = static_cast<std::size_t>(n);
    if (len > sizeof kDeleted - 1 && std::strcmp(target + len - (sizeof kDeleted - 1), kDeleted) == 0)
      target[len - (sizeof kDeleted - 1)] = '\0';
  } else {
    std::snprintf(path, sizeof path, "/proc/%s/cmdline", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    n = read(fd, target, sizeof target - 1);
    close(fd);
    if (n <= 0) return false;
    target[n] = '\0';  // the first argument ends at its own NUL
  }
  const char* slash = std::strrchr(target, '/');
  const char* base = slash != nullptr ? slash + 1 : target;
  std::size_t len = strnlen(base, size - 1);
  std::memcpy(name, base, len);
  name[len] = '\0';
  return true;
}

}  // namespace

Ebool VlkHasProcess(const char* exeName) {
  if (VlkStrLenZero(exeName)) return VLK_FALSE;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return VLK_FALSE;
  const pid_t self = getpid();
  Ebool found = VLK_FALSE;
  while (found == VLK_FALSE) {
    struct dirent* entry = readdir(proc);
    if (entry == nullptr) break;
    const char* pid = entry->d_name;
    if (pid[0] < '1' || pid[0] > '9' || std::strspn(pid, "0123456789") != std::strlen(pid)) continue;
    if (std::atol(pid) == self) continue;
    char name[256];
    if (ExeName(pid, name, sizeof name) && VlkIsSameStr(name, exeName) == VLK_TRUE) found = VLK_TRUE;
  }
  closedir(proc);
  return found;
}
