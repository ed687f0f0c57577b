// Cvlk_ini_file: the QSettings readers and writer and our own character-buffer
// reader against the same files, written by WriteInt and by hand.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "vlk_sys.h"

namespace fs = std::filesystem;

namespace {

class IniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vlk_ini_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
  }
  void TearDown() override { fs::remove_all(m_dir); }
  std::string Write(const std::string& name, const std::string& text) {
    std::string path = (m_dir / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  // Both string readers on one key; they must agree.
  std::string BothRead(Cvlk_ini_file& ini, const char* group, const char* key, const char* def) {
    char buf[256];
    std::memset(buf, 'x', sizeof buf);
    ini.ReadStr(group, key, buf, def);
    Cvlk_tmp_str t;
    ini.ReadStr(group, key, t, def);
    EXPECT_STREQ(buf, t.c_str()) << group << "/" << key;
    return buf;
  }
  fs::path m_dir;
};

TEST_F(IniTest, WrittenIntegersAreReadBackByAllReaders) {
  Cvlk_ini_file ini((m_dir / "new.ini").c_str());  // created by the first write
  ini.WriteInt("server", "port", 8080);
  ini.WriteInt("server", "workers", -3);
  ini.WriteInt("limits", "max", 2147483647);
  ini.WriteInt("General", "odd", 5);  // a section Qt must escape
  EXPECT_EQ(ini.ReadInt("server", "port", 1), 8080);
  EXPECT_EQ(ini.ReadInt("server", "workers", 1), -3);
  EXPECT_EQ(ini.ReadInt("limits", "max", 1), 2147483647);
  EXPECT_EQ(ini.ReadInt("General", "odd", 1), 5);
  EXPECT_EQ(BothRead(ini, "server", "port", "none"), "8080");
  EXPECT_EQ(BothRead(ini, "server", "workers", "none"), "-3");
  EXPECT_EQ(BothRead(ini, "General", "odd", "none"), "5");
  EXPECT_EQ(ini.ReadHex("server", "port", 1), 0x8080);
  // Overwriting keeps one value.
  ini.WriteInt("server", "port", 9090);
  EXPECT_EQ(BothRead(ini, "server", "port", "none"), "9090");
}

TEST_F(IniTest, HandWrittenFileWithCommentsAndBlankLines) {
  std::string path = Write("hand.ini",
                           "; a comment before any section\n"
                           "top = 1\n"
                           "\n"
                           "[db]\n"
                           "  host =  db.example.org   \n"
                           "\n"
                           "; port = 1\n"
                           "port=5432 ; the default\n"
                           "name = \"  padded name \"\n"
                           "path = C:\\\\data\\\\x\n"
                           "peers = 10.0.0.1, 10.0.0.2\n"
                           "quoted = \"a, b\"\n"
                           "empty =\n"
                           "mask = 0x1F\n"
                           "bare = 1F\n"
                           "word = abc\n"
                           "dup = 1\n"
                           "dup = 2\n"
                           "\r\n"
                           "[other]\r\n"
                           "port = 1\r\n");
  Cvlk_ini_file ini(path.c_str());
  EXPECT_EQ(BothRead(ini, "db", "host", "none"), "db.example.org");
  EXPECT_EQ(BothRead(ini, "db", "port", "none"), "5432");
  EXPECT_EQ(BothRead(ini, "db", "name", "none"), "  padded name ");
  EXPECT_EQ(BothRead(ini, "db", "path", "none"), "C:\\data\\x");
  EXPECT_EQ(BothRead(ini, "db", "peers", "none"), "10.0.0.1, 10.0.0.2");
  EXPECT_EQ(BothRead(ini, "db", "quoted", "none"), "a, b");
  EXPECT_EQ(BothRead(ini, "db", "dup", "none"), "2");
  EXPECT_EQ(BothRead(ini, "other", "port", "none"), "1");
  // Missing section or key: the default. The character reader gives an empty
  // value as it stands, the Cvlk_tmp_str reader its default.
  EXPECT_EQ(BothRead(ini, "nosuch", "host", "dflt"), "dflt");
  EXPECT_EQ(BothRead(ini, "db", "nosuch", "dflt"), "dflt");
  EXPECT_EQ(BothRead(ini, "db", "Host", "dflt"), "dflt");  // keys are case-sensitive
  char buf[256];
  ini.ReadStr("db", "empty", buf, "dflt");
  EXPECT_STREQ(buf, "");
  Cvlk_tmp_str t;
  ini.ReadStr("db", "empty", t, "dflt");
  EXPECT_STREQ(t.c_str(), "dflt");

  EXPECT_EQ(ini.ReadInt("db", "port", 7), 5432);
  EXPECT_EQ(ini.ReadInt("", "top", 7), 1);  // outside any section
  EXPECT_EQ(ini.ReadInt("db", "word", 7), 0);  // present but no number: 0, not the default
  EXPECT_EQ(ini.ReadInt("db", "mask", 7), 0);  // hexadecimal is no decimal integer
  EXPECT_EQ(ini.ReadInt("db", "nosuch", 7), 7);
  EXPECT_EQ(ini.ReadHex("db", "mask", 7), 31);
  EXPECT_EQ(ini.ReadHex("db", "bare", 7), 31);
  EXPECT_EQ(ini.ReadHex("db", "empty", 7), 7);
  EXPECT_EQ(ini.ReadHex("db", "nosuch", 7), 7);
}

TEST_F(IniTest, ValuesAreCutTo255CharactersAndRefusedArgumentsTouchNothing) {
  std::string longValue(400, 'v');
  std::string path = Write("long.ini", "[s]\nk=" + longValue + "\n");
  Cvlk_ini_file ini(path.c_str());
  char buf[300];
  std::memset(buf, 'x', sizeof buf);
  ini.ReadStr("s", "k", buf, "");
  EXPECT_EQ(std::strlen(buf), 255u);
  EXPECT_EQ(buf[256], 'x');  // nothing written past the 256 bytes
  std::string longDefault(300, 'd');
  std::memset(buf, 'x', sizeof buf);
  ini.ReadStr("s", "missing", buf, longDefault.c_str());
  EXPECT_EQ(std::strlen(buf), 255u);

  std::memset(buf, 'x', sizeof buf);
  ini.ReadStr("", "k", buf, "d");
  ini.ReadStr("s", "", buf, "d");
  ini.ReadStr("s", "k", static_cast<char*>(nullptr), "d");
  EXPECT_EQ(buf[0], 'x');
  Cvlk_tmp_str t;
  t.init("kept");
  ini.ReadStr("", "k", t, "d");
  EXPECT_STREQ(t.c_str(), "kept");

  // No file name: defaults, and nothing is written anywhere.
  Cvlk_ini_file none;
  EXPECT_EQ(none.ReadInt("s", "k", 9), 9);
  none.ReadStr("s", "k", buf, "d");
  EXPECT_EQ(buf[0], 'x');
  none.WriteInt("s", "k", 1);
  // A missing file reads as defaults.
  Cvlk_ini_file missing((m_dir / "nope.ini").c_str());
  EXPECT_EQ(missing.ReadInt("s", "k", 9), 9);
  EXPECT_EQ(BothRead(missing, "s", "k", "d"), "d");
}

TEST_F(IniTest, FileNamesAreCutAndCopiedWhole) {
  std::string longName(300, 'n');
  Cvlk_ini_file ini(longName.c_str());
  EXPECT_EQ(std::strlen(ini.GetFileName()), 259u);
  ini.SetFileName("short.ini");
  EXPECT_STREQ(ini.GetFileName(), "short.ini");
  Cvlk_ini_file copy;
  copy = ini;
  EXPECT_STREQ(copy.GetFileName(), "short.ini");
  ini.SetFileName(nullptr);
  EXPECT_STREQ(ini.GetFileName(), "");
}

}  // namespace
