// The byte-exact writers of output lines and quarantine lines.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/repair/pass.hpp"
#include "engine/scan/parser.hpp"
#include "engine/scan/simd.hpp"
#include "engine/scan/text.hpp"

namespace gleave {

// Tests fields for the bytes that force quoting and writes them. The delimiter
// and the quote are written as characters (two UTF-8 bytes from 0x80 on), and
// looked for in that form.
class LineWriter {
 public:
  LineWriter(unsigned char delimiter, unsigned char quote_char)
      : delimiter_(byte_char(delimiter)),
        quote_(byte_char(quote_char)),
        finder_(static_cast<unsigned char>(delimiter_[0]), static_cast<unsigned char>(quote_[0]),
                '\n', '\r') {}

  void append_line(std::string& out, const Row& row) const {
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i != 0) out.append(delimiter_);
      append_field(out, row.field(i));
    }
    out.push_back('\n');
  }

 private:
  bool matches(std::string_view rest, const std::string& token) const noexcept {
    return rest.size() >= token.size() && rest.compare(0, token.size(), token) == 0;
  }

  bool needs_quotes(std::string_view f) const noexcept {
    const char* p = f.data();
    const char* const end = p + f.size();
    while ((p = finder_.find(p, end)) != end) {
      const std::string_view rest(p, static_cast<std::size_t>(end - p));
      if (*p == '\n' || *p == '\r' || matches(rest, delimiter_) || matches(rest, quote_)) {
        return true;
      }
      ++p;
    }
    return false;
  }

  // Room for `more` bytes and the line's end after them: a string filled to
  // its capacity by a long field would otherwise double (and copy itself)
  // for the one line feed that follows.
  static void make_room(std::string& out, std::size_t more) {
    if (out.capacity() - out.size() <= more) out.reserve(out.size() + more + 1);
  }

  void append_field(std::string& out, std::string_view f) const {
    if (!needs_quotes(f)) {
      make_room(out, f.size());
      out.append(f);
      return;
    }
    if (quote_.size() == 1) {
      append_quoted_byte(out, f, quote_[0]);
      return;
    }
    out.append(quote_);
    std::size_t from = 0;
    for (std::size_t at; (at = f.find(quote_, from)) != std::string_view::npos;) {
      out.append(f.substr(from, at + quote_.size() - from));
      out.append(quote_);
      from = at + quote_.size();
    }
    out.append(f.substr(from));
    out.append(quote_);
  }

  // The field between quotes with each quote doubled, for a one-byte quote
  // (ASCII, the usual case): sized once, then copied 64 bytes at a time. A
  // block with a quote goes byte by byte without a branch (each byte is
  // written with a quote after it, which the next byte overwrites unless
  // the byte was a quote), so that a field dense with quotes costs about
  // what a plain one does rather than a search and a copy per quote.
  static void append_quoted_byte(std::string& out, std::string_view f, char q) {
    const auto doubled = static_cast<std::size_t>(std::count(f.begin(), f.end(), q));
    const std::size_t at = out.size();
    make_room(out, f.size() + doubled + 2);
    out.resize(at + f.size() + doubled + 2);
    char* w = out.data() + at;
    *w++ = q;
    const simd::Targets quote{{static_cast<unsigned char>(q), static_cast<unsigned char>(q),
                               static_cast<unsigned char>(q), static_cast<unsigned char>(q)},
                              false};
    const char* p = f.data();
    const char* const end = p + f.size();
    while (p < end) {
      const std::size_t len = end - p < 64 ? static_cast<std::size_t>(end - p) : 64;
      if (simd::match(p, len, quote) == 0) {
        std::memcpy(w, p, len);
        w += len;
      } else {
        // w[1] is in the field's room or the closing quote's slot.
        for (std::size_t i = 0; i < len; ++i) {
          const char c = p[i];
          w[0] = c;
          w[1] = q;
          w += c == q ? 2 : 1;
        }
      }
      p += len;
    }
    *w = q;
  }

  std::string delimiter_;
  std::string quote_;
  ByteFinder finder_;
};

// Appends one output line: the fields joined by the delimiter, quoted where a
// field holds the quote, the delimiter, CR or LF, then LF.
void append_csv_line(std::string& out, const Row& row, unsigned char delimiter,
                     unsigned char quote_char);

// Appends one quarantine line: line,"reason","raw content" and LF, the raw
// content being the fields joined by the delimiter (written as a character).
void append_quarantine_line(std::string& out, std::uint64_t line, std::string_view reason,
                            const Row& fields, unsigned char delimiter);

// The quarantine line of the product layer: the row's first line, the
// reason and the row's own input text (decoded, invalid UTF-8 replaced by
// U+FFFD, line breaks kept), in the quarantine file's CSV form.
void append_raw_quarantine_line(std::string& out, std::uint64_t line, std::string_view reason,
                                std::string_view raw);

inline constexpr std::string_view kQuarantineHeader = "line,reason,raw_content\n";

}  // namespace gleave
