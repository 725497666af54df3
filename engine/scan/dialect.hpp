// A dialect: how a text is read and repaired. Its options, each given by
// the caller or settled by detection (Option says which), and what
// detection found about the text. One value travels from the caller's
// arguments through detection to the parser and the pass, and back to the
// summary: no option is copied into another shape on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/option.hpp"

namespace gleave {

// How one candidate dialect read the sample, for `inspect` and for tests.
struct CandidateEvidence {
  unsigned char delimiter = ',';
  std::optional<unsigned char> quote_char;  // nullopt: no quoting
  bool skip_initial_space = false;
  std::optional<unsigned char> escape_char;  // nullopt: quotes are doubled, not escaped
  std::uint32_t rows = 0;                    // non-blank rows read from the sample
  std::uint32_t preamble_rows = 0;           // rows above the table under this candidate
  std::uint32_t width = 0;                   // most frequent width of the table rows
  double consistency = 0;                    // share of table rows of that width
  double pattern_score = 0;                  // row-pattern regularity, wider rows scoring higher
  double type_score = 0;                     // share of table cells of a recognised type
  double score = 0;                          // pattern_score * type_score * coverage
  bool quotes_pair_up = false;               // every quoted field closed where a field ends
  bool cuts_values = false;                  // splits times, dates or a one-column file's values
  bool chosen = false;                       // the reading detection settled on
};

struct Dialect {
  // The options. A part not given is a default (shown here) until
  // detection settles it.
  Option<unsigned char> delimiter{','};
  Option<std::optional<unsigned char>> quote_char{'"'};  // nullopt: no quoting
  Option<bool> skip_initial_space{false};                // blanks after a delimiter are not data
  // The byte that escapes a quote (or itself) inside a quoted field, as in
  // "say \"hi\""; nullopt when quotes are doubled.
  Option<std::optional<unsigned char>> escape_char;
  // The byte that starts a comment line (`#`), given or detected from
  // lines that start with it and are no row of the table; nullopt: none.
  Option<std::optional<unsigned char>> comment_char;
  // Any name iconv knows; empty until detected.
  Option<std::string> encoding;
  // Physical lines above the table: the `sep=` line, titles, comments and the
  // blank lines among them.
  Option<std::uint64_t> preamble_lines{0};
  // The width to repair rows to (0: no width rule). Detected: the header's
  // when data rows are never wider, else the most frequent width; 0 for an
  // empty sample.
  Option<std::uint64_t> expected_width{0};
  Option<bool> fill_ragged_rows{true};  // pad short rows (else quarantine them)
  Option<bool> merge_overflow{true};    // fold surplus fields into the last column
  Option<bool> repair_quotes{true};     // mend stray quotes inside quoted fields

  // How much of the text detection reads, and whether it keeps the
  // evidence of every candidate.
  std::size_t sample_bytes = 64 * 1024;
  std::size_t sample_rows = 400;
  bool keep_evidence = false;

  // How the input was read: bytes that could not be decoded, written as
  // U+FFFD; bytes of detected UTF-8 that were not, read as cp1252.
  std::uint64_t replaced_bytes = 0;
  std::uint64_t fallback_bytes = 0;
  // The caller's parts are in force over the detected ones (take_given).
  bool settled = false;

  // What detection found.
  bool sep_line = false;  // the first line is `sep=X`
  bool header = false;    // the table's first row looks like a header
  // Why `header` was decided so: a short named reason ("names over typed
  // columns"), static text.
  std::string_view header_evidence;
  // Rows the header spans: group labels (a year over its quarters) above
  // the row of names; 1 for a plain header. Meaningful when `header`.
  std::uint32_t header_rows = 1;
  std::uint64_t header_width = 0;  // fields in the table's first row
  // The header is one field short of the data rows and the missing name
  // belongs at the front (an unnamed row-label column); when false with
  // header_width + 1 == expected_width it belongs at the end.
  bool header_missing_first = false;
  // Tables seen in the sample: blocks after blank lines (or a title line)
  // with a header of their own and a steady width other than the first
  // table's. 1 for an ordinary file, 0 for an empty one.
  std::uint32_t tables = 0;
  // The physical line (from 1) where the first table ends and another
  // begins: from there on no row is the first table's. 0: none.
  std::uint64_t other_table_line = 0;
  // The physical line (from 1) where another table starts above the table,
  // inside the preamble: the preamble lines from there on are that table's
  // rows. 0: none.
  std::uint64_t other_table_above_line = 0;
  // The sample ends inside a table that follows the largest one it holds:
  // which is largest is for the whole text to say. Until then the tables
  // are read as one, at the widest of their widths.
  bool tables_undecided = false;
  // The physical line (from 1) where notes under the table begin: lines of
  // one field with no delimiter ("Source: ...") below a table of three or
  // more columns. From there on (up to another table) no row is the
  // table's. 0: none.
  std::uint64_t footnote_line = 0;
  bool single_line = false;  // the sample holds one row only
  bool not_a_table = false;  // no candidate reads the sample as a consistent table
  // Every candidate tried, the chosen one first, then by score.
  std::vector<CandidateEvidence> evidence;

  // Puts the parts `given` holds in force over the detected ones, and marks
  // the dialect settled. A width given that is not the one detected says
  // nothing of where a short header's missing name belongs; lines above the
  // table given leave no other table above it.
  void take_given(const Dialect& given) {
    auto take = [](auto& mine, const auto& theirs) {
      if (theirs.given) mine = theirs;
    };
    take(delimiter, given.delimiter);
    take(quote_char, given.quote_char);
    take(skip_initial_space, given.skip_initial_space);
    take(escape_char, given.escape_char);
    take(comment_char, given.comment_char);
    take(encoding, given.encoding);
    if (given.preamble_lines.given) {
      sep_line = sep_line && given.preamble_lines.value > 0;
      other_table_above_line = 0;
    }
    take(preamble_lines, given.preamble_lines);
    if (given.expected_width.given && given.expected_width.value != expected_width.value) {
      header_missing_first = false;
    }
    take(expected_width, given.expected_width);
    take(fill_ragged_rows, given.fill_ragged_rows);
    take(merge_overflow, given.merge_overflow);
    take(repair_quotes, given.repair_quotes);
    settled = true;
  }

  // The first rule the dialect breaks, or null; each message is a literal.
  // Before detection (not settled) only the parts given are checked, the
  // quote taken as the double quote while it is a default; once settled,
  // the dialect in force. A quote or escape that is also the delimiter
  // cannot be told from it, and an escape that is the quote is a doubled
  // quote: either way the output would not read back as the rows. An
  // escape means nothing without quoting.
  const char* conflict() const noexcept {
    const bool delimiter_known = settled || delimiter.given;
    const bool quote_known = settled || quote_char.given;
    const std::optional<unsigned char>& quote = quote_char.value;
    if (delimiter_known && quote == delimiter.value) return "delimiter and quote_char must differ";
    const bool escape_known = settled || escape_char.given;
    const std::optional<unsigned char> escape =
        escape_known && (quote || !quote_known) ? escape_char.value : std::nullopt;
    if (escape &&
        ((delimiter_known && *escape == delimiter.value) || (quote_known && escape == quote))) {
      return "escape_char must differ from delimiter and quote_char";
    }
    const std::optional<unsigned char>& comment = comment_char.value;
    if (comment_char.given && comment &&
        ((delimiter_known && *comment == delimiter.value) || (quote_known && comment == quote))) {
      return "comment_char must differ from delimiter and quote_char";
    }
    return nullptr;
  }
};

}  // namespace gleave
