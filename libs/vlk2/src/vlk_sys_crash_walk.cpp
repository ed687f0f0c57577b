// The crash reporter's view of memory: reads that cannot fault, the module and
// segment of an address, and the frame-pointer walk.
#include <fcntl.h>
#include <link.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "vlk_sys_crash_impl.h"

namespace vlk_crash {

namespace {

// A pipe the kernel copies probed bytes through when process_vm_readv is not
// allowed (a seccomp filter, an old kernel). Made on first need, kept open.
std::atomic<int> g_probeWrite{-1};
std::atomic<int> g_probeRead{-1};

bool ProbeThroughPipe(const void* addr, void* out, std::size_t n) {
  if (g_probeWrite.load() < 0) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    int expected = -1;
    if (!g_probeWrite.compare_exchange_strong(expected, fds[1])) {
      close(fds[0]);
      close(fds[1]);
    } else {
      g_probeRead.store(fds[0]);
    }
  }
  // The kernel reads the source itself: an unreadable address gives EFAULT.
  ssize_t w = ::write(g_probeWrite.load(), addr, n);
  if (w <= 0) return false;
  ssize_t r = ::read(g_probeRead.load(), out, static_cast<std::size_t>(w));
  return w == static_cast<ssize_t>(n) && r == w;
}

struct LookupState {
  std::uintptr_t address;
  char* module;
  std::size_t moduleSize;
  unsigned long segment;
  unsigned long offset;
  bool found;
};

void CopyName(char* dst, std::size_t size, const char* src) {
  std::size_t n = strnlen(src, size - 1);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

int OnModule(struct dl_phdr_info* info, std::size_t, void* data) {
  auto* st = static_cast<LookupState*>(data);
  unsigned long index = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    ++index;
    std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (st->address < start || st->address - start >= ph.p_memsz) continue;
    st->segment = index;
    st->offset = static_cast<unsigned long>(st->address - start);
    st->found = true;
    if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') {
      CopyName(st->module, st->moduleSize, info->dlpi_name);
    } else {
      // The main program has no name here: ask the kernel for its path.
      ssize_t n = readlink("/proc/self/exe", st->module, st->moduleSize - 1);
      st->module[n > 0 ? n : 0] = '\0';
    }
    return 1;
  }
  return 0;
}

}  // namespace

bool ProbeRead(const void* addr, void* out, std::size_t n) {
  struct iovec local = {out, n};
  struct iovec remote = {const_cast<void*>(addr), n};
  ssize_t r = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
  if (r == static_cast<ssize_t>(n)) return true;
  if (r >= 0 || errno == EFAULT) return false;
  return ProbeThroughPipe(addr, out, n);
}

bool LogicalAddress(std::uintptr_t address, char* module, std::size_t moduleSize, unsigned long& segment,
                    unsigned long& offset) {
  module[0] = '\0';
  segment = 0;
  offset = 0;
  LookupState st{address, module, moduleSize, 0, 0, false};
  // dl_iterate_phdr takes the loader's lock, a recursive one: a fault inside the
  // loader on this thread re-enters it, and other threads keep running and
  // release it.
  dl_iterate_phdr(OnModule, &st);
  segment = st.segment;
  offset = st.offset;
  return st.found;
}

int WalkFrames(int fd, std::uintptr_t pc, std::uintptr_t fp) {
  int lines = 0;
  for (;;) {
    char module[260];
    unsigned long segment = 0, offset = 0;
    LogicalAddress(pc, module, sizeof module, segment, offset);
    char line[512];
    int n = Format(line, sizeof line, sizeof(void*) == 8 ? "%016zX  %016zX  %04lX:%08lX %s\n"
                                                         : "%08zX  %08zX  %04lX:%08lX %s\n",
                   static_cast<std::size_t>(pc), static_cast<std::size_t>(fp), segment, offset, module);
    if (::write(fd, line, static_cast<std::size_t>(n)) < 0) return lines;
    if (++lines >= kMaxFrames) return lines;
    // A frame holds the caller's frame pointer, and the return address above it.
    std::uintptr_t frame[2];
    if (!ProbeRead(reinterpret_cast<const void*>(fp), frame, sizeof frame)) return lines;
    std::uintptr_t next = frame[0];
    if (next % sizeof(void*) != 0 || next <= fp) return lines;
    std::uintptr_t probe[2];
    if (!ProbeRead(reinterpret_cast<const void*>(next), probe, sizeof probe)) return lines;
    pc = frame[1];
    fp = next;
  }
}

}  // namespace vlk_crash
