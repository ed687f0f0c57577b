// The crash reporter: real faults in a child process (a copy of the helper
// program in a directory of its own, so the report lands below that copy), then
// the signal-safe pieces on their own.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vlk_sys.h"
#include "vlk_sys_crash_impl.h"

namespace fs = std::filesystem;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
constexpr bool kThreadSanitizer = __has_feature(thread_sanitizer);
#else
constexpr bool kThreadSanitizer = false;
#endif

// Matches text against a pattern: 'h' an upper-case hexadecimal digit, '#' a
// decimal digit, '*' (last) any rest, anything else itself.
bool Like(const std::string& text, const std::string& pattern) {
  std::size_t i = 0;
  for (char p : pattern) {
    if (p == '*') return true;
    if (i >= text.size()) return false;
    auto c = static_cast<unsigned char>(text[i++]);
    if (p == 'h' ? !std::isxdigit(c) || std::islower(c) : p == '#' ? !std::isdigit(c) : c != p) return false;
  }
  return i == text.size();
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
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", localtime_r(&now, &tm));
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

  // Runs the copy; its stderr is kept. The sanitizers' own fatal-signal handlers
  // are off in the child, so the reporter and then the default action meet the signal.
  int Run(const std::string& kind, const char* option = nullptr) {
    int err[2];
    EXPECT_EQ(pipe(err), 0);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(err[1], 2);
      const char* off = "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_abort=0:handle_sigill=0";
      for (const char* var : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
        setenv(var, (std::string(std::getenv(var) ? std::getenv(var) : "") + ":" + off).c_str(), 1);
      execl(m_exe.c_str(), m_exe.c_str(), "crash", kind.c_str(), option, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(err[1]);
    char buf[512];
    for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;) m_stderr.append(buf, static_cast<std::size_t>(n));
    close(err[0]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
  }

  // The one report in the log directory, as lines.
  std::vector<std::string> Report() {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(m_dir / "log")) files.push_back(e.path());
    EXPECT_EQ(files.size(), 1u);
    if (files.empty()) return {""};
    m_name = files[0].filename().string();
    std::stringstream ss;
    ss << std::ifstream(files[0]).rdbuf();
    m_text = ss.str();
    return Lines(m_text);
  }

  fs::path m_dir, m_exe;
  std::string m_stderr, m_name, m_text;
};

TEST_F(CrashReport, NullPointerWriteGivesTheWholeReport) {
  fs::create_directory(m_dir / "log");
  std::string before = LocalStamp();
  EXPECT_EQ(Run("null"), SIGSEGV);  // after a second instance and a copy came and went
  std::string after = LocalStamp();
  std::vector<std::string> lines = Report();
  ASSERT_GE(lines.size(), 28u) << m_text;  // the headings and at least two frames
  ASSERT_TRUE(Like(m_name, "ovo_dump_########-######.txt")) << m_name;
  EXPECT_LE(before, m_name.substr(9, 15));  // named after the local time of the fault
  EXPECT_GE(after, m_name.substr(9, 15));

  const std::string h16 = "hhhhhhhhhhhhhhhh";
  EXPECT_EQ(lines[0], "Exception code: C0000005 ACCESS_VIOLATION");
  // The fault lies in the program itself: its path, a loaded segment, an offset.
  ASSERT_TRUE(Like(lines[1], "Fault address:  " + h16 + " hh:hhhhhhhh *")) << lines[1];
  EXPECT_NE(lines[1].substr(33, 2), "00");
  EXPECT_EQ(lines[1].substr(45), m_exe.string());
  EXPECT_EQ(lines[3], "Registers:");
  const char* names[] = {"RAX", "RBX", "RCX", "RDX", "RSI", "RDI", "R8", "R9", "R10", "R11", "R12", "R13", "R14", "R15"};
  for (int i = 0; i < 14; ++i) EXPECT_TRUE(Like(lines[4 + i], std::string(names[i]) + ":" + h16)) << lines[4 + i];
  EXPECT_EQ(lines[18], "CS:RIP:0033:" + lines[1].substr(16, 16));
  EXPECT_TRUE(Like(lines[19], "SS:RSP:hhhh:" + h16 + "  RBP:" + h16)) << lines[19];
  EXPECT_TRUE(Like(lines[20], "DS:hhhh  ES:hhhh  FS:hhhh  GS:hhhh")) << lines[20];
  EXPECT_TRUE(Like(lines[21], "Flags:" + h16)) << lines[21];
  EXPECT_EQ(lines[23], "Call stack:");
  EXPECT_EQ(lines[24], "Address           Frame             Logical addr  Module");
  // The walk starts at the fault and climbs the helper's frames, each above the last.
  EXPECT_EQ(lines[25].substr(0, 16), lines[1].substr(16, 16));
  std::string lastFrame;
  for (std::size_t i = 25; i + 1 < lines.size(); ++i) {
    ASSERT_TRUE(Like(lines[i], h16 + "  " + h16 + "  hhhh:hhhhhhhh *")) << lines[i];
    EXPECT_EQ(lines[i].substr(50), m_exe.string());
    EXPECT_GT(lines[i].substr(18, 16), lastFrame);
    lastFrame = lines[i].substr(18, 16);
  }
  EXPECT_EQ(m_text.substr(m_text.size() - 2), "\n\n");
  if (std::getenv("VLK_PRINT_CRASH_REPORT") != nullptr) std::printf("%s\n%s", m_name.c_str(), m_text.c_str());
}

TEST_F(CrashReport, AReporterMadeBeforeTheApplicationObjectWritesBelowTheProgram) {
  fs::create_directory(m_dir / "log");
  EXPECT_EQ(Run("null", "early"), SIGSEGV);
  EXPECT_EQ(Report()[0], "Exception code: C0000005 ACCESS_VIOLATION");
}

TEST_F(CrashReport, DivisionByZeroIsNamedAndThePreviousHandlerRunsAfterwards) {
  fs::create_directory(m_dir / "log");
  EXPECT_EQ(Run("div", "prev"), SIGFPE);
  EXPECT_EQ(Report()[0], "Exception code: C0000094 INT_DIVIDE_BY_ZERO");
  EXPECT_NE(m_stderr.find("previous handler 08"), std::string::npos) << m_stderr;
}

TEST_F(CrashReport, StackOverflowIsReportedFromTheAlternateStack) {
  fs::create_directory(m_dir / "log");
  EXPECT_EQ(Run("stack"), SIGSEGV);
  std::vector<std::string> lines = Report();
  EXPECT_EQ(lines[0], "Exception code: C00000FD STACK_OVERFLOW");
  // The deep chain is cut at the frame limit, and the report still ends properly.
  EXPECT_EQ(lines.size(), 25u + vlk_crash::kMaxFrames + 1);
  EXPECT_EQ(m_text.substr(m_text.size() - 2), "\n\n");
}

TEST_F(CrashReport, AbortKeepsTheSignalsDescription) {
  fs::create_directory(m_dir / "log");
  EXPECT_EQ(Run("abort"), SIGABRT);
  EXPECT_EQ(Report()[0], "Exception code: 00000006 Aborted");
}

TEST_F(CrashReport, WithoutLogDirectoryNoFileButThePreviousHandlerStillRuns) {
  EXPECT_EQ(Run("null", "prev"), SIGSEGV);
  EXPECT_NE(m_stderr.find("previous handler 11"), std::string::npos) << m_stderr;
  EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 1);  // the program only
}

void Marker(int) {}

void* Installed(int sig) {
  struct sigaction now {};
  sigaction(sig, nullptr, &now);
  return reinterpret_cast<void*>(now.sa_handler);
}

TEST(CrashReporterInstall, OnlyTheFirstInstanceInstallsAndItsDestructorRestores) {
  struct sigaction original {}, mine {};
  mine.sa_handler = &Marker;
  sigaction(SIGBUS, &mine, &original);
  {
    Cwin_exception_handler first;
    void* ours = Installed(SIGBUS);
    EXPECT_NE(ours, reinterpret_cast<void*>(&Marker));
    { Cwin_exception_handler second, copy(first); }
    EXPECT_EQ(Installed(SIGBUS), ours);
  }
  EXPECT_EQ(Installed(SIGBUS), reinterpret_cast<void*>(&Marker));
  sigaction(SIGBUS, &original, nullptr);
}

TEST(CrashFormatter, AgreesWithPrintfAndTheCalendar) {
  const char* format = "%08lX %s|%02lX:%08lX|%016llX|%04X|%d|%-5s|%5u|%x|%zu|%%";
  char want[256], got[256];
  std::snprintf(want, sizeof want, format, 0xC0000005UL, "ACCESS", 2UL, 0x1a2bUL, ~0ULL, 0x33u, -42, "ab", 7u, 255u,
                std::size_t{9});
  vlk_crash::Format(got, sizeof got, format, 0xC0000005UL, "ACCESS", 2UL, 0x1a2bUL, ~0ULL, 0x33u, -42, "ab", 7u, 255u,
                    std::size_t{9});
  EXPECT_STREQ(got, want);
  EXPECT_EQ(vlk_crash::Format(got, 8, "%s", "0123456789"), 7);  // cut, terminated
  // Injected times, leap days and offsets both ways.
  for (std::int64_t t : {0LL, 951782400LL, 1709210096LL, 4102444799LL}) {
    for (long off : {0L, 3600L, -5 * 3600L, 19800L}) {
      std::time_t shifted = static_cast<std::time_t>(t + off);
      std::tm tm{};
      std::strftime(want, sizeof want, "%Y%m%d-%H%M%S", gmtime_r(&shifted, &tm));
      vlk_crash::FormatStamp(t, off, got);
      EXPECT_STREQ(got, want) << t << " " << off;
    }
  }
}

// The offsets captured once follow the zone's summer time for years, to the
// second, as the C library's local time does.
TEST(CrashFormatter, UtcOffsetsFollowSummerTime) {
  const char* saved = std::getenv("TZ");
  const std::string old = saved != nullptr ? saved : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);  // rules, no zone files
  tzset();
  const std::int64_t capture = 1704067200;  // 2024-01-01 00:00 UTC
  vlk_crash::UtcOffsets table{};
  vlk_crash::CaptureUtcOffsets(capture, table);
  EXPECT_EQ(table.count, 1 + 2 * vlk_crash::UtcOffsets::kYears);
  // 2024-03-31 01:00 UTC summer time begins, 2024-10-27 01:00 UTC it ends.
  const std::int64_t times[] = {capture,    1711846799, 1711846800, 1729990799,
                                1729990800, 1751328000, 2224713600, 2240611200};  // to 2040's summer and 2041
  for (std::int64_t t : times) {
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    EXPECT_EQ(vlk_crash::UtcOffsetAt(table, t), tm.tm_gmtoff) << t;
  }
  if (saved != nullptr)
    setenv("TZ", old.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
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
  EXPECT_EQ(std::count(buf, buf + std::max<ssize_t>(n, 0), '\n'), lines);
  return lines;
}

TEST(CrashMemory, ProbesAndTheWalkNeverFaultAndStopAtBadFrames) {
  // A fake stack in one page; the page above it cannot be read.
  std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* region = mmap(nullptr, page * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  ASSERT_EQ(mprotect(static_cast<char*>(region) + page, page, PROT_NONE), 0);
  auto* stack = static_cast<std::uintptr_t*>(region);
  std::uintptr_t out[2];
  EXPECT_TRUE(vlk_crash::ProbeRead(&stack[0], out, sizeof out));
  EXPECT_FALSE(vlk_crash::ProbeRead(static_cast<char*>(region) + page - 8, out, sizeof out));  // runs into the closed page
  EXPECT_FALSE(vlk_crash::ProbeRead(nullptr, out, sizeof out));

  auto at = [&](std::size_t i) { return reinterpret_cast<std::uintptr_t>(&stack[i]); };
  stack[0] = at(4), stack[4] = at(8), stack[8] = at(2);  // 0 -> 4 -> 8 -> 2: downwards
  EXPECT_EQ(WalkFake(at(0)), 3);
  stack[8] = at(10) + 1;  // misaligned
  EXPECT_EQ(WalkFake(at(0)), 3);
  stack[8] = at(page / sizeof(std::uintptr_t));  // into the closed page
  EXPECT_EQ(WalkFake(at(0)), 3);
  stack[8] = at(10), stack[10] = at(12);  // two more good frames, then 0
  EXPECT_EQ(WalkFake(at(0)), 5);
  EXPECT_EQ(WalkFake(8), 1);  // an unreadable first frame still gives the fault's line
  munmap(region, page * 2);
}

}  // namespace
