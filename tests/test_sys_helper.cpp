// A program the crash tests copy and run: "crash KIND [prev|early]" installs the
// crash reporter (and a second instance and a copy, gone again before the fault)
// and faults: KIND is null, div, stack or abort. prev: a handler installed before
// says "previous handler NN" on stderr and restores the default action. early:
// the reporter is made before the Qt application object.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

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

// Faults through assembly, so that no sanitizer check comes first.
__attribute__((noinline)) void NullWrite() { __asm__ volatile("movl $1, (%0)" : : "r"(0L) : "memory"); }

__attribute__((noinline)) int DivideByZero() {
  int quotient = 0;
  __asm__ volatile("cltd\n\tidivl %2" : "=a"(quotient) : "a"(7), "r"(0) : "edx");
  return quotient;
}

__attribute__((noinline)) int Recurse(int depth) {
  volatile char pad[512];
  pad[0] = static_cast<char>(depth);
  return g_stop ? 0 : Recurse(depth + 1) + pad[0];
}

__attribute__((noinline)) int Crash(const std::string& kind) {
  if (kind == "null") NullWrite();
  if (kind == "div") return DivideByZero();
  if (kind == "stack") return Recurse(0);
  if (kind == "abort") std::abort();
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  const bool early = argc > 3 && std::strcmp(argv[3], "early") == 0;
  std::unique_ptr<Cwin_exception_handler> earlyReporter(early ? new Cwin_exception_handler : nullptr);
  QCoreApplication app(argc, argv);
  if (argc < 3 || std::strcmp(argv[1], "crash") != 0) return 4;
  if (argc > 3 && std::strcmp(argv[3], "prev") == 0) {
    struct sigaction act {};
    act.sa_sigaction = &PreviousHandler;
    act.sa_flags = SA_SIGINFO;
    for (int sig : {SIGSEGV, SIGFPE}) sigaction(sig, &act, nullptr);
  }
  Cwin_exception_handler reporter;
  {
    Cwin_exception_handler second;
    Cwin_exception_handler copy(reporter);
  }
  return Crash(argv[2]);
}
