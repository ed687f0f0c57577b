// Host queries: the machine's name, the application's directory and its
// temporary directory.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>

#include <QCoreApplication>

#include "vlk_sys.h"

namespace {

// The application directory in the local 8-bit encoding; empty without a Qt
// application object (Qt would only warn and give an empty text).
QString AppDir() {
  if (QCoreApplication::instance() == nullptr) return QString();
  return QCoreApplication::applicationDirPath();
}

}  // namespace

EerrNo VlkGetComputerName(char* const name) {
  if (name == nullptr) return ERR_OK;
  constexpr std::size_t kSize = 60;
  // The whole name first: gethostname into the caller's 60 bytes fails for a
  // longer name, which must come back cut to 59 characters instead.
  struct utsname host {};
  if (uname(&host) != 0) host.nodename[0] = '\0';
  VlkCopyStr(name, host.nodename, kSize - 1);
  return ERR_OK;
}

int VlkGetCurrDir(Cvlk_tmp_str* dir) {
  if (dir != nullptr) VlkQStringToTmpStr(AppDir(), dir);
  return 1;
}

extern "C" int VlkGetCurrDir(char* dir, int size) {
  if (dir == nullptr || size <= 0) return 0;
  // The caller always gets a text, also when there is no directory to copy.
  dir[0] = '\0';
  Cvlk_tmp_str text;
  VlkQStringToTmpStr(AppDir(), &text);
  return VlkCopyStr(dir, text.c_str(), size - 1);
}

void VlkGetTempPath(Cvlk_tmp_str& path) {
  VlkGetCurrDir(&path);
  path.append("%s", "/.tmp/");
}
