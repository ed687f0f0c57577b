// The crash reporter, with real faults in a child process (a copy of the helper
// program in a directory of its own, so the report lands below that copy) and
// its signal-safe pieces on their own; the host name, cut in a child with a
// host name of its own.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
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

// The whole text matches the regular expression; H stands for [0-9A-F].
bool Like(const std::string& text, std::string re) {
  for (std::size_t at; (at = re.find('H')) != std::string::npos;) re.replace(at, 1, "[0-9A-F]");
  return std::regex_match(text, std::regex(re));
}

std::string Slurp(const fs::path& path) {
  std::stringstream ss;
  ss << std::ifstream(path).rdbuf();
  return ss.str();
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

  // Runs the copy (with a fresh log directory when asked); its stderr is kept,
  // the terminating signal returned. The sanitizers' own fatal-signal handlers
  // are off in the child, so the reporter and then the default action meet the signal.
  int Run(const std::string& kind, const char* option, bool logDir) {
    fs::remove_all(m_dir / "log");
    if (logDir) fs::create_directory(m_dir / "log");
    const std::string err = m_dir.string() + ".err";
    pid_t pid = fork();
    if (pid == 0) {
      if (std::freopen(err.c_str(), "w", stderr) == nullptr) _exit(126);
      const char* off = "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_abort=0:handle_sigill=0";
      for (const char* var : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
        setenv(var, (std::string(std::getenv(var) ? std::getenv(var) : "") + ":" + off).c_str(), 1);
      execl(m_exe.c_str(), m_exe.c_str(), "crash", kind.c_str(), option, static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    m_stderr = Slurp(err);
    fs::remove(err);
    return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
  }

  // The one report in the log directory, as lines.
  std::vector<std::string> Report() {
    const auto file = fs::directory_iterator(m_dir / "log");
    EXPECT_NE(file, fs::directory_iterator());
    if (file == fs::directory_iterator()) return {""};
    m_name = file->path().filename().string();
    m_text = Slurp(file->path());
    std::stringstream ss(m_text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(ss, line);) lines.push_back(line);
    return lines;
  }

  fs::path m_dir, m_exe;
  std::string m_stderr, m_name, m_text;
};

TEST_F(CrashReport, NullPointerWriteGivesTheWholeReport) {
  std::string before = LocalStamp();
  EXPECT_EQ(Run("null", nullptr, true), SIGSEGV);  // after a second instance and a copy came and went
  std::string after = LocalStamp();
  std::vector<std::string> lines = Report();
  ASSERT_GE(lines.size(), 28u) << m_text;  // the headings and at least two frames
  ASSERT_TRUE(Like(m_name, "ovo_dump_\\d{8}-\\d{6}\\.txt")) << m_name;
  EXPECT_LE(before, m_name.substr(9, 15));  // named after the local time of the fault
  EXPECT_GE(after, m_name.substr(9, 15));
  EXPECT_EQ(lines[0], "Exception code: C0000005 ACCESS_VIOLATION");
  // The fault lies in the program itself: its path, a loaded segment, an offset.
  ASSERT_TRUE(Like(lines[1], "Fault address:  H{16} H{2}:H{8} .*")) << lines[1];
  EXPECT_NE(lines[1].substr(33, 2), "00");
  EXPECT_EQ(lines[1].substr(45), m_exe.string());
  // The registers follow (their layout is the format's); the walk starts at the fault and climbs the helper's frames, each above the last.
  EXPECT_EQ(lines[25].substr(0, 16), lines[1].substr(16, 16));
  std::string lastFrame;
  for (std::size_t i = 25; i + 1 < lines.size(); ++i) {
    ASSERT_TRUE(Like(lines[i], "H{16}  H{16}  H{4}:H{8} .*")) << lines[i];
    EXPECT_EQ(lines[i].substr(50), m_exe.string());
    EXPECT_GT(lines[i].substr(18, 16), lastFrame);
    lastFrame = lines[i].substr(18, 16);
  }
  EXPECT_EQ(m_text.substr(m_text.size() - 2), "\n\n");
}

// Each fault is named; the handler that was there before runs afterwards; a
// reporter made before the application object still writes below the program;
// a stack overflow is reported from the alternate stack, its deep chain cut at
// the frame limit; without a log directory there is no file, but the chain runs.
TEST_F(CrashReport, FaultsAreNamedAndHandedOn) {
  // first: the report's first line (nullptr: no report); stderrHas: text the child wrote.
  const struct { const char *kind, *option; bool logDir; int signal; const char *first, *stderrHas; }
      cases[] = {{"null", "early", true, SIGSEGV, "Exception code: C0000005 ACCESS_VIOLATION", ""},
                 {"div", "prev", true, SIGFPE, "Exception code: C0000094 INT_DIVIDE_BY_ZERO", "previous handler 08"},
                 {"abort", nullptr, true, SIGABRT, "Exception code: 00000006 Aborted", ""},
                 {"stack", nullptr, true, SIGSEGV, "Exception code: C00000FD STACK_OVERFLOW", ""},
                 {"null", "prev", false, SIGSEGV, nullptr, "previous handler 11"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + (c.option ? c.option : ""));
    EXPECT_EQ(Run(c.kind, c.option, c.logDir), c.signal);
    if (c.first != nullptr) {
      EXPECT_EQ(Report()[0], c.first);
    }
    if (c.kind == std::string("stack")) {
      EXPECT_EQ(Report().size(), 25u + vlk_crash::kMaxFrames + 1);
      EXPECT_EQ(m_text.substr(m_text.size() - 2), "\n\n");  // and the report still ends properly
    }
    EXPECT_NE(m_stderr.find(c.stderrHas), std::string::npos) << m_stderr;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 1);  // the program only
}

// The signal-safe formatter and calendar against printf and gmtime: the
// directives the report uses, leap days (2000 is a leap year, 2100 is not),
// month ends, offsets both ways.
TEST(CrashFormatter, AgreesWithPrintfAndTheCalendar) {
  char want[64], got[64];
  std::snprintf(want, sizeof want, "%08lX|%-5s|%016llX|%d|%zu", 0xC05UL, "ab", ~0ULL, -42, std::size_t{9});
  vlk_crash::Format(got, sizeof got, "%08lX|%-5s|%016llX|%d|%zu", 0xC05UL, "ab", ~0ULL, -42, std::size_t{9});
  EXPECT_STREQ(got, want);
  EXPECT_EQ(vlk_crash::Format(got, 8, "%s", "0123456789"), 7);  // cut, terminated
  for (std::int64_t t : {0LL, 951782400LL, 1709210096LL, 4102444799LL, 4107456000LL, 4107542399LL}) {
    for (long off : {0L, 3600L, -5 * 3600L, 19800L, 86400L}) {
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
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);  // rules, no zone files
  tzset();
  const long long capture = 1704067200;  // 2024-01-01 00:00 UTC
  vlk_crash::UtcOffsets table{};
  vlk_crash::CaptureUtcOffsets(capture, table);
  EXPECT_EQ(table.count, 1 + 2 * vlk_crash::UtcOffsets::kYears);
  // 2024-03-31 01:00 UTC summer time begins, 2024-10-27 01:00 UTC it ends.
  for (std::int64_t t : {capture, 1711846799LL, 1711846800LL, 1729990799LL, 1729990800LL, 1751328000LL,
                         2224713600LL, 2240611200LL}) {  // to 2040's summer and 2041
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    EXPECT_EQ(vlk_crash::UtcOffsetAt(table, t), tm.tm_gmtoff) << t;
  }
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
  const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  auto WalkFake = [&](std::uintptr_t fp) { return vlk_crash::WalkFrames(sink, 0x1000, fp); };  // frames written
  stack[0] = at(4), stack[4] = at(8), stack[8] = at(2);  // 0 -> 4 -> 8 -> 2: downwards
  EXPECT_EQ(WalkFake(at(0)), 3);
  stack[8] = at(10) + 1;  // misaligned
  EXPECT_EQ(WalkFake(at(0)), 3);
  stack[8] = at(page / sizeof(std::uintptr_t));  // into the closed page
  EXPECT_EQ(WalkFake(at(0)), 3);
  stack[8] = at(10), stack[10] = at(12);  // two more good frames, then 0
  EXPECT_EQ(WalkFake(at(0)), 5);
  EXPECT_EQ(WalkFake(8), 1);  // an unreadable first frame still gives the fault's line
  close(sink);
  munmap(region, page * 2);
}

// Injected names, in a child with a host name of its own (needs the right to
// make a UTS namespace): 60 characters or more come back cut to 59, terminated.
TEST(HostName, IsTheHostsNameAlwaysTerminatedIn60Bytes) {
  for (std::size_t len : {0u, 59u, 60u, 64u}) {
    const std::string injected = len == 0 ? "" : std::string(len - 2, 'h') + "-z";
    pid_t pid = fork();
    if (pid == 0) {
      char name[60], expected[256] = {};
      if (len != 0 && (unshare(CLONE_NEWUTS) != 0 || sethostname(injected.data(), injected.size()) != 0)) _exit(77);
      gethostname(expected, sizeof expected - 1);  // the machine's own name first
      std::memset(name, 'x', sizeof name);
      VlkGetComputerName(name);
      _exit(std::memchr(name, '\0', sizeof name) != nullptr && std::string(expected).substr(0, 59) == name ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no UTS namespace for an injected host name";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a host name of " << len << " characters";
  }
}

}  // namespace
