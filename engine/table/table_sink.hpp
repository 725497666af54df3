// The product pass's kept rows into a table builder: the one place that
// knows what a table needs of the pass, whichever builder takes the rows
// (a TableBuilder that types or builds a whole table, or a BatchMaker that
// hands out batches) and whoever reads them (a stream over a file, a part
// of a file). Set-aside rows go to `Derived::set_aside`, as in every
// product sink.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/base/interrupt.hpp"
#include "engine/product_pass/product_pass.hpp"
#include "engine/repair/pass.hpp"
#include "engine/scan/text.hpp"
#include "engine/table/table_builder.hpp"

namespace gleave::table {

template <class Derived, class Into>
class TableSink : public SetAsideByReason<Derived> {
 public:
  // Makes the builder once the delimiter is known, with the options as the
  // pass settled them.
  using Make = std::function<Into&(const TableOptions&)>;
  TableSink(const TableOptions& o, Interrupt* i, Make m)
      : options(o), interrupt(i), make(std::move(m)) {}

  TableOptions options;
  Interrupt* interrupt;  // asked every 1024 rows whether to stop; may be null
  Make make;
  Into* into = nullptr;  // once begun
  unsigned char delimiter = ',';
  bool interrupted = false;

  // False (and `interrupted` set) when the interrupt asks to stop.
  bool go_on() {
    if (++seen_ % 1024 != 0 || interrupt == nullptr || !interrupt->requested()) return true;
    interrupted = true;
    return false;
  }
  // A header of several rows is combined into one name per column; told
  // before begin.
  void header_rows(std::uint32_t n) { options.header_rows = n; }
  void begin(unsigned char d, std::uint64_t) {
    delimiter = d;
    // A decimal comma is only unambiguous when the comma does not split
    // fields, which is known once the delimiter is settled.
    options.decimal_comma = options.decimal_comma && d != ',';
    into = &make(options);
  }
  // The rows the header spans (none without one).
  std::uint64_t header_count() const {
    return options.header ? std::max<std::size_t>(options.header_rows, 1) : 0;
  }

 protected:
  // A kept row into the builder; with `nulls`, a field spelt as one of them
  // goes in empty (so null when typed).
  void add(const Row& row, const std::vector<std::string>* nulls = nullptr) {
    // An all-ASCII row spares the builder a UTF-8 check per field.
    into->append_row_with(
        [&](auto&& visit) {
          for (std::size_t i = 0; i < row.size(); ++i) {
            const std::string_view field = row.field(i);
            visit(nulls != nullptr && std::find(nulls->begin(), nulls->end(), field) != nulls->end()
                      ? std::string_view()
                      : field);
          }
        },
        is_ascii(row.bytes.data(), row.bytes.size()));
  }
  // A kept line of the text, whose fields are split at the delimiter; split
  // here when null spellings are looked for.
  void add_line(std::string_view line, bool ascii,
                const std::vector<std::string>* nulls = nullptr) {
    if (nulls != nullptr) {
      split_plain_line(line, delimiter, split_);
      add(split_, nulls);
      return;
    }
    into->append_line(line, delimiter, ascii);
  }

 private:
  std::uint64_t seen_ = 0;
  Row split_;
};

}  // namespace gleave::table
