// The INI readers on arbitrary file contents. The input names a group and a key
// and the rest is the file. The in-memory reader (vlk_ini::LookupIn, built into
// this harness from the library's source) looks the key up, and also the first
// keys the file itself names, so found paths are reached without guessing; a
// value is never longer than its line. One input in 32 also goes to disk and
// through the public Cvlk_ini_file calls: both string readers must give what the
// in-memory reader gives (cut at 255 and 1499 characters and at a NUL), never
// more than their buffers.
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <QByteArray>
#include <QCoreApplication>
#include <QSettings>
#include <QString>

#include "fuzz_check.h"
#include "vlk_sys.h"
#include "vlk_sys_ini_reader.h"

namespace {

std::string g_dir;   // the per-process directory of the file the public calls read
std::string g_file;  // that file

void CheckPublic(const QByteArray& contents, const QByteArray& group, const QByteArray& key) {
  // QSettings keeps what it read of a file in a cache. Once the calls are done
  // the file is emptied and opened once more: the cache then drops the entry,
  // so that every input starts from a fresh read and leaves nothing behind.
  const std::string& file = g_file;
  struct Empty {
    const std::string& name;
    ~Empty() {
      std::fclose(std::fopen(name.c_str(), "wb"));
      QSettings drop(QString::fromStdString(name), QSettings::IniFormat);
    }
  } empty{file};
  FILE* f = std::fopen(file.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(std::fwrite(contents.constData(), 1, contents.size(), f) == static_cast<std::size_t>(contents.size()));
  std::fclose(f);

  Cvlk_ini_file ini(file.c_str());
  char out[300];
  std::memset(out, 'x', sizeof out);
  ini.ReadStr(group.constData(), key.constData(), out, "default");
  if (group.isEmpty() || key.isEmpty()) {
    FUZZ_CHECK(out[0] == 'x');
  } else {
    FUZZ_CHECK(std::memchr(out, '\0', 256) != nullptr);
    FUZZ_CHECK(out[256] == 'x');
    QByteArray value;
    const bool found = vlk_ini::LookupIn(contents, group, key, value);
    const QByteArray want = found ? value.left(static_cast<int>(strnlen(value.constData(), 255))) : "default";
    FUZZ_CHECK(want == QByteArray(out));
  }
  // The QSettings paths.
  (void)ini.ReadInt(group.constData(), key.constData(), -7);
  (void)ini.ReadHex(group.constData(), key.constData(), -7);
  Cvlk_tmp_str t;
  ini.ReadStr(group.constData(), key.constData(), t, "<none>");
  FUZZ_CHECK(t.getStrLen() <= Cvlk_tmp_str::kMaxLen && t.c_str()[t.getStrLen()] == '\0');
  // Both string readers give the value as stored.
  if (!group.isEmpty() && !key.isEmpty()) {
    QByteArray value;
    const bool found = vlk_ini::LookupIn(contents, group, key, value);
    const QByteArray stored = value.left(static_cast<int>(strnlen(value.constData(), static_cast<std::size_t>(value.size()))));
    if (!found || stored.isEmpty()) {
      FUZZ_CHECK(std::strcmp(t.c_str(), "<none>") == 0);
    } else {
      FUZZ_CHECK(stored.left(Cvlk_tmp_str::kMaxLen) == QByteArray(t.c_str()));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  char dir[] = "/tmp/vlk-fuzz-ini-XXXXXX";
  FUZZ_CHECK(mkdtemp(dir) != nullptr);
  g_dir = dir;
  g_file = g_dir + "/fuzz.ini";
  std::atexit([] {
    std::remove(g_file.c_str());
    rmdir(g_dir.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool viaFile = in.ConsumeIntegral<std::uint8_t>() < 8;  // about one input in thirty-two
  std::string g = in.ConsumeRandomLengthString(24);
  std::string k = in.ConsumeRandomLengthString(24);
  g.resize(std::strlen(g.c_str()));
  k.resize(std::strlen(k.c_str()));
  const std::string rest = in.ConsumeRemainingBytesAsString();
  const QByteArray contents(rest.data(), static_cast<int>(rest.size()));
  const QByteArray group(g.c_str()), key(k.c_str());

  QByteArray value;
  if (vlk_ini::LookupIn(contents, group, key, value)) FUZZ_CHECK(value.size() <= contents.size());

  // The first few "name=" of the file, looked up in their own section as written.
  QByteArray section;
  int names = 0;
  for (const QByteArray& line : contents.split('\n')) {
    if (names == 8) break;
    const QByteArray t = line.trimmed();
    if (t.startsWith('[') && t.indexOf(']') > 0) {
      section = t.mid(1, t.indexOf(']') - 1);
      continue;
    }
    const int eq = t.indexOf('=');
    if (eq <= 0) continue;
    QByteArray v;
    const QByteArray name = t.left(eq).trimmed();
    ++names;
    if (vlk_ini::LookupIn(contents, section, name, v)) FUZZ_CHECK(v.size() <= contents.size());
  }

  if (viaFile) CheckPublic(contents, group, key);
  return 0;
}
