#include "engine/product_pass/product_pass.hpp"

#include <cstdint>
#include <cstring>
#include <new>

#include "engine/base/fd.hpp"
#include "engine/base/pack.hpp"
#include "engine/dialect/structure.hpp"
#include "engine/encoding/encoding.hpp"

namespace gleave {

bool encoding_known(std::string_view name) {
  return transcode_to_utf8(std::string_view(), name).ok();
}

PreparedText prepare_text(std::string_view input, const Dialect& given, bool whole_input) {
  PreparedText p;
  // Damaged UTF-8 is repaired straight into the buffer the text is kept in.
  Transcoded t = transcode_to_utf8(input, given.encoding.value, &p.converted);
  if (!t.ok()) {
    p.status = GleaveError(EncodingError{std::move(t.error)});
    return p;
  }
  if (t.borrowed) {
    p.text = t.text(input);
  } else if (p.converted.size() != 0) {
    p.text = p.converted.view();
  } else if (!t.utf8.empty()) {
    // The pass and the reader's table keep the text in a ByteBuffer, whose
    // memory stays put when it is handed on.
    if (!p.converted.reserve(t.utf8.size())) throw std::bad_alloc();
    std::memcpy(p.converted.data(), t.utf8.data(), t.utf8.size());
    p.converted.set_size(t.utf8.size());
    p.text = p.converted.view();
  }

  p.dialect = detect_dialect(p.text, given);
  Dialect& d = p.dialect;
  // Which table is largest, and which rows are notes under it, is for all
  // of the text to say when the sample could not.
  // (Lines above the table that the caller gave leave no table to choose.)
  if (whole_input && d.tables_undecided && !given.preamble_lines.given) {
    dialect::settle_tables(p.text, d);
  }
  d.take_given(given);
  d.encoding = Option<std::string>(std::move(t.encoding));
  d.encoding.given = given.encoding.given;
  d.replaced_bytes = t.replaced;
  d.fallback_bytes = t.fallback;
  return p;
}

PreparedText prepare_sample(std::string_view prefix, bool complete, const Dialect& given) {
  if (complete) return prepare_text(prefix, given);
  Dialect named = given;
  if (named.encoding.value.empty()) named.encoding.value = detect_encoding(prefix, false);
  const std::string& e = named.encoding;
  const bool wide = e.rfind("utf-16", 0) == 0 || e.rfind("utf-32", 0) == 0;
  if (wide) {
    const std::size_t unit = e[4] == '1' ? 2 : 4;
    prefix = prefix.substr(0, prefix.size() - prefix.size() % unit);
  } else {
    const std::size_t cut = prefix.find_last_of('\n');
    if (cut != std::string_view::npos) prefix = prefix.substr(0, cut + 1);
  }
  const std::string detected = named.encoding;
  // Detected UTF-8 is read as the whole input will be: its bytes that are
  // not UTF-8 as cp1252 (counted as such), not as U+FFFD.
  const bool encoding_detected = given.encoding.value.empty();
  if (encoding_detected && (detected == "utf-8" || detected == "utf-8-sig")) {
    named.encoding.value.clear();
  }
  PreparedText p = prepare_text(prefix, named, false);
  // What was detected is reported as detection names it.
  if (encoding_detected && p.ok()) p.dialect.encoding.value = detected;
  return p;
}

Result<Prefix> read_prefix(const std::string& path, int fd, std::size_t max, Interrupt* interrupt) {
  Fd owned;
  if (fd < 0) {
    auto opened = open_path(path, O_RDONLY, interrupt);
    if (!opened) return std::move(opened.error());
    owned = std::move(opened.value());
    fd = owned.get();
  }
  const KeepOffset keep(owned.get() < 0 ? fd : -1);
  struct stat st {};
  const bool wait = interrupt != nullptr && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode));
  Prefix out;
  out.bytes.resize(max);
  std::size_t have = 0;
  while (have < max) {
    if (wait) {
      if (Status ready = wait_ready(fd, POLLIN, interrupt); !ready) return std::move(ready.error());
    }
    const ssize_t r = ::read(fd, out.bytes.data() + have, max - have);
    if (r < 0) {
      if (errno == EINTR) {
        if (interrupt != nullptr && interrupt->requested_now()) {
          return IoError::from_fixed(IoFixed::Interrupted);
        }
        continue;
      }
      return IoError::from_errno(errno);
    }
    if (r == 0) {
      out.complete = true;
      break;
    }
    have += static_cast<std::size_t>(r);
  }
  out.bytes.resize(have);
  return out;
}

bool reads_back_as(std::string_view raw, const Row& row, unsigned char delimiter,
                   unsigned char quote) {
  const auto delim = static_cast<char>(delimiter);
  const auto q = static_cast<char>(quote);
  const std::size_t n = raw.size();
  std::size_t p = 0;
  for (std::size_t f = 0;; ++f) {
    if (f >= row.size()) return false;
    const std::string_view want = row.field(f);
    if (p < n && raw[p] == q) {
      ++p;
      std::size_t w = 0;
      while (true) {
        // The text up to the next quote, compared at once.
        const void* hit = std::memchr(raw.data() + p, q, n - p);
        if (hit == nullptr) return false;  // never closed
        const auto k = static_cast<std::size_t>(static_cast<const char*>(hit) - raw.data());
        if (k - p > want.size() - w || std::memcmp(raw.data() + p, want.data() + w, k - p) != 0) {
          return false;
        }
        w += k - p;
        p = k;
        if (p + 1 < n && raw[p + 1] == q) {
          if (w >= want.size() || want[w] != q) return false;
          ++w;
          p += 2;
          continue;
        }
        ++p;
        break;
      }
      if (w != want.size()) return false;
    } else {
      const std::size_t start = p;
      while (p < n && raw[p] != delim) {
        if (raw[p] == q || raw[p] == '\n' || raw[p] == '\r') return false;
        ++p;
      }
      if (raw.substr(start, p - start) != want) return false;
    }
    if (p == n) return f + 1 == row.size();
    if (raw[p] != delim) return false;  // text after a closing quote
    ++p;
  }
}

bool read_strict_line(std::string_view line, unsigned char delimiter, unsigned char quote,
                      bool literal_open, Row& row) {
  row.clear();
  const auto delim = static_cast<char>(delimiter);
  const auto q = static_cast<char>(quote);
  const std::size_t n = line.size();
  std::string field;
  std::size_t p = 0;
  while (true) {
    field.clear();
    bool quoted = false;
    if (p < n && line[p] == q) {
      std::size_t k = p + 1;
      bool closed = false;
      while (k < n) {
        // The text up to the next quote, taken at once.
        const void* hit = std::memchr(line.data() + k, q, n - k);
        const std::size_t at =
            hit == nullptr ? n
                           : static_cast<std::size_t>(static_cast<const char*>(hit) - line.data());
        field.append(line.data() + k, at - k);
        k = at;
        if (k == n) break;
        if (k + 1 < n && line[k + 1] == q) {
          field.push_back(q);
          k += 2;
          continue;
        }
        closed = true;
        break;
      }
      if (closed) {
        quoted = true;
        p = k + 1;
        if (p < n && line[p] != delim) return false;  // text after the closing quote
      } else if (!literal_open) {
        return false;
      } else {
        // The rest of the line is text, split at every delimiter.
        field.clear();
        for (; p < n; ++p) {
          if (line[p] == delim) {
            row.push_field(field);
            field.clear();
          } else {
            field.push_back(line[p]);
          }
        }
        row.push_field(field);
        return true;
      }
    }
    if (!quoted) {
      const std::size_t start = p;
      while (p < n && line[p] != delim) {
        if (line[p] == q) return false;
        ++p;
      }
      field.assign(line.substr(start, p - start));
    }
    row.push_field(field);
    if (p >= n) return true;
    ++p;  // the delimiter
    if (p == n) {
      row.push_field(std::string_view());
      return true;
    }
  }
}

bool runaway_row(std::string_view raw, unsigned char delimiter, unsigned char quote,
                 std::uint64_t width, std::vector<std::string_view>& lines, Row& scratch) {
  lines.clear();
  if (width < 2) return false;
  // Each line after the first is read as soon as it is cut: a field that
  // really spans lines fails on its second line at the latest, so most
  // rows are not cut further. (A plain loop: find_first_of calls memchr
  // per byte.)
  std::size_t p = 0;
  while (true) {
    std::size_t end = p;
    while (end < raw.size() && raw[end] != '\n' && raw[end] != '\r') ++end;
    lines.push_back(raw.substr(p, end - p));
    if (lines.size() > 1 && (!read_strict_line(lines.back(), delimiter, quote, false, scratch) ||
                             scratch.size() != width)) {
      return false;
    }
    if (end == raw.size()) break;
    p = raw[end] == '\r' && end + 1 < raw.size() && raw[end + 1] == '\n' ? end + 2 : end + 1;
  }
  if (lines.size() < 2) return false;
  return read_strict_line(lines[0], delimiter, quote, true, scratch) && scratch.size() <= width;
}

bool same_names(const Row& a, const Row& b) {
  if (a.size() != b.size()) return false;
  auto trim = [](std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
  };
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  bool named = false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const std::string_view x = trim(a.field(i)), y = trim(b.field(i));
    if (x.size() != y.size()) return false;
    for (std::size_t k = 0; k < x.size(); ++k) {
      if (lower(x[k]) != lower(y[k])) return false;
    }
    named = named || !x.empty();
  }
  return named;
}

namespace {

void pack_row(Packer& p, const Row& row) {
  p.str(row.bytes);
  p.u64(row.ends.size());
  for (const std::size_t e : row.ends) p.u64(e);
}

bool unpack_row(Unpacker& u, Row& row) {
  row.bytes.assign(u.str());
  const std::uint64_t n = u.u64();
  row.ends.clear();
  for (std::uint64_t i = 0; i < n && u.ok(); ++i) {
    const std::uint64_t e = u.u64();
    if (e > row.bytes.size() || (!row.ends.empty() && e < row.ends.back())) return false;
    row.ends.push_back(static_cast<std::size_t>(e));
  }
  return u.ok();
}

}  // namespace

std::string PassCarry::pack(std::uint64_t line) const {
  Packer p;
  p.u64((first_row ? 1U : 0U) | (after_blank ? 2U : 0U) | (blocks_seen ? 4U : 0U));
  p.str(header_text);
  p.str(header_plain);
  pack_row(p, header_names);
  p.u64(held_count);
  for (std::size_t i = 0; i < held_count; ++i) {
    pack_row(p, held[i].row);
    p.str(held[i].raw);
    p.u64(line - held[i].line);
  }
  return p.take();
}

bool PassCarry::unpack(std::string_view bytes, std::uint64_t line, PassCarry& out) {
  Unpacker u(bytes);
  const std::uint64_t flags = u.u64();
  out.first_row = (flags & 1U) != 0;
  out.after_blank = (flags & 2U) != 0;
  out.blocks_seen = (flags & 4U) != 0;
  out.header_text.assign(u.str());
  out.header_plain.assign(u.str());
  if (!unpack_row(u, out.header_names)) return false;
  const std::uint64_t n = u.u64();
  if (n > 64) return false;  // the pass holds a few rows at most
  out.held.resize(static_cast<std::size_t>(n));
  out.held_count = static_cast<std::size_t>(n);
  for (auto& h : out.held) {
    if (!unpack_row(u, h.row)) return false;
    h.raw.assign(u.str());
    h.line = line - u.u64();
    h.offset = 0;  // before the text of this pass; no sink reads it
  }
  return u.done();
}

InputRead input_read(const PreparedText& in, const ProductCounts& counts) {
  InputRead r{in.dialect, counts};
  r.dialect.evidence.clear();
  return r;
}

}  // namespace gleave
