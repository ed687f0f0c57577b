// The INI readers on arbitrary file contents. The input names a group and a key
// and the rest is the file. The in-memory reader (vlk_ini::LookupIn, built into
// this harness from the library's source) looks the key up, and also every key
// the file itself names, so found paths are reached without guessing. Every
// few inputs the file is also written to disk and read through the public
// Cvlk_ini_file calls: the character-buffer ReadStr must give what the
// in-memory reader gives (cut at 255 characters), never more than its buffer.
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <QByteArray>
#include <QCoreApplication>

#include "fuzz_check.h"
#include "vlk_sys.h"
#include "vlk_sys_ini_reader.h"

namespace {

std::string g_file;  // the per-process file the public calls read

void CheckPublic(const QByteArray& contents, const QByteArray& group, const QByteArray& key) {
  FILE* f = std::fopen(g_file.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(std::fwrite(contents.constData(), 1, contents.size(), f) == static_cast<std::size_t>(contents.size()));
  std::fclose(f);

  Cvlk_ini_file ini(g_file.c_str());
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
  // The QSettings paths: no checks of their own beyond running clean.
  (void)ini.ReadInt(group.constData(), key.constData(), -7);
  (void)ini.ReadHex(group.constData(), key.constData(), -7);
  Cvlk_tmp_str t;
  ini.ReadStr(group.constData(), key.constData(), t, const_cast<char*>("d"));
  FUZZ_CHECK(t.getStrLen() <= Cvlk_tmp_str::kMaxLen && t.c_str()[t.getStrLen()] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  char dir[] = "/tmp/vlk-fuzz-ini-XXXXXX";
  FUZZ_CHECK(mkdtemp(dir) != nullptr);
  g_file = std::string(dir) + "/fuzz.ini";
  std::atexit([] {
    std::remove(g_file.c_str());
    rmdir(g_file.substr(0, g_file.rfind('/')).c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static unsigned runs = 0;
  FuzzedDataProvider in(data, size);
  const bool viaFile = in.ConsumeIntegral<std::uint8_t>() < 16;  // about one input in sixteen
  std::string g = in.ConsumeRandomLengthString(24);
  std::string k = in.ConsumeRandomLengthString(24);
  g.resize(std::strlen(g.c_str()));
  k.resize(std::strlen(k.c_str()));
  const std::string rest = in.ConsumeRemainingBytesAsString();
  const QByteArray contents(rest.data(), static_cast<int>(rest.size()));
  const QByteArray group(g.c_str()), key(k.c_str());

  QByteArray value;
  if (vlk_ini::LookupIn(contents, group, key, value)) FUZZ_CHECK(value.size() <= 2 * contents.size());

  // Every "name=" of the file, looked up in its own section as written.
  QByteArray section;
  for (const QByteArray& line : contents.split('\n')) {
    const QByteArray t = line.trimmed();
    if (t.startsWith('[') && t.indexOf(']') > 0) {
      section = t.mid(1, t.indexOf(']') - 1);
      continue;
    }
    const int eq = t.indexOf('=');
    if (eq <= 0) continue;
    QByteArray v;
    const QByteArray name = t.left(eq).trimmed();
    if (vlk_ini::LookupIn(contents, section, name, v)) FUZZ_CHECK(v.size() <= 2 * contents.size());
  }

  if (viaFile || (++runs % 64) == 0) CheckPublic(contents, group, key);
  return 0;
}
