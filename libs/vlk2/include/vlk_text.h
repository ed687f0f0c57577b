/// @file vlk_text.h
/// String classes, character-string functions, conversions, Base64,
/// CRC-32, MD5, SHA-1, HMAC-SHA1, dates and times, telephone numbers.
///
/// Text is narrow 8-bit. A null pointer and an empty string mean the same thing,
/// "no text", and most functions answer it with their neutral result. Lengths of
/// NUL-terminated arguments are measured up to a bound (1499 inside Cvlk_tmp_str,
/// 0x7fffffff elsewhere).
#ifndef VLK_TEXT_H
#define VLK_TEXT_H

#include <cstdint>
#include <type_traits>

#include <QDateTime>
#include <QString>
#include <QStringList>

#include "vlk_base.h"

/// Lets the compiler check printf-style arguments.
#define VLK_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

class Cvlk_tmp_str;

// ---------------------------------------------------------------------------
// String classes
// ---------------------------------------------------------------------------

/// A non-owning view (start pointer and length) over somebody else's text, used to
/// parse without copying. The view is not NUL-terminated at its length; searches
/// that run over the underlying NUL-terminated text only accept hits that end inside
/// the view. copyStr and appendStr write into the memory start points to.
/// Thread-safety: a plain value; the viewed text must outlive the view.
class VLK_EXPORT Cvlk_buf_str {
 public:
  Cvlk_buf_str() = default;
  /// A view of n bytes from p.
  Cvlk_buf_str(const char* p, unsigned n) : m_start(p), m_len(n) {}

  /// An empty view.
  void init() { m_start = nullptr; m_len = 0; }
  /// A view of n bytes from p.
  void init(const char* p, unsigned n) { m_start = p; m_len = n; }
  /// The start of the view (not NUL-terminated at its length).
  const char* c_str() const { return m_start; }
  /// The view's length.
  unsigned getStrLen() const { return m_len; }
  /// REQUIRES: i < getStrLen().
  char getChar(unsigned i) const { return m_start[i]; }
  /// The first character; 0 for an empty view.
  char getFirstChar() const;
  /// The last character; 0 for an empty view.
  char getLastChar() const;

  /// @{
  /// Moving the start.
  void skip(unsigned k);
  void skipBlanks();
  void skipNonBlanks();
  EerrNo skipAtChar(char c);
  /// @}
  /// @{
  /// Shortening the end.
  void cut(unsigned k);
  void cutChar(char c);
  void cutBlanks();
  void cutNonBlanks();
  EerrNo cutAtCharFromTail(char c);
  EerrNo cutAtCharFromHead(char c);
  /// @}

  /// out = the view from the first c on; ERR_OK when found.
  EerrNo findChar(char c, Cvlk_buf_str& out) const;
  /// True when the first k characters of the view equal the first k of s. False
  /// when s is null, empty or shorter than k (it is read no further than its
  /// end), k is 0 or k exceeds the view.
  Ebool beginWith(const char* s, unsigned k) const;
  /// As beginWith, for the last k characters of the view.
  Ebool endWith(const char* s, unsigned k) const;
  /// REQUIRES for the three searches: the underlying text is NUL-terminated.
  Ebool hasStr(const char* s) const;
  /// out = the view from the first s on; ERR_OK when found.
  EerrNo findStr(const char* s, Cvlk_buf_str& out) const;
  /// head = text before the first sep, tail = the rest, sep included.
  EerrNo seperate(const char* sep, Cvlk_buf_str& head, Cvlk_buf_str& tail) const;

  /// REQUIRES: the memory at start holds the k (or length + k) bytes; no NUL is written.
  EerrNo copyStr(const char* s, unsigned k);
  /// Writes k bytes of s behind the view and takes them in.
  EerrNo appendStr(const char* s, unsigned k);
  /// Copies the view into t (cut at its capacity).
  void toTmpStr(Cvlk_tmp_str& t) const;

 private:
  const char* m_start = nullptr;
  unsigned m_len = 0;
};

/// A fixed-capacity string of at most 1499 characters living inside the object: no
/// heap, built with printf-style set and append, passed and returned by value. The
/// text sits at the start of the object, so the object's address is its text.
/// init and set cut what does not fit; append refuses it (ERR_OUT_OF_MEMORY) and
/// leaves the string unchanged while old plus new length would exceed 1498.
/// Equality ignores ASCII case and an empty string equals nothing.
/// Thread-safety: a plain value owned by one thread.
class VLK_EXPORT Cvlk_tmp_str {
 public:
  enum : int { kSize = 1500, kMaxLen = kSize - 1 };

  /// An empty string.
  Cvlk_tmp_str();

  /// Empties the string.
  void init();
  /// The n bytes from p (cut to fit).
  EerrNo init(const char* p, unsigned n);
  /// A copy of p (cut to fit).
  EerrNo init(const char* p);
  /// The printf-style text (cut to fit).
  EerrNo set(const char* fmt, ...) VLK_PRINTF_FORMAT(2, 3);
  /// REQUIRES: fmt is not null.
  EerrNo append(const char* fmt, ...) VLK_PRINTF_FORMAT(2, 3);
  /// Appends the viewed bytes; ERR_OUT_OF_MEMORY, unchanged, when they do not fit.
  EerrNo append(Cvlk_buf_str v);

  /// The text, NUL-terminated.
  const char* c_str() const { return m_text; }
  /// The length.
  int getStrLen() const { return m_len; }
  /// Removes every c from the end of the text.
  void cut(char c);
  /// Whether s occurs in the text.
  bool hasString(const char* s) const;
  /// Whether the text begins with s.
  bool hasPrefix(const char* s) const;

  /// equal(other).
  bool operator==(const Cvlk_tmp_str& other) const { return equal(other.m_text); }
  /// equal(s).
  bool operator==(const char* s) const { return equal(s); }
  /// Same text ignoring ASCII case; an empty text equals nothing.
  bool equal(const char* s) const;
  /// equal(other.c_str()).
  bool equal(const Cvlk_tmp_str& other) const { return equal(other.m_text); }

 private:
  EerrNo _appendText(const char* text);

  char m_text[kSize];  ///< always NUL-terminated
  int m_len;
};
static_assert(std::is_standard_layout<Cvlk_tmp_str>::value, "the text must sit at the start of the object");
static_assert(std::is_trivially_copyable<Cvlk_tmp_str>::value, "copied as a whole buffer");

/// The Cvlk_tmp_str interface over storage the caller owns and sizes (size includes
/// the NUL). The proxy never allocates or frees; copies write into the same storage.
/// Thread-safety: a plain value owned by one thread.
class VLK_EXPORT Cvlk_tmp_str_proxy {
 public:
  /// buf stays the caller's; it is zero-filled here.
  Cvlk_tmp_str_proxy(char* buf, unsigned size);

  /// Empties the string.
  void init();
  /// A copy of s, cut to the storage.
  EerrNo set(const char* s);
  /// Formats at most 4095 characters; refuses (ERR_OUT_OF_MEMORY) what does not fit.
  EerrNo append(const char* fmt, ...) VLK_PRINTF_FORMAT(2, 3);
  /// Whether s occurs in the text.
  bool hasString(const char* s) const;

  /// The caller's storage.
  char* c_str() const { return m_buf; }
  /// The storage's size, the NUL included.
  int getSize() const { return m_size; }
  /// The length.
  int getStrLen() const { return m_len; }

 private:
  char* m_buf = nullptr;
  int m_size = 0;
  int m_len = 0;
};

/// A heap string that grows on demand to exactly the need plus 4 bytes. The length
/// is measured each time. A growth the heap refuses returns ERR_OUT_OF_MEMORY and
/// leaves the old text intact. Equality: the own text begins with the other text,
/// ignoring ASCII case.
/// Thread-safety: owned by one thread.
class VLK_EXPORT Cvlk_str {
 public:
  enum : int { kDefaultSize = 128 };

  /// An empty string with size bytes reserved.
  explicit Cvlk_str(unsigned size = kDefaultSize);
  /// A copy of other's text.
  Cvlk_str(const Cvlk_str& other);
  /// Copies other's text.
  Cvlk_str& operator=(const Cvlk_str& other);
  virtual ~Cvlk_str();

  /// Empties the string.
  void init();
  /// A copy of s, growing as needed.
  EerrNo init(const char* s);
  /// A copy of the viewed bytes, growing as needed.
  EerrNo init(Cvlk_buf_str v);
  /// Appends s, growing as needed.
  EerrNo append(const char* s);
  /// Appends other's text.
  EerrNo append(const Cvlk_str& other);
  /// Same text ignoring ASCII case; an empty text equals nothing.
  bool equal(const char* s) const;
  /// equal(other.c_str()).
  bool equal(const Cvlk_str& other) const { return equal(other.m_buf); }

  /// Null when nothing is allocated; the buffer stays the object's.
  const char* c_str() const { return m_buf; }
  /// The storage's size, the NUL included.
  int getSize() const { return m_size; }
  /// The text's length, measured now.
  int getStrLen() const;

 private:
  EerrNo _reserve(std::size_t need);

  char* m_buf = nullptr;
  int m_size = 0;
};

/// @{
/// QString conversions, through the local 8-bit encoding.
VLK_EXPORT EerrNo VlkQStringToTmpStr(const QString& s, Cvlk_tmp_str* t);
VLK_EXPORT EerrNo VlkQStringToTmpStrPxy(const QString& s, Cvlk_tmp_str_proxy* t);
VLK_EXPORT EerrNo VlkQStringToCStr(const QString& s, Cvlk_str* t);
/// @}

// ---------------------------------------------------------------------------
// Character-string functions
// ---------------------------------------------------------------------------
// Note the names: VlkStrCmp and VlkStrStr ignore ASCII case, VlkStrCaseCmp and
// VlkStrCaseStr do not. Comparisons give -1 when either text is null or empty.

/// Length of s; 0 for null.
VLK_EXPORT int VlkStrLenZero(const char* s);
/// Length of s; 0 for a null string.
VLK_EXPORT int VlkQStrLenZero(const QString& s);
/// Length of s, at most n; 0 for null.
VLK_EXPORT int VlkStrNLen(const char* s, int n);
/// Whether c is '0' to '9'.
VLK_EXPORT Ebool VlkIsDigit09(char c);

/// @{
/// 0 when a begins with b (ignoring case / exactly).
VLK_EXPORT int VlkStrCmp(const char* a, const char* b);
VLK_EXPORT int VlkStrCmp(const char* a, const char* b, int n);
VLK_EXPORT int VlkStrCaseCmp(const char* a, const char* b);
/// @}
/// True when the first n bytes are equal; n = 0 is true; a null text with n > 0 is false.
VLK_EXPORT Ebool VlkStrHasPrefix(const char* a, const char* b, unsigned n);
/// Whether a and b are the same text.
VLK_EXPORT Ebool VlkIsSameStr(const char* a, const char* b);
/// Whether a is the viewed text.
VLK_EXPORT Ebool VlkIsSameStr(const char* a, Cvlk_buf_str v);

/// @{
/// Pointer results point into the first argument.
VLK_EXPORT char* VlkStrChr(const char* s, char c);
VLK_EXPORT char* VlkStrRChr(const char* s, char c);
VLK_EXPORT char* VlkStrCaseStr(const char* a, const char* b);
VLK_EXPORT Ebool VlkHasStr(const char* a, const char* b);
VLK_EXPORT char* VlkStrStr(const char* a, const char* b);
/// @}
/// @{
/// mode 1 (first) / any mode but 0 (last): only hits outside double quotes count.
VLK_EXPORT int VlkStrFindChar(const char* s, char c, int mode);
VLK_EXPORT int VlkStrFindLastChar(const char* s, char c, int mode);
/// @}
/// Index of the first blank; -1 when none.
VLK_EXPORT int VlkStrFindSpace(const char* s);
/// Index of the first non-blank; -1 when none.
VLK_EXPORT int VlkStrFindNoSpace(const char* s);
/// Index of the first character other than c; -1 when none.
VLK_EXPORT int VlkStrFindOtherChar(const char* s, char c);

/// @{
/// Skipping returns a pointer into s; trimming writes NULs into s.
VLK_EXPORT char* VlkSkipBlanks(char* s);
VLK_EXPORT char* VlkSkipNonBlanks(char* s);
VLK_EXPORT char* VlkTrimBlanks(char* s);
VLK_EXPORT char* VlkStrip(char* s);
VLK_EXPORT int VlkStrTrim(char* s, char c);
VLK_EXPORT int VlkStrTrimSpace(char* s);
/// @}

/// @{
/// REQUIRES: dst holds n + 1 bytes.
VLK_EXPORT int VlkCopyStr(char* dst, const char* src, int n);
VLK_EXPORT void VlkCopyStr(char* dst, Cvlk_buf_str v, int n);
/// @}
/// A heap copy the caller releases with free(); null for null s.
VLK_EXPORT char* VlkStrDup(const char* s);
/// Copies s (local 8-bit) into dst as VlkCopyStr does. REQUIRES: dst holds n + 1 bytes.
VLK_EXPORT EerrNo VlkCopyQStr(char* dst, const QString& s, int n);
/// Appends s to list unless it is there already.
VLK_EXPORT void AddUniqueString(QStringList* list, const char* s);

// ---------------------------------------------------------------------------
// Conversions, encodings and digests
// ---------------------------------------------------------------------------

/// Decimal text of v into dst (size bytes, the NUL included).
VLK_EXPORT void VlkIntToStr(int v, char* dst, unsigned size);
/// Decimal text of v into t.
VLK_EXPORT void VlkIntToStr(int v, Cvlk_tmp_str& t);
/// Decimal text of v into t.
VLK_EXPORT void VlkIntToStr(int v, Cvlk_str* t);
/// Decimal text of v.
VLK_EXPORT QString VlkIntToStr(int v);
/// Eight upper-case hex digits and a NUL: REQUIRES n >= 9, a smaller buffer is refused.
VLK_EXPORT void VlkHexToStr(int v, char* dst, unsigned n);
/// The hexadecimal number s; 0 for text that does not convert.
VLK_EXPORT int VlkStrToHex(const char* s);
/// @{
/// Base 0: 0x selects hexadecimal, a leading 0 octal, anything else decimal
/// (blanks around the number and a sign are accepted, as QString::toInt does).
/// 0 for text that does not convert, a 0b prefix included: there is no binary.
VLK_EXPORT int VlkStrToInt(const char* s);
VLK_EXPORT int VlkStrToInt(const QString& s);
VLK_EXPORT unsigned VlkStrToU32(const char* s);
VLK_EXPORT unsigned VlkStrToU32(const QString& s);
/// @}

/// @{
/// Value behind key up to the first ';'. REQUIRES: out holds 128 bytes.
VLK_EXPORT EerrNo VlkGetValue(const char* text, const char* key, char* out);
VLK_EXPORT EerrNo VlkGetValue(const Cvlk_tmp_str& text, const char* key, Cvlk_tmp_str& out);
/// @}
/// Decodes %XX escapes in place; other characters stay as they are.
VLK_EXPORT EerrNo VlkUriDecode(char* s);

/// A buffer size that holds the Base64 text of n bytes and its NUL (with room to spare).
VLK_EXPORT unsigned VlkCalBase64EncLen(unsigned n);
/// Cuts at a whole group of four; returns the characters written before the NUL.
VLK_EXPORT int VlkBase64Encode(char* out, const unsigned char* in, int inLen, int outSize);
/// Stops at the NUL, at '=' or after outMax bytes; returns the bytes written.
VLK_EXPORT int VlkBase64Decode(unsigned char* out, const char* in, int outMax);

/// The CRC-32 of len bytes of data.
VLK_EXPORT unsigned VlkCRC32Calc(const unsigned char* data, unsigned len);
/// The MD5 of text as 32 lower-case hex digits.
VLK_EXPORT void VlkGetMD5Hash(char (&out)[36], const char* text);
/// The SHA-1 of len bytes of data.
VLK_EXPORT void VlkSHA1(const char* data, unsigned len, unsigned char (&digest)[20]);
/// HMAC-SHA1 of the data with the key; macLen receives 20.
VLK_EXPORT void VlkHMAC(const char* key, unsigned keyLen, const unsigned char* data, unsigned dataLen,
                        unsigned char (&mac)[20], unsigned& macLen);

// ---------------------------------------------------------------------------
// Date and time
// ---------------------------------------------------------------------------
// A timestamp is signed 64-bit seconds since 1970-01-01 00:00:00 UTC. A timestamp
// the platform cannot break down gives an empty text and is no one's same date.

/// Day of the week as the local broken-down time numbers it.
enum Evlk_week : std::int32_t {
  VLK_SUNDAY = 0,
  VLK_MONDAY = 1,
  VLK_TUESDAY = 2,
  VLK_WEDNESDAY = 3,
  VLK_THURSDAY = 4,
  VLK_FRIDAY = 5,
  VLK_SATURDAY = 6,
};

/// Seconds since 1970-01-01 00:00 UTC, now.
VLK_EXPORT std::int64_t VlkGetCurrTimestamp();
/// end - start as an unsigned 32-bit count widened without sign.
VLK_EXPORT std::int64_t VlkDuration(std::int64_t end, std::int64_t start);
/// a + b in 32 bits.
VLK_EXPORT unsigned VlkAddDuration(unsigned a, unsigned b);
/// Whether both timestamps fall on the same local date.
VLK_EXPORT Ebool VlkIsTheSameDate(std::int64_t t1, std::int64_t t2);
/// @{
/// Packed dates are year * 10000 + month * 100 + day.
VLK_EXPORT unsigned VlkGetCurrDate();
VLK_EXPORT unsigned VlkDateToInt(const Cvlk_tmp_str& s);
VLK_EXPORT EerrNo VlkIntToDate(unsigned d, Cvlk_tmp_str& out);
/// @}
/// Today's local date as "yyyymmdd".
VLK_EXPORT void VlkGetCurrDateStr(Cvlk_tmp_str& out);
/// The local date and time now as "yyyymmdd-hhmmss".
VLK_EXPORT void VlkGetCurrDateTimeStr(Cvlk_tmp_str& out);
/// The local date and time now as "yyyy-mm-dd hh:mm:ss".
VLK_EXPORT void VlkGetCurrDateTime(Cvlk_tmp_str& out);
/// The local date and time of t as "yyyy-mm-dd hh:mm:ss".
VLK_EXPORT void VlkGetDateTimeStr(std::int64_t t, Cvlk_tmp_str& out);
/// 'Www Mmm dd hh:mm:ss yyyy' of the UTC time, no newline.
VLK_EXPORT void VlkGetUTCDateStr(std::int64_t t, Cvlk_tmp_str& out);
/// dt as text.
VLK_EXPORT void VlkQTimeToStr(const QDateTime& dt, Cvlk_tmp_str& out);
/// hour * 256 + minute.
VLK_EXPORT unsigned short VlkGetTime(unsigned char hour, unsigned char minute);
/// The local hour, minute and weekday now.
VLK_EXPORT void VlkGetCurrTime(unsigned char& hour, unsigned char& minute, Evlk_week& week);

extern "C" {
/// Never 0: ((a + 1) << 16) + b + 1 of two draws of the runtime generator.
VLK_EXPORT unsigned VlkRand();
/// lo when lo >= hi, else a number from lo to hi inclusive (one 15-bit draw).
VLK_EXPORT int vlk_get_rand(int lo, int hi);
}

// ---------------------------------------------------------------------------
// Telephone number
// ---------------------------------------------------------------------------

/// A fixed-size telephone number record: up to 32 characters with an explicit
/// length and two attribute bytes the record carries for its users. It has no
/// constructor: call Init before use. Growth past 32 is refused (ERR_INVALID_OPR)
/// except by SetNbr, which cuts. The length is authoritative; Append writes no NUL.
/// Thread-safety: a plain value.
class VLK_EXPORT Cphone_number {
 public:
  enum : unsigned { kCapacity = 32 };

  /// Empty number, attributes 0. Call before use.
  void Init();
  /// The number s, cut at 32 characters.
  EerrNo SetNbr(const char* s);
  /// Whether the number is all '0' to '9' (and not empty).
  Ebool IsAllDigits09() const;
  /// True when the first n digits equal the first n characters of p. False when
  /// n is 0 or exceeds the length, or p is null or shorter than n (it is read no
  /// further than its end).
  Ebool HasPrefix(unsigned char n, const char* p) const;
  /// HasPrefix(n, p) with n the length of p measured up to 32; false for an empty p.
  Ebool HasPrefix(const char* p) const;
  /// Appends n characters of p.
  EerrNo Append(unsigned char n, const char* p);
  /// Appends c.
  EerrNo Append(char c);
  /// Puts n characters of p in front.
  EerrNo AddPrefix(unsigned char n, const char* p);
  /// Puts p in front.
  EerrNo AddPrefix(const char* p);
  /// Removes the n characters of p from the front; ERR_INVALID_OPR when the number does not begin with them.
  EerrNo RemovePrefix(unsigned char n, const char* p);
  /// Removes p from the front when the number begins with it.
  EerrNo RemovePrefix(const char* p);
  /// Removes every '#' from the end.
  EerrNo CutSharp();
  /// Removes one c from the end, if the number ends with it.
  EerrNo CutChar(char c);
  /// Removes the last n characters (all of them, and the attributes, when n is not less than the length).
  EerrNo CutTail(unsigned char n);

  unsigned char attr1;   ///< never interpreted by the record
  unsigned char attr2;   ///< never interpreted by the record
  unsigned char length;  ///< 0 to 32
  char digits[kCapacity + 1];  ///< the characters; length of them count
};
static_assert(std::is_trivially_copyable<Cphone_number>::value, "a plain record copied by value");

#endif  // VLK_TEXT_H
