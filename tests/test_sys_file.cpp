// Cvlk_file and the directory functions, in a scratch directory of their own.
#include <utime.h>

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
  std::string Path(const char* name) const { return (m_dir / name).string(); }
  void Touch(const char* name, long mtime) {
    std::ofstream(Path(name)) << "12345";
    struct utimbuf t = {mtime, mtime};
    utime(Path(name).c_str(), &t);
  }
  fs::path m_dir;
};

TEST_F(FileTest, StreamResultsAndRefusals) {
  Cvlk_file f("");
  char buf[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(f.open("r"), -1);
  EXPECT_EQ(f.eof(), 1);
  EXPECT_EQ(f.close(), -1);
  EXPECT_EQ(f.read(buf, 4), -1);
  EXPECT_EQ(f.seek(0, 0), -1);
  ASSERT_EQ(f.open(Path("data.bin").c_str(), "wb"), 1);
  EXPECT_EQ(f.write(buf, 10), 1);  // one block, not ten bytes
  EXPECT_EQ(f.write(nullptr, 10), -1);
  ASSERT_EQ(f.open(f.getPath(), "rb"), 1);  // its own stored path; closes the first stream, flushing it
  EXPECT_EQ(f.seek(6, 0), 0);
  EXPECT_EQ(f.read(buf, 10), 4);  // only four bytes are left
  EXPECT_EQ(std::string(buf, 4), "6789");
  EXPECT_NE(f.eof(), 0);
  EXPECT_NE(f.seek(-100, 1), 0);
  // An empty path must not fall back to the stored one; a failed open leaves the file closed.
  EXPECT_EQ(f.open("", "r"), -1);
  EXPECT_FALSE(f.isOpened());
  EXPECT_EQ(f.open("r"), -1);
  std::string longPath(300, 'p');
  EXPECT_EQ(std::string(Cvlk_file(longPath.c_str()).getPath()), longPath.substr(0, 259));
}

TEST_F(FileTest, DirectoriesSizesNamesAndDeletion) {
  Touch("plain.txt", 1000);
  EXPECT_EQ(VlkIsDirExist(m_dir.c_str()), ERR_OK);
  EXPECT_EQ(VlkIsDirExist(Path("plain.txt").c_str()), ERR_OK);  // a file counts
  EXPECT_EQ(VlkIsDirExist(Path("nothing").c_str()), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(VlkIsDirExist(""), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(VlkCreateDir(Path("a/b/c").c_str()), ERR_OK);
  EXPECT_TRUE(fs::is_directory(m_dir / "a/b/c"));
  EXPECT_EQ(VlkCreateDir(Path("plain.txt/sub").c_str()), ERR_FAIL);
  EXPECT_EQ(VlkCreateDir(""), ERR_INVALID_PARAM);
  int size = -1;
  EXPECT_EQ(VlkGetFileSize(Path("plain.txt").c_str(), size), ERR_OK);
  EXPECT_EQ(size, 5);
  EXPECT_EQ(VlkGetFileSize(Path("nothing").c_str(), size), ERR_OK);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(VlkGetFileSize(nullptr, size), ERR_INVALID_PARAM);
  VlkDeleteFile(Path("plain.txt").c_str());
  EXPECT_FALSE(fs::exists(m_dir / "plain.txt"));
  Cvlk_tmp_str out;
  VlkGetFileBaseName("/a/b/archive.tar.gz", out);
  EXPECT_STREQ(out.c_str(), "archive");
  VlkGetFileName("/a/b/archive.tar.gz", out);
  EXPECT_STREQ(out.c_str(), "archive.tar.gz");
}

TEST_F(FileTest, ListingsAreNewestFirstAndSkipDirectoriesAndLinks) {
  QString first = "unchanged";
  fs::create_directory(m_dir / "only_dir.log");
  EXPECT_EQ(VlkGetFirstFile(m_dir.c_str(), "*.log", first), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(first, "unchanged");
  Touch("old.log", 1000), Touch("new.log", 3000), Touch("mid.log", 2000), Touch("other.txt", 4000);
  fs::create_symlink(m_dir / "new.log", m_dir / "link.log");
  EXPECT_EQ(VlkGetFirstFile(m_dir.c_str(), "*.log", first), ERR_OK);
  EXPECT_EQ(first, "new.log");
  QStringList all = {"before"};
  EXPECT_EQ(VlkGetFiles(m_dir.c_str(), "*.log", all), ERR_OK);
  EXPECT_EQ(all, QStringList({"before", "new.log", "mid.log", "old.log"}));
  EXPECT_EQ(VlkGetFiles("", "*.log", all), ERR_INVALID_PARAM);
}

}  // namespace
