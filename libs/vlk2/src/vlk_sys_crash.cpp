// The crash reporter: fatal signals, the report file and the hand-over to the
// handler that was there before.
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <QCoreApplication>

#include "vlk_sys.h"
#include "vlk_sys_crash_impl.h"

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

// Set while one instance has its handlers installed; only that instance
// restores them. Written by the constructing thread before any handler of ours
// can run, read by the handler.
std::atomic<const Cwin_exception_handler*> g_owner{nullptr};
struct sigaction m_previousFilter[kSignalCount];
// Captured at installation, because neither Qt nor the time-zone code may run
// inside a signal handler.
char g_appDir[1024];
vlk_crash::UtcOffsets g_utcOffsets;
// The first fault writes the report; a second faulting thread waits for it.
std::atomic<int> g_reportState{0};  // 0 none, 1 writing, 2 written

int SignalIndex(int sig) {
  for (int i = 0; i < kSignalCount; ++i)
    if (kSignals[i] == sig) return i;
  return -1;
}

// The alternate stack of one thread, released when the thread ends.
struct AltStack {
  void* base = nullptr;
  std::size_t size = 0;
  ~AltStack() {
    if (base == nullptr) return;
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == static_cast<char*>(base) + Guard()) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
    }
    munmap(base, size);
  }
  static std::size_t Guard() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }
};
thread_local AltStack t_altStack;

// The report's frame walk and register lines use the frame pointer and stack
// pointer; a fault within this distance of the stack pointer is an overflow.
constexpr std::uintptr_t kStackReach = 64 * 1024;

struct Registers {
  std::uintptr_t pc = 0, sp = 0, fp = 0;
};

Registers RegistersOf(const void* context) {
  Registers r;
  const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  r.pc = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
  r.sp = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
  r.fp = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RBP]);
#elif defined(__i386__)
  r.pc = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
  r.sp = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_UESP]);
  r.fp = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_EBP]);
#elif defined(__aarch64__)
  r.pc = uc->uc_mcontext.pc;
  r.sp = uc->uc_mcontext.sp;
  r.fp = uc->uc_mcontext.regs[29];
#else
  (void)uc;
#endif
  return r;
}

// The exception code a signal stands for. Signals without a counterpart keep
// their number as the code.
unsigned long ExceptionCode(int sig, const siginfo_t* info, std::uintptr_t sp) {
  int code = info != nullptr ? info->si_code : 0;
  switch (sig) {
    case SIGSEGV: {
      auto addr = reinterpret_cast<std::uintptr_t>(info != nullptr ? info->si_addr : nullptr);
      if (code > 0 && sp != 0 && addr + kStackReach >= sp && addr < sp + kStackReach) return 0xC00000FD;
      return 0xC0000005;
    }
    case SIGBUS:
      return code == BUS_ADRALN ? 0x80000002 : 0xC0000006;
    case SIGFPE:
      switch (code) {
        case FPE_INTDIV: return 0xC0000094;
        case FPE_INTOVF: return 0xC0000095;
        case FPE_FLTDIV: return 0xC000008E;
        case FPE_FLTOVF: return 0xC0000091;
        case FPE_FLTUND: return 0xC0000093;
        case FPE_FLTRES: return 0xC000008F;
        case FPE_FLTSUB: return 0xC000008C;
        default: return 0xC0000090;
      }
    case SIGILL:
      return code == ILL_PRVOPC || code == ILL_PRVREG ? 0xC0000096 : 0xC000001D;
    case SIGTRAP:
      return code == TRAP_TRACE ? 0x80000004 : 0x80000003;
    default:
      return static_cast<unsigned long>(sig);
  }
}

// Hands the signal on: to the handler installed before ours, or to the default
// action, raised again so the process ends by the same signal.
void Chain(int sig, siginfo_t* info, void* context) {
  int i = SignalIndex(sig);
  const struct sigaction* prev = i >= 0 ? &m_previousFilter[i] : nullptr;
  if (prev != nullptr && (prev->sa_flags & SA_SIGINFO) != 0 && prev->sa_sigaction != nullptr) {
    if ((prev->sa_flags & SA_RESETHAND) != 0) signal(sig, SIG_DFL);
    prev->sa_sigaction(sig, info, context);
    return;
  }
  if (prev != nullptr && (prev->sa_flags & SA_SIGINFO) == 0 && prev->sa_handler != SIG_DFL &&
      prev->sa_handler != SIG_IGN) {
    if ((prev->sa_flags & SA_RESETHAND) != 0) signal(sig, SIG_DFL);
    prev->sa_handler(sig);
    return;
  }
  // Ignoring a fault would only repeat it: the default action it is. The signal
  // is blocked while we run and arrives when the handler returns.
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  raise(sig);
}

// The application directory: Qt's once there is an application object, else the
// directory of the executable the kernel names, so that a reporter made before
// the application object still writes below the program.
void AppDir(char* dir, int size) {
  if (QCoreApplication::instance() != nullptr) {
    VlkGetCurrDir(dir, size);
    return;
  }
  dir[0] = '\0';
  ssize_t n = readlink("/proc/self/exe", dir, static_cast<std::size_t>(size - 1));
  if (n <= 0) return;
  dir[n] = '\0';
  char* slash = std::strrchr(dir, '/');
  if (slash != nullptr) *slash = '\0';
}

}  // namespace

Cwin_exception_handler::Cwin_exception_handler() {
  const Cwin_exception_handler* none = nullptr;
  if (!g_owner.compare_exchange_strong(none, this)) return;  // another instance is installed
  AppDir(g_appDir, sizeof g_appDir);
  vlk_crash::CaptureUtcOffsets(static_cast<std::int64_t>(time(nullptr)), g_utcOffsets);
  g_reportState.store(0);
  PrepareThread();
  struct sigaction act{};
  act.sa_sigaction = &Cwin_exception_handler::VlkUnhandledExceptionFilter;
  act.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&act.sa_mask);
  for (int sig : kSignals) sigaddset(&act.sa_mask, sig);
  for (int i = 0; i < kSignalCount; ++i) {
    sigaction(kSignals[i], nullptr, &m_previousFilter[i]);
    sigaction(kSignals[i], &act, nullptr);
  }
}

Cwin_exception_handler::Cwin_exception_handler(const Cwin_exception_handler&) {}

Cwin_exception_handler& Cwin_exception_handler::operator=(const Cwin_exception_handler&) { return *this; }

Cwin_exception_handler::~Cwin_exception_handler() {
  if (g_owner.load() != this) return;
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &m_previousFilter[i], nullptr);
  g_owner.store(nullptr);
}

bool Cwin_exception_handler::PrepareThread() {
  stack_t current{};
  if (sigaltstack(nullptr, &current) != 0) return false;
  if ((current.ss_flags & SS_DISABLE) == 0) return true;  // the thread has one already
  std::size_t size = 64 * 1024;
  long minimum = sysconf(_SC_SIGSTKSZ);
  if (minimum > 0 && static_cast<std::size_t>(minimum) * 4 > size) size = static_cast<std::size_t>(minimum) * 4;
  std::size_t guard = AltStack::Guard();
  void* base = mmap(nullptr, size + guard, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (base == MAP_FAILED) return false;
  mprotect(base, guard, PROT_NONE);  // an overflow of the handler itself faults, not corrupts
  stack_t ss{};
  ss.ss_sp = static_cast<char*>(base) + guard;
  ss.ss_size = size;
  if (sigaltstack(&ss, nullptr) != 0) {
    munmap(base, size + guard);
    return false;
  }
  t_altStack.base = base;
  t_altStack.size = size + guard;
  return true;
}

void Cwin_exception_handler::VlkUnhandledExceptionFilter(int sig, siginfo_t* info, void* context) {
  int savedErrno = errno;
  int state = 0;
  if (g_reportState.compare_exchange_strong(state, 1)) {
    struct timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char stamp[16];
    vlk_crash::FormatStamp(now.tv_sec, vlk_crash::UtcOffsetAt(g_utcOffsets, now.tv_sec), stamp);
    char path[sizeof g_appDir + 64];
    vlk_crash::Format(path, sizeof path, "%s/log/ovo_dump_%s.txt", g_appDir, stamp);
    // Written over from the start, never truncated; every write reaches the disk.
    int fd = open(path, O_WRONLY | O_CREAT | O_SYNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      GenerateExceptionReport(fd, sig, info, context);
      close(fd);
    }
    g_reportState.store(2);
  } else {
    // Another thread is writing the report: let it finish (10 s at most) before
    // the default action ends the process.
    for (int i = 0; i < 1000 && g_reportState.load() == 1; ++i) {
      struct timespec pause = {0, 10 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
  }
  Chain(sig, info, context);
  errno = savedErrno;
}

void Cwin_exception_handler::GenerateExceptionReport(int file, int sig, const siginfo_t* info, const void* context) {
  Registers regs = RegistersOf(context);
  unsigned long code = ExceptionCode(sig, info, regs.sp);
  printf(file, "Exception code: %08lX %s\n", code, GetExceptionString(code));
  // The fault address: where the faulting instruction is.
  char module[260];
  unsigned long section = 0, offset = 0;
  GetLogicalAddress(reinterpret_cast<void*>(regs.pc), module, sizeof module, section, offset);
#if defined(__x86_64__)
  printf(file, "Fault address:  %016zX %02lX:%08lX %s\n", static_cast<std::size_t>(regs.pc), section, offset, module);
  const greg_t* g = static_cast<const ucontext_t*>(context)->uc_mcontext.gregs;
  auto R = [g](int i) { return static_cast<unsigned long long>(g[i]); };
  printf(file, "\nRegisters:\n");
  printf(file, "RAX:%016llX\nRBX:%016llX\nRCX:%016llX\nRDX:%016llX\nRSI:%016llX\nRDI:%016llX\n", R(REG_RAX),
         R(REG_RBX), R(REG_RCX), R(REG_RDX), R(REG_RSI), R(REG_RDI));
  printf(file, "R8:%016llX\nR9:%016llX\nR10:%016llX\nR11:%016llX\nR12:%016llX\nR13:%016llX\nR14:%016llX\nR15:%016llX\n",
         R(REG_R8), R(REG_R9), R(REG_R10), R(REG_R11), R(REG_R12), R(REG_R13), R(REG_R14), R(REG_R15));
  // CS, GS, FS and (with a recent kernel) SS share one slot; DS and ES are not
  // saved in 64-bit mode and do not change, so the handler's own are the same.
  unsigned long long segs = R(REG_CSGSFS);
  unsigned ds = 0, es = 0;
  __asm__ volatile("mov %%ds, %0" : "=r"(ds));
  __asm__ volatile("mov %%es, %0" : "=r"(es));
  unsigned ss = static_cast<unsigned>(segs >> 48) & 0xFFFF;
  printf(file, "CS:RIP:%04X:%016llX\n", static_cast<unsigned>(segs & 0xFFFF), R(REG_RIP));
  printf(file, "SS:RSP:%04X:%016llX  RBP:%016llX\n", ss, R(REG_RSP), R(REG_RBP));
  printf(file, "DS:%04X  ES:%04X  FS:%04X  GS:%04X\n", ds & 0xFFFF, es & 0xFFFF,
         static_cast<unsigned>(segs >> 32) & 0xFFFF, static_cast<unsigned>(segs >> 16) & 0xFFFF);
  printf(file, "Flags:%016llX\n", R(REG_EFL));
  printf(file, "\nCall stack:\n");
  printf(file, "Address           Frame             Logical addr  Module\n");
#elif defined(__i386__)
  printf(file, "Fault address:  %08zX %02lX:%08lX %s\n", static_cast<std::size_t>(regs.pc), section, offset, module);
  const greg_t* g = static_cast<const ucontext_t*>(context)->uc_mcontext.gregs;
  auto R = [g](int i) { return static_cast<unsigned>(g[i]); };
  printf(file, "\nRegisters:\n");
  printf(file, "EAX:%08X\nEBX:%08X\nECX:%08X\nEDX:%08X\nESI:%08X\nEDI:%08X\n", R(REG_EAX), R(REG_EBX), R(REG_ECX),
         R(REG_EDX), R(REG_ESI), R(REG_EDI));
  printf(file, "CS:EIP:%04X:%08X\n", R(REG_CS) & 0xFFFF, R(REG_EIP));
  printf(file, "SS:ESP:%04X:%08X  EBP:%08X\n", R(REG_SS) & 0xFFFF, R(REG_UESP), R(REG_EBP));
  printf(file, "DS:%04X  ES:%04X  FS:%04X  GS:%04X\n", R(REG_DS) & 0xFFFF, R(REG_ES) & 0xFFFF, R(REG_FS) & 0xFFFF,
         R(REG_GS) & 0xFFFF);
  printf(file, "Flags:%08X\n", R(REG_EFL));
  printf(file, "\nCall stack:\n");
  printf(file, "Address   Frame     Logical addr  Module\n");
#else
  printf(file, "Fault address:  %016zX %02lX:%08lX %s\n", static_cast<std::size_t>(regs.pc), section, offset, module);
  printf(file, "\nRegisters:\n");
  printf(file, "\nCall stack:\n");
  printf(file, "Address           Frame             Logical addr  Module\n");
#endif
  IntelStackWalk(file, context);
  printf(file, "\n");
}

const char* Cwin_exception_handler::GetExceptionString(unsigned long code) {
  switch (code) {
    case 0x80000001: return "GUARD_PAGE";
    case 0x80000002: return "DATATYPE_MISALIGNMENT";
    case 0x80000003: return "BREAKPOINT";
    case 0x80000004: return "SINGLE_STEP";
    case 0xC0000005: return "ACCESS_VIOLATION";
    case 0xC0000006: return "IN_PAGE_ERROR";
    case 0xC0000008: return "INVALID_HANDLE";
    case 0xC000001D: return "ILLEGAL_INSTRUCTION";
    case 0xC0000025: return "NONCONTINUABLE_EXCEPTION";
    case 0xC0000026: return "INVALID_DISPOSITION";
    case 0xC000008C: return "ARRAY_BOUNDS_EXCEEDED";
    case 0xC000008D: return "FLT_DENORMAL_OPERAND";
    case 0xC000008E: return "FLT_DIVIDE_BY_ZERO";
    case 0xC000008F: return "FLT_INEXACT_RESULT";
    case 0xC0000090: return "FLT_INVALID_OPERATION";
    case 0xC0000091: return "FLT_OVERFLOW";
    case 0xC0000092: return "FLT_STACK_CHECK";
    case 0xC0000093: return "FLT_UNDERFLOW";
    case 0xC0000094: return "INT_DIVIDE_BY_ZERO";
    case 0xC0000095: return "INT_OVERFLOW";
    case 0xC0000096: return "PRIV_INSTRUCTION";
    case 0xC00000FD: return "STACK_OVERFLOW";
    default: break;
  }
  // Any other code is a signal number: its description from the C library's
  // constant table (no locale, no buffer).
  const char* text = code < 128 ? sigdescr_np(static_cast<int>(code)) : nullptr;
  return text != nullptr ? text : "";
}

int Cwin_exception_handler::GetLogicalAddress(void* address, char* module, unsigned long moduleSize,
                                              unsigned long& section, unsigned long& offset) {
  if (module == nullptr || moduleSize == 0) return 0;
  return vlk_crash::LogicalAddress(reinterpret_cast<std::uintptr_t>(address), module, moduleSize, section, offset)
             ? 1
             : 0;
}

void Cwin_exception_handler::IntelStackWalk(int file, const void* context) {
  Registers regs = RegistersOf(context);
  if (regs.pc != 0 || regs.fp != 0) vlk_crash::WalkFrames(file, regs.pc, regs.fp);
}

int Cwin_exception_handler::printf(int file, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vlk_crash::WriteFormatV(file, format, args);
  va_end(args);
  return n;
}
