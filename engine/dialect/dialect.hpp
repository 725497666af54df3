// Dialect detection for the files people bring: which delimiter, quote
// character and blank handling make the start of a UTF-8 text the most
// consistent, well-typed table; which lines above it are not part of it; and
// whether its first row is a header. Separate from the fixed four-delimiter
// heuristics, which keep their own behaviour.
//
// Do no harm. A file that a strict reader parses into a consistent table
// under some dialect comes back as that table: the same delimiter, every
// row, and the header kept. Each candidate reading pays for what it would
// move out of the table (lines taken for a preamble) and for the rows it
// would repair; a reading that keeps every row steady, its first included,
// and is typed as well, wins over one that pays. Rows leave the table only
// on strong, named evidence; when unsure, a row stays in the table, where
// the user sees it. The steps, one file each: sample (where the sample
// ends, and how a candidate reads it), candidates, scoring (this file's
// detect_dialect), header, and structure (which rows are the table's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

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
  unsigned char delimiter = ',';
  std::optional<unsigned char> quote_char = '"';  // nullopt: no quoting
  bool skip_initial_space = false;                // blanks after a delimiter are not data
  // The byte that escapes a quote (or itself) inside a quoted field, as in
  // "say \"hi\""; nullopt when quotes are doubled.
  std::optional<unsigned char> escape_char;
  // The byte that starts a comment line (`#`), given or detected from
  // lines that start with it and are no row of the table; nullopt: none.
  std::optional<unsigned char> comment_char;
  // Physical lines above the table: the `sep=` line, titles, comments and the
  // blank lines among them.
  std::uint64_t preamble_lines = 0;
  bool sep_line = false;  // the first line is `sep=X`
  bool header = false;    // the table's first row looks like a header
  // Why `header` was decided so: a short named reason ("names over typed
  // columns"), static text.
  std::string_view header_evidence;
  // Rows the header spans: group labels (a year over its quarters) above
  // the row of names; 1 for a plain header. Meaningful when `header`.
  std::uint32_t header_rows = 1;
  std::uint64_t header_width = 0;  // fields in the table's first row
  // The width to repair rows to: the header's when data rows are never
  // wider, else the most frequent width; 0 for an empty sample.
  std::uint64_t expected_width = 0;
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
};

// The parts of a dialect a caller may fix, beside the delimiter; each one
// left unset is detected around the others. Detection and the product
// pass's request both take them as they are (one field each, not a copy).
struct DialectParts {
  bool quote_given = false;
  std::optional<unsigned char> quote_char;  // used when quote_given; nullopt: no quoting
  std::optional<bool> skip_initial_space;
  bool escape_given = false;
  std::optional<unsigned char> escape_char;  // used when escape_given; nullopt: none
  bool comment_given = false;
  std::optional<unsigned char> comment_char;  // used when comment_given; nullopt: none
};

struct DetectOptions : DialectParts {
  std::size_t sample_bytes = 64 * 1024;
  std::size_t sample_rows = 400;
  // The delimiter the caller already knows; the rest is detected around it.
  std::optional<unsigned char> delimiter;
  bool keep_evidence = true;
};

// The delimiters tried, in the order that breaks ties.
inline constexpr unsigned char kDialectDelimiters[] = {',', ';', '\t', '|', ' ', ':', '^', '~'};

// Where a sample of `text` that takes about `window` bytes ends: at the
// last row end within the window, as a parser reading `quote` finds row
// ends (a line break inside a quoted field is not one), and past the window
// when that holds fewer than two rows (a long header, a long quoted field).
// text.size() when the text fits the window.
std::size_t sample_end(std::string_view text, std::size_t window,
                       std::optional<unsigned char> quote = '"');
// The same when the quote byte is not known: cut as the double or the
// single quote reads the text, whichever closes its fields where fields end
// more often, or else opens more of them where a field surely starts (the
// double quote on a tie).
std::size_t sample_end_any_quote(std::string_view text, std::size_t window);

// Detects the dialect of the start of `utf8_text` (a UTF-8 byte-order mark
// at its start is skipped).
Dialect detect_dialect(std::string_view utf8_text, const DetectOptions& options = {});

}  // namespace gleave
