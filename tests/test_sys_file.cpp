// Cvlk_file and the directory functions, in a scratch directory of their own.
#include <sys/stat.h>
#include <utime.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "vlk_sys.h"

namespace fs = std::filesystem;

namespace {

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vlk_file_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
  }
  void TearDown() override { fs::remove_all(m_dir); }
  std::string Path(const std::string& name) const { return (m_dir / name).string(); }
  void Touch(const std::string& name, const std::string& content, long mtime) {
    std::ofstream(Path(name)) << content;
    struct utimbuf t = {mtime, mtime};
    utime(Path(name).c_str(), &t);
  }
  fs::path m_dir;
};

TEST_F(FileTest, ClosedFileRefusesEverything) {
  Cvlk_file f("", nullptr);
  EXPECT_EQ(f.open("r"), -1);
  EXPECT_FALSE(f.isOpened());
  EXPECT_EQ(f.eof(), 1);
  EXPECT_EQ(f.close(), -1);
  char buf[4];
  EXPECT_EQ(f.read(buf, 4), -1);
  EXPECT_EQ(f.write(buf, 4), -1);
  EXPECT_EQ(f.seek(0, 0), -1);
  // A missing file does not open, and leaves the object closed.
  EXPECT_EQ(f.open(Path("missing").c_str(), "r"), -1);
  EXPECT_FALSE(f.isOpened());
}

TEST_F(FileTest, WriteIsOneBlockAndReadCountsBytes) {
  Cvlk_file f(Path("data.bin").c_str());
  ASSERT_EQ(f.open("wb"), 1);
  char ten[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(f.write(ten, 10), 1);  // one item, not ten bytes
  EXPECT_EQ(f.write(nullptr, 10), -1);
  EXPECT_EQ(f.close(), 1);
  EXPECT_EQ(f.close(), -1);

  ASSERT_EQ(f.open("rb"), 1);
  EXPECT_EQ(f.seek(6, 0), 0);
  char buf[10] = {};
  EXPECT_EQ(f.eof(), 0);
  EXPECT_EQ(f.read(buf, 10), 4);  // only 4 bytes are left
  EXPECT_EQ(std::string(buf, 4), "6789");
  EXPECT_NE(f.eof(), 0);
  EXPECT_EQ(f.seek(-2, 2), 0);
  EXPECT_EQ(f.read(buf, 10), 2);
  EXPECT_NE(f.seek(-100, 1), 0);  // before the start
  EXPECT_EQ(f.read(buf, -1), -1);
  // Opening again closes the first stream; the new one appends.
  ASSERT_EQ(f.open("ab"), 1);
  EXPECT_EQ(f.write(ten, 3), 1);
  EXPECT_EQ(f.fflush(), 0);
  int size = -1;
  EXPECT_EQ(VlkGetFileSize(Path("data.bin").c_str(), size), ERR_OK);
  EXPECT_EQ(size, 13);
}

TEST_F(FileTest, LongPathsAreCutAndAnEmptyPathDoesNotReopenTheOldOne) {
  std::string longPath(300, 'p');
  Cvlk_file f(longPath.c_str());
  EXPECT_EQ(std::strlen(f.getPath()), 259u);
  EXPECT_EQ(std::string(f.getPath()), longPath.substr(0, 259));

  Cvlk_file g(Path("kept.txt").c_str());
  ASSERT_EQ(g.open("w"), 1);
  // open with an empty path must not fall back to kept.txt.
  EXPECT_EQ(g.open("", "w"), -1);
  EXPECT_FALSE(g.isOpened());
  EXPECT_EQ(g.open("r"), -1);
}

TEST_F(FileTest, DirectoriesSizesAndDeletion) {
  EXPECT_EQ(VlkIsDirExist(m_dir.c_str()), ERR_OK);
  EXPECT_EQ(VlkIsDirExist(""), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(VlkIsDirExist(nullptr), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(VlkIsDirExist(Path("nothing").c_str()), ERR_OBJ_NOT_FOUND);
  Touch("plain.txt", "12345", 1000);
  EXPECT_EQ(VlkIsDirExist(Path("plain.txt").c_str()), ERR_OK);  // a file counts

  EXPECT_EQ(VlkCreateDir(Path("a/b/c").c_str()), ERR_OK);
  EXPECT_TRUE(fs::is_directory(m_dir / "a/b/c"));
  EXPECT_EQ(VlkCreateDir(""), ERR_INVALID_PARAM);
  EXPECT_EQ(VlkCreateDir(Path("plain.txt/sub").c_str()), ERR_FAIL);

  int size = -1;
  EXPECT_EQ(VlkGetFileSize(Path("plain.txt").c_str(), size), ERR_OK);
  EXPECT_EQ(size, 5);
  EXPECT_EQ(VlkGetFileSize(Path("nothing").c_str(), size), ERR_OK);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(VlkGetFileSize(nullptr, size), ERR_INVALID_PARAM);

  VlkDeleteFile(Path("plain.txt").c_str());
  EXPECT_FALSE(fs::exists(m_dir / "plain.txt"));
  VlkDeleteFile("");
}

TEST_F(FileTest, BaseNameStopsAtTheFirstDot) {
  Cvlk_tmp_str out;
  VlkGetFileBaseName("/a/b/archive.tar.gz", out);
  EXPECT_STREQ(out.c_str(), "archive");
  VlkGetFileName("/a/b/archive.tar.gz", out);
  EXPECT_STREQ(out.c_str(), "archive.tar.gz");
  VlkGetFileName("plain", out);
  EXPECT_STREQ(out.c_str(), "plain");
  VlkGetFileName("", out);
  EXPECT_STREQ(out.c_str(), "plain");  // refused: left alone
}

TEST_F(FileTest, ListingsAreNewestFirstAndSkipDirectoriesAndLinks) {
  QString first = "unchanged";
  EXPECT_EQ(VlkGetFirstFile(m_dir.c_str(), "*.log", first), ERR_OBJ_NOT_FOUND);
  fs::create_directory(m_dir / "only_dirs.log");
  EXPECT_EQ(VlkGetFirstFile(m_dir.c_str(), "*.log", first), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(first, "unchanged");

  Touch("old.log", "x", 1000);
  Touch("new.log", "x", 3000);
  Touch("mid.log", "x", 2000);
  Touch("other.txt", "x", 4000);
  fs::create_symlink(m_dir / "new.log", m_dir / "link.log");
  EXPECT_EQ(VlkGetFirstFile(m_dir.c_str(), "*.log", first), ERR_OK);
  EXPECT_EQ(first, "new.log");
  QStringList all = {"before"};
  EXPECT_EQ(VlkGetFiles(m_dir.c_str(), "*.log", all), ERR_OK);
  EXPECT_EQ(all, QStringList({"before", "new.log", "mid.log", "old.log"}));
  EXPECT_EQ(VlkGetFiles("", "*.log", all), ERR_INVALID_PARAM);
  EXPECT_EQ(VlkGetFirstFile(m_dir.c_str(), nullptr, first), ERR_INVALID_PARAM);
}

}  // namespace
