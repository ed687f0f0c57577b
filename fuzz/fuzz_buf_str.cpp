// The string classes driven by an operation stream: the input is a text (the
// arena a Cvlk_buf_str views) followed by operations and their arguments. Every
// result is checked against a plain model of the same rules, and after every
// operation the view must still lie inside the arena, whose NUL terminator is
// never written; Cvlk_tmp_str, Cvlk_tmp_str_proxy and Cvlk_str must keep their
// text NUL-terminated within their capacity. The telephone-number record and the
// character-string functions (searches, comparisons, trimming) take part in the
// same stream, each against its own model.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "vlk_text.h"

namespace {

constexpr unsigned kArena = 2048;  // arena bytes; the last one stays NUL

// A view as offsets into the arena.
struct Model {
  unsigned off = 0;
  unsigned len = 0;
};

struct State {
  std::vector<char> arena = std::vector<char>(kArena, '\0');
  Cvlk_buf_str view[2];
  Model model[2];
  Cvlk_tmp_str tmp;
  std::string tmpModel;
  char pxyBuf[65];
  Cvlk_tmp_str_proxy pxy{pxyBuf, 1};
  unsigned pxySize = 1;
  std::string pxyModel;
  Cvlk_str str{16};
  std::string strModel;
  Cphone_number phone;
  std::string phoneModel;
  unsigned char phoneAttr[2] = {0, 0};

  const char* at(unsigned i) const { return arena.data() + model[i].off; }

  void checkView(unsigned i) const {
    FUZZ_CHECK(model[i].off + model[i].len <= kArena - 1);
    FUZZ_CHECK(view[i].c_str() == at(i));
    FUZZ_CHECK(view[i].getStrLen() == model[i].len);
    FUZZ_CHECK(arena[kArena - 1] == '\0');
  }
  void checkStrings() const {
    FUZZ_CHECK(tmp.getStrLen() >= 0 && tmp.getStrLen() <= Cvlk_tmp_str::kMaxLen);
    FUZZ_CHECK(tmp.c_str()[tmp.getStrLen()] == '\0');
    FUZZ_CHECK(std::string(tmp.c_str(), tmp.getStrLen()) == tmpModel);
    FUZZ_CHECK(pxy.getStrLen() >= 0 && static_cast<unsigned>(pxy.getStrLen()) < pxySize);
    FUZZ_CHECK(pxy.c_str()[pxy.getStrLen()] == '\0');
    FUZZ_CHECK(std::string(pxy.c_str(), pxy.getStrLen()) == pxyModel);
    FUZZ_CHECK(str.c_str() != nullptr && str.getSize() > 0);
    FUZZ_CHECK(strnlen(str.c_str(), str.getSize()) < static_cast<std::size_t>(str.getSize()));
    FUZZ_CHECK(str.getStrLen() == static_cast<int>(strModel.size()));
    FUZZ_CHECK(std::strcmp(str.c_str(), strModel.c_str()) == 0);
    FUZZ_CHECK(phone.length <= Cphone_number::kCapacity && phone.length == phoneModel.size());
    FUZZ_CHECK(std::memcmp(phone.digits, phoneModel.data(), phone.length) == 0);
    FUZZ_CHECK(phone.attr1 == phoneAttr[0] && phone.attr2 == phoneAttr[1]);
  }
};

// Cphone_number against a string model: capacity 32, growth refused, prefixes.
void PhoneOp(FuzzedDataProvider& in, int op, Cphone_number& ph, std::string& m, unsigned char (&attr)[2]) {
  constexpr std::size_t kCap = Cphone_number::kCapacity;
  const std::string p = in.ConsumeRandomLengthString(40);
  const unsigned char n = in.ConsumeIntegralInRange<unsigned char>(0, static_cast<unsigned char>(p.size()));
  const std::size_t pn = strnlen(p.c_str(), kCap);  // p measured as a text
  // A p whose text is shorter than k never matches (it is not read past its end).
  auto hasPrefix = [&](std::size_t k) {
    return k > 0 && k <= m.size() && strnlen(p.c_str(), k) >= k && std::memcmp(m.data(), p.data(), k) == 0;
  };
  switch (op) {
    case 29:
      if (in.ConsumeBool()) {
        FUZZ_CHECK(ph.SetNbr(p.c_str()) == ERR_OK);
        m = std::string(p.c_str()).substr(0, kCap);
        attr[0] = attr[1] = 0;
      } else {
        ph.attr1 = attr[0] = static_cast<unsigned char>(n * 3);
        ph.attr2 = attr[1] = static_cast<unsigned char>(n * 5);
      }
      break;
    case 30: {
      const bool digits = !m.empty() && m.find_first_not_of("0123456789") == std::string::npos;
      FUZZ_CHECK(ph.IsAllDigits09() == (digits ? VLK_TRUE : VLK_FALSE));
      FUZZ_CHECK(ph.HasPrefix(n, p.data()) == (hasPrefix(n) ? VLK_TRUE : VLK_FALSE));
      FUZZ_CHECK(ph.HasPrefix(p.c_str()) == (hasPrefix(pn) ? VLK_TRUE : VLK_FALSE));
      break;
    }
    case 31: {
      const int how = in.ConsumeIntegralInRange(0, 2);
      const std::size_t k = how == 1 ? pn : how == 2 ? 1 : n;
      const EerrNo r = how == 0 ? ph.Append(n, p.data()) : how == 1 ? ph.AddPrefix(p.c_str()) : ph.Append(p.empty() ? 'x' : p[0]);
      const std::string add = how == 2 ? std::string(1, p.empty() ? 'x' : p[0]) : p.substr(0, k);
      if (m.size() + k > kCap) {
        FUZZ_CHECK(r == ERR_INVALID_OPR);
      } else {
        FUZZ_CHECK(r == ERR_OK);
        if (how == 1 && k > 0) m = add + m, attr[0] = attr[1] = 0;
        if (how != 1) m += add;
      }
      break;
    }
    case 32: {
      const bool byText = in.ConsumeBool();
      const std::size_t k = byText ? pn : n;
      const EerrNo r = byText ? ph.RemovePrefix(p.c_str()) : ph.RemovePrefix(n, p.data());
      EerrNo want = hasPrefix(k) ? ERR_OK : ERR_INVALID_OPR;
      if (byText && m.size() < k) want = ERR_INVALID_OBJ;
      FUZZ_CHECK(r == want);
      if (r == ERR_OK) m.erase(0, k);
      break;
    }
    case 33: {
      const int how = in.ConsumeIntegralInRange(0, 2);
      if (how == 0) {
        FUZZ_CHECK(ph.CutSharp() == ERR_OK);
        while (!m.empty() && m.back() == '#') m.pop_back();
      } else if (how == 1) {
        const char c = p.empty() ? '#' : p[0];
        FUZZ_CHECK(ph.CutChar(c) == ERR_OK);
        if (!m.empty() && m.back() == c) m.pop_back();
      } else {
        FUZZ_CHECK(ph.CutTail(n) == ERR_OK);
        if (m.size() > n) {
          m.resize(m.size() - n);
        } else {
          m.clear();
          attr[0] = attr[1] = 0;
        }
      }
      break;
    }
  }
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool Begins(const std::string& a, const std::string& b) { return a.compare(0, b.size(), b) == 0; }

// The comparisons and substring searches of the character-string functions.
void TextSearches(const std::string& a, const std::string& b) {
  const bool none = a.empty() || b.empty();
  const char* hit = VlkStrCaseStr(a.c_str(), b.c_str());
  const std::size_t at = (none || b.size() > a.size()) ? std::string::npos : a.find(b);
  FUZZ_CHECK(hit == (at == std::string::npos ? nullptr : a.c_str() + at));
  FUZZ_CHECK(VlkHasStr(a.c_str(), b.c_str()) == (at != std::string::npos ? VLK_TRUE : VLK_FALSE));
  // Case-insensitive: both texts as far as a Cvlk_tmp_str copy holds them.
  const std::size_t at2 = none ? std::string::npos : Upper(a.substr(0, 1498)).find(Upper(b.substr(0, 1498)));
  FUZZ_CHECK(VlkStrStr(a.c_str(), b.c_str()) == (at2 == std::string::npos ? nullptr : a.c_str() + at2));
  const int cmp = VlkStrCmp(a.c_str(), b.c_str());
  const int caseCmp = VlkStrCaseCmp(a.c_str(), b.c_str());
  if (none) {
    FUZZ_CHECK(cmp == -1 && caseCmp == -1);
  } else {
    FUZZ_CHECK((cmp == 0) == Begins(Upper(a), Upper(b)));
    FUZZ_CHECK((caseCmp == 0) == Begins(a, b));
  }
  FUZZ_CHECK(VlkIsSameStr(a.c_str(), b.c_str()) == (!none && a == b ? VLK_TRUE : VLK_FALSE));
}

// Trimming and the blank searches, each on its own heap copy of exactly the text.
void TextTrims(const std::string& t, char c) {
  auto copy = [&t]() {
    std::unique_ptr<char[]> p(new char[t.size() + 1]);
    std::memcpy(p.get(), t.c_str(), t.size() + 1);
    return p;
  };
  auto trimmed = [&t](auto drop) {
    std::string r = t;
    while (!r.empty() && drop(r.back())) r.pop_back();
    return r;
  };
  const auto low = [](char ch) { return static_cast<signed char>(ch) < 33; };
  std::unique_ptr<char[]> p = copy();
  FUZZ_CHECK(VlkTrimBlanks(p.get()) == p.get() && trimmed(low) == p.get());
  p = copy();
  const std::size_t lead = std::min(t.find_first_not_of(' '), t.size());
  char* kept = VlkStrip(p.get());
  FUZZ_CHECK(kept == p.get() + lead && trimmed(low).substr(std::min(lead, trimmed(low).size())) == kept);
  p = copy();
  const std::string wantC = trimmed([c](char ch) { return ch == c; });
  FUZZ_CHECK(VlkStrTrim(p.get(), c) == static_cast<int>(t.empty() ? 0 : wantC.size()));
  if (!t.empty() && c != '\0') FUZZ_CHECK(wantC == p.get());
  p = copy();
  const std::string wantS = trimmed([](char ch) { return ch == ' ' || ch == '\t'; });
  FUZZ_CHECK(VlkStrTrimSpace(p.get()) == static_cast<int>(wantS.size()) && wantS == p.get());
  const std::size_t space = t.find_first_of(" \t");
  FUZZ_CHECK(VlkStrFindSpace(t.c_str()) == (space == std::string::npos ? -1 : static_cast<int>(space)));
  const std::size_t word = t.find_first_not_of(" \t");
  FUZZ_CHECK(VlkStrFindNoSpace(t.c_str()) == (word == std::string::npos ? 0 : static_cast<int>(word)));
  const std::size_t other = t.find_first_not_of(c);
  FUZZ_CHECK(VlkStrFindOtherChar(t.c_str(), c) == (other == std::string::npos ? -1 : static_cast<int>(other)));
}

// First occurrence of s (n bytes) in the view's text up to its first NUL, or -1.
long ModelFind(const char* start, unsigned len, const char* s, std::size_t n) {
  const std::size_t text = strnlen(start, len);
  if (n == 0 || n > text) return -1;
  for (std::size_t i = 0; i + n <= text; ++i)
    if (std::memcmp(start + i, s, n) == 0) return static_cast<long>(i);
  return -1;
}

// Bounded C text of the input: no NUL inside, at most max characters.
std::string Text(FuzzedDataProvider& in, std::size_t max) {
  std::string s = in.ConsumeRandomLengthString(max);
  return s.substr(0, std::strlen(s.c_str()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  State st;
  const std::string text = in.ConsumeRandomLengthString(kArena / 2);
  std::memcpy(st.arena.data(), text.data(), text.size());  // may hold NULs of its own
  for (unsigned i = 0; i < 2; ++i) {
    st.view[i].init(st.arena.data(), static_cast<unsigned>(text.size()));
    st.model[i] = {0, static_cast<unsigned>(text.size())};
  }
  st.pxySize = in.ConsumeIntegralInRange<unsigned>(1, sizeof st.pxyBuf);
  st.pxy = Cvlk_tmp_str_proxy(st.pxyBuf, st.pxySize);
  st.phone.Init();

  for (int ops = 0; ops < 256 && in.remaining_bytes() > 0; ++ops) {
    const unsigned i = in.ConsumeBool() ? 1 : 0;
    Cvlk_buf_str& v = st.view[i];
    Model& m = st.model[i];
    const char* p = st.at(i);
    const int op = in.ConsumeIntegralInRange(0, 36);
    switch (op) {
      case 0: {
        const unsigned k = in.ConsumeIntegralInRange<unsigned>(0, kArena);
        v.skip(k);
        if (k < m.len) m.off += k, m.len -= k; else m.len = 0;
        break;
      }
      case 1:
        v.skipBlanks();
        while (m.len > 0 && st.arena[m.off] == ' ') ++m.off, --m.len;
        break;
      case 2:
        v.skipNonBlanks();
        while (m.len > 0 && st.arena[m.off] != ' ') ++m.off, --m.len;
        break;
      case 3: {
        const char c = in.ConsumeIntegral<char>();
        const void* hit = m.len ? std::memchr(p, c, m.len) : nullptr;
        FUZZ_CHECK(v.skipAtChar(c) == (hit ? ERR_OK : ERR_OBJ_NOT_FOUND));
        if (hit) {
          const unsigned k = static_cast<unsigned>(static_cast<const char*>(hit) - p) + 1;
          m.off += k, m.len -= k;
        }
        break;
      }
      case 4: {
        const unsigned k = in.ConsumeIntegralInRange<unsigned>(0, kArena);
        v.cut(k);
        m.len = k < m.len ? m.len - k : 0;
        break;
      }
      case 5: {
        const char c = in.ConsumeIntegral<char>();
        v.cutChar(c);
        while (m.len > 0 && p[m.len - 1] == c) --m.len;
        break;
      }
      case 6:
        v.cutBlanks();
        while (m.len > 0 && p[m.len - 1] == ' ') --m.len;
        break;
      case 7:
        v.cutNonBlanks();
        while (m.len > 0 && p[m.len - 1] != ' ') --m.len;
        break;
      case 8: {
        const char c = in.ConsumeIntegral<char>();
        const EerrNo r = v.cutAtCharFromTail(c);
        if (m.len == 0) {
          FUZZ_CHECK(r == ERR_INVALID_OBJ);
          break;
        }
        unsigned k = m.len;
        while (k > 0 && p[k - 1] != c) --k;
        FUZZ_CHECK(r == (k > 0 ? ERR_OK : ERR_OBJ_NOT_FOUND));
        if (k > 0) m.len = k - 1;
        break;
      }
      case 9: {
        const char c = in.ConsumeIntegral<char>();
        const EerrNo r = v.cutAtCharFromHead(c);
        if (m.len == 0) {
          FUZZ_CHECK(r == ERR_INVALID_OBJ);
          break;
        }
        const void* hit = std::memchr(p, c, m.len);
        FUZZ_CHECK(r == (hit ? ERR_OK : ERR_OBJ_NOT_FOUND));
        if (hit) m.len = static_cast<unsigned>(static_cast<const char*>(hit) - p);
        break;
      }
      case 10: {
        const char c = in.ConsumeIntegral<char>();
        Cvlk_buf_str out(nullptr, 7);
        const void* hit = m.len ? std::memchr(p, c, m.len) : nullptr;
        FUZZ_CHECK(v.findChar(c, out) == (hit ? ERR_OK : ERR_OBJ_NOT_FOUND));
        if (hit) {
          FUZZ_CHECK(out.c_str() == hit);
          FUZZ_CHECK(out.c_str() + out.getStrLen() == p + m.len);
        } else {
          FUZZ_CHECK(out.c_str() == nullptr && out.getStrLen() == 7);
        }
        break;
      }
      case 11:
      case 12: {
        const std::string s = in.ConsumeRandomLengthString(16);
        const unsigned k = in.ConsumeIntegralInRange<unsigned>(0, static_cast<unsigned>(s.size()));
        const bool begin = op == 11;
        const Ebool r = begin ? v.beginWith(s.c_str(), k) : v.endWith(s.c_str(), k);
        // An argument whose text is shorter than k never matches (it is not read past its end).
        bool want = !s.empty() && s[0] != '\0' && k > 0 && k <= m.len && std::memchr(s.data(), '\0', k) == nullptr &&
                    std::memcmp(begin ? p : p + (m.len - k), s.data(), k) == 0;
        FUZZ_CHECK(r == (want ? VLK_TRUE : VLK_FALSE));
        break;
      }
      case 13:
      case 14:
      case 15: {
        const std::string s = Text(in, 16);
        const std::size_t n = s.size();
        const long hit = (m.len > 0 && n > 0 && n <= m.len) ? ModelFind(p, m.len, s.c_str(), n) : -1;
        const bool badArgs = m.len == 0 || n == 0 || n > m.len;
        if (op == 13) {
          FUZZ_CHECK(v.hasStr(s.c_str()) == (hit >= 0 ? VLK_TRUE : VLK_FALSE));
        } else if (op == 14) {
          Cvlk_buf_str out;
          const EerrNo r = v.findStr(s.c_str(), out);
          FUZZ_CHECK(r == (badArgs ? ERR_INVALID_OBJ : hit >= 0 ? ERR_OK : ERR_OBJ_NOT_FOUND));
          if (r == ERR_OK) FUZZ_CHECK(out.c_str() == p + hit && out.getStrLen() == m.len - hit);
        } else {
          // The view itself may receive head or tail.
          Cvlk_buf_str other;
          const bool intoSelf = in.ConsumeBool();
          Cvlk_buf_str& head = intoSelf ? v : other;
          Cvlk_buf_str tail;
          const EerrNo r = v.seperate(s.c_str(), head, tail);
          FUZZ_CHECK(r == (badArgs ? ERR_INVALID_OBJ : hit >= 0 ? ERR_OK : ERR_OBJ_NOT_FOUND));
          if (r == ERR_OK) {
            FUZZ_CHECK(head.c_str() == p && head.getStrLen() == static_cast<unsigned>(hit));
            FUZZ_CHECK(tail.c_str() == p + hit && tail.getStrLen() == m.len - hit);
            if (intoSelf) m.len = static_cast<unsigned>(hit);
          }
        }
        break;
      }
      case 16:
      case 17: {
        // Writes stay inside the arena and never over its final NUL.
        const std::string s = in.ConsumeRandomLengthString(64);
        const unsigned k = in.ConsumeIntegralInRange<unsigned>(0, static_cast<unsigned>(s.size()));
        const bool append = op == 17;
        const unsigned end = m.off + (append ? m.len : 0) + k;
        if (end > kArena - 1) break;
        const EerrNo r = append ? v.appendStr(s.c_str(), k) : v.copyStr(s.c_str(), k);
        const bool bad = s.empty() || s[0] == '\0' || k == 0;
        FUZZ_CHECK(r == (bad ? ERR_INVALID_PARAM : ERR_OK));
        if (!bad) {
          FUZZ_CHECK(std::memcmp(st.arena.data() + end - k, s.data(), k) == 0);
          m.len = append ? m.len + k : k;
        }
        break;
      }
      case 18: {
        FUZZ_CHECK(v.getFirstChar() == (m.len ? p[0] : '\0'));
        FUZZ_CHECK(v.getLastChar() == (m.len ? p[m.len - 1] : '\0'));
        break;
      }
      case 19: {
        v.toTmpStr(st.tmp);
        st.tmpModel = (m.len == 0 || m.len > Cvlk_tmp_str::kMaxLen || p[0] == '\0') ? "" : std::string(p, m.len);
        break;
      }
      case 20: {
        // append(view): the view's bytes through "%s", so up to its first NUL.
        const EerrNo r = st.tmp.append(v);
        std::string add = (m.len == 0 || m.len > Cvlk_tmp_str::kMaxLen || p[0] == '\0') ? "" : std::string(p, m.len);
        add = add.substr(0, std::strlen(add.c_str()));
        const bool fits = add.size() < Cvlk_tmp_str::kMaxLen - st.tmpModel.size();
        FUZZ_CHECK(r == (fits ? ERR_OK : ERR_OUT_OF_MEMORY));
        if (fits) st.tmpModel += add;
        break;
      }
      case 21: {
        const std::string s = Text(in, 1600);
        if (in.ConsumeBool()) {
          FUZZ_CHECK(st.tmp.set("%s", s.c_str()) == ERR_OK);
          st.tmpModel = s.substr(0, Cvlk_tmp_str::kMaxLen);
        } else {
          const EerrNo r = st.tmp.append("%s", s.c_str());
          const std::size_t n = std::min<std::size_t>(s.size(), Cvlk_tmp_str::kMaxLen);
          const bool fits = n < Cvlk_tmp_str::kMaxLen - st.tmpModel.size();
          FUZZ_CHECK(r == (fits ? ERR_OK : ERR_OUT_OF_MEMORY));
          if (fits) st.tmpModel += s;
        }
        break;
      }
      case 22: {
        const char c = in.ConsumeIntegral<char>();
        st.tmp.cut(c);
        while (!st.tmpModel.empty() && st.tmpModel.back() == c) st.tmpModel.pop_back();
        break;
      }
      case 23: {
        const std::string s = Text(in, 32);
        const std::string& t = st.tmpModel;
        const std::string tz = t.substr(0, std::strlen(t.c_str()));  // searches stop at a NUL
        FUZZ_CHECK(st.tmp.hasString(s.c_str()) ==
                   (!s.empty() && !t.empty() && s.size() <= t.size() && tz.find(s) != std::string::npos));
        FUZZ_CHECK(st.tmp.hasPrefix(s.c_str()) == (!t.empty() && t.size() >= s.size() && t.compare(0, s.size(), s) == 0));
        bool eq = !s.empty() && s.size() == t.size();
        for (std::size_t k = 0; eq && k < s.size(); ++k)
          eq = std::toupper(static_cast<unsigned char>(s[k])) == std::toupper(static_cast<unsigned char>(t[k]));
        FUZZ_CHECK(st.tmp.equal(s.c_str()) == eq);
        break;
      }
      case 24: {
        const std::string s = Text(in, 80);
        if (in.ConsumeBool()) {
          const EerrNo r = st.pxy.set(s.c_str());
          FUZZ_CHECK(r == (s.empty() ? ERR_INVALID_PARAM : ERR_OK));
          if (!s.empty()) st.pxyModel = s.substr(0, st.pxySize - 1);
        } else {
          const EerrNo r = st.pxy.append("%s", s.c_str());
          const bool fits = s.size() + st.pxyModel.size() < st.pxySize;
          FUZZ_CHECK(r == (fits ? ERR_OK : ERR_OUT_OF_MEMORY));
          if (fits) st.pxyModel += s;
        }
        FUZZ_CHECK(st.pxy.hasString(s.c_str()) ==
                   (!s.empty() && !st.pxyModel.empty() && st.pxyModel.find(s) != std::string::npos));
        break;
      }
      case 25: {
        const std::string s = Text(in, 300);
        if (in.ConsumeBool()) {
          FUZZ_CHECK(st.str.append(s.c_str()) == ERR_OK);
          st.strModel += s;
        } else {
          FUZZ_CHECK(st.str.init(s.c_str()) == (s.empty() ? ERR_INVALID_PARAM : ERR_OK));
          if (!s.empty()) st.strModel = s;
        }
        break;
      }
      case 26: {
        const EerrNo r = st.str.init(v);
        FUZZ_CHECK(r == (m.len == 0 ? ERR_INVALID_PARAM : ERR_OK));
        if (m.len > 0) {
          st.strModel = std::string(p, m.len);
          st.strModel = st.strModel.substr(0, std::strlen(st.strModel.c_str()));
          FUZZ_CHECK(std::memcmp(st.str.c_str(), p, m.len) == 0 && st.str.c_str()[m.len] == '\0');
        }
        break;
      }
      case 27: {
        char dst[40];
        std::memset(dst, 'x', sizeof dst);
        const int n = in.ConsumeIntegralInRange(0, 38);
        VlkCopyStr(dst, v, n);
        if (m.len > 0 && m.len <= static_cast<unsigned>(n)) {
          FUZZ_CHECK(std::memcmp(dst, p, m.len) == 0 && dst[m.len] == '\0');
        } else {
          FUZZ_CHECK(dst[0] == 'x');
        }
        FUZZ_CHECK(dst[39] == 'x');
        break;
      }
      case 28: {
        const std::string s = Text(in, 32);
        const bool same = !s.empty() && s.size() == m.len && std::memcmp(s.data(), p, m.len) == 0;
        FUZZ_CHECK(VlkIsSameStr(s.c_str(), v) == (same ? VLK_TRUE : VLK_FALSE));
        // The other view follows this one now and then.
        st.view[1 - i] = v;
        st.model[1 - i] = m;
        break;
      }
      case 29:
      case 30:
      case 31:
      case 32:
      case 33:
        PhoneOp(in, op, st.phone, st.phoneModel, st.phoneAttr);
        break;
      case 34: {
        // The quote-aware searches of the character-string functions.
        const std::string t = Text(in, 64);
        const char c = in.ConsumeIntegral<char>();
        const int mode = in.ConsumeIntegralInRange(0, 2);
        int first = -1, last = -1;
        bool outside = true;
        for (std::size_t k = 0; k < t.size(); ++k) {
          if (t[k] == c && (mode != 1 || outside) && first < 0) first = static_cast<int>(k);
          if (t[k] == c && (mode == 0 || outside)) last = static_cast<int>(k);
          if (t[k] == '"') outside = !outside;
        }
        FUZZ_CHECK(VlkStrFindChar(t.c_str(), c, mode) == first);
        FUZZ_CHECK(VlkStrFindLastChar(t.c_str(), c, mode) == last);
        break;
      }
      case 35:
        TextSearches(Text(in, 1600), Text(in, 40));
        break;
      case 36:
        TextTrims(Text(in, 64), in.ConsumeIntegral<char>());
        break;
    }
    st.checkView(0);
    st.checkView(1);
    st.checkStrings();
  }
  return 0;
}
