#include "engine/io/writers.hpp"

namespace gleave {

namespace {

// Appends the text with every double quote doubled.
void append_doubling_quotes(std::string& out, std::string_view text) {
  std::size_t from = 0;
  for (std::size_t at; (at = text.find('"', from)) != std::string_view::npos;) {
    out.append(text.substr(from, at + 1 - from));
    out.push_back('"');
    from = at + 1;
  }
  out.append(text.substr(from));
}

}  // namespace

void append_csv_line(std::string& out, const Row& row, unsigned char delimiter,
                     unsigned char quote_char) {
  LineWriter(delimiter, quote_char).append_line(out, row);
}

void append_quarantine_line(std::string& out, std::uint64_t line, std::string_view reason,
                            const Row& fields, unsigned char delimiter) {
  out.append(std::to_string(line));
  out.append(",\"");
  append_doubling_quotes(out, reason);
  out.append("\",\"");
  const std::string d = byte_char(delimiter);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) append_doubling_quotes(out, d);
    append_doubling_quotes(out, fields.field(i));
  }
  out.append("\"\n");
}

void append_raw_quarantine_line(std::string& out, std::uint64_t line, std::string_view reason,
                                std::string_view raw) {
  out.append(std::to_string(line));
  out.append(",\"");
  append_doubling_quotes(out, reason);
  out.append("\",\"");
  if (valid_utf8_prefix(raw.data(), raw.size()) == raw.size()) {
    append_doubling_quotes(out, raw);
  } else {
    std::string text;
    append_utf8_lossy(text, raw.data(), raw.size());
    append_doubling_quotes(out, text);
  }
  out.append("\"\n");
}

}  // namespace gleave
