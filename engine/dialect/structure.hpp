// Which rows of a candidate's reading make up the table: a preamble above
// it, a header of several rows, other tables above or below, and notes
// under it. Each rule moves rows out of the table only on its own named
// evidence; when unsure, a row stays in the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dialect/reading.hpp"

namespace gleave::dialect {

// Where the table starts: the index into `nonblank` of its first row.
std::size_t table_start(const Reading& r, const std::vector<std::uint32_t>& nonblank,
                        std::uint32_t width);

// How many rows the header of `a.table` spans (1 for a plain header).
std::uint32_t header_rows(const Reading& r, const Analysis& a);

struct Tables {
  std::uint32_t count = 0;
  bool table_above = false;  // the rows above the table's own start with a header
  std::size_t begin = 0;     // index into Analysis::table of the table's first row (its header)
  std::size_t end = 0;       // ... and of the first row of the next table, or table.size()
  std::uint32_t widest = 0;  // the widest of the tables' widths
};

// The tables in the sample and which of them is the table.
Tables find_tables(std::string_view s, const Reading& r, const Analysis& a, unsigned char delim,
                   int quote);

// Notes under a table, judged a row at a time: the first column's profile
// over the rows below the header, and the facts of the last rows of one
// field (the only rows a note can be). See footnotes().
class NoteWatch {
 public:
  // The next row of the table; `header` for its first.
  void add(const Reading& r, const RowInfo& row, std::string_view bytes, bool after_blank,
           bool header, unsigned char delimiter, std::uint64_t line);
  // How many of the last rows of a table of `rows` rows, `width` wide, are notes.
  std::size_t notes(std::size_t rows, std::uint32_t width) const;
  // The line of the first of the last `n` rows (n <= what notes() gave).
  std::uint64_t line_of(std::size_t n) const { return run_[run_.size() - n].line; }

 private:
  struct Line {
    CellType first;
    bool after_blank, spaced, unquoted, marked;
    std::size_t size;
    std::uint64_t line;
  };
  // Notes are a few lines under a table: a longer run of lines of one
  // field is rows of the table, however they read.
  static constexpr std::size_t kMaxNotes = 64;
  std::uint32_t filled_ = 0, values_ = 0;
  std::size_t longest_ = 0;
  std::vector<Line> run_;  // the last rows, when they are of one field (up to 2 * kMaxNotes)
  bool long_run_ = false;  // more than kMaxNotes of them
};

// The index into a.table of the first footnote (a.table.size() when none).
std::size_t footnotes(std::string_view s, const Reading& r, const Analysis& a, bool end_known,
                      unsigned char delimiter);

// Which of several tables is the table, decided a row at a time over a
// text of any size in memory bounded by a few rows per table: the tables
// are the blocks (after blank lines, or at a title line) with a header of
// their own (see find_tables), and the largest is the table.
class TableScan {
 public:
  explicit TableScan(unsigned char delimiter, int quote);
  ~TableScan();
  TableScan(const TableScan&) = delete;
  TableScan& operator=(const TableScan&) = delete;

  // The next non-blank row of the table's part of the text (`bytes` its
  // text, `line` its physical line from 1), after blank lines when `after_blank`.
  void add(const Reading& r, const RowInfo& row, std::string_view bytes, bool after_blank,
           std::uint64_t line);
  struct Found {
    Tables tables;                 // indices are of the rows added, in order
    std::uint64_t begin_line = 0;  // the table's first row (its header)
    std::uint64_t end_line = 0;    // the next table's first row; 0: none
    std::uint64_t first_line = 0;  // the first row added
    std::size_t notes = 0;         // the table's last rows that are notes
    std::uint64_t notes_line = 0;  // the first of them; 0: none
    // The table's first rows from its header on (a few more than the
    // header rules probe), cell types only, to describe its header by.
    const Reading* head = nullptr;
  };
  // Ends the text; `notes` says whether notes under the table are judged.
  const Found& finish(bool notes);

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// The rows of a whole text read a piece at a time, for settle_tables: the
// rows below the preamble the sample found go to a TableScan.
class TextTables {
 public:
  // Pieces of about kPiece bytes, cut where rows end (a quoted line break
  // is no row end); a row longer than kReach - kPiece is read in parts.
  static constexpr std::size_t kPiece = std::size_t{256} << 10;
  static constexpr std::size_t kReach = kPiece * 17;

  explicit TextTables(const Dialect& d);
  // Where the next piece of `rest` (the text from where the last ended, at
  // least kReach bytes of it unless it is all that is left) ends.
  std::size_t piece_end(std::string_view rest) const;
  void read(std::string_view piece);
  // The table, its header and widths, what stands above it and the lines
  // where the next table and the notes under it begin, into `d`.
  void settle(Dialect& d);

 private:
  Candidate candidate_;
  std::uint64_t above_;      // lines above the first table
  std::uint64_t lines_ = 0;  // lines read
  bool blank_ = false;       // a blank line since the last row
  Reading reading_;
  TableScan scan_;
};

// Settles on the whole text which of the tables the sample saw is the
// table, and which rows under it are notes, where the sample could not
// (Dialect::tables_undecided). The text is read a window at a time through
// `in` (window(), complete() and advance(keep), as the repair reads its
// input), from its start, in memory bounded by a few pieces. False when
// reading failed; `d` is then unchanged.
template <class Input>
requires requires(Input& i) {
  i.advance(std::size_t{});
}
bool settle_tables(Input& in, Dialect& d) {
  TextTables tables(d);
  std::size_t at = 0;
  bool start = true;
  while (true) {
    const std::string_view window = in.window();
    if (!in.complete() && window.size() - at < TextTables::kReach) {
      if (!in.advance(at)) return false;
      at = 0;
      continue;
    }
    if (start && window.substr(0, 3) == "\xEF\xBB\xBF") at = 3;
    start = false;
    const std::string_view rest = window.substr(at);
    if (rest.empty()) break;
    const std::size_t end = tables.piece_end(rest);
    tables.read(rest.substr(0, end));
    at += end;
  }
  tables.settle(d);
  return true;
}

// The same for a text in one piece.
void settle_tables(std::string_view text, Dialect& d);

}  // namespace gleave::dialect
