// Directory and path functions over QDir and QFileInfo.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "vlk_sys.h"

namespace {

QString FromLocal(const char* s) { return QString::fromLocal8Bit(s); }

// The regular files of dir matching pattern, newest first; empty on any failure.
QFileInfoList ListFiles(const char* dir, const char* pattern) {
  QDir d(FromLocal(dir));
  return d.entryInfoList(QStringList(FromLocal(pattern)), QDir::Files | QDir::NoSymLinks, QDir::Time);
}

}  // namespace

EerrNo VlkIsDirExist(const char* path) {
  if (VlkStrLenZero(path)) return ERR_OBJ_NOT_FOUND;
  return QFileInfo::exists(FromLocal(path)) ? ERR_OK : ERR_OBJ_NOT_FOUND;
}

EerrNo VlkCreateDir(const char* path) {
  if (VlkStrLenZero(path)) return ERR_INVALID_PARAM;
  return QDir(".").mkpath(FromLocal(path)) ? ERR_OK : ERR_FAIL;
}

EerrNo VlkGetFileSize(const char* path, int& size) {
  if (path == nullptr) return ERR_INVALID_PARAM;
  QFileInfo info(FromLocal(path));
  size = info.exists() ? static_cast<int>(static_cast<quint32>(info.size())) : 0;
  return ERR_OK;
}

void VlkDeleteFile(const char* path) {
  if (!VlkStrLenZero(path)) QFile::remove(FromLocal(path));
}

void VlkGetFileBaseName(const char* path, Cvlk_tmp_str& out) {
  if (VlkStrLenZero(path)) return;
  VlkQStringToTmpStr(QFileInfo(FromLocal(path)).baseName(), &out);
}

void VlkGetFileName(const char* path, Cvlk_tmp_str& out) {
  if (VlkStrLenZero(path)) return;
  VlkQStringToTmpStr(QFileInfo(FromLocal(path)).fileName(), &out);
}

EerrNo VlkGetFirstFile(const char* dir, const char* pattern, QString& out) {
  if (VlkStrLenZero(dir) || VlkStrLenZero(pattern)) return ERR_INVALID_PARAM;
  QFileInfoList files = ListFiles(dir, pattern);
  if (files.isEmpty()) return ERR_OBJ_NOT_FOUND;
  out = files.first().fileName();
  return ERR_OK;
}

EerrNo VlkGetFiles(const char* dir, const char* pattern, QStringList& out) {
  if (VlkStrLenZero(dir) || VlkStrLenZero(pattern)) return ERR_INVALID_PARAM;
  QFileInfoList files = ListFiles(dir, pattern);
  if (files.isEmpty()) return ERR_OBJ_NOT_FOUND;
  for (const QFileInfo& f : files) out.append(f.fileName());
  return ERR_OK;
}
