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
#include <optional>
#include <string_view>

#include "engine/scan/dialect.hpp"

namespace gleave {

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
// at its start is skipped) around the parts `given` holds (the delimiter,
// quote, blanks, escape and comment given), reading as much as its sample
// settings say. The result holds what was detected, every part marked not
// given: Dialect::take_given puts the caller's parts in force over it.
Dialect detect_dialect(std::string_view utf8_text, const Dialect& given = {});

}  // namespace gleave
