// The crash reporter: real faults in a child process (a copy of the helper
// program in a directory of its own, so the report lands below that copy), and
// the signal-safe pieces (formatter, time stamp, probing reads, frame walk) on
// their own.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "vlk_sys.h"
#include "vlk_sys_crash_impl.h"

namespace fs = std::filesystem;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

struct Outcome {
  int status = 0;
  std::string stderrText;
};

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);) out.push_back(line);
  return out;
}

std::string LocalStamp() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
  return buf;
}

class CrashReport : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kThreadSanitizer) GTEST_SKIP() << "ThreadSanitizer owns the fatal signals of its processes";
    char tmpl[] = "/tmp/vlk_crash_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    m_exe = m_dir / "crash_app";
    fs::copy_file(VLK_SYS_HELPER, m_exe);
  }
  void TearDown() override {
    if (!m_dir.empty() && std::getenv("VLK_KEEP_CRASH_DIR") == nullptr) fs::remove_all(m_dir);
  }

  // Runs the copy with args; the sanitizers' own fatal-signal handlers are
  // switched off in the child so that the reporter meets the signal first and
  // the default action ends the child.
  Outcome Run(const std::vector<std::string>& args) {
    int err[2];
    EXPECT_EQ(pipe(err), 0);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(err[1], 2);
      close(err[0]);
      const char* off = "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_abort=0:handle_sigill=0";
      for (const char* var : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
        std::string value = std::getenv(var) != nullptr ? std::string(std::getenv(var)) + ":" + off : off;
        setenv(var, value.c_str(), 1);
      }
      std::vector<char*> argv;
      std::string exe = m_exe.string();
      argv.push_back(exe.data());
      std::vector<std::string> copy = args;
      for (auto& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(exe.c_str(), argv.data());
      _exit(127);
    }
    close(err[1]);
    Outcome out;
    char buf[512];
    for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;) out.stderrText.append(buf, static_cast<std::size_t>(n));
    close(err[0]);
    EXPECT_EQ(waitpid(pid, &out.status, 0), pid);
    return out;
  }

  // The one report of the log directory; empty when there is none.
  std::string Report() {
    std::string found;
    int count = 0;
    for (const auto& e : fs::directory_iterator(m_dir / "log")) {
      ++count;
      m_reportName = e.path().filename().string();
      found = ReadAll(e.path());
    }
    EXPECT_LE(count, 1);
    return found;
  }

  fs::path m_dir;
  fs::path m_exe;
  std::string m_reportName;
};

bool DiedBy(int status, int sig) { return WIFSIGNALED(status) && WTERMSIG(status) == sig; }

TEST_F(CrashReport, NullPointerWriteIsReportedAsAccessViolation) {
  fs::create_directory(m_dir / "log");
  std::string before = LocalStamp();
  Outcome out = Run({"crash", "null"});
  std::string after = LocalStamp();
  EXPECT_TRUE(DiedBy(out.status, SIGSEGV)) << out.status;
  std::string report = Report();
  ASSERT_FALSE(report.empty());

  // The file is named after the local time of the fault.
  std::smatch m;
  ASSERT_TRUE(std::regex_match(m_reportName, m, std::regex("ovo_dump_(\\d{8}-\\d{6})\\.txt")));
  EXPECT_LE(before, m[1].str());
  EXPECT_GE(after, m[1].str());

  std::vector<std::string> lines = Lines(report);
  ASSERT_GE(lines.size(), 25u);
  EXPECT_EQ(lines[0], "Exception code: C0000005 ACCESS_VIOLATION");
  // The fault is in the program itself: its path, a loaded segment, an offset.
  std::smatch fault;
  ASSERT_TRUE(std::regex_match(lines[1], fault, std::regex("Fault address:  ([0-9A-F]{16}) ([0-9A-F]{2}):([0-9A-F]{8}) (.*)")))
      << lines[1];
  EXPECT_NE(fault[2].str(), "00");
  EXPECT_EQ(fault[4].str(), m_exe.string());
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], "Registers:");
  const char* names[] = {"RAX", "RBX", "RCX", "RDX", "RSI", "RDI"};
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(std::regex_match(lines[4 + i], std::regex(std::string(names[i]) + ":[0-9A-F]{16}")));
  EXPECT_EQ(lines[18], "CS:RIP:0033:" + fault[1].str());
  EXPECT_TRUE(std::regex_match(lines[19], std::regex("SS:RSP:[0-9A-F]{4}:[0-9A-F]{16}  RBP:[0-9A-F]{16}"))) << lines[19];
  EXPECT_TRUE(std::regex_match(lines[20], std::regex("DS:[0-9A-F]{4}  ES:[0-9A-F]{4}  FS:[0-9A-F]{4}  GS:[0-9A-F]{4}")));
  EXPECT_TRUE(std::regex_match(lines[21], std::regex("Flags:[0-9A-F]{16}")));
  EXPECT_EQ(lines[23], "Call stack:");
  EXPECT_EQ(lines[24], "Address           Frame             Logical addr  Module");
  // The first frame is the faulting one; the walk climbs through the helper's
  // own functions (built with frame pointers) up to main.
  ASSERT_GE(lines.size(), 28u) << report;  // at least two frames
  EXPECT_EQ(lines[25].substr(0, 16), fault[1].str());
  std::regex frame("[0-9A-F]{16}  [0-9A-F]{16}  [0-9A-F]{4}:[0-9A-F]{8} (.*)");
  std::string previousFrame;
  for (std::size_t i = 25; i + 1 < lines.size(); ++i) {
    std::smatch fm;
    ASSERT_TRUE(std::regex_match(lines[i], fm, frame)) << lines[i];
    EXPECT_EQ(fm[1].str(), m_exe.string());
    std::string fp = lines[i].substr(18, 16);
    EXPECT_GT(fp, previousFrame);  // every frame is above the one before
    previousFrame = fp;
  }
  EXPECT_EQ(report.substr(report.size() - 2), "\n\n");
  if (std::getenv("VLK_PRINT_CRASH_REPORT") != nullptr) std::printf("%s%s", m_reportName.c_str(), ("\n" + report).c_str());
}

TEST_F(CrashReport, IntegerDivisionByZeroIsNamed) {
  fs::create_directory(m_dir / "log");
  Outcome out = Run({"crash", "div"});
  EXPECT_TRUE(DiedBy(out.status, SIGFPE)) << out.status;
  EXPECT_EQ(Lines(Report())[0], "Exception code: C0000094 INT_DIVIDE_BY_ZERO");
}

TEST_F(CrashReport, StackOverflowIsReportedFromTheAlternateStack) {
  fs::create_directory(m_dir / "log");
  Outcome out = Run({"crash", "stack"});
  EXPECT_TRUE(DiedBy(out.status, SIGSEGV)) << out.status;
  std::string report = Report();
  std::vector<std::string> lines = Lines(report);
  ASSERT_GT(lines.size(), 30u);
  EXPECT_EQ(lines[0], "Exception code: C00000FD STACK_OVERFLOW");
  // A deep chain, cut at the frame limit, and the report is still complete.
  std::size_t frames = lines.size() - 25 - 1;
  EXPECT_EQ(frames, static_cast<std::size_t>(vlk_crash::kMaxFrames));
  EXPECT_EQ(report.substr(report.size() - 2), "\n\n");
}

TEST_F(CrashReport, AbortKeepsTheSignalsDescription) {
  fs::create_directory(m_dir / "log");
  Outcome out = Run({"crash", "abort"});
  EXPECT_TRUE(DiedBy(out.status, SIGABRT)) << out.status;
  EXPECT_EQ(Lines(Report())[0], "Exception code: 00000006 Aborted");
}

TEST_F(CrashReport, FaultOnAnotherThreadIsReported) {
  fs::create_directory(m_dir / "log");
  Outcome out = Run({"crash", "thread"});
  EXPECT_TRUE(DiedBy(out.status, SIGSEGV)) << out.status;
  EXPECT_EQ(Lines(Report())[0], "Exception code: C0000005 ACCESS_VIOLATION");
}

TEST_F(CrashReport, WithoutLogDirectoryNoFileAndThePreviousHandlerStillRuns) {
  Outcome out = Run({"crash", "null", "prev"});
  EXPECT_TRUE(DiedBy(out.status, SIGSEGV)) << out.status;
  EXPECT_NE(out.stderrText.find("previous handler 11"), std::string::npos) << out.stderrText;
  std::vector<std::string> entries;
  for (const auto& e : fs::directory_iterator(m_dir)) entries.push_back(e.path().filename().string());
  EXPECT_EQ(entries, std::vector<std::string>{"crash_app"});
}

TEST_F(CrashReport, PreviousHandlerRunsAfterTheReport) {
  fs::create_directory(m_dir / "log");
  Outcome out = Run({"crash", "div", "prev"});
  EXPECT_TRUE(DiedBy(out.status, SIGFPE)) << out.status;
  EXPECT_NE(out.stderrText.find("previous handler 08"), std::string::npos) << out.stderrText;
  EXPECT_EQ(Lines(Report())[0], "Exception code: C0000094 INT_DIVIDE_BY_ZERO");
}

TEST_F(CrashReport, SecondInstanceAndCopyLeaveTheFirstInstalled) {
  fs::create_directory(m_dir / "log");
  Outcome out = Run({"crash", "null", "twice"});
  EXPECT_TRUE(DiedBy(out.status, SIGSEGV)) << out.status;
  EXPECT_EQ(Lines(Report())[0], "Exception code: C0000005 ACCESS_VIOLATION");
}

void Marker(int) {}

TEST(CrashReporterInstall, DestructorRestoresWhatWasThereAndASecondInstanceInstallsNothing) {
  struct sigaction original {};
  sigaction(SIGBUS, nullptr, &original);
  struct sigaction mine {};
  mine.sa_handler = &Marker;
  sigemptyset(&mine.sa_mask);
  sigaction(SIGBUS, &mine, nullptr);
  auto current = [] {
    struct sigaction now {};
    sigaction(SIGBUS, nullptr, &now);
    return reinterpret_cast<void*>(now.sa_handler);
  };
  {
    Cwin_exception_handler first;
    void* installed = current();
    EXPECT_NE(installed, reinterpret_cast<void*>(&Marker));
    {
      Cwin_exception_handler second;
      Cwin_exception_handler copy(first);
      EXPECT_EQ(current(), installed);
    }
    EXPECT_EQ(current(), installed);
  }
  EXPECT_EQ(current(), reinterpret_cast<void*>(&Marker));
  // A new instance after the first is gone installs again.
  {
    Cwin_exception_handler again;
    EXPECT_NE(current(), reinterpret_cast<void*>(&Marker));
  }
  sigaction(SIGBUS, &original, nullptr);
}

std::string Fmt(const char* format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  vlk_crash::FormatV(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

TEST(CrashFormatter, AgreesWithPrintfOnTheReportsDirectives) {
  char ref[256];
  std::snprintf(ref, sizeof ref, "Exception code: %08lX %s|%02lX:%08lX|%016llX|%04X|%d|%-5s|%5u|%x|%zu|%%", 0xC0000005UL,
                "ACCESS_VIOLATION", 2UL, 0x1a2bUL, 0xFFFFFFFFFFFFFFFFULL, 0x33u, -42, "ab", 7u, 255u, std::size_t{9});
  EXPECT_EQ(Fmt("Exception code: %08lX %s|%02lX:%08lX|%016llX|%04X|%d|%-5s|%5u|%x|%zu|%%", 0xC0000005UL,
                "ACCESS_VIOLATION", 2UL, 0x1a2bUL, 0xFFFFFFFFFFFFFFFFULL, 0x33u, -42, "ab", 7u, 255u, std::size_t{9}),
            ref);
  // Output is cut at the buffer and always terminated.
  char small[8];
  EXPECT_EQ(vlk_crash::Format(small, sizeof small, "%s", "0123456789"), 7);
  EXPECT_STREQ(small, "0123456");
}

TEST(CrashFormatter, StampMatchesTheCalendarForInjectedTimes) {
  const std::int64_t times[] = {0, 951782400 /* 2000-02-29 */, 1709210096, 4102444799 /* 2099-12-31 */, 86399};
  const long offsets[] = {0, 3600, -5 * 3600, 5 * 3600 + 1800};
  for (std::int64_t t : times) {
    for (long off : offsets) {
      std::time_t shifted = static_cast<std::time_t>(t + off);
      std::tm tm{};
      gmtime_r(&shifted, &tm);
      char want[32];
      std::strftime(want, sizeof want, "%Y%m%d-%H%M%S", &tm);
      char got[16];
      vlk_crash::FormatStamp(t, off, got);
      EXPECT_STREQ(got, want) << t << " " << off;
    }
  }
}

TEST(CrashMemory, ProbingReadsNeverFault) {
  long page = sysconf(_SC_PAGESIZE);
  void* region = mmap(nullptr, static_cast<std::size_t>(page) * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  auto* bytes = static_cast<unsigned char*>(region);
  bytes[page - 1] = 0x5A;
  ASSERT_EQ(mprotect(bytes + page, static_cast<std::size_t>(page), PROT_NONE), 0);
  unsigned char out[16] = {};
  EXPECT_TRUE(vlk_crash::ProbeRead(bytes + page - 1, out, 1));
  EXPECT_EQ(out[0], 0x5A);
  EXPECT_FALSE(vlk_crash::ProbeRead(bytes + page - 8, out, 16));  // runs into the closed page
  EXPECT_FALSE(vlk_crash::ProbeRead(nullptr, out, 8));
  munmap(region, static_cast<std::size_t>(page) * 2);
}

TEST(CrashMemory, LogicalAddressNamesTheModuleAndSegment) {
  char module[260];
  unsigned long segment = 0, offset = 0;
  ASSERT_TRUE(vlk_crash::LogicalAddress(reinterpret_cast<std::uintptr_t>(&Marker), module, sizeof module, segment, offset));
  EXPECT_NE(std::string(module).find("test_sys_crash"), std::string::npos) << module;
  EXPECT_GE(segment, 1u);
  ASSERT_TRUE(vlk_crash::LogicalAddress(reinterpret_cast<std::uintptr_t>(&std::fopen), module, sizeof module, segment, offset));
  EXPECT_NE(std::string(module).find("libc.so"), std::string::npos) << module;
  // A short buffer cuts the name; an address outside every module gives nothing.
  char tiny[5];
  ASSERT_TRUE(vlk_crash::LogicalAddress(reinterpret_cast<std::uintptr_t>(&Marker), tiny, sizeof tiny, segment, offset));
  EXPECT_EQ(std::strlen(tiny), 4u);
  EXPECT_FALSE(vlk_crash::LogicalAddress(8, module, sizeof module, segment, offset));
  EXPECT_STREQ(module, "");
  EXPECT_EQ(segment, 0u);
}

// Walks a hand-made chain of frames into a pipe; the number of lines written.
int WalkFake(std::uintptr_t fp) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  int lines = vlk_crash::WalkFrames(fds[1], 0x1000, fp);
  close(fds[1]);
  char buf[8192];
  ssize_t n = read(fds[0], buf, sizeof buf);
  close(fds[0]);
  EXPECT_EQ(std::count(buf, buf + (n > 0 ? n : 0), '\n'), lines);
  return lines;
}

TEST(CrashFrameWalk, StopsAtFramesThatDoNotGrowAreMisalignedOrUnreadable) {
  // The fake stack fills one page; the page above it cannot be read.
  std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* region = mmap(nullptr, page * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  ASSERT_EQ(mprotect(static_cast<char*>(region) + page, page, PROT_NONE), 0);
  auto* stack = static_cast<std::uintptr_t*>(region);
  auto at = [&](std::size_t i) { return reinterpret_cast<std::uintptr_t>(&stack[i]); };
  // 0 -> 4 -> 8 -> 2: the last link points downwards.
  stack[0] = at(4), stack[1] = 0x2000;
  stack[4] = at(8), stack[5] = 0x3000;
  stack[8] = at(2), stack[9] = 0x4000;
  EXPECT_EQ(WalkFake(at(0)), 3);
  stack[8] = at(10) + 1;  // misaligned
  EXPECT_EQ(WalkFake(at(0)), 3);
  stack[8] = at(page / sizeof(std::uintptr_t));  // the closed page
  EXPECT_EQ(WalkFake(at(0)), 3);
  stack[8] = at(10), stack[10] = at(12);  // one more good frame, then 0
  EXPECT_EQ(WalkFake(at(0)), 5);
  // An unreadable first frame still gives the faulting address's line.
  EXPECT_EQ(WalkFake(8), 1);
  munmap(region, page * 2);
}

}  // namespace
