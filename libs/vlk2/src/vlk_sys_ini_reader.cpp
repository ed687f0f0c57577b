// Our own reader of INI files, behind both string readers of Cvlk_ini_file. It
// returns a value as it is stored, the way the platform's private-profile
// reader does:
//  - lines end at '\n' or '\r'; blanks (spaces, tabs) around a line are ignored;
//    a UTF-8 byte-order mark at the start of the file is skipped;
//  - empty lines and lines whose first character is ';' are comments;
//  - "[name]" starts a section (the name is what stands between '[' and the
//    first ']', trimmed; the rest of the line is ignored); "[General]" means no
//    section, as QSettings writes it;
//  - "key=value": the key is the text before the first '=', trimmed, and
//    compared case-sensitively after QSettings' key escapes (%XX, %UXXXX, '\'
//    for '/'), so keys written by the integer writer are found; lines without
//    '=' are ignored;
//  - the value is the rest of the line with the blanks around it removed and
//    one pair of matching quotes ('"' or '\'') around the whole of it taken
//    off; nothing else is interpreted: backslashes, commas, ';' and every byte
//    stand as stored;
//  - of duplicate keys the last wins, as for the integer reader.
#include <cstring>

#include <QByteArray>
#include <QFile>

#include "vlk_sys_ini_reader.h"

namespace {

// Appends the character with code v as UTF-8, as Qt would store it.
void AppendCode(QByteArray& out, unsigned v) {
  if (v < 0x80) {
    out.append(static_cast<char>(v));
  } else if (v < 0x800) {
    out.append(static_cast<char>(0xC0 | (v >> 6))).append(static_cast<char>(0x80 | (v & 0x3F)));
  } else {
    out.append(static_cast<char>(0xE0 | ((v >> 12) & 0x0F)))
        .append(static_cast<char>(0x80 | ((v >> 6) & 0x3F)))
        .append(static_cast<char>(0x80 | (v & 0x3F)));
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A section or key name: '\' stands for '/', %XX and %UXXXX for characters.
QByteArray UnescapeKey(const QByteArray& data, int from, int to) {
  QByteArray out;
  for (int i = from; i < to;) {
    char c = data[i];
    if (c == '\\') {
      out.append('/');
      ++i;
      continue;
    }
    if (c != '%' || i == to - 1) {
      out.append(c);
      ++i;
      continue;
    }
    int digits = data[i + 1] == 'U' ? 4 : 2;
    int first = i + 1 + (digits == 4 ? 1 : 0);
    unsigned v = 0;
    bool ok = first + digits <= to;
    for (int k = 0; ok && k < digits; ++k) {
      int h = HexValue(data[first + k]);
      ok = h >= 0;
      v = v * 16 + static_cast<unsigned>(h < 0 ? 0 : h);
    }
    if (!ok) {
      out.append('%');
      ++i;
      continue;
    }
    AppendCode(out, v);
    i = first + digits;
  }
  return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The value stored in [from, to): blanks around it dropped, then one pair of
// matching quotes around the whole of it.
QByteArray StoredValue(const char* data, int from, int to) {
  while (from < to && IsBlank(data[from])) ++from;
  while (to > from && IsBlank(data[to - 1])) --to;
  if (to - from >= 2 && (data[from] == '"' || data[from] == '\'') && data[to - 1] == data[from]) ++from, --to;
  return QByteArray(data + from, to - from);
}

}  // namespace

namespace vlk_ini {

bool Lookup(const char* fileName, const QByteArray& group, const QByteArray& key, QByteArray& value) {
  QFile file(QString::fromLocal8Bit(fileName));
  if (!file.open(QIODevice::ReadOnly)) return false;
  return LookupIn(file.readAll(), group, key, value);
}

bool LookupIn(const QByteArray& data, const QByteArray& group, const QByteArray& key, QByteArray& value) {
  const QByteArray wanted = group.isEmpty() ? key : group + '/' + key;
  const char* text = data.constData();
  const int size = data.size();
  QByteArray section;  // "" or "name/"
  bool found = false;
  for (int pos = data.startsWith("\xEF\xBB\xBF") ? 3 : 0; pos < size;) {
    int start = pos;
    const void* eol = std::memchr(text + pos, '\n', static_cast<std::size_t>(size - pos));
    int end = eol == nullptr ? size : static_cast<int>(static_cast<const char*>(eol) - text);
    if (const void* cr = std::memchr(text + pos, '\r', static_cast<std::size_t>(end - pos)))
      end = static_cast<int>(static_cast<const char*>(cr) - text);
    pos = end + 1;
    while (start < end && IsBlank(text[start])) ++start;
    if (start == end || text[start] == ';') continue;
    if (text[start] == '[') {
      const void* close = std::memchr(text + start, ']', static_cast<std::size_t>(end - start));
      int nameEnd = close == nullptr ? end : static_cast<int>(static_cast<const char*>(close) - text);
      QByteArray name = data.mid(start + 1, nameEnd - start - 1).trimmed();
      if (name.compare("general", Qt::CaseInsensitive) == 0) {
        section.clear();
      } else {
        section = name.compare("%general", Qt::CaseInsensitive) == 0 ? name.mid(1)
                                                                      : UnescapeKey(name, 0, name.size());
        section.append('/');
      }
      continue;
    }
    const void* eq = std::memchr(text + start, '=', static_cast<std::size_t>(end - start));
    if (eq == nullptr) continue;
    const int equals = static_cast<int>(static_cast<const char*>(eq) - text);
    int keyEnd = equals;
    while (keyEnd > start && IsBlank(text[keyEnd - 1])) --keyEnd;
    if (section + UnescapeKey(data, start, keyEnd) != wanted) continue;
    value = StoredValue(text, equals + 1, end);
    found = true;  // a later duplicate overrides
  }
  return found;
}

}  // namespace vlk_ini
