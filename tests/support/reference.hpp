// The reference tokenizer that the parser tests and the fuzz targets hold the
// real parser to: one byte and one rule at a time, written for clarity, not
// speed, with its own UTF-8 validator and lenient decoder. The real parser
// (vectorised scans, lookahead memo, runaway shortcut) must agree with it
// exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace reference {

// Byte-exact well-formedness test (Unicode Table 3-7), written as decode and
// range checks rather than the engine's lead-byte table.
inline bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    int len;
    char32_t cp;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2, cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, cp = b & 0x07;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (int k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    const char32_t min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// Lenient decoding: one U+FFFD per maximal subpart of an ill-formed sequence.
// A maximal subpart is the longest prefix that could still begin a
// well-formed sequence (or one byte); found by growing the prefix while
// some completion of it would be valid.
inline std::string lossy_utf8(std::string_view s) {
  auto could_start = [](std::string_view p) {
    // Does some well-formed sequence begin with exactly these bytes?
    const auto b0 = static_cast<unsigned char>(p[0]);
    std::size_t len = b0 < 0x80 ? 1 : (b0 & 0xE0) == 0xC0 ? 2 : (b0 & 0xF0) == 0xE0 ? 3
                                : (b0 & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || p.size() > len) return false;
    // Complete with the smallest and the largest continuation bytes and see
    // whether either code point range admits it; then check each byte.
    for (std::size_t k = 1; k < p.size(); ++k) {
      if ((static_cast<unsigned char>(p[k]) & 0xC0) != 0x80) return false;
    }
    for (unsigned fill : {0x80u, 0xBFu, 0x9Fu, 0xA0u, 0x8Fu, 0x90u}) {
      std::string full(p);
      while (full.size() < len) full.push_back(static_cast<char>(fill));
      if (valid_utf8(full)) return true;
    }
    return false;
  };
  std::string out;
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t best = 0;
    for (std::size_t len = 1; len <= 4 && i + len <= s.size(); ++len) {
      const std::string_view cand = s.substr(i, len);
      if (valid_utf8(cand)) {
        best = len;
        break;
      }
      if (!could_start(cand)) break;
      best = 0;
      if (len == 4) break;
    }
    if (best > 0) {
      out.append(s.substr(i, best));
      i += best;
      continue;
    }
    // Ill-formed: length of the maximal subpart.
    std::size_t sub = 1;
    while (sub < 4 && i + sub < s.size() && could_start(s.substr(i, sub + 1))) ++sub;
    out.append("\xEF\xBF\xBD");
    i += sub;
  }
  return out;
}

// The tokenizer, one byte and one rule at a time.
class RefParser {
 public:
  RefParser(std::string_view in, unsigned char delimiter, unsigned char quote, bool repair)
      : in_(in), d_(delimiter), q_(quote), repair_(repair) {
    if (in.size() >= 3 && in.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  }
  std::optional<int> escape;
  bool skip_leading_blanks = false;
  std::uint64_t line = 1;

  // A quoted field that reaches the end of the input unclosed: the row is
  // read again from its first byte with that field's opening quote taken as
  // an ordinary byte, as often as it takes.
  std::optional<std::vector<std::string>> next() {
    const std::size_t start = pos_;
    const std::uint64_t start_line = line;
    ordinary_.clear();
    while (true) {
      auto row = read_row();
      if (!runaway_) return row;
      ordinary_.insert(*runaway_);
      pos_ = start;
      line = start_line;
    }
  }

 private:
  std::optional<std::vector<std::string>> read_row() {
    runaway_.reset();
    if (pos_ >= in_.size()) return std::nullopt;
    std::size_t opened = 0;
    std::vector<std::string> row;
    std::string buf;
    enum { FieldStart, Unquoted, Quoted, AfterQuote } st = FieldStart;
    bool ended_on_delimiter = false;
    auto finish = [&] {
      row.push_back(lossy_utf8(buf));
      buf.clear();
    };
    auto end_row = [&] {
      const unsigned char c = at(pos_++);
      if (c == '\r' && pos_ < in_.size() && at(pos_) == '\n') ++pos_;
      ++line;
      return row;
    };
    while (pos_ < in_.size()) {
      const unsigned char c = at(pos_);
      if (st == FieldStart) {
        if (skip_leading_blanks && blank(c)) {
          while (pos_ < in_.size() && blank(at(pos_))) ++pos_;
          if (pos_ == in_.size()) {
            ended_on_delimiter = true;
            break;
          }
          continue;
        }
        ended_on_delimiter = false;
        if (c == q_ && ordinary_.count(pos_) != 0 && c == d_) {  // still a delimiter
          row.emplace_back();
          ++pos_;
          ended_on_delimiter = true;
        } else if (c == q_ && ordinary_.count(pos_) != 0) {  // starts an unquoted field
          buf.push_back(static_cast<char>(c));
          ++pos_, st = Unquoted;
        } else if (c == q_) {
          opened = pos_++, st = Quoted;
        } else if (c == d_) {
          row.emplace_back();
          ++pos_;
          ended_on_delimiter = true;
        } else if (lb(c)) {
          row.emplace_back();
          return end_row();
        } else {
          buf.push_back(static_cast<char>(c));
          ++pos_, st = Unquoted;
        }
      } else if (st == Unquoted) {
        ended_on_delimiter = false;
        if (c == d_) {
          finish();
          ++pos_, st = FieldStart;
          ended_on_delimiter = true;
        } else if (lb(c)) {
          finish();
          return end_row();
        } else {
          buf.push_back(static_cast<char>(c));
          ++pos_;
        }
      } else if (st == Quoted) {
        ended_on_delimiter = false;
        const bool more = pos_ + 1 < in_.size();
        if (escape && c == *escape && more && (at(pos_ + 1) == q_ || at(pos_ + 1) == *escape)) {
          buf.push_back(static_cast<char>(at(pos_ + 1)));
          pos_ += 2;
        } else if (escape && c == *escape && more) {
          buf.push_back(static_cast<char>(c));
          ++pos_;
        } else if (c == q_ && !more) {
          ++pos_, st = AfterQuote;
        } else if (c == q_ && at(pos_ + 1) == q_) {
          buf.push_back(static_cast<char>(q_));
          pos_ += 2;
        } else if (c == q_) {
          ++pos_;
          if (!repair_ || closes(pos_)) {
            st = AfterQuote;
          } else {
            buf.push_back(static_cast<char>(q_));
          }
        } else {
          // LF, or a CR that is not the first half of a CR LF, ends a line.
          if (c == '\n' || (c == '\r' && (!more || at(pos_ + 1) != '\n'))) ++line;
          buf.push_back(static_cast<char>(c));
          ++pos_;
        }
      } else {  // AfterQuote
        ended_on_delimiter = false;
        if (c == d_) {
          finish();
          ++pos_, st = FieldStart;
          ended_on_delimiter = true;
        } else if (blank(c)) {
          ++pos_;
        } else if (lb(c)) {
          finish();
          return end_row();
        } else {
          buf.push_back(static_cast<char>(c));
          ++pos_, st = Unquoted;
        }
      }
    }
    if (st == Quoted) {
      runaway_ = opened;
      return std::nullopt;
    }
    pos_ = in_.size();
    if (ended_on_delimiter) {
      if (row.empty()) return std::nullopt;
      row.emplace_back();
      return row;
    }
    finish();
    return row;
  }

  unsigned char at(std::size_t i) const { return static_cast<unsigned char>(in_[i]); }
  static bool blank(unsigned char c) { return c == ' ' || c == '\t'; }
  static bool lb(unsigned char c) { return c == '\n' || c == '\r'; }

  // Does the quote just before `j` close its field?
  bool closes(std::size_t j) const {
    const std::size_t n = in_.size();
    if (j < n && at(j) == d_) return true;  // right before the delimiter, even a blank one
    while (j < n && blank(at(j))) ++j;
    if (j == n || at(j) == d_ || lb(at(j))) return true;
    for (std::size_t k = j; k < n && !lb(at(k)); ++k) {
      if (at(k) != q_) continue;
      std::size_t m = k + 1;
      while (m < n && blank(at(m))) ++m;
      if (m == n || at(m) == d_ || lb(at(m))) return false;  // a proper closing quote ahead
    }
    return true;
  }

  std::string_view in_;
  std::size_t pos_ = 0;
  std::set<std::size_t> ordinary_;      // opening quotes read as ordinary bytes
  std::optional<std::size_t> runaway_;  // the quote of a field that ran to the end
  unsigned char d_, q_;
  bool repair_;
};

}  // namespace reference
