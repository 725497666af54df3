#include "product_pass/product_pass.hpp"

#include <cstring>
#include <new>

#include "encoding/encoding.hpp"
#include "files.hpp"

namespace gleave {

bool encoding_known(std::string_view name) {
  return transcode_to_utf8(std::string_view(), name).ok();
}

PreparedText prepare_text(std::string_view input, const GleaveOptions& options,
                          const DialectRequest& request, bool keep_evidence) {
  PreparedText p;
  // Damaged UTF-8 is repaired straight into the buffer the text is kept in.
  Transcoded t = transcode_to_utf8(input, request.encoding, &p.converted);
  if (!t.ok()) {
    p.error = std::move(t.error);
    return p;
  }
  p.encoding = std::move(t.encoding);
  p.replaced = t.replaced;
  p.fallback = t.fallback;
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

  DetectOptions o;
  o.delimiter = options.delimiter;
  o.quote_given = request.quote_given;
  o.quote_char = request.quote_char;
  o.skip_initial_space = request.skip_initial_space;
  o.escape_given = request.escape_given;
  o.escape_char = request.escape_char;
  o.keep_evidence = keep_evidence;
  p.dialect = detect_dialect(p.text, o);
  Dialect& d = p.dialect;
  if (request.preamble_lines) {
    d.preamble_lines = *request.preamble_lines;
    d.sep_line = d.sep_line && d.preamble_lines > 0;
    d.other_table_above_line = 0;  // what stands above the table is the caller's to say
  }
  if (options.expected_columns) {
    // A width given that is not the one detected says nothing of where a
    // short header's missing name belongs.
    if (*options.expected_columns != d.expected_width) d.header_missing_first = false;
    d.expected_width = *options.expected_columns;
  }
  return p;
}

PreparedText prepare_sample(std::string_view prefix, bool complete, const GleaveOptions& options,
                            const DialectRequest& request, bool keep_evidence) {
  if (complete) return prepare_text(prefix, options, request, keep_evidence);
  DialectRequest named = request;
  if (named.encoding.empty()) named.encoding = detect_encoding(prefix, false);
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
  if (request.encoding.empty() && (detected == "utf-8" || detected == "utf-8-sig")) {
    named.encoding.clear();
  }
  PreparedText p = prepare_text(prefix, options, named, keep_evidence);
  // What was detected is reported as detection names it.
  if (request.encoding.empty() && p.ok()) p.encoding = detected;
  return p;
}

Result<Prefix> read_prefix(const std::string& path, int fd, std::size_t max) {
  Fd owned;
  if (fd < 0) {
    auto opened = open_path(path, O_RDONLY);
    if (!opened) return std::move(opened.error());
    owned = std::move(opened.value());
    fd = owned.get();
  }
  Prefix out;
  out.bytes.resize(max);
  std::size_t have = 0;
  while (have < max) {
    const ssize_t r = ::read(fd, out.bytes.data() + have, max - have);
    if (r < 0) {
      if (errno == EINTR) continue;
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
        if (p >= n) return false;  // never closed
        if (raw[p] == q) {
          if (p + 1 < n && raw[p + 1] == q) {
            if (w >= want.size() || want[w] != q) return false;
            ++w;
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        if (w >= want.size() || want[w] != raw[p]) return false;
        ++w;
        ++p;
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

InputReport input_report(const PreparedText& in, const ProductCounts& counts) {
  InputReport r;
  r.encoding = in.encoding;
  r.replaced_bytes = in.replaced;
  r.fallback_bytes = in.fallback;
  r.quote_char = in.dialect.quote_char;
  r.skip_initial_space = in.dialect.skip_initial_space;
  r.escape_char = in.dialect.escape_char;
  r.preamble_lines = in.dialect.preamble_lines;
  r.header = in.dialect.header;
  r.not_a_table = in.dialect.not_a_table;
  r.preamble_rows = counts.preamble_rows;
  r.blank_rows = counts.blank_rows;
  r.tables = in.dialect.tables;
  r.other_table_rows = counts.other_table_rows;
  r.footnote_rows = counts.footnote_rows;
  r.repeated_header_rows = counts.repeated_header_rows;
  return r;
}

}  // namespace gleave
