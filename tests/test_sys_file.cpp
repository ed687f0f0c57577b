// Cvlk_file, the directory functions and Cvlk_ini_file, in a scratch directory
// of their own.
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
  // Both string readers on one key; they must agree.
  std::string BothRead(Cvlk_ini_file& ini, const char* group, const char* key) {
    char buf[256];
    ini.ReadStr(group, key, buf, "dflt");
    Cvlk_tmp_str t;
    ini.ReadStr(group, key, t, "dflt");
    EXPECT_STREQ(buf, t.c_str()) << group << "/" << key;
    return buf;
  }
  fs::path m_dir;
};
class IniTest : public FileTest {};

TEST_F(FileTest, StreamResultsRefusalsAndItsOwnPath) {
  Cvlk_file f("");
  char buf[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(f.open("r"), -1);
  EXPECT_EQ(f.read(buf, 4), -1);
  ASSERT_EQ(f.open(Path("data.bin").c_str(), "wb"), 1);
  EXPECT_EQ(f.write(buf, 10), 1);  // one block, not ten bytes
  ASSERT_EQ(f.open(f.getPath(), "rb"), 1);  // its own stored path; closes the first stream, flushing it
  EXPECT_EQ(f.seek(6, 0), 0);
  EXPECT_EQ(f.read(buf, 10), 4);  // only four bytes are left
  EXPECT_EQ(std::string(buf, 4), "6789");
  // An empty path must not fall back to the stored one; a failed open leaves the file closed.
  EXPECT_EQ(f.open("", "r"), -1);
  EXPECT_FALSE(f.isOpened());
  EXPECT_EQ(f.open("r"), -1);
  std::string longPath(300, 'p');
  EXPECT_EQ(std::string(Cvlk_file(longPath.c_str()).getPath()), longPath.substr(0, 259));
}

// Listings are newest first and skip directories and links.
TEST_F(FileTest, DirectoriesAndNewestFirstListings) {
  EXPECT_EQ(VlkCreateDir(Path("a/b/c").c_str()), ERR_OK);
  EXPECT_TRUE(fs::is_directory(m_dir / "a/b/c"));
  QString first = "unchanged";
  fs::create_directory(m_dir / "only_dir.log");
  EXPECT_EQ(VlkGetFirstFile(m_dir.c_str(), "*.log", first), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(first, "unchanged");
  Touch("old.log", 1000), Touch("new.log", 3000), Touch("mid.log", 2000), Touch("other.txt", 4000);
  fs::create_symlink(m_dir / "new.log", m_dir / "link.log");
  QStringList all = {"before"};
  EXPECT_EQ(VlkGetFiles(m_dir.c_str(), "*.log", all), ERR_OK);
  EXPECT_EQ(all, QStringList({"before", "new.log", "mid.log", "old.log"}));
}

// The value is what follows the first '=', blanks around it and one pair of
// matching quotes removed; nothing else is interpreted: a ';' after the value,
// backslashes, commas and 8-bit bytes stay. Only a line beginning with ';' is a
// comment. Keys the integer writer escaped are found by both string readers.
TEST_F(IniTest, ValuesReadAsStored) {
  std::ofstream(Path("hand.ini")) << "; a comment before any section\ntop = 1\n\n[db]\n"
                                     "  host =  db.example.org   \n\n; port = 1\nport=5432 ; the default\n"
                                     "name = \"  padded \"\nsingle='a, b'\nhalf=\"open\nmixed = 'x\"\n"
                                     "path = C:\\data\\new\\log\nexpr = a=b\nlatin = caf\xE9\n"
                                     "empty =\nmask = 0x1F\nword = abc\ndup = 1\ndup = 2\r\n";
  Cvlk_ini_file ini(Path("hand.ini").c_str());
  const char* const cases[][2] = {{"host", "db.example.org"}, {"port", "5432 ; the default"}, {"name", "  padded "},
                                  {"single", "a, b"},         {"half", "\"open"},               {"mixed", "'x\""},
                                  {"path", "C:\\data\\new\\log"}, {"expr", "a=b"},              {"latin", "caf\xE9"},
                                  {"dup", "2"},               {"Host", "dflt"},  // keys are case-sensitive
                                  {"; port", "dflt"}};
  for (const auto& c : cases) EXPECT_EQ(BothRead(ini, "db", c[0]), c[1]) << c[0];
  EXPECT_EQ(ini.ReadInt("db", "port", 7), 5432);
  char buf[256];  // an empty value: as it stands from the character reader, the default from the other
  ini.ReadStr("db", "empty", buf, "dflt");
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(ini.ReadInt("", "top", 7), 1);  // outside any section
  EXPECT_EQ(ini.ReadInt("db", "word", 7), 0);  // present but no number: 0, not the default
  EXPECT_EQ(ini.ReadInt("db", "nosuch", 7), 7);
  EXPECT_EQ(ini.ReadHex("db", "mask", 7), 31);
  EXPECT_EQ(ini.ReadHex("db", "empty", 7), 7);
  Cvlk_ini_file written(Path("new.ini").c_str());  // created by the first write
  written.WriteInt("General", "odd", 5);  // a section name QSettings escapes
  written.WriteInt("server", "workers", -3);
  EXPECT_EQ(BothRead(written, "General", "odd"), "5");
  EXPECT_EQ(BothRead(written, "server", "workers"), "-3");
}

// A section line's ']' is looked for in that line only: every "[" line without
// one once searched the rest of the file, so such a file took quadratic time.
TEST_F(IniTest, SectionLinesWithoutClosingBracketReadInOnePass) {
  {
    std::ofstream f(Path("open.ini"));
    for (int i = 0; i < 200000; ++i) f << "[x\n";
    f << "[s] trailing\nk=v\n[u\nk=w ]\n[t]\nk=" << std::string(400, 'v') << "\n";
  }
  Cvlk_ini_file ini(Path("open.ini").c_str());
  EXPECT_EQ(BothRead(ini, "s", "k"), "v");
  EXPECT_EQ(BothRead(ini, "u", "k"), "w ]");
  EXPECT_EQ(BothRead(ini, "x", "k"), "dflt");
  char buf[300];  // values are cut to 255 characters; refused arguments touch nothing
  std::memset(buf, 'x', sizeof buf);
  ini.ReadStr("t", "k", buf, "");
  EXPECT_EQ(std::strlen(buf), 255u);
  EXPECT_EQ(buf[256], 'x');
  ini.ReadStr("", "k", buf, "d");
  EXPECT_EQ(buf[0], 'v');
  EXPECT_EQ(std::strlen(Cvlk_ini_file(std::string(300, 'n').c_str()).GetFileName()), 259u);
}

}  // namespace
