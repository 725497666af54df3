#include "encoding/encoding.hpp"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "text.hpp"

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

// One pass to size the output exactly, one to fill it; ASCII runs are copied
// eight bytes at a time.
std::string decode_single_byte(std::string_view in, const ByteTable& t) {
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const std::size_t n = in.size();
  std::size_t extra = 0;
  for (std::size_t i = 0; i < n; ++i) extra += t.len[p[i]] - 1u;
  std::string out(n + extra, '\0');
  char* o = out.data();
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
  std::size_t i = 0;
  while (i < n) {
    i += valid_utf8_prefix(in.data() + i, n - i);
    if (i >= n) break;
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
  for (std::size_t k = 0; k < n; ++k) c.multibyte += p[k] >= 0xC2 && p[k] <= 0xF4;
  c.multibyte = c.multibyte > c.ill ? c.multibyte - c.ill : 0;
  return c;
}

// Mostly UTF-8: a few broken sequences among many good ones are damage to
// a UTF-8 file, not a sign of another encoding.
bool reads_as_utf8(const Utf8Census& c) noexcept {
  return c.ill == 0 || c.multibyte >= 4 * c.ill;
}

// Calls append(bytes, size) with the valid runs of `in` and U+FFFD for
// each maximal ill-formed subpart (counted).
template <class Append>
void utf8_lossy_to(std::string_view in, std::uint64_t& replaced, Append&& append) {
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const std::size_t n = in.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t good = valid_utf8_prefix(in.data() + i, n - i);
    append(in.data() + i, good);
    i += good;
    if (i >= n) break;
    const long len = utf8_sequence(p, n, i);
    append(kReplacement, 3);
    ++replaced;
    i = len == 0 ? n : i + static_cast<std::size_t>(-len);
  }
}

std::string utf8_lossy(std::string_view in, std::uint64_t& replaced) {
  std::string out;
  out.reserve(in.size() + 16);
  utf8_lossy_to(in, replaced, [&](const char* p, std::size_t k) { out.append(p, k); });
  return out;
}

// The same straight into a buffer: a damaged UTF-8 file is then held twice
// at most (input and text), never a third time for a copy.
void utf8_lossy(std::string_view in, std::uint64_t& replaced, ByteBuffer& out) {
  if (!out.reserve(in.size() + 16)) throw std::bad_alloc();
  utf8_lossy_to(in, replaced, [&](const char* p, std::size_t k) {
    const std::size_t need = out.size() + k;
    if (need > out.capacity() && !out.reserve(std::max(need, out.capacity() + out.capacity() / 2)))
      throw std::bad_alloc();
    if (k != 0) std::memcpy(out.data() + out.size(), p, k);
    out.set_size(need);
  });
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
Unicode from_nul_pattern(std::string_view s) noexcept {
  const std::size_t n = (s.size() < kSampleBytes ? s.size() : kSampleBytes) & ~std::size_t{3};
  if (n < 4) return Unicode::None;
  // Most input has no NUL at all, which memchr finds out fastest.
  if (std::memchr(s.data(), '\0', n) == nullptr) return Unicode::None;
  std::size_t nul[4] = {0, 0, 0, 0};
  for (std::size_t i = 0; i < n; ++i) nul[i & 3] += s[i] == '\0';
  const std::size_t quarter = n / 4;
  auto most = [&](std::size_t k) { return nul[k] * 10 >= quarter * 7; };
  auto few = [&](std::size_t k) { return nul[k] * 10 <= quarter; };
  if (few(0) && most(1) && most(2) && most(3)) return Unicode::Utf32Le;
  if (most(0) && most(1) && most(2) && few(3)) return Unicode::Utf32Be;
  if (few(0) && few(2) && most(1) && most(3)) return Unicode::Utf16Le;
  if (most(0) && most(2) && few(1) && few(3)) return Unicode::Utf16Be;
  return Unicode::None;
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

Transcoded from_utf8(std::string_view in, std::size_t skip, const char* name, bool lossy,
                     ByteBuffer* into) {
  Transcoded r;
  r.encoding = name;
  const std::string_view body = in.substr(skip);
  if (valid_utf8_prefix(body.data(), body.size()) == body.size()) {
    r.borrowed = true;
    r.skip = skip;
  } else if (lossy && into != nullptr) {
    utf8_lossy(body, r.replaced, *into);
  } else if (lossy) {
    r.utf8 = utf8_lossy(body, r.replaced);
  } else {
    r.utf8 = decode_single_byte(body, kCp1252);
    r.encoding = "cp1252";
  }
  return r;
}

bool has_utf8_bom(std::string_view s) noexcept {
  return s.size() >= 3 && s.compare(0, 3, "\xEF\xBB\xBF") == 0;
}

}  // namespace

std::string detect_encoding(std::string_view sample, bool complete) {
  if (has_utf8_bom(sample)) return "utf-8-sig";
  Unicode u = from_bom(sample);
  if (u == Unicode::None) u = from_nul_pattern(sample);
  if (u != Unicode::None) return unicode_name(u);
  return reads_as_utf8(utf8_census(sample, complete)) ? "utf-8" : "cp1252";
}

Transcoded transcode_to_utf8(std::string_view input, std::string_view encoding) {
  return transcode_to_utf8(input, encoding, nullptr);
}

Transcoded transcode_to_utf8(std::string_view input, std::string_view encoding, ByteBuffer* into) {
  if (encoding.empty()) {
    if (has_utf8_bom(input)) return from_utf8(input, 3, "utf-8-sig", true, into);
    Unicode u = from_bom(input);
    if (u != Unicode::None) return from_unicode(input, u, bom_length(u));
    u = from_nul_pattern(input);
    if (u != Unicode::None) return from_unicode(input, u, 0);
    if (valid_utf8_prefix(input.data(), input.size()) == input.size()) {
      return from_utf8(input, 0, "utf-8", true, into);
    }
    return from_utf8(input, 0, "utf-8", reads_as_utf8(utf8_census(input, true)), into);
  }

  const std::string key = squeeze(encoding);
  if (key == "utf8") return from_utf8(input, 0, "utf-8", true, into);
  if (key == "utf8sig")
    return from_utf8(input, has_utf8_bom(input) ? 3 : 0, "utf-8-sig", true, into);
  if (key == "cp1252" || key == "windows1252") return from_table(input, kCp1252, "cp1252");
  if (key == "latin1" || key == "iso88591" || key == "l1" || key == "iso885911987") {
    return from_table(input, kLatin1, "latin-1");
  }
  std::size_t unit = 1;
  std::size_t skip = 0;
  if (key.rfind("utf16", 0) == 0 || key.rfind("ucs2", 0) == 0) unit = 2;
  if (key.rfind("utf32", 0) == 0 || key.rfind("ucs4", 0) == 0) unit = 4;
  // A mark that matches the named byte order is not text.
  const Unicode u = from_bom(input);
  if ((key == "utf16le" && u == Unicode::Utf16Le) || (key == "utf16be" && u == Unicode::Utf16Be) ||
      (key == "utf32le" && u == Unicode::Utf32Le) || (key == "utf32be" && u == Unicode::Utf32Be)) {
    skip = bom_length(u);
  }
  std::string name(encoding);
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return run_iconv(input.substr(skip), std::string(encoding), name, unit);
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
    out.append(decode_single_byte(in, from_ == From::Cp1252 ? kCp1252 : kLatin1));
    return in.size();
  }
  if (from_ == From::Iconv) return decode_iconv(in, last, out);
  if (from_ == From::Utf8OrCp1252) {
    const std::size_t ascii = ascii_prefix(in.data(), in.size());
    out.append(in.data(), ascii);
    if (ascii == in.size()) return ascii;
    const std::string_view rest = in.substr(ascii);
    if (rest.size() < unit_ && !last) return ascii;  // too few bytes yet to decide on
    from_ = reads_as_utf8(utf8_census(rest.substr(0, unit_), last && rest.size() <= unit_))
                ? From::Utf8Lossy
                : From::Cp1252;
    return ascii + decode(rest, last, out);
  }
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const std::size_t n = in.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t good = valid_utf8_prefix(in.data() + i, n - i);
    out.append(in.data() + i, good);
    i += good;
    if (i >= n) break;
    const long len = utf8_sequence(p, n, i);
    if (len == 0 && !last) return i;  // the rest may come with the next piece
    out.append(kReplacement, 3);
    ++replaced_;
    i = len == 0 ? n : i + static_cast<std::size_t>(-len);
  }
  return n;
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
  if (from == PieceDecoder::From::Utf8OrCp1252) return false;  // its decision is a state
  if (from != PieceDecoder::From::Iconv) return true;
  const std::string key = squeeze(iconv_name);
  return key == "utf16le" || key == "utf16be" || key == "utf32le" || key == "utf32be";
}

PieceConversion piece_conversion(std::string_view head, bool complete, std::string_view encoding) {
  using From = PieceDecoder::From;
  PieceConversion c;
  if (encoding.empty()) {
    if (has_utf8_bom(head)) {
      c.skip = 3;
      c.encoding = "utf-8-sig";
      return c;
    }
    Unicode u = from_bom(head);
    const std::size_t skip = bom_length(u);
    if (u == Unicode::None) u = from_nul_pattern(head);
    if (u != Unicode::None) {
      const bool wide = u == Unicode::Utf32Le || u == Unicode::Utf32Be;
      c.from = From::Iconv;
      c.unit = wide ? 4 : 2;
      c.skip = skip;
      c.encoding = unicode_name(u);
      c.iconv_name = c.encoding;
      return c;
    }
    c.encoding = "utf-8";
    if (!complete && ascii_prefix(head.data(), head.size()) == head.size()) {
      c.from = From::Utf8OrCp1252;
    } else if (!reads_as_utf8(utf8_census(head, complete))) {
      c.from = From::Cp1252;
      c.encoding = "cp1252";
    }
    return c;
  }
  const std::string key = squeeze(encoding);
  if (key == "utf8") {
    c.encoding = "utf-8";
  } else if (key == "utf8sig") {
    c.skip = has_utf8_bom(head) ? 3 : 0;
    c.encoding = "utf-8-sig";
  } else if (key == "cp1252" || key == "windows1252") {
    c.from = From::Cp1252;
    c.encoding = "cp1252";
  } else if (key == "latin1" || key == "iso88591" || key == "l1" || key == "iso885911987") {
    c.from = From::Latin1;
    c.encoding = "latin-1";
  } else {
    c.from = From::Iconv;
    c.iconv_name = std::string(encoding);
    if (key.rfind("utf16", 0) == 0 || key.rfind("ucs2", 0) == 0) c.unit = 2;
    if (key.rfind("utf32", 0) == 0 || key.rfind("ucs4", 0) == 0) c.unit = 4;
    const Unicode u = from_bom(head);
    if ((key == "utf16le" && u == Unicode::Utf16Le) ||
        (key == "utf16be" && u == Unicode::Utf16Be) ||
        (key == "utf32le" && u == Unicode::Utf32Le) ||
        (key == "utf32be" && u == Unicode::Utf32Be)) {
      c.skip = bom_length(u);
    }
    c.encoding = std::string(encoding);
    for (char& ch : c.encoding) {
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
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
