// vlk_text.h: string classes, character-string functions, conversions, Base64,
// CRC-32, MD5, SHA-1, HMAC-SHA1, dates and times, telephone numbers.
//
// Text is narrow 8-bit. A null pointer and an empty string mean the same thing,
// "no text", and most functions answer it with their neutral result. Lengths of
// NUL-terminated arguments are measured up to a bound (1499 inside Cvlk_tmp_str,
// 0x7fffffff elsewhere).
#ifndef VLK_TEXT_H
#define VLK_TEXT_H

#include <cstdint>
#include <type_traits>

#include <QDateTime>
#include <QString>
#include <QStringList>

#include "vlk_base.h"

#define VLK_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

class Cvlk_tmp_str;

// ---------------------------------------------------------------------------
// String classes
// ---------------------------------------------------------------------------

// A non-owning view (start pointer and length) over somebody else's text, used to
// parse without copying. The view is not NUL-terminated at its length; searches
// that run over the underlying NUL-terminated text only accept hits that end inside
// the view. copyStr and appendStr write into the memory start points to.
// Thread-safety: a plain value; the viewed text must outlive the view.
class VLK_EXPORT Cvlk_buf_str {
 public:
  Cvlk_buf_str() = default;
  Cvlk_buf_str(const char* p, unsigned n) : m_start(p), m_len(n) {}

  void init() { m_start = nullptr; m_len = 0; }
  void init(const char* p, unsigned n) { m_start = p; m_len = n; }
  const char* c_str() const { return m_start; }
  unsigned getStrLen() const { return m_len; }
  // REQUIRES: i < getStrLen().
  char getChar(unsigned i) const { return m_start[i]; }
  char getFirstChar() const;
  char getLastChar() const;

  // Moving the start.
  void skip(unsigned k);
  void skipBlanks();
  void skipNonBlanks();
  EerrNo skipAtChar(char c);
  // Shortening the end.
  void cut(unsigned k);
  void cutChar(char c);
  void cutBlanks();
  void cutNonBlanks();
  EerrNo cutAtCharFromTail(char c);
  EerrNo cutAtCharFromHead(char c);

  EerrNo findChar(char c, Cvlk_buf_str& out) const;
  /// True when the first k characters of the view equal the first k of s. False
  /// when s is null, empty or shorter than k (it is read no further than its
  /// end), k is 0 or k exceeds the view.
  Ebool beginWith(const char* s, unsigned k) const;
  /// As beginWith, for the last k characters of the view.
  Ebool endWith(const char* s, unsigned k) const;
  // REQUIRES for the three searches: the underlying text is NUL-terminated.
  Ebool hasStr(const char* s) const;
  EerrNo findStr(const char* s, Cvlk_buf_str& out) const;
  // head = text before the first sep, tail = the rest, sep included.
  EerrNo seperate(const char* sep, Cvlk_buf_str& head, Cvlk_buf_str& tail) const;

  // REQUIRES: the memory at start holds the k (or length + k) bytes; no NUL is written.
  EerrNo copyStr(const char* s, unsigned k);
  EerrNo appendStr(const char* s, unsigned k);
  void toTmpStr(Cvlk_tmp_str& t) const;

 private:
  const char* m_start = nullptr;
  unsigned m_len = 0;
};

// A fixed-capacity string of at most 1499 characters living inside the object: no
// heap, built with printf-style set and append, passed and returned by value. The
// text sits at the start of the object, so the object's address is its text.
// init and set cut what does not fit; append refuses it (ERR_OUT_OF_MEMORY) and
// leaves the string unchanged while old plus new length would exceed 1498.
// Equality ignores ASCII case and an empty string equals nothing.
// Thread-safety: a plain value owned by one thread.
class VLK_EXPORT Cvlk_tmp_str {
 public:
  enum : int { kSize = 1500, kMaxLen = kSize - 1 };

  Cvlk_tmp_str();

  void init();
  EerrNo init(const char* p, unsigned n);
  EerrNo init(const char* p);
  EerrNo set(const char* fmt, ...) VLK_PRINTF_FORMAT(2, 3);
  // REQUIRES: fmt is not null.
  EerrNo append(const char* fmt, ...) VLK_PRINTF_FORMAT(2, 3);
  EerrNo append(Cvlk_buf_str v);

  const char* c_str() const { return m_text; }
  int getStrLen() const { return m_len; }
  void cut(char c);
  bool hasString(const char* s) const;
  bool hasPrefix(const char* s) const;

  bool operator==(const Cvlk_tmp_str& other) const { return equal(other.m_text); }
  bool operator==(const char* s) const { return equal(s); }
  bool equal(const char* s) const;
  bool equal(const Cvlk_tmp_str& other) const { return equal(other.m_text); }

 private:
  EerrNo _appendText(const char* text);

  char m_text[kSize];  // always NUL-terminated
  int m_len;
};
static_assert(std::is_standard_layout<Cvlk_tmp_str>::value, "the text must sit at the start of the object");
static_assert(std::is_trivially_copyable<Cvlk_tmp_str>::value, "copied as a whole buffer");

// The Cvlk_tmp_str interface over storage the caller owns and sizes (size includes
// the NUL). The proxy never allocates or frees; copies write into the same storage.
// Thread-safety: a plain value owned by one thread.
class VLK_EXPORT Cvlk_tmp_str_proxy {
 public:
  // buf stays the caller's; it is zero-filled here.
  Cvlk_tmp_str_proxy(char* buf, unsigned size);

  void init();
  EerrNo set(const char* s);
  // Formats at most 4095 characters; refuses (ERR_OUT_OF_MEMORY) what does not fit.
  EerrNo append(const char* fmt, ...) VLK_PRINTF_FORMAT(2, 3);
  bool hasString(const char* s) const;

  char* c_str() const { return m_buf; }
  int getSize() const { return m_size; }
  int getStrLen() const { return m_len; }

 private:
  char* m_buf = nullptr;
  int m_size = 0;
  int m_len = 0;
};

// A heap string that grows on demand to exactly the need plus 4 bytes. The length
// is measured each time. A growth the heap refuses returns ERR_OUT_OF_MEMORY and
// leaves the old text intact. Equality: the own text begins with the other text,
// ignoring ASCII case.
// Thread-safety: owned by one thread.
class VLK_EXPORT Cvlk_str {
 public:
  enum : int { kDefaultSize = 128 };

  explicit Cvlk_str(unsigned size = kDefaultSize);
  Cvlk_str(const Cvlk_str& other);
  Cvlk_str& operator=(const Cvlk_str& other);
  virtual ~Cvlk_str();

  void init();
  EerrNo init(const char* s);
  EerrNo init(Cvlk_buf_str v);
  EerrNo append(const char* s);
  EerrNo append(const Cvlk_str& other);
  bool equal(const char* s) const;
  bool equal(const Cvlk_str& other) const { return equal(other.m_buf); }

  // Null when nothing is allocated; the buffer stays the object's.
  const char* c_str() const { return m_buf; }
  int getSize() const { return m_size; }
  int getStrLen() const;

 private:
  EerrNo _reserve(std::size_t need);

  char* m_buf = nullptr;
  int m_size = 0;
};

// QString conversions, through the local 8-bit encoding.
VLK_EXPORT EerrNo VlkQStringToTmpStr(const QString& s, Cvlk_tmp_str* t);
VLK_EXPORT EerrNo VlkQStringToTmpStrPxy(const QString& s, Cvlk_tmp_str_proxy* t);
VLK_EXPORT EerrNo VlkQStringToCStr(const QString& s, Cvlk_str* t);

// ---------------------------------------------------------------------------
// Character-string functions
// ---------------------------------------------------------------------------
// Note the names: VlkStrCmp and VlkStrStr ignore ASCII case, VlkStrCaseCmp and
// VlkStrCaseStr do not. Comparisons give -1 when either text is null or empty.

VLK_EXPORT int VlkStrLenZero(const char* s);
VLK_EXPORT int VlkQStrLenZero(const QString& s);
VLK_EXPORT int VlkStrNLen(const char* s, int n);
VLK_EXPORT Ebool VlkIsDigit09(char c);

// 0 when a begins with b (ignoring case / exactly).
VLK_EXPORT int VlkStrCmp(const char* a, const char* b);
VLK_EXPORT int VlkStrCmp(const char* a, const char* b, int n);
VLK_EXPORT int VlkStrCaseCmp(const char* a, const char* b);
// True when the first n bytes are equal; n = 0 is true; a null text with n > 0 is false.
VLK_EXPORT Ebool VlkStrHasPrefix(const char* a, const char* b, unsigned n);
VLK_EXPORT Ebool VlkIsSameStr(const char* a, const char* b);
VLK_EXPORT Ebool VlkIsSameStr(const char* a, Cvlk_buf_str v);

// Pointer results point into the first argument.
VLK_EXPORT char* VlkStrChr(const char* s, char c);
VLK_EXPORT char* VlkStrRChr(const char* s, char c);
VLK_EXPORT char* VlkStrCaseStr(const char* a, const char* b);
VLK_EXPORT Ebool VlkHasStr(const char* a, const char* b);
VLK_EXPORT char* VlkStrStr(const char* a, const char* b);
// mode 1 (first) / any mode but 0 (last): only hits outside double quotes count.
VLK_EXPORT int VlkStrFindChar(const char* s, char c, int mode);
VLK_EXPORT int VlkStrFindLastChar(const char* s, char c, int mode);
VLK_EXPORT int VlkStrFindSpace(const char* s);
VLK_EXPORT int VlkStrFindNoSpace(const char* s);
VLK_EXPORT int VlkStrFindOtherChar(const char* s, char c);

// Skipping returns a pointer into s; trimming writes NULs into s.
VLK_EXPORT char* VlkSkipBlanks(char* s);
VLK_EXPORT char* VlkSkipNonBlanks(char* s);
VLK_EXPORT char* VlkTrimBlanks(char* s);
VLK_EXPORT char* VlkStrip(char* s);
VLK_EXPORT int VlkStrTrim(char* s, char c);
VLK_EXPORT int VlkStrTrimSpace(char* s);

// REQUIRES: dst holds n + 1 bytes.
VLK_EXPORT int VlkCopyStr(char* dst, const char* src, int n);
VLK_EXPORT void VlkCopyStr(char* dst, Cvlk_buf_str v, int n);
// A heap copy the caller releases with free(); null for null s.
VLK_EXPORT char* VlkStrDup(const char* s);
VLK_EXPORT EerrNo VlkCopyQStr(char* dst, const QString& s, int n);
VLK_EXPORT void AddUniqueString(QStringList* list, const char* s);

// ---------------------------------------------------------------------------
// Conversions, encodings and digests
// ---------------------------------------------------------------------------

VLK_EXPORT void VlkIntToStr(int v, char* dst, unsigned size);
VLK_EXPORT void VlkIntToStr(int v, Cvlk_tmp_str& t);
VLK_EXPORT void VlkIntToStr(int v, Cvlk_str* t);
VLK_EXPORT QString VlkIntToStr(int v);
// Eight upper-case hex digits and a NUL: REQUIRES n >= 9, a smaller buffer is refused.
VLK_EXPORT void VlkHexToStr(int v, char* dst, unsigned n);
VLK_EXPORT int VlkStrToHex(const char* s);
/// Base 0: 0x selects hexadecimal, a leading 0 octal, anything else decimal
/// (blanks around the number and a sign are accepted, as QString::toInt does).
/// 0 for text that does not convert, a 0b prefix included: there is no binary.
VLK_EXPORT int VlkStrToInt(const char* s);
VLK_EXPORT int VlkStrToInt(const QString& s);
VLK_EXPORT unsigned VlkStrToU32(const char* s);
VLK_EXPORT unsigned VlkStrToU32(const QString& s);

// Value behind key up to the first ';'. REQUIRES: out holds 128 bytes.
VLK_EXPORT EerrNo VlkGetValue(const char* text, const char* key, char* out);
VLK_EXPORT EerrNo VlkGetValue(const Cvlk_tmp_str& text, const char* key, Cvlk_tmp_str& out);
VLK_EXPORT EerrNo VlkUriDecode(char* s);

VLK_EXPORT unsigned VlkCalBase64EncLen(unsigned n);
// Cuts at a whole group of four; returns the characters written before the NUL.
VLK_EXPORT int VlkBase64Encode(char* out, const unsigned char* in, int inLen, int outSize);
// Stops at the NUL, at '=' or after outMax bytes; returns the bytes written.
VLK_EXPORT int VlkBase64Decode(unsigned char* out, const char* in, int outMax);

VLK_EXPORT unsigned VlkCRC32Calc(const unsigned char* data, unsigned len);
VLK_EXPORT void VlkGetMD5Hash(char (&out)[36], const char* text);
VLK_EXPORT void VlkSHA1(const char* data, unsigned len, unsigned char (&digest)[20]);
VLK_EXPORT void VlkHMAC(const char* key, unsigned keyLen, const unsigned char* data, unsigned dataLen,
                        unsigned char (&mac)[20], unsigned& macLen);

// ---------------------------------------------------------------------------
// Date and time
// ---------------------------------------------------------------------------
// A timestamp is signed 64-bit seconds since 1970-01-01 00:00:00 UTC. A timestamp
// the platform cannot break down gives an empty text and is no one's same date.

// Day of the week as the local broken-down time numbers it.
enum Evlk_week : std::int32_t {
  VLK_SUNDAY = 0,
  VLK_MONDAY = 1,
  VLK_TUESDAY = 2,
  VLK_WEDNESDAY = 3,
  VLK_THURSDAY = 4,
  VLK_FRIDAY = 5,
  VLK_SATURDAY = 6,
};

VLK_EXPORT std::int64_t VlkGetCurrTimestamp();
// end - start as an unsigned 32-bit count widened without sign.
VLK_EXPORT std::int64_t VlkDuration(std::int64_t end, std::int64_t start);
VLK_EXPORT unsigned VlkAddDuration(unsigned a, unsigned b);
VLK_EXPORT Ebool VlkIsTheSameDate(std::int64_t t1, std::int64_t t2);
// Packed dates are year * 10000 + month * 100 + day.
VLK_EXPORT unsigned VlkGetCurrDate();
VLK_EXPORT unsigned VlkDateToInt(const Cvlk_tmp_str& s);
VLK_EXPORT EerrNo VlkIntToDate(unsigned d, Cvlk_tmp_str& out);
VLK_EXPORT void VlkGetCurrDateStr(Cvlk_tmp_str& out);
VLK_EXPORT void VlkGetCurrDateTimeStr(Cvlk_tmp_str& out);
VLK_EXPORT void VlkGetCurrDateTime(Cvlk_tmp_str& out);
VLK_EXPORT void VlkGetDateTimeStr(std::int64_t t, Cvlk_tmp_str& out);
// 'Www Mmm dd hh:mm:ss yyyy' of the UTC time, no newline.
VLK_EXPORT void VlkGetUTCDateStr(std::int64_t t, Cvlk_tmp_str& out);
VLK_EXPORT void VlkQTimeToStr(const QDateTime& dt, Cvlk_tmp_str& out);
VLK_EXPORT unsigned short VlkGetTime(unsigned char hour, unsigned char minute);
VLK_EXPORT void VlkGetCurrTime(unsigned char& hour, unsigned char& minute, Evlk_week& week);

extern "C" {
// Never 0: ((a + 1) << 16) + b + 1 of two draws of the runtime generator.
VLK_EXPORT unsigned VlkRand();
// lo when lo >= hi, else a number from lo to hi inclusive (one 15-bit draw).
VLK_EXPORT int vlk_get_rand(int lo, int hi);
}

// ---------------------------------------------------------------------------
// Telephone number
// ---------------------------------------------------------------------------

// A fixed-size telephone number record: up to 32 characters with an explicit
// length and two attribute bytes the record carries for its users. It has no
// constructor: call Init before use. Growth past 32 is refused (ERR_INVALID_OPR)
// except by SetNbr, which cuts. The length is authoritative; Append writes no NUL.
// Thread-safety: a plain value.
class VLK_EXPORT Cphone_number {
 public:
  enum : unsigned { kCapacity = 32 };

  void Init();
  EerrNo SetNbr(const char* s);
  Ebool IsAllDigits09() const;
  /// True when the first n digits equal the first n characters of p. False when
  /// n is 0 or exceeds the length, or p is null or shorter than n (it is read no
  /// further than its end).
  Ebool HasPrefix(unsigned char n, const char* p) const;
  /// HasPrefix(n, p) with n the length of p measured up to 32; false for an empty p.
  Ebool HasPrefix(const char* p) const;
  EerrNo Append(unsigned char n, const char* p);
  EerrNo Append(char c);
  EerrNo AddPrefix(unsigned char n, const char* p);
  EerrNo AddPrefix(const char* p);
  EerrNo RemovePrefix(unsigned char n, const char* p);
  EerrNo RemovePrefix(const char* p);
  EerrNo CutSharp();
  EerrNo CutChar(char c);
  EerrNo CutTail(unsigned char n);

  unsigned char attr1;   // never interpreted by the record
  unsigned char attr2;   // never interpreted by the record
  unsigned char length;  // 0 to 32
  char digits[kCapacity + 1];
};
static_assert(std::is_trivially_copyable<Cphone_number>::value, "a plain record copied by value");

#endif  // VLK_TEXT_H
