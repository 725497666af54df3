#include "engine/encoding/encoding.hpp"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/scan/text.hpp"

namespace gleave {

namespace {

constexpr std::size_t kSampleBytes = 64 * 1024;
constexpr char kReplacement[] = "\xEF\xBF\xBD";

// UTF-8 form of each byte under a single-byte code page.
struct ByteTable {
  unsigned char len[256];
  char bytes[256][3];

  void set(unsigned b, char32_t c) noexcept {
    if (c < 0x80) {
      len[b] = 1;
      bytes[b][0] = static_cast<char>(c);
    } else if (c < 0x800) {
      len[b] = 2;
      bytes[b][0] = static_cast<char>(0xC0 | (c >> 6));
      bytes[b][1] = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      len[b] = 3;
      bytes[b][0] = static_cast<char>(0xE0 | (c >> 12));
      bytes[b][1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes[b][2] = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
};

ByteTable make_latin1() noexcept {
  ByteTable t{};
  for (unsigned b = 0; b < 256; ++b) t.set(b, b);
  return t;
}

// cp1252 leaves 81, 8D, 8F, 90 and 9D unassigned; they keep the code point
// of their own value (C1 controls), as latin-1 would read them, so that a
// file read this way can be written back byte for byte.
ByteTable make_cp1252() noexcept {
  static constexpr char32_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  ByteTable t = make_latin1();
  for (unsigned b = 0x80; b < 0xA0; ++b) t.set(b, kHigh[b - 0x80]);
  return t;
}

const ByteTable kLatin1 = make_latin1();
const ByteTable kCp1252 = make_cp1252();

// Bytes in [lo, lo + span], counted in 32 byte-wide lanes that are added up
// before any can overflow: the loop compiles to byte compares and adds, 16
// to 64 bytes an instruction, where a count widened to 64 bits per byte
// would take one.
std::uint64_t count_bytes_in(const unsigned char* p, std::size_t n, unsigned char lo,
                             unsigned char span) noexcept {
  constexpr std::size_t kLanes = 32;
  constexpr std::size_t kRounds = 255;  // a lane holds 255 before it wraps
  std::uint64_t total = 0;
  while (n >= kLanes) {
    const std::size_t rounds = std::min(n / kLanes, kRounds);
    unsigned char lanes[kLanes] = {};
    for (std::size_t r = 0; r < rounds; ++r, p += kLanes) {
      for (std::size_t j = 0; j < kLanes; ++j) {
        lanes[j] =
            static_cast<unsigned char>(lanes[j] + (static_cast<unsigned char>(p[j] - lo) <= span));
      }
    }
    for (const unsigned char l : lanes) total += l;
    n -= rounds * kLanes;
  }
  for (std::size_t k = 0; k < n; ++k) total += static_cast<unsigned char>(p[k] - lo) <= span;
  return total;
}

// The lead bytes of well-formed sequences, C2..F4.
std::uint64_t count_lead_bytes(const unsigned char* p, std::size_t n) noexcept {
  return count_bytes_in(p, n, 0xC2, 0x32);
}

// One pass to size the output, one to fill it; ASCII runs are copied eight
// bytes at a time. Appends to `out`, so that a piece decoder writes
// into the string it hands on without a temporary.
void decode_single_byte(std::string_view in, const ByteTable& t, std::string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const std::size_t n = in.size();
  // Room for the most a byte above 0x7F can take (three bytes), counted in
  // byte lanes; what is not used is given back at the end.
  const std::size_t high = static_cast<std::size_t>(count_bytes_in(p, n, 0x80, 0x7F));
  const std::size_t had = out.size();
  out.resize(had + n + 2 * high);
  char* o = out.data() + had;
  std::size_t i = 0;
  while (i < n) {
    std::size_t run = i;
    while (run + 8 <= n && is_ascii(in.data() + run, 8)) run += 8;
    while (run < n && p[run] < 0x80) ++run;
    std::memcpy(o, in.data() + i, run - i);
    o += run - i;
    i = run;
    if (i < n) {
      const unsigned char b = p[i++];
      std::memcpy(o, t.bytes[b], t.len[b]);
      o += t.len[b];
    }
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
}

std::string decode_single_byte(std::string_view in, const ByteTable& t) {
  std::string out;
  decode_single_byte(in, t, out);
  return out;
}

// Length of a well-formed UTF-8 sequence at p[i], or the negated length of
// its maximal ill-formed subpart; 0 when the input ends inside a sequence
// that could still be well formed.
long utf8_sequence(const unsigned char* p, std::size_t n, std::size_t i) noexcept {
  const unsigned char b = p[i];
  int more = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    more = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    more = 2;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    more = 3;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return -1;
  }
  std::size_t j = i + 1;
  for (int k = 0; k < more; ++k, ++j) {
    if (j >= n) return 0;
    if (p[j] < (k == 0 ? lo : 0x80) || p[j] > (k == 0 ? hi : 0xBF)) {
      return -static_cast<long>(j - i);
    }
  }
  return static_cast<long>(j - i);
}

struct Utf8Census {
  std::uint64_t multibyte = 0;  // well-formed sequences of two bytes or more
  std::uint64_t ill = 0;        // maximal ill-formed subparts
};

Utf8Census utf8_census(std::string_view in, bool complete) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const std::size_t n = in.size();
  Utf8Census c;
  std::uint64_t stray_leads = 0;  // lead bytes that start no well-formed sequence
  std::size_t i = 0;
  while (i < n) {
    i += valid_utf8_prefix(in.data() + i, n - i);
    if (i >= n) break;
    stray_leads += static_cast<unsigned char>(p[i] - 0xC2) <= 0x32;
    const long len = utf8_sequence(p, n, i);
    if (len == 0) {  // cut by the end
      if (complete) ++c.ill;
      break;
    }
    ++c.ill;
    i += static_cast<std::size_t>(-len);
  }
  // The valid runs were skipped without counting their multi-byte
  // sequences: count lead bytes, which in well-formed text start exactly one.
  const std::uint64_t leads = count_lead_bytes(p, n);
  c.multibyte = leads > stray_leads ? leads - stray_leads : 0;
  return c;
}

// UTF-8 unless the bytes that are not UTF-8 far outnumber the sequences
// that are. A cp1252 file holds almost no well-formed sequence (one would
// take a capital accented letter followed by a symbol), so one that has
// them in numbers is UTF-8, damaged or mixed with lines of cp1252; its
// ill-formed bytes then fall back to cp1252 one by one, and every
// well-formed sequence keeps its character.
bool reads_as_utf8(const Utf8Census& c) noexcept {
  return c.ill == 0 || c.multibyte * 8 >= c.ill;
}

// Calls append(bytes, size) with the valid runs of `in` and, for each
// maximal ill-formed subpart, U+FFFD (counted in `replaced`) or, when
// `mixed`, each of its bytes as cp1252 (counted in `fallback`).
template <class Append>
void utf8_repair_to(std::string_view in, bool mixed, std::uint64_t& replaced,
                    std::uint64_t& fallback, Append&& append) {
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const std::size_t n = in.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t good = valid_utf8_prefix(in.data() + i, n - i);
    append(in.data() + i, good);
    i += good;
    if (i >= n) break;
    const long len = utf8_sequence(p, n, i);
    const std::size_t end = len == 0 ? n : i + static_cast<std::size_t>(-len);
    if (mixed) {
      fallback += end - i;
      for (; i < end; ++i) append(kCp1252.bytes[p[i]], kCp1252.len[p[i]]);
    } else {
      append(kReplacement, 3);
      ++replaced;
    }
    i = end;
  }
}

enum class Unicode { None, Utf16Le, Utf16Be, Utf32Le, Utf32Be };

std::size_t bom_length(Unicode u) noexcept {
  return u == Unicode::Utf32Le || u == Unicode::Utf32Be ? 4 : u == Unicode::None ? 0 : 2;
}

Unicode from_bom(std::string_view s) noexcept {
  auto starts = [&](std::string_view m) { return s.substr(0, m.size()) == m; };
  if (starts(std::string_view("\xFF\xFE\0\0", 4))) return Unicode::Utf32Le;
  if (starts(std::string_view("\0\0\xFE\xFF", 4))) return Unicode::Utf32Be;
  if (starts("\xFF\xFE")) return Unicode::Utf16Le;
  if (starts("\xFE\xFF")) return Unicode::Utf16Be;
  return Unicode::None;
}

// Text in UTF-16 or UTF-32 without a mark: mostly Latin text puts a NUL in
// the high byte(s) of nearly every code unit and almost nowhere else.
Unicode latin_nul_pattern(std::string_view s, const std::size_t (&nul)[4]) noexcept {
  const std::size_t quarter = (s.size() & ~std::size_t{3}) / 4;
  auto most = [&](std::size_t k) { return nul[k] * 10 >= quarter * 7; };
  auto few = [&](std::size_t k) { return nul[k] * 10 <= quarter; };
  if (few(0) && most(1) && most(2) && most(3)) return Unicode::Utf32Le;
  if (most(0) && most(1) && most(2) && few(3)) return Unicode::Utf32Be;
  if (few(0) && few(2) && most(1) && most(3)) return Unicode::Utf16Le;
  if (most(0) && most(2) && few(1) && few(3)) return Unicode::Utf16Be;
  return Unicode::None;
}

// Whether a UTF-16 code unit is one that text in a table is made of: ASCII
// that is not a control (but tab and line breaks), Latin, Greek, Cyrillic,
// Hebrew, Arabic, CJK (with kana, Hangul and full-width forms), punctuation
// and surrogates (an unpaired one is U+FFFD and counted when decoded).
bool plausible_unit(unsigned u) noexcept {
  if (u < 0x80) return u >= 0x20 || u == '\t' || u == '\n' || u == '\r';
  return (u >= 0xA0 && u < 0x800) || (u >= 0x2000 && u < 0x2070) || (u >= 0x20A0 && u < 0x20D0) ||
         (u >= 0x3000 && u < 0xA000) || (u >= 0xAC00 && u < 0xD7A4) ||
         (u >= 0xD800 && u < 0xE000) || (u >= 0xFF00 && u < 0xFFF0);
}

// UTF-16 without a mark whose text is mostly not Latin (CJK): its code
// units carry no NUL, but the ASCII among them (delimiters, line breaks,
// digits) puts one in every high byte it fills, always at the same parity,
// and every unit read that way is a character a table holds. UTF-8 and the
// single-byte code pages have no NUL in text at all.
Unicode wide_nul_pattern(std::string_view s, const std::size_t (&nul)[4]) noexcept {
  const std::size_t n = s.size() & ~std::size_t{1};
  const std::size_t even = nul[0] + nul[2], odd = nul[1] + nul[3];
  // A few stray NULs in a short text (a damaged file) are not evidence.
  constexpr std::size_t kFewest = 4;
  if (n < 32) return Unicode::None;
  Unicode u = Unicode::None;
  if (even == 0 && odd >= kFewest && odd * 64 >= n) u = Unicode::Utf16Le;
  if (odd == 0 && even >= kFewest && even * 64 >= n) u = Unicode::Utf16Be;
  if (u == Unicode::None) return u;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const int hi = u == Unicode::Utf16Le ? 1 : 0;
  std::size_t odd_units = 0, cjk = 0, breaks = 0;
  for (std::size_t i = 0; i < n; i += 2) {
    const unsigned unit = (unsigned{p[i + hi]} << 8) | p[i + 1 - hi];
    odd_units += !plausible_unit(unit);
    cjk += unit >= 0x3000;
    breaks += unit == '\n';
  }
  // Nearly every unit a character, some of them beyond Latin (else the
  // Latin test above would have been met), and lines.
  return breaks != 0 && odd_units * 50 <= n / 2 && cjk * 8 >= n / 2 ? u : Unicode::None;
}

Unicode from_nul_pattern(std::string_view s) noexcept {
  s = s.substr(0, kSampleBytes);
  if (s.size() < 4) return Unicode::None;
  // Most input has no NUL at all, which memchr finds out fastest.
  if (std::memchr(s.data(), '\0', s.size()) == nullptr) return Unicode::None;
  std::size_t nul[4] = {0, 0, 0, 0};
  const std::size_t n = s.size() & ~std::size_t{3};
  for (std::size_t i = 0; i < n; ++i) nul[i & 3] += s[i] == '\0';
  const Unicode latin = latin_nul_pattern(s, nul);
  return latin != Unicode::None ? latin : wide_nul_pattern(s.substr(0, n), nul);
}

const char* unicode_name(Unicode u) noexcept {
  switch (u) {
    case Unicode::Utf16Le: return "utf-16le";
    case Unicode::Utf16Be: return "utf-16be";
    case Unicode::Utf32Le: return "utf-32le";
    case Unicode::Utf32Be: return "utf-32be";
    case Unicode::None: break;
  }
  return "";
}

// Lower case without '-', '_' and ' ', so that "UTF_8" and "utf8" match.
std::string squeeze(std::string_view name) {
  std::string out;
  for (const char c : name) {
    if (c == '-' || c == '_' || c == ' ') continue;
    out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return out;
}

class Iconv {
 public:
  explicit Iconv(const std::string& from) : cd_(iconv_open("UTF-8", from.c_str())) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const noexcept { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const noexcept { return cd_; }

 private:
  iconv_t cd_;
};

// Converts with iconv; an ill-formed unit becomes U+FFFD (counted) and the
// conversion goes on `unit` bytes further.
Transcoded run_iconv(std::string_view in, const std::string& from, std::string name,
                     std::size_t unit) {
  Transcoded t;
  Iconv cd(from);
  if (!cd.ok()) {
    t.error = "unknown encoding: " + std::string(name);
    return t;
  }
  t.encoding = std::move(name);
  std::string& out = t.utf8;
  out.resize(in.size() + in.size() / 2 + 64);
  std::size_t written = 0;
  char* src = const_cast<char*>(in.data());  // iconv's signature; it does not write
  std::size_t src_left = in.size();
  while (true) {
    char* dst = out.data() + written;
    std::size_t dst_left = out.size() - written;
    const std::size_t r = src_left == 0 ? iconv(cd.get(), nullptr, nullptr, &dst, &dst_left)
                                        : iconv(cd.get(), &src, &src_left, &dst, &dst_left);
    const int err = errno;
    written = out.size() - dst_left;
    if (r != static_cast<std::size_t>(-1)) {
      if (src_left == 0) break;
      continue;
    }
    if (err == E2BIG) {
      out.resize(out.size() * 2 + 64);
      continue;
    }
    if (written + 3 > out.size()) out.resize(out.size() * 2 + 64);
    std::memcpy(out.data() + written, kReplacement, 3);
    written += 3;
    ++t.replaced;
    if (err == EILSEQ) {
      const std::size_t skip = unit < src_left ? unit : src_left;
      src += skip;
      src_left -= skip;
    } else {  // EINVAL: a sequence cut short by the end of the input
      src_left = 0;
    }
  }
  out.resize(written);
  return t;
}

Transcoded from_unicode(std::string_view in, Unicode u, std::size_t skip) {
  const std::size_t unit = u == Unicode::Utf32Le || u == Unicode::Utf32Be ? 4 : 2;
  std::string iconv_name = u == Unicode::Utf16Le   ? "UTF-16LE"
                           : u == Unicode::Utf16Be ? "UTF-16BE"
                           : u == Unicode::Utf32Le ? "UTF-32LE"
                                                   : "UTF-32BE";
  return run_iconv(in.substr(skip), iconv_name, unicode_name(u), unit);
}

Transcoded from_table(std::string_view in, const ByteTable& t, const char* name) {
  Transcoded r;
  r.encoding = name;
  r.utf8 = decode_single_byte(in, t);
  return r;
}

// How text that may be UTF-8 is read: strictly (a name was given: what is
// not UTF-8 becomes U+FFFD), with a cp1252 fallback for the bytes that are
// not (detected), or as cp1252 throughout.
enum class Utf8Mode : std::uint8_t { Lossy, Mixed, Cp1252 };

Transcoded from_utf8(std::string_view in, std::size_t skip, const char* name, Utf8Mode mode,
                     ByteBuffer* into) {
  Transcoded r;
  r.encoding = name;
  const std::string_view body = in.substr(skip);
  if (mode != Utf8Mode::Cp1252 && valid_utf8_prefix(body.data(), body.size()) == body.size()) {
    r.borrowed = true;
    r.skip = skip;
    return r;
  }
  if (mode == Utf8Mode::Cp1252) {
    r.utf8 = decode_single_byte(body, kCp1252);
    r.encoding = "cp1252";
    return r;
  }
  const bool mixed = mode == Utf8Mode::Mixed;
  if (into == nullptr) {
    r.utf8.reserve(body.size() + 16);
    utf8_repair_to(body, mixed, r.replaced, r.fallback,
                   [&](const char* p, std::size_t k) { r.utf8.append(p, k); });
    return r;
  }
  // Straight into the caller's buffer: a damaged UTF-8 file is then held
  // twice at most (input and text), never a third time for a copy.
  ByteBuffer& out = *into;
  if (!out.reserve(body.size() + body.size() / 8 + 16)) throw std::bad_alloc();
  utf8_repair_to(body, mixed, r.replaced, r.fallback, [&](const char* p, std::size_t k) {
    const std::size_t need = out.size() + k;
    if (need > out.capacity() && !out.reserve(std::max(need, out.capacity() + out.capacity() / 2)))
      throw std::bad_alloc();
    if (k != 0) std::memcpy(out.data() + out.size(), p, k);
    out.set_size(need);
  });
  return r;
}

// The UTF-16 or UTF-32 that the input's first bytes mark, or that its NUL
// pattern shows. `FF FE` or `FE FF` before a body with no NUL that is valid
// UTF-8 marks nothing: text in UTF-16 has a NUL in every line break, so
// those two bytes are text (of a file put together from pieces), read as
// UTF-8 with a fallback for them like any byte that is not UTF-8.
struct UnicodeMark {
  Unicode u = Unicode::None;
  std::size_t skip = 0;       // bytes of the mark
  bool contradicted = false;  // a UTF-16 mark over a UTF-8 body
};

UnicodeMark unicode_mark(std::string_view head, bool complete) noexcept {
  UnicodeMark m;
  m.u = from_bom(head);
  m.skip = bom_length(m.u);
  if (m.u == Unicode::Utf16Le || m.u == Unicode::Utf16Be) {
    const std::string_view body = head.substr(2, kSampleBytes);
    const bool whole = complete && head.size() - 2 <= kSampleBytes;
    if (std::memchr(body.data(), '\0', body.size()) == nullptr) {
      const std::size_t good = valid_utf8_prefix(body.data(), body.size());
      const auto* p = reinterpret_cast<const unsigned char*>(body.data());
      // A sequence cut by the sample's end is not a fault of the body.
      if (good == body.size() || (!whole && utf8_sequence(p, body.size(), good) == 0)) {
        m = UnicodeMark{};
        m.contradicted = true;
        return m;
      }
    }
  }
  if (m.u == Unicode::None) m.u = from_nul_pattern(head);
  return m;
}

// Python's names for encodings that glibc's iconv knows by another name
// (squeezed); any other name is tried as given, then squeezed.
constexpr struct {
  const char* python;
  const char* iconv;
} kIconvNames[] = {
    {"macroman", "MACINTOSH"},
    {"maclatin2", "MAC-CENTRALEUROPE"},
    {"maciceland", "MAC-IS"},
    {"maccyrillic", "MAC-CYRILLIC"},
    {"eucjis2004", "EUC-JISX0213"},
    {"shiftjis2004", "SHIFT_JISX0213"},
    {"iso2022jp2004", "ISO-2022-JP-3"},
    {"iso2022jp3", "ISO-2022-JP-3"},
    {"kz1048", "RK1048"},
    {"ptcp154", "PT154"},
};

}  // namespace

bool has_utf8_bom(std::string_view s) noexcept {
  return s.size() >= 3 && s.compare(0, 3, "\xEF\xBB\xBF") == 0;
}

std::string iconv_name(std::string_view name) {
  const std::string key = squeeze(name);
  for (const auto& n : kIconvNames) {
    if (key == n.python) return n.iconv;
  }
  if (Iconv(std::string(name)).ok()) return std::string(name);
  std::string upper = key;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return Iconv(upper).ok() ? upper : std::string(name);
}

std::string detect_encoding(std::string_view sample, bool complete) {
  if (has_utf8_bom(sample)) return "utf-8-sig";
  const UnicodeMark m = unicode_mark(sample, complete);
  if (m.u != Unicode::None) return unicode_name(m.u);
  return m.contradicted || reads_as_utf8(utf8_census(sample, complete)) ? "utf-8" : "cp1252";
}

Transcoded transcode_to_utf8(std::string_view input, std::string_view encoding) {
  return transcode_to_utf8(input, encoding, nullptr);
}

namespace {

// How a given name reads: UTF-8 and the single-byte code pages take fast
// paths, anything else goes to iconv under the name it knows; `unit` is the
// width of a code unit, `skip` a mark that matches the named byte order.
struct NamedConversion {
  std::string key;  // squeezed
  std::string iconv;
  std::string name;  // lower case, as reported
  std::size_t unit = 1;
  std::size_t skip = 0;
};

NamedConversion named_conversion(std::string_view input, std::string_view encoding) {
  NamedConversion c;
  c.key = squeeze(encoding);
  c.iconv = iconv_name(encoding);
  const std::string k = squeeze(c.iconv);
  if (k.rfind("utf16", 0) == 0 || k.rfind("ucs2", 0) == 0) c.unit = 2;
  if (k.rfind("utf32", 0) == 0 || k.rfind("ucs4", 0) == 0) c.unit = 4;
  const Unicode u = from_bom(input);
  if ((k == "utf16le" && u == Unicode::Utf16Le) || (k == "utf16be" && u == Unicode::Utf16Be) ||
      (k == "utf32le" && u == Unicode::Utf32Le) || (k == "utf32be" && u == Unicode::Utf32Be)) {
    c.skip = bom_length(u);
  }
  c.name = std::string(encoding);
  for (char& ch : c.name) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  return c;
}

bool is_latin1(const std::string& key) noexcept {
  return key == "latin1" || key == "iso88591" || key == "l1" || key == "iso885911987";
}

}  // namespace

Transcoded transcode_to_utf8(std::string_view input, std::string_view encoding, ByteBuffer* into) {
  if (encoding.empty()) {
    if (has_utf8_bom(input)) return from_utf8(input, 3, "utf-8-sig", Utf8Mode::Mixed, into);
    const UnicodeMark m = unicode_mark(input, true);
    if (m.u != Unicode::None) return from_unicode(input, m.u, m.skip);
    if (valid_utf8_prefix(input.data(), input.size()) == input.size()) {
      return from_utf8(input, 0, "utf-8", Utf8Mode::Mixed, into);
    }
    const bool utf8 = m.contradicted || reads_as_utf8(utf8_census(input, true));
    return from_utf8(input, 0, "utf-8", utf8 ? Utf8Mode::Mixed : Utf8Mode::Cp1252, into);
  }

  const NamedConversion c = named_conversion(input, encoding);
  if (c.key == "utf8") return from_utf8(input, 0, "utf-8", Utf8Mode::Lossy, into);
  if (c.key == "utf8sig")
    return from_utf8(input, has_utf8_bom(input) ? 3 : 0, "utf-8-sig", Utf8Mode::Lossy, into);
  if (c.key == "cp1252" || c.key == "windows1252") return from_table(input, kCp1252, "cp1252");
  if (is_latin1(c.key)) return from_table(input, kLatin1, "latin-1");
  return run_iconv(input.substr(c.skip), c.iconv, c.name, c.unit);
}

struct PieceDecoder::IconvState {
  explicit IconvState(iconv_t c) noexcept : cd(c) {}
  ~IconvState() { iconv_close(cd); }
  IconvState(const IconvState&) = delete;
  IconvState& operator=(const IconvState&) = delete;
  iconv_t cd;
};

PieceDecoder::PieceDecoder(From from, std::size_t sample) noexcept
    : from_(from), unit_(sample == 0 ? 1 : sample) {}

PieceDecoder::PieceDecoder(const std::string& name, std::size_t unit)
    : from_(From::Iconv), unit_(unit == 0 ? 1 : unit) {
  const iconv_t cd = iconv_open("UTF-8", name.c_str());
  if (cd != reinterpret_cast<iconv_t>(-1)) iconv_ = std::make_unique<IconvState>(cd);
}

PieceDecoder::PieceDecoder(PieceDecoder&&) noexcept = default;
PieceDecoder& PieceDecoder::operator=(PieceDecoder&&) noexcept = default;
PieceDecoder::~PieceDecoder() = default;

std::size_t PieceDecoder::decode(std::string_view in, bool last, std::string& out) {
  if (from_ == From::Cp1252 || from_ == From::Latin1) {
    decode_single_byte(in, from_ == From::Cp1252 ? kCp1252 : kLatin1, out);
    return in.size();
  }
  if (from_ == From::Iconv) return decode_iconv(in, last, out);
  if (from_ == From::Utf8OrCp1252) {
    const std::size_t ascii = ascii_prefix(in.data(), in.size());
    out.append(in.data(), ascii);
    if (ascii == in.size()) return ascii;
    const std::string_view rest = in.substr(ascii);
    if (rest.size() < unit_ && !last) return ascii;  // too few bytes yet to decide on
    decide(rest.substr(0, unit_), last && rest.size() <= unit_);
    return ascii + decode(rest, last, out);
  }
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const std::size_t n = in.size();
  const bool mixed = from_ == From::Utf8Mixed;
  std::size_t i = 0;
  while (i < n) {
    const std::size_t good = valid_utf8_prefix(in.data() + i, n - i);
    out.append(in.data() + i, good);
    i += good;
    if (i >= n) break;
    const long len = utf8_sequence(p, n, i);
    if (len == 0 && !last) return i;  // the rest may come with the next piece
    const std::size_t end = len == 0 ? n : i + static_cast<std::size_t>(-len);
    if (mixed) {
      fallback_ += end - i;
      for (; i < end; ++i) out.append(kCp1252.bytes[p[i]], kCp1252.len[p[i]]);
    } else {
      out.append(kReplacement, 3);
      ++replaced_;
    }
    i = end;
  }
  return n;
}

PieceDecoder::Into PieceDecoder::decode_into(std::string_view in, bool last, char* p,
                                             std::size_t room) {
  Into r;
  const auto* b = reinterpret_cast<const unsigned char*>(in.data());
  const std::size_t n = in.size();
  std::size_t& i = r.used;
  std::size_t& o = r.written;
  if (from_ == From::Cp1252 || from_ == From::Latin1) {
    const ByteTable& t = from_ == From::Cp1252 ? kCp1252 : kLatin1;
    while (i < n && o < room) {
      const std::size_t run = ascii_prefix(in.data() + i, std::min(n - i, room - o));
      std::memcpy(p + o, in.data() + i, run);
      i += run;
      o += run;
      if (i >= n || b[i] < 0x80) continue;
      if (o + t.len[b[i]] > room) break;
      std::memcpy(p + o, t.bytes[b[i]], t.len[b[i]]);
      o += t.len[b[i]];
      ++i;
    }
    return r;
  }
  const bool mixed = from_ == From::Utf8Mixed;
  while (i < n) {
    const std::size_t good = valid_utf8_prefix(in.data() + i, std::min(n - i, room - o));
    std::memcpy(p + o, in.data() + i, good);
    i += good;
    o += good;
    if (i >= n) break;
    const long len = utf8_sequence(b, n, i);
    if (len > 0) {  // well formed, cut by the room
      if (o + static_cast<std::size_t>(len) > room) break;
      std::memcpy(p + o, in.data() + i, static_cast<std::size_t>(len));
      i += static_cast<std::size_t>(len);
      o += static_cast<std::size_t>(len);
      continue;
    }
    if (len == 0 && !last) break;  // the rest may come with the next piece
    const std::size_t end = len == 0 ? n : i + static_cast<std::size_t>(-len);
    if (mixed) {
      std::size_t need = 0;
      for (std::size_t k = i; k < end; ++k) need += kCp1252.len[b[k]];
      if (o + need > room) break;
      fallback_ += end - i;
      for (; i < end; ++i) {
        std::memcpy(p + o, kCp1252.bytes[b[i]], kCp1252.len[b[i]]);
        o += kCp1252.len[b[i]];
      }
    } else {
      if (o + 3 > room) break;
      std::memcpy(p + o, kReplacement, 3);
      o += 3;
      ++replaced_;
      i = end;
    }
  }
  return r;
}

PieceDecoder::Into PieceDecoder::decode_in_place(char* p, std::size_t size, std::size_t room,
                                                 std::string& rest) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  const bool mixed = from_ == From::Utf8Mixed;
  // Forward: where each ill-formed subpart stands, while the text fits.
  struct Fix {
    std::size_t start, end;
  };
  std::vector<Fix> fixes;
  std::size_t i = 0, o = 0;
  while (i < size) {
    const std::size_t good = valid_utf8_prefix(p + i, size - i);
    if (o + good > room) break;
    i += good;
    o += good;
    if (i >= size) break;
    const long len = utf8_sequence(b, size, i);
    if (len > 0) {  // cannot be: valid_utf8_prefix stops before no whole sequence
      if (o + static_cast<std::size_t>(len) > room) break;
      i += static_cast<std::size_t>(len);
      o += static_cast<std::size_t>(len);
      continue;
    }
    if (len == 0) break;  // cut by the end: the rest comes with the next bytes
    const std::size_t end = i + static_cast<std::size_t>(-len);
    std::size_t grow = 3;
    if (mixed) {
      grow = 0;
      for (std::size_t k = i; k < end; ++k) grow += kCp1252.len[b[k]];
    }
    if (o + grow > room) break;
    fixes.push_back({i, end});
    i = end;
    o += grow;
  }
  rest.assign(p + i, size - i);
  // Backward: a text never shorter than its bytes ends at or after them, so
  // moving from the end overwrites only bytes already moved or decoded.
  std::size_t from = i, to = o;
  for (auto it = fixes.rbegin(); it != fixes.rend(); ++it) {
    const std::size_t run = from - it->end;
    to -= run;
    std::memmove(p + to, p + it->end, run);
    if (mixed) {
      fallback_ += it->end - it->start;
      for (std::size_t k = it->end; k-- > it->start;) {
        const unsigned char byte = b[k];
        to -= kCp1252.len[byte];
        std::memcpy(p + to, kCp1252.bytes[byte], kCp1252.len[byte]);
      }
    } else {
      ++replaced_;
      to -= 3;
      std::memcpy(p + to, kReplacement, 3);
    }
    from = it->start;
  }
  return {i, o};
}

void PieceDecoder::decide(std::string_view sample, bool complete) noexcept {
  if (from_ != From::Utf8OrCp1252) return;
  from_ = reads_as_utf8(utf8_census(sample, complete)) ? From::Utf8Mixed : From::Cp1252;
}

// As run_iconv, but a sequence cut by the piece's end waits for the next.
std::size_t PieceDecoder::decode_iconv(std::string_view in, bool last, std::string& out) {
  if (iconv_ == nullptr) return in.size();
  char* src = const_cast<char*>(in.data());  // iconv's signature; it does not write
  std::size_t left = in.size();
  std::size_t written = out.size();
  out.resize(written + left + left / 2 + 64);
  while (left != 0) {
    char* dst = out.data() + written;
    std::size_t room = out.size() - written;
    const std::size_t r = iconv(iconv_->cd, &src, &left, &dst, &room);
    const int err = errno;
    written = out.size() - room;
    if (r != static_cast<std::size_t>(-1)) continue;
    if (err == E2BIG) {
      out.resize(out.size() * 2 + 64);
      continue;
    }
    if (!last && (err != EILSEQ || left < unit_)) break;  // cut: the rest comes with the next piece
    if (written + 3 > out.size()) out.resize(out.size() * 2 + 64);
    std::memcpy(out.data() + written, kReplacement, 3);
    written += 3;
    ++replaced_;
    if (err == EILSEQ) {
      const std::size_t skip = unit_ < left ? unit_ : left;
      src += skip;
      left -= skip;
    } else {
      left = 0;
    }
  }
  out.resize(written);
  return in.size() - left;
}

bool PieceConversion::restartable() const noexcept {
  // A put-off decision is a state, but one taken on the same bytes by every
  // decoder that reaches them (or handed on with decide_as()).
  if (from != PieceDecoder::From::Iconv) return true;
  const std::string key = squeeze(iconv_name);
  return key == "utf16le" || key == "utf16be" || key == "utf32le" || key == "utf32be";
}

PieceConversion piece_conversion(std::string_view head, bool complete, std::string_view encoding) {
  using From = PieceDecoder::From;
  PieceConversion c;
  if (encoding.empty()) {
    c.from = From::Utf8Mixed;
    if (has_utf8_bom(head)) {
      c.skip = 3;
      c.encoding = "utf-8-sig";
      return c;
    }
    const UnicodeMark m = unicode_mark(head, complete);
    if (m.u != Unicode::None) {
      const bool wide = m.u == Unicode::Utf32Le || m.u == Unicode::Utf32Be;
      c.from = From::Iconv;
      c.unit = wide ? 4 : 2;
      c.skip = m.skip;
      c.encoding = unicode_name(m.u);
      c.iconv_name = c.encoding;
      return c;
    }
    c.encoding = "utf-8";
    if (m.contradicted) return c;
    if (!complete && ascii_prefix(head.data(), head.size()) == head.size()) {
      c.from = From::Utf8OrCp1252;
    } else if (!reads_as_utf8(utf8_census(head, complete))) {
      c.from = From::Cp1252;
      c.encoding = "cp1252";
    }
    return c;
  }
  const NamedConversion n = named_conversion(head, encoding);
  if (n.key == "utf8") {
    c.encoding = "utf-8";
  } else if (n.key == "utf8sig") {
    c.skip = has_utf8_bom(head) ? 3 : 0;
    c.encoding = "utf-8-sig";
  } else if (n.key == "cp1252" || n.key == "windows1252") {
    c.from = From::Cp1252;
    c.encoding = "cp1252";
  } else if (is_latin1(n.key)) {
    c.from = From::Latin1;
    c.encoding = "latin-1";
  } else {
    c.from = From::Iconv;
    c.iconv_name = n.iconv;
    c.unit = n.unit;
    c.skip = n.skip;
    c.encoding = n.name;
    if (!Iconv(c.iconv_name).ok()) c.error = "unknown encoding: " + c.encoding;
  }
  return c;
}

bool looks_binary(std::string_view input) {
  const std::string_view s = input.substr(0, kSampleBytes);
  if (s.empty()) return false;
  if (from_bom(s) != Unicode::None || from_nul_pattern(s) != Unicode::None) return false;
  std::size_t control = 0;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == 0) return true;
    const bool text_control = c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
    if ((c < 0x20 && !text_control) || c == 0x7F) ++control;
  }
  return control * 10 > s.size() * 3;
}

}  // namespace gleave
