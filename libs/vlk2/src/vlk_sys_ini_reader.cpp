// Our own reader of INI files: the character-buffer ReadStr. It reads the files
// that QSettings writes and reads, with the same rules: "[section]" lines,
// "key=value" lines, ';' comments (at a line's start or after a value), keys
// trimmed and %XX-unescaped, values trimmed, unquoted and unescaped, a value with
// unquoted commas a list (given as its items joined by ", "), the last of
// duplicate keys winning, "[General]" meaning no section.
#include <cstring>

#include <QByteArray>
#include <QFile>

#include "vlk_sys_ini_reader.h"

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// One logical line of data from pos: [start, start + len), the first unquoted
// '=' at equals (-1 when none). False at the end of the data.
bool ReadLine(const QByteArray& data, int& pos, int& start, int& len, int& equals) {
  const int size = data.size();
  bool inQuotes = false;
  equals = -1;
  start = pos;
  while (start < size && IsSpace(data[start])) ++start;
  int i = start;
  while (i < size) {
    char c = data[i++];
    if (c == '=') {
      if (!inQuotes && equals == -1) equals = i - 1;
    } else if (c == '\n' || c == '\r') {
      if (i == start + 1) {
        ++start;
      } else if (!inQuotes) {
        --i;
        break;
      }
    } else if (c == '\\') {
      if (i < size) {
        char next = data[i++];
        if (i < size && ((next == '\n' && data[i] == '\r') || (next == '\r' && data[i] == '\n'))) ++i;
      }
    } else if (c == '"') {
      inQuotes = !inQuotes;
    } else if (c == ';') {
      if (i == start + 1) {  // a comment line
        while (i < size && data[i] != '\n' && data[i] != '\r') ++i;
        start = i;
      } else if (!inQuotes) {  // a comment behind a value ends the line
        --i;
        break;
      }
    }
  }
  pos = i;
  len = i - start;
  return len > 0;
}

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

void ChopBlanks(QByteArray& s, int limit) {
  while (s.size() > limit && (s.endsWith(' ') || s.endsWith('\t'))) s.chop(1);
}

// A value: blanks around it dropped, double quotes removed (what they enclose
// kept as it stands), C-style escapes decoded, unquoted commas separating items.
QByteArray UnescapeValue(const QByteArray& data, int from, int to) {
  static const char kEscapes[][2] = {{'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'},
                                     {'v', '\v'}, {'"', '"'},  {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
  QByteArray result;
  QByteArray item;
  bool isList = false, inQuotes = false, quoted = false;
  int i = from;
  while (i < to && (data[i] == ' ' || data[i] == '\t')) ++i;
  int chopLimit = 0;
  while (i < to) {
    char c = data[i];
    if (c == '\\') {
      if (++i >= to) break;
      char e = data[i++];
      bool known = false;
      for (const auto& pair : kEscapes) {
        if (e == pair[0]) {
          item.append(pair[1]);
          known = true;
          break;
        }
      }
      if (!known && (e == 'x' || (e >= '0' && e <= '7'))) {
        unsigned v = e == 'x' ? 0 : static_cast<unsigned>(e - '0');
        int base = e == 'x' ? 16 : 8, digits = e == 'x' ? 0 : 1;
        for (; i < to && HexValue(data[i]) >= 0 && HexValue(data[i]) < base; ++i, ++digits)
          v = v * static_cast<unsigned>(base) + static_cast<unsigned>(HexValue(data[i]));
        if (digits > 0) AppendCode(item, v & 0xFFFF);
      } else if (!known && (e == '\n' || e == '\r')) {
        if (i < to && (data[i] == '\n' || data[i] == '\r') && data[i] != e) ++i;
      }
      // An escaped character is kept even when it is a blank at the end.
      chopLimit = item.size();
    } else if (c == '"') {
      ++i;
      quoted = true;
      inQuotes = !inQuotes;
      if (!inQuotes)
        while (i < to && (data[i] == ' ' || data[i] == '\t')) ++i;
      chopLimit = item.size();
    } else if (c == ',' && !inQuotes) {
      if (!quoted) ChopBlanks(item, chopLimit);
      if (isList) result.append(", ");
      result.append(item);
      isList = true;
      item.clear();
      quoted = false;
      chopLimit = 0;
      ++i;
      while (i < to && (data[i] == ' ' || data[i] == '\t')) ++i;
    } else {
      item.append(c);
      ++i;
    }
  }
  if (!quoted) ChopBlanks(item, chopLimit);
  if (isList) {
    result.append(", ");
    result.append(item);
    return result;
  }
  // Qt's markers for values that are not plain text.
  if (item.startsWith("@@")) return item.mid(1);
  if (item == "@Invalid()") return QByteArray();
  if (item.startsWith("@ByteArray(") && item.endsWith(')')) return item.mid(11, item.size() - 12);
  return item;
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
  QByteArray section;  // "" or "name/"
  bool found = false;
  int pos = data.startsWith("\xEF\xBB\xBF") ? 3 : 0, start = 0, len = 0, equals = -1;
  while (ReadLine(data, pos, start, len, equals)) {
    if (data[start] == '[') {
      // The ']' is looked for in this line only: a search to the end of the data
      // for every line without one made a file of such lines quadratic.
      const void* close = std::memchr(data.constData() + start, ']', static_cast<std::size_t>(len));
      int end = close == nullptr ? start + len : static_cast<int>(static_cast<const char*>(close) - data.constData());
      QByteArray name = data.mid(start + 1, end - start - 1).trimmed();
      if (name.compare("general", Qt::CaseInsensitive) == 0) {
        section.clear();
      } else {
        section = name.compare("%general", Qt::CaseInsensitive) == 0 ? name.mid(1)
                                                                      : UnescapeKey(name, 0, name.size());
        section.append('/');
      }
      continue;
    }
    if (equals == -1) continue;
    int keyEnd = equals;
    while (keyEnd > start && (data[keyEnd - 1] == ' ' || data[keyEnd - 1] == '\t')) --keyEnd;
    if (section + UnescapeKey(data, start, keyEnd) != wanted) continue;
    value = UnescapeValue(data, equals + 1, start + len);
    found = true;  // a later duplicate overrides
  }
  return found;
}

}  // namespace vlk_ini
