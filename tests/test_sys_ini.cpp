// Cvlk_ini_file: the QSettings integer reader and writer and our own string
// readers against the same files, written by WriteInt and by hand.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "vlk_sys.h"

namespace {

class IniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vlk_ini_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(m_dir); }
  // Both string readers on one key; they must agree.
  std::string BothRead(Cvlk_ini_file& ini, const char* group, const char* key) {
    char buf[256];
    ini.ReadStr(group, key, buf, "dflt");
    Cvlk_tmp_str t;
    ini.ReadStr(group, key, t, "dflt");
    EXPECT_STREQ(buf, t.c_str()) << group << "/" << key;
    return buf;
  }
  std::string m_dir;
};

TEST_F(IniTest, WrittenIntegersAreReadBackByAllReaders) {
  Cvlk_ini_file ini((m_dir + "/new.ini").c_str());  // created by the first write
  ini.WriteInt("server", "port", 8080);
  ini.WriteInt("server", "workers", -3);
  ini.WriteInt("General", "odd", 5);  // a section name Qt escapes
  EXPECT_EQ(ini.ReadInt("server", "port", 1), 8080);
  EXPECT_EQ(ini.ReadInt("General", "odd", 1), 5);
  EXPECT_EQ(BothRead(ini, "server", "port"), "8080");
  EXPECT_EQ(BothRead(ini, "server", "workers"), "-3");
  EXPECT_EQ(BothRead(ini, "General", "odd"), "5");
  EXPECT_EQ(ini.ReadHex("server", "port", 1), 0x8080);
}

TEST_F(IniTest, HandWrittenFileValuesReadAsStored) {
  std::ofstream(m_dir + "/hand.ini") << "; a comment before any section\ntop = 1\n\n[db]\n"
                                        "  host =  db.example.org   \n\n; port = 1\nport=5432 ; the default\n"
                                        "name = \"  padded \"\nsingle='a, b'\npath = C:\\data\\new\\log\n"
                                        "peers = 10.0.0.1,10.0.0.2\nlatin = caf\xE9\n"
                                        "empty =\nmask = 0x1F\nbare = 1F\nword = abc\ndup = 1\ndup = 2\r\nhalf=\"open\n";
  Cvlk_ini_file ini((m_dir + "/hand.ini").c_str());
  // Blanks around a value and one pair of quotes around all of it go; nothing
  // else is interpreted: backslashes, commas, ';' and 8-bit bytes stay.
  const struct {
    const char* key;
    const char* value;
  } cases[] = {{"host", "db.example.org"}, {"port", "5432 ; the default"}, {"name", "  padded "},
               {"single", "a, b"},         {"half", "\"open"},               {"path", "C:\\data\\new\\log"},
               {"peers", "10.0.0.1,10.0.0.2"}, {"latin", "caf\xE9"},       {"dup", "2"}};
  for (const auto& c : cases) EXPECT_EQ(BothRead(ini, "db", c.key), c.value) << c.key;
  EXPECT_EQ(BothRead(ini, "nosuch", "host"), "dflt");
  EXPECT_EQ(BothRead(ini, "db", "Host"), "dflt");  // keys are case-sensitive
  EXPECT_EQ(ini.ReadInt("db", "port", 7), 5432);
  // An empty value: as it stands from the character reader, the default from the other.
  char buf[256];
  ini.ReadStr("db", "empty", buf, "dflt");
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(ini.ReadInt("", "top", 7), 1);  // outside any section
  EXPECT_EQ(ini.ReadInt("db", "word", 7), 0);  // present but no number: 0, not the default
  EXPECT_EQ(ini.ReadInt("db", "mask", 7), 0);
  EXPECT_EQ(ini.ReadInt("db", "nosuch", 7), 7);
  EXPECT_EQ(ini.ReadHex("db", "mask", 7), 31);
  EXPECT_EQ(ini.ReadHex("db", "bare", 7), 31);
  EXPECT_EQ(ini.ReadHex("db", "empty", 7), 7);
}

// A section line's ']' is looked for in that line only: every "[" line without
// one once searched the rest of the file, so such a file took quadratic time.
// (The character-buffer reader only: QSettings itself searches that way.)
TEST_F(IniTest, SectionLinesWithoutClosingBracketReadInOnePass) {
  {
    std::ofstream f(m_dir + "/open.ini");
    for (int i = 0; i < 200000; ++i) f << "[x\n";
    f << "[s] trailing\nk=v\n[u\nk=w ]\n";
  }
  Cvlk_ini_file ini((m_dir + "/open.ini").c_str());
  char buf[256];
  ini.ReadStr("s", "k", buf, "dflt");
  EXPECT_STREQ(buf, "v");
  ini.ReadStr("u", "k", buf, "dflt");
  EXPECT_STREQ(buf, "w ]");
  ini.ReadStr("x", "k", buf, "dflt");
  EXPECT_STREQ(buf, "dflt");
}

TEST_F(IniTest, ValuesAndNamesAreCutAndRefusedArgumentsTouchNothing) {
  std::ofstream(m_dir + "/long.ini") << "[s]\nk=" << std::string(400, 'v') << "\n";
  Cvlk_ini_file ini((m_dir + "/long.ini").c_str());
  char buf[300];
  std::memset(buf, 'x', sizeof buf);
  ini.ReadStr("s", "k", buf, "");
  EXPECT_EQ(std::strlen(buf), 255u);
  EXPECT_EQ(buf[256], 'x');
  std::memset(buf, 'x', sizeof buf);
  ini.ReadStr("", "k", buf, "d");
  Cvlk_ini_file().ReadStr("s", "k", buf, "d");
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(Cvlk_ini_file().ReadInt("s", "k", 9), 9);
  EXPECT_EQ(Cvlk_ini_file((m_dir + "/missing.ini").c_str()).ReadInt("s", "k", 9), 9);
  std::string longName(300, 'n');
  Cvlk_ini_file named(longName.c_str());
  EXPECT_EQ(std::strlen(named.GetFileName()), 259u);
  named = ini;
  EXPECT_STREQ(named.GetFileName(), ini.GetFileName());
}

}  // namespace
