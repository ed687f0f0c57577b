// Cvlk_ini_file: integers through QSettings, both string readers through our
// own reader of the same files, which gives a value's text as stored.
#include <cstring>

#include <QSettings>
#include <QVariant>

#include "vlk_sys.h"
#include "vlk_sys_ini_reader.h"

namespace {

constexpr int kMaxName = 259;
constexpr int kMaxValue = 255;

QString Local(const char* s) { return QString::fromLocal8Bit(s != nullptr ? s : ""); }

void CopyCut(char* out, const char* text, int max) {
  int n = static_cast<int>(strnlen(text, static_cast<std::size_t>(max)));
  std::memcpy(out, text, static_cast<std::size_t>(n));
  out[n] = '\0';
}

}  // namespace

Cvlk_ini_file::Cvlk_ini_file() { std::memset(m_fileName, 0, sizeof m_fileName); }

Cvlk_ini_file::Cvlk_ini_file(const char* fileName) : Cvlk_ini_file() { SetFileName(fileName); }

void Cvlk_ini_file::SetFileName(const char* fileName) {
  std::memset(m_fileName, 0, sizeof m_fileName);
  if (!VlkStrLenZero(fileName)) VlkCopyStr(m_fileName, fileName, kMaxName);
}

int Cvlk_ini_file::ReadInt(const char* group, const char* key, int defaultValue) {
  if (VlkStrLenZero(m_fileName)) return defaultValue;
  QSettings settings(Local(m_fileName), QSettings::IniFormat);
  settings.beginGroup(Local(group));
  QVariant value = settings.value(Local(key), defaultValue);
  settings.endGroup();
  // Present but not a decimal integer: 0, not the default.
  return value.toInt();
}

void Cvlk_ini_file::ReadStr(const char* group, const char* key, char* out, const char* defaultValue) {
  if (VlkStrLenZero(group) || VlkStrLenZero(key) || VlkStrLenZero(m_fileName) || out == nullptr) return;
  QByteArray value;
  if (vlk_ini::Lookup(m_fileName, QByteArray(group), QByteArray(key), value))
    CopyCut(out, value.constData(), kMaxValue);
  else
    CopyCut(out, defaultValue != nullptr ? defaultValue : "", kMaxValue);
}

void Cvlk_ini_file::ReadStr(const char* group, const char* key, Cvlk_tmp_str& out, const char* defaultValue) {
  if (VlkStrLenZero(group) || VlkStrLenZero(key) || VlkStrLenZero(m_fileName)) return;
  QByteArray value;
  vlk_ini::Lookup(m_fileName, QByteArray(group), QByteArray(key), value);
  // The bytes as stored, up to a NUL, like the character-buffer reader's.
  const int n = static_cast<int>(strnlen(value.constData(), static_cast<std::size_t>(value.size())));
  out.init();
  if (n > 0)
    out.init(value.constData(), static_cast<unsigned int>(n));
  else if (!VlkStrLenZero(defaultValue))
    out.init(defaultValue);
}

int Cvlk_ini_file::ReadHex(const char* group, const char* key, int defaultValue) {
  Cvlk_tmp_str text;
  ReadStr(group, key, text, "");
  if (text.getStrLen() == 0) return defaultValue;
  return VlkStrToHex(text.c_str());
}

void Cvlk_ini_file::WriteInt(const char* group, const char* key, int value) {
  if (VlkStrLenZero(m_fileName) || VlkStrLenZero(key)) return;
  QSettings settings(Local(m_fileName), QSettings::IniFormat);
  settings.beginGroup(Local(group));
  settings.setValue(Local(key), value);
  settings.endGroup();
  // The settings object writes the file back as it closes.
}
