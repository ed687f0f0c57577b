// A program the system-service tests copy and run.
//   wait               prints "ready", then waits until its standard input closes
//   hasself            exits with 1 when VlkHasProcess sees another instance of
//                      this program's file name, with 2 when it sees one under
//                      the upper-cased name, else with 0
//   crash KIND [OPTS]  installs the crash reporter and faults: KIND is null,
//                      div, stack, abort or thread (a null write on a second
//                      thread). OPTS: prev (a handler installed before the
//                      reporter, which says "previous handler N" on stderr and
//                      restores the default action), twice (a second reporter
//                      and a copy, both destroyed before the fault).
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <QCoreApplication>

#include "vlk_sys.h"

namespace {

volatile int g_stop = 0;

void PreviousHandler(int sig, siginfo_t*, void*) {
  char line[] = "previous handler 00\n";
  line[17] = static_cast<char>('0' + sig / 10);
  line[18] = static_cast<char>('0' + sig % 10);
  ssize_t n = write(2, line, sizeof line - 1);
  (void)n;
  signal(sig, SIG_DFL);
}

__attribute__((noinline)) void NullWrite() {
#if defined(__x86_64__)
  // Through assembly, so that no sanitizer check intervenes before the fault.
  __asm__ volatile("movl $1, (%0)" : : "r"(static_cast<long>(0)) : "memory");
#else
  *static_cast<volatile int*>(nullptr) = 1;
#endif
}

__attribute__((noinline)) int DivideByZero() {
#if defined(__x86_64__)
  int quotient = 0;
  __asm__ volatile("cltd\n\tidivl %2" : "=a"(quotient) : "a"(7), "r"(0) : "edx");
  return quotient;
#else
  volatile int zero = 0;
  return 7 / zero;
#endif
}

__attribute__((noinline)) int Recurse(int depth) {
  volatile char pad[512];
  pad[0] = static_cast<char>(depth);
  if (g_stop) return 0;
  return Recurse(depth + 1) + pad[0];
}

__attribute__((noinline)) int Crash(const std::string& kind) {
  if (kind == "null") NullWrite();
  if (kind == "div") return DivideByZero();
  if (kind == "stack") return Recurse(0);
  if (kind == "abort") std::abort();
  if (kind == "thread") {
    std::thread t([] {
      Cwin_exception_handler::PrepareThread();
      NullWrite();
    });
    t.join();
  }
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "wait") {
    std::printf("ready\n");
    std::fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    return 0;
  }
  if (mode == "hasself") {
    const char* slash = std::strrchr(argv[0], '/');
    std::string name = slash != nullptr ? slash + 1 : argv[0];
    if (VlkHasProcess(name.c_str()) == VLK_TRUE) return 1;
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return VlkHasProcess(name.c_str()) == VLK_TRUE ? 2 : 0;
  }
  if (mode != "crash" || argc < 3) return 4;
  bool prev = false, twice = false;
  for (int i = 3; i < argc; ++i) {
    prev = prev || std::strcmp(argv[i], "prev") == 0;
    twice = twice || std::strcmp(argv[i], "twice") == 0;
  }
  if (prev) {
    struct sigaction act {};
    act.sa_sigaction = &PreviousHandler;
    act.sa_flags = SA_SIGINFO;
    sigemptyset(&act.sa_mask);
    for (int sig : {SIGSEGV, SIGFPE, SIGABRT}) sigaction(sig, &act, nullptr);
  }
  Cwin_exception_handler reporter;
  if (twice) {
    Cwin_exception_handler second;
    Cwin_exception_handler copy(reporter);
  }
  return Crash(argv[2]);
}
