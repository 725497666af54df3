#include "engine/table/table_builder.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>

#include "engine/scan/simd.hpp"
#include "engine/scan/text.hpp"
#include "engine/table/column_names.hpp"
#include "engine/table/thread_pool.hpp"

namespace gleave::table {

namespace {
bool is_utf8_name(std::string_view s) noexcept;
}  // namespace

// ---------------------------------------------------------------------------
// Building

TableBuilder::ColumnBuilder::ColumnBuilder(std::size_t missing_rows, unsigned candidates,
                                           std::size_t narrow_limit, bool views, bool keep)
    : cells_(missing_rows),
      empties_(missing_rows),
      narrow_limit_(narrow_limit),
      view_data_limit_(std::min<std::size_t>(narrow_limit, INT32_MAX)),
      in_views_(views),
      keep_(keep) {
  facts_.candidates = candidates;
  if (!keep) return;
  if (views) {
    views_.resize_zeroed(missing_rows * 16);
  } else {
    offsets_.resize_zeroed((missing_rows + 1) * sizeof(std::uint32_t));
  }
  if (missing_rows != 0) present_.resize_zeroed((missing_rows + 7) / 8);
}

void TableBuilder::ColumnBuilder::leave_views() {
  const std::size_t total = text_bytes();
  const std::uint8_t* v = views_.data();
  wide_ = total > narrow_limit_;
  Buffer data, offsets;
  data.resize(total);
  offsets.resize((cells_ + 1) * (wide_ ? sizeof(std::int64_t) : sizeof(std::uint32_t)));
  std::size_t at = 0;
  auto run = [&](auto* o) {
    o[0] = 0;
    for (std::size_t i = 0; i < cells_; ++i, v += 16) {
      std::uint32_t len, offset;
      std::memcpy(&len, v, 4);
      std::memcpy(&offset, v + 12, 4);
      const std::uint8_t* src = len <= 12 ? v + 4 : data_.data() + offset;
      if (len != 0) std::memcpy(data.data() + at, src, len);
      at += len;
      o[i + 1] = static_cast<std::remove_reference_t<decltype(o[0])>>(at);
    }
  };
  if (wide_) {
    run(offsets.as<std::int64_t>());
    narrow_limit_ = 0;
  } else {
    run(offsets.as<std::uint32_t>());
  }
  data_ = std::move(data);
  offsets_ = std::move(offsets);
  views_.reset();
  in_views_ = false;
}

void TableBuilder::ColumnBuilder::push_wide_offset() {
  if (!wide_) {
    // Past 4 GiB of text in one column: every offset becomes 64-bit, back
    // to front so that no offset is overwritten before it is read.
    const std::size_t n = cells_ + 1;
    offsets_.resize(n * sizeof(std::int64_t));
    const auto* narrow = offsets_.as<std::uint32_t>();
    auto* wide = offsets_.as<std::int64_t>();
    for (std::size_t i = n; i-- > 0;) wide[i] = narrow[i];
    wide_ = true;
    narrow_limit_ = 0;  // every later offset comes here
  }
  offsets_.push(static_cast<std::int64_t>(data_.size()));
}

void TableBuilder::ColumnBuilder::mark_present(std::size_t cell, bool present) {
  const std::size_t need = cell / 8 + 1;
  if (present_.size() < need) {
    // Amortised growth: Buffer grows its capacity geometrically.
    present_.resize_zeroed(need);
  }
  if (present) set_bit(present_.data(), cell);
}

void TableBuilder::ColumnBuilder::append_missing() {
  if (target_ != 0) {
    append_typed(std::string_view(), true, false);
    return;
  }
  if (!keep_) {
    ++cells_;
    ++empties_;
    return;
  }
  if (present_.empty()) {
    // Every earlier cell exists: the bitmap starts all ones.
    present_.resize_zeroed((cells_ + 8) / 8);
    for (std::size_t i = 0; i < cells_ / 8; ++i) present_.data()[i] = 0xFF;
    for (std::size_t i = cells_ / 8 * 8; i < cells_; ++i) set_bit(present_.data(), i);
  }
  mark_present(cells_, false);
  if (in_views_) {
    const std::uint8_t none[16] = {};
    views_.append_short(none, 16);
  } else if (wide_) {
    offsets_.push(static_cast<std::int64_t>(data_.size()));
  } else {
    offsets_.push(static_cast<std::uint32_t>(data_.size()));
  }
  ++cells_;
  ++empties_;
}

void TableBuilder::ColumnBuilder::set_target(unsigned kind) {
  if (!keep_ || cells_ != 0) return;
  if (kind == kInt || kind == kFloatPoint || kind == kFloatComma || kind == kDate) target_ = kind;
}

template <class T>
void TableBuilder::ColumnBuilder::push_typed(T value, bool valid) {
  const std::size_t cell = cells_++;
  if (cell % 8 == 0) valid_.push(std::uint8_t{0});
  typed_.push(value);
  if (valid) set_bit(valid_.data(), cell);
}

// The facts are those Facts::narrow learns, which every value still goes
// through until its column is down to the target's candidates; from then
// on a value that converts leaves them as narrow would, and is converted
// once instead of tested now and converted at finish.
void TableBuilder::ColumnBuilder::append_typed(std::string_view f, bool utf8, bool infer) {
  if (f.empty()) {
    ++empties_;
    if (target_ == kDate) {
      push_typed(std::int32_t{0}, false);
    } else if (target_ == kInt) {
      push_typed(std::int64_t{0}, false);
    } else {
      push_typed(0.0, false);
    }
    return;
  }
  const unsigned c = facts_.candidates;
  if (target_ == kInt) {
    // An integer of at most fifteen characters leaves the integer and
    // float candidates as they are.
    std::int64_t x = 0;
    constexpr unsigned kNumbers = kInt | kFloatPoint | kFloatComma;
    if ((c & kInt) && (c & ~kNumbers) == 0 && f.size() <= 15 && parse_int64(f, x)) {
      push_typed(x, true);
      return;
    }
    facts_.narrow(f, utf8, infer);
    misfit_ = misfit_ || (facts_.candidates & kInt) == 0 || !parse_int64(f, x);
    push_typed(x, true);
  } else if (target_ == kDate) {
    std::int32_t d = 0;
    if (c == kDate && parse_date32(f, d)) {
      push_typed(d, true);
      return;
    }
    facts_.narrow(f, utf8, infer);
    misfit_ = misfit_ || (facts_.candidates & kDate) == 0 || !parse_date32(f, d);
    push_typed(d, true);
  } else {
    const char mark = target_ == kFloatPoint ? '.' : ',';
    double v = 0;
    // Down to the one float candidate: narrow would only test the float.
    if (c == target_ && float64_checked(f, mark, v)) {
      push_typed(v, true);
      return;
    }
    facts_.narrow(f, utf8, infer);
    misfit_ = misfit_ || (facts_.candidates & target_) == 0;
    push_typed(misfit_ ? 0.0 : float64_value(f, mark), true);
  }
}

namespace {
bool is_utf8_text(std::string_view f) noexcept {
  return is_ascii(f.data(), f.size()) || valid_utf8_prefix(f.data(), f.size()) == f.size();
}
}  // namespace

// A text column costs nothing after its first text. Floats are only
// checked here (no conversion): they are converted once, at finish, if the
// column stays a float column.
void TableBuilder::Facts::narrow(std::string_view f, bool known_utf8, bool infer) noexcept {
  if (!known_utf8 && utf8 && !is_utf8_text(f)) utf8 = false;
  if (!infer || candidates == 0) return;
  unsigned c = candidates;
  if (c & (kInt | kFloatPoint | kFloatComma)) {
    std::int64_t i;
    const bool is_int = (c & kInt) && parse_int64(f, i);
    if (!is_int) c &= ~kInt;
    // An integer of at most fifteen characters is also an exact double.
    if (!(is_int && f.size() <= 15)) {
      if ((c & kFloatPoint) && !is_float64(f, '.')) c &= ~kFloatPoint;
      if ((c & kFloatComma) && !is_float64(f, ',')) c &= ~kFloatComma;
    }
    // Digits alone are never a bool, a date or a timestamp.
    if (is_int) {
      candidates = c & (kInt | kFloatPoint | kFloatComma);
      return;
    }
  }
  if (c & kBool) {
    bool b;
    if (!parse_bool(f, b)) c &= ~kBool;
  }
  if (c & kDate) {
    std::int32_t d;
    if (!parse_date32(f, d)) c &= ~kDate;
  }
  if (c & kTimestamp) {
    TimestampValue t;
    if (!parse_timestamp(f, t)) {
      c &= ~kTimestamp;
    } else {
      (t.has_offset ? seen_offset : seen_local) = true;
      if (seen_offset && seen_local) c &= ~kTimestamp;
      if (t.fraction_digits > max_fraction) max_fraction = t.fraction_digits;
      if (t.seconds < min_seconds) min_seconds = t.seconds;
      if (t.seconds > max_seconds) max_seconds = t.seconds;
    }
  }
  candidates = c;
}

template <class Visit>
std::int64_t TableBuilder::ColumnBuilder::for_each_value(Visit&& visit) const {
  // A missing cell has no bytes: empty means null, missing or not.
  std::int64_t others = 0;
  const char* const data = reinterpret_cast<const char*>(data_.data());
  if (in_views_) {
    const std::uint8_t* v = views_.data();
    for (std::size_t i = 0; i < cells_; ++i, v += 16) {
      std::uint32_t len, offset;
      std::memcpy(&len, v, 4);
      if (len == 0) {
        ++others;
        continue;
      }
      std::memcpy(&offset, v + 12, 4);
      const char* text = len <= 12 ? reinterpret_cast<const char*>(v + 4) : data + offset;
      visit(i, std::string_view(text, len));
    }
    return others;
  }
  auto run = [&](const auto* o) {
    for (std::size_t i = 0; i < cells_; ++i) {
      const auto b = static_cast<std::size_t>(o[i]);
      const auto e = static_cast<std::size_t>(o[i + 1]);
      if (b == e) {
        ++others;
        continue;
      }
      visit(i, std::string_view(data + b, e - b));
    }
  };
  if (wide_) {
    run(offsets_.as<std::int64_t>());
  } else {
    run(offsets_.as<std::uint32_t>());
  }
  return others;
}

template <class T, class Parse>
void TableBuilder::ColumnBuilder::finish_fixed(ArrowColumn& out, Parse&& parse) {
  const std::size_t n = cells_;
  if (empties_ == 0) {
    out.values.resize(n * sizeof(T));
    T* values = out.values.as<T>();
    for_each_value([&](std::size_t i, std::string_view v) { values[i] = parse(v); });
    out.null_count = 0;
    return;
  }
  out.values.resize_zeroed(n * sizeof(T));
  out.validity.resize_zeroed((n + 7) / 8);
  T* values = out.values.as<T>();
  std::uint8_t* valid = out.validity.data();
  out.null_count = for_each_value([&](std::size_t i, std::string_view v) {
    set_bit(valid, i);
    values[i] = parse(v);
  });
}

void TableBuilder::ColumnBuilder::make_views(ArrowColumn& out, bool utf8) {
  const std::size_t n = cells_;
  out.values.resize(n * 16);
  std::uint8_t* views = out.values.data();
  const std::uint8_t* data = data_.data();
  const std::size_t size = data_.size();
  std::size_t longest = 0;
  // A view is the length, then the value zero-padded (up to twelve bytes),
  // or its first four bytes, buffer 0 and the offset: made from sixteen
  // bytes copied from the value and masked to its length, with no branch on
  // the length (the compiler makes the mask one vector operation).
  static constexpr auto kKeep = [] {
    std::array<std::array<std::uint8_t, 12>, 13> keep{};
    for (std::size_t k = 0; k <= 12; ++k) {
      for (std::size_t j = 0; j < k; ++j) keep[k][j] = 0xFF;
    }
    return keep;
  }();
  auto run = [&](const auto* o) {
    for (std::size_t i = 0; i < n; ++i, views += 16) {
      const auto b = static_cast<std::size_t>(o[i]);
      const auto len = static_cast<std::size_t>(o[i + 1]) - b;
      longest = std::max(longest, len);
      std::uint8_t value[16] = {};
      if (b + 16 <= size) [[likely]] {
        std::memcpy(value, data + b, 16);
      } else if (size > b) {
        std::memcpy(value, data + b, std::min<std::size_t>(16, size - b));
      }
      const bool is_long = len > 12;
      const auto& keep = kKeep[is_long ? 4 : len];
      std::uint8_t view[16];
      const auto len32 = static_cast<std::uint32_t>(len);
      std::memcpy(view, &len32, 4);
      for (std::size_t j = 0; j < 12; ++j) view[4 + j] = value[j] & keep[j];
      if (is_long) {
        const auto offset = static_cast<std::uint32_t>(b);
        std::memcpy(view + 12, &offset, 4);
      }
      std::memcpy(views, view, 16);
    }
  };
  if (wide_) {
    run(offsets_.as<std::int64_t>());
  } else {
    run(offsets_.as<std::uint32_t>());
  }
  offsets_.reset();
  out.format = utf8 ? "vu" : "vz";
  if (longest <= 12) {
    // Every value is inline: no data buffer at all.
    data_.reset();
    return;
  }
  data_.shrink_to_fit();
  out.data = std::move(data_);
}

void TableBuilder::ColumnBuilder::finish_strings(ArrowColumn& out, bool infer, StringLayout layout,
                                                 bool utf8) {
  const std::size_t n = cells_;
  if (infer && empties_ != 0) {
    // Empty and missing cells are null.
    out.validity.resize_zeroed((n + 7) / 8);
    std::uint8_t* valid = out.validity.data();
    auto run = [&](const auto* o) {
      for (std::size_t i = 0; i < n; ++i) {
        if (o[i + 1] != o[i]) set_bit(valid, i);
      }
    };
    if (in_views_) {
      for_each_value([&](std::size_t i, std::string_view) { set_bit(valid, i); });
    } else if (wide_) {
      run(offsets_.as<std::int64_t>());
    } else {
      run(offsets_.as<std::uint32_t>());
    }
    out.null_count = static_cast<std::int64_t>(empties_);
  } else if (!present_.empty()) {
    // Only missing cells are null: the bitmap of present cells is the
    // validity bitmap.
    present_.resize_zeroed((n + 7) / 8);
    std::int64_t nulls = 0;
    for (std::size_t i = 0; i < n; ++i) nulls += !get_bit(present_.data(), i);
    out.null_count = nulls;
    if (nulls != 0) out.validity = std::move(present_);
  }
  present_.reset();
  if (layout == StringLayout::kViews) {
    if (!in_views_) {
      make_views(out, utf8);
      return;
    }
    out.format = utf8 ? "vu" : "vz";
    views_.shrink_to_fit();
    out.values = std::move(views_);
    if (data_.empty()) return;  // every value is inline
    data_.shrink_to_fit();
    out.data = std::move(data_);
    return;
  }
  if (in_views_) leave_views();
  // Arrow's "u" takes 32-bit offsets up to 2 GiB of text; past that the
  // column is large_utf8 ("U", 64-bit offsets) in every batch, as every
  // consumer reads large strings.
  const bool large = layout == StringLayout::kLarge;
  if (large && !wide_) {
    Buffer wide;
    wide.resize((n + 1) * sizeof(std::int64_t));
    const auto* narrow = offsets_.as<std::uint32_t>();
    auto* o = wide.as<std::int64_t>();
    for (std::size_t i = 0; i <= n; ++i) o[i] = narrow[i];
    offsets_ = std::move(wide);
  }
  offsets_.shrink_to_fit();
  out.format = utf8 ? (large ? "U" : "u") : (large ? "Z" : "z");
  out.values = std::move(offsets_);
  data_.shrink_to_fit();
  out.data = std::move(data_);
}

void TableBuilder::Facts::add(const Facts& o) noexcept {
  cells += o.cells;
  empties += o.empties;
  utf8 = utf8 && o.utf8;
  candidates &= o.candidates;
  seen_offset = seen_offset || o.seen_offset;
  seen_local = seen_local || o.seen_local;
  // A column may not mix values with and without an offset, in one range
  // or across two.
  if (seen_offset && seen_local) candidates &= ~unsigned{kTimestamp};
  max_fraction = std::max(max_fraction, o.max_fraction);
  min_seconds = std::min(min_seconds, o.min_seconds);
  max_seconds = std::max(max_seconds, o.max_seconds);
  in_views = in_views && o.in_views;
  long_bytes += o.long_bytes;
}

TableBuilder::Facts TableBuilder::ColumnBuilder::facts(bool views_asked) const noexcept {
  Facts f = facts_;
  f.cells = cells_;
  f.empties = empties_;
  f.in_views = views_asked && in_views_;
  f.long_bytes = in_views_ ? data_.size() : 0;
  return f;
}

std::size_t TableBuilder::ColumnBuilder::text_bytes() const noexcept {
  if (!in_views_) return data_.size();
  std::size_t total = 0;
  const std::uint8_t* v = views_.data();
  for (std::size_t i = 0; i < cells_; ++i) {
    std::uint32_t len;
    std::memcpy(&len, v + 16 * i, 4);
    total += len;
  }
  return total;
}

template <class TextBytes>
TableBuilder::StringLayout TableBuilder::string_layout(const TableOptions& options,
                                                       const Facts& whole, TextBytes&& text_bytes) {
  const std::size_t narrow_limit = std::min<std::size_t>(options.narrow_offsets_up_to, UINT32_MAX);
  const std::size_t view_limit = std::min<std::size_t>(narrow_limit, INT32_MAX);
  if (options.string_views) {
    // Views hold 32-bit offsets into their data: while the long values fit
    // they stay views, and past that a column whose whole text fits is
    // still made views from offsets.
    if (whole.in_views && whole.long_bytes <= view_limit) return StringLayout::kViews;
    const std::size_t total = text_bytes();
    if (total <= static_cast<std::size_t>(INT32_MAX)) return StringLayout::kViews;
    return StringLayout::kLarge;
  }
  const std::size_t total = text_bytes();
  return total > std::min<std::size_t>(narrow_limit, INT32_MAX) ? StringLayout::kLarge
                                                                : StringLayout::kNarrow;
}

TableBuilder::ColumnType TableBuilder::ColumnType::of(const TableOptions& options,
                                                      const Facts& whole, StringLayout layout) {
  ColumnType t;
  t.layout = layout;
  t.utf8 = whole.utf8;
  unsigned c = options.infer_types && whole.utf8 ? whole.candidates : 0;
  if (!options.decimal_comma) c &= ~kFloatComma;
  // A column of nothing but nulls has no evidence of a type.
  if (whole.empties == whole.cells) c = 0;
  if (c & kTimestamp) {
    // Nanoseconds hold the years 1677 to 2262 only: outside them a column
    // with sub-microsecond digits stays text rather than lose them.
    constexpr std::int64_t kLowest = INT64_MIN / 1000000000 + 1;
    constexpr std::int64_t kHighest = INT64_MAX / 1000000000 - 1;
    if (whole.max_fraction > 6 && (whole.min_seconds < kLowest || whole.max_seconds > kHighest))
      c &= ~kTimestamp;
  }
  for (const unsigned k : {kInt, kFloatPoint, kFloatComma, kBool, kDate, kTimestamp}) {
    if (c & k) {
      t.kind = k;
      break;
    }
  }
  t.nanos = whole.max_fraction > 6;
  t.utc = whole.seen_offset;
  return t;
}

bool TableBuilder::ColumnType::holds(const Facts& part) const noexcept {
  if (part.empties == part.cells) return true;  // nulls only
  if (kind == 0) return utf8 ? part.utf8 : true;
  if ((part.candidates & kind) == 0 || !part.utf8) return false;
  if (kind != kTimestamp) return true;
  if (utc ? part.seen_local : part.seen_offset) return false;
  if (!nanos) return part.max_fraction <= 6;
  constexpr std::int64_t kLowest = INT64_MIN / 1000000000 + 1;
  constexpr std::int64_t kHighest = INT64_MAX / 1000000000 - 1;
  return part.min_seconds >= kLowest && part.max_seconds <= kHighest;
}

const char* TableBuilder::ColumnType::format() const noexcept {
  switch (kind) {
    case kInt: return "l";
    case kFloatPoint:
    case kFloatComma: return "g";
    case kBool: return "b";
    case kDate: return "tdD";
    case kTimestamp: return nanos ? (utc ? "tsn:UTC" : "tsn:") : (utc ? "tsu:UTC" : "tsu:");
    default: break;
  }
  const bool large = layout == StringLayout::kLarge;
  if (layout == StringLayout::kViews) return utf8 ? "vu" : "vz";
  return utf8 ? (large ? "U" : "u") : (large ? "Z" : "z");
}

const char* TableBuilder::ColumnType::name() const noexcept {
  switch (kind) {
    case kInt: return "int64";
    case kFloatPoint:
    case kFloatComma: return "float64";
    case kBool: return "bool";
    case kDate: return "date32";
    case kTimestamp: return nanos ? "timestamp[ns]" : "timestamp[us]";
    default: return utf8 ? "string" : "binary";
  }
}

ArrowColumn TableBuilder::ColumnBuilder::finish(std::string name, const TableOptions& options,
                                                const ColumnType& type) {
  const bool infer = options.infer_types;
  ArrowColumn out;
  out.name = std::move(name);
  out.length = static_cast<std::int64_t>(cells_);
  const unsigned c = type.kind;
  out.format = type.format();
  if (target_ != 0 && c == target_) {
    // Converted as they came: the buffers are the column's.
    out.values = std::move(typed_);
    out.null_count = static_cast<std::int64_t>(empties_);
    if (empties_ != 0) out.validity = std::move(valid_);
    valid_.reset();
    return out;
  }
  if (c == kInt) {
    finish_fixed<std::int64_t>(out, [](std::string_view v) {
      std::int64_t x = 0;
      parse_int64(v, x);
      return x;
    });
  } else if (c == kFloatPoint || c == kFloatComma) {
    const char mark = c == kFloatPoint ? '.' : ',';
    finish_fixed<double>(out, [mark](std::string_view v) { return float64_value(v, mark); });
  } else if (c == kBool) {
    const std::size_t n = cells_;
    out.values.resize_zeroed((n + 7) / 8);
    std::uint8_t* bits = out.values.data();
    if (empties_ == 0) {
      for_each_value([&](std::size_t i, std::string_view v) {
        if ((v[0] | 0x20) == 't') set_bit(bits, i);
      });
      out.null_count = 0;
    } else {
      out.validity.resize_zeroed((n + 7) / 8);
      std::uint8_t* valid = out.validity.data();
      out.null_count = for_each_value([&](std::size_t i, std::string_view v) {
        set_bit(valid, i);
        // Every value is true or false in some letter case.
        if ((v[0] | 0x20) == 't') set_bit(bits, i);
      });
    }
  } else if (c == kDate) {
    finish_fixed<std::int32_t>(out, [](std::string_view v) {
      std::int32_t d = 0;
      parse_date32(v, d);
      return d;
    });
  } else if (c == kTimestamp) {
    const bool nanos = type.nanos;
    finish_fixed<std::int64_t>(out, [nanos](std::string_view v) {
      TimestampValue t;
      parse_timestamp(v, t);
      return nanos ? t.seconds * 1000000000 + t.nanos : t.seconds * 1000000 + t.nanos / 1000;
    });
  } else {
    finish_strings(out, infer, type.layout, type.utf8);
    return out;
  }
  offsets_.reset();
  views_.reset();
  data_.reset();
  present_.reset();
  return out;
}

std::optional<std::pair<std::size_t, std::string>> TableBuilder::ColumnBuilder::first_misfit(
    const ColumnType& type) const {
  std::optional<std::pair<std::size_t, std::string>> found;
  if (target_ != 0) return found;  // no text kept (such rows are taken again)
  for_each_value([&](std::size_t i, std::string_view v) {
    if (found) return;
    Facts one;
    one.cells = 1;
    one.narrow(v, false, true);
    if (!type.holds(one)) found.emplace(i, std::string(v));
  });
  return found;
}

std::vector<std::size_t> TableBuilder::buffer_sizes() const {
  std::vector<std::size_t> sizes;
  sizes.reserve(2 * columns_.size());
  for (const ColumnBuilder& c : columns_) {
    sizes.push_back(c.cell_bytes());
    sizes.push_back(c.data_bytes());
  }
  return sizes;
}

void TableBuilder::reserve_like(const std::vector<std::size_t>& sizes) {
  if (rows_ != 0 || expect_header_) return;
  ensure_columns(sizes.size() / 2);
  for (std::size_t i = 0; i + 1 < sizes.size(); i += 2) {
    // A little over: ranges are alike, not equal.
    columns_[i / 2].reserve(sizes[i] + sizes[i] / 8, sizes[i + 1] + sizes[i + 1] / 8);
  }
}

void TableBuilder::set_targets(const Schema& schema) {
  if (rows_ != 0 || expect_header_ || !options_.infer_types) return;
  ensure_columns(schema.types.size());
  for (std::size_t i = 0; i < schema.types.size(); ++i) {
    if (schema.types[i].utf8) columns_[i].set_target(schema.types[i].kind);
  }
}

bool TableBuilder::misfit() const noexcept {
  return std::any_of(columns_.begin(), columns_.end(),
                     [](const ColumnBuilder& c) { return c.misfit(); });
}

void TableBuilder::append_line(std::string_view line, unsigned char delimiter, bool ascii) {
  const bool utf8 = ascii || valid_utf8_prefix(line.data(), line.size()) == line.size();
  const char* begin = line.data();
  const char* p = begin;
  const char* const end = p + line.size();
  if (expect_header_) {
    append_row_with(
        [&](auto&& visit) {
          while (true) {
            const void* hit = std::memchr(p, delimiter, static_cast<std::size_t>(end - p));
            const char* stop = hit == nullptr ? end : static_cast<const char*>(hit);
            visit(std::string_view(p, static_cast<std::size_t>(stop - p)));
            if (stop == end) return;
            p = stop + 1;
          }
        },
        utf8);
    return;
  }
  const bool infer = options_.infer_types;
  std::size_t col = 0;
  std::size_t width = columns_.size();
  ColumnBuilder* columns = columns_.data();
  auto field = [&](const char* stop) {
    if (col == width) [[unlikely]] {
      add_column();
      width = columns_.size();
      columns = columns_.data();
    }
    columns[col++].append(std::string_view(begin, static_cast<std::size_t>(stop - begin)), utf8,
                          infer);
    begin = stop + 1;
  };
  // Sixteen to sixty-four bytes at a time, as wide as the processor goes:
  // one mask gives every delimiter among them.
  const simd::Targets targets{{delimiter, delimiter, delimiter, delimiter}, false};
  for (; end - p >= 64; p += 64) {
    for (std::uint64_t mask = simd::match(p, 64, targets); mask != 0; mask &= mask - 1)
      field(p + std::countr_zero(mask));
  }
  for (std::uint64_t mask = simd::match(p, static_cast<std::size_t>(end - p), targets); mask != 0;
       mask &= mask - 1)
    field(p + std::countr_zero(mask));
  field(end);
  end_row(col);
}

std::vector<std::string> TableBuilder::combine_header_parts() {
  std::vector<std::string> names = combine_header_rows(header_parts_);
  header_parts_.clear();
  return names;
}

std::vector<std::string> TableBuilder::column_names(std::size_t width, std::size_t& repaired) {
  repaired = 0;
  if (!options_.header) return positional_names(width);
  for (std::string& h : header_) {
    if (is_utf8_name(h)) continue;
    std::string fixed;
    append_utf8_lossy(fixed, h.data(), h.size());
    for (std::size_t p; (p = fixed.find('\0')) != std::string::npos;)
      fixed.replace(p, 1, "\xEF\xBF\xBD");
    h = std::move(fixed);
    ++repaired;
  }
  return unique_header_names(std::move(header_), width);
}

TableBuilder::Schema TableBuilder::settle_schema() {
  if (expect_header_ && !header_parts_.empty()) {
    header_ = combine_header_parts();
    ensure_columns(header_.size());
  }
  Schema schema;
  schema.names = column_names(columns_.size(), schema.names_repaired);
  schema.positional = !options_.header;
  // A batch's text is a few MiB: 32-bit offsets (or views) hold it.
  const StringLayout layout = options_.string_views ? StringLayout::kViews : StringLayout::kNarrow;
  for (const ColumnBuilder& c : columns_) {
    schema.types.push_back(ColumnType::of(options_, c.facts(options_.string_views), layout));
  }
  return schema;
}

std::string TableBuilder::widen_to_fit(Schema& schema, std::uint64_t first_row) const {
  std::string changed;
  const std::size_t width = std::min(schema.types.size(), columns_.size());
  if (columns_.size() > schema.types.size()) {
    std::vector<std::string> names = schema.names;
    names.resize(columns_.size());
    schema.names = schema.positional ? positional_names(columns_.size())
                                     : unique_header_names(std::move(names), columns_.size());
    ColumnType text;
    text.layout = options_.string_views ? StringLayout::kViews : StringLayout::kNarrow;
    for (std::size_t i = schema.types.size(); i < columns_.size(); ++i) {
      text.utf8 = columns_[i].facts(false).utf8;
      schema.types.push_back(text);
    }
    changed = "row " + std::to_string(first_row + 1) + " or a later one has " +
              std::to_string(columns_.size()) + " fields, more than the " + std::to_string(width) +
              " columns of the first rows: the columns after them are added as text";
  }
  for (std::size_t i = 0; i < width; ++i) {
    ColumnType& type = schema.types[i];
    const Facts facts = columns_[i].facts(false);
    if (type.holds(facts)) continue;
    const auto misfit = columns_[i].first_misfit(type);
    const char* was = type.name();
    type.kind = 0;
    type.utf8 = type.utf8 && facts.utf8;
    if (!changed.empty()) changed += "; ";
    changed += "column '" + schema.names[i] + "' was typed " + was +
               " from the first rows, but row " +
               std::to_string(first_row + 1 + (misfit ? misfit->first : 0)) + " holds " +
               (misfit ? "'" + misfit->second + "'" : "a value") + ": it is " + type.name() +
               " from there on";
  }
  return changed;
}

void TableBuilder::add_facts(std::vector<Facts>& seen) const {
  if (seen.size() < columns_.size()) seen.resize(columns_.size());
  for (std::size_t i = 0; i < columns_.size(); ++i) seen[i].add(columns_[i].facts(false));
}

bool TableBuilder::settles(const Schema& schema, std::vector<Facts> seen) const {
  if (seen.size() > schema.types.size()) return false;
  seen.resize(schema.types.size());
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const ColumnType want = ColumnType::of(options_, seen[i], schema.types[i].layout);
    const ColumnType& have = schema.types[i];
    if (want.kind != have.kind || want.utf8 != have.utf8) return false;
    if (want.kind == kTimestamp && (want.nanos != have.nanos || want.utc != have.utc)) return false;
  }
  return true;
}

ArrowTable TableBuilder::finish_batch(const Schema& schema, std::uint64_t first_row) {
  const std::size_t width = schema.types.size();
  if (columns_.size() > width) {
    throw SchemaMisfit("row " + std::to_string(first_row + 1) + " or a later one has " +
                       std::to_string(columns_.size()) + " fields, more than the " +
                       std::to_string(width) + " columns settled");
  }
  ensure_columns(width);
  std::vector<ArrowColumn> columns(width);
  for (std::size_t i = 0; i < width; ++i) {
    const ColumnType& type = schema.types[i];
    ColumnBuilder& c = columns_[i];
    if (!type.holds(c.facts(false))) {
      const auto misfit = c.first_misfit(type);
      throw SchemaMisfit(
          "column '" + schema.names[i] + "' was settled as " + type.name() + ", but row " +
          std::to_string(first_row + 1 + (misfit ? misfit->first : 0)) + " holds " +
          (misfit ? "'" + misfit->second + "'" : "a value") + ", which it does not hold unchanged");
    }
    // The schema's text columns take 32-bit offsets (or views): a batch is
    // a few MiB, so only a single value of gigabytes goes past them.
    const std::size_t narrow = std::min<std::size_t>(options_.narrow_offsets_up_to, INT32_MAX);
    if (type.kind == 0 && c.text_bytes_bound() > narrow && c.text_bytes() > narrow) {
      throw SchemaMisfit("column '" + schema.names[i] + "' holds more text in one batch than " +
                         "32-bit offsets reach");
    }
    columns[i] = c.finish(schema.names[i], options_, type);
  }
  ArrowTable out(std::move(columns), static_cast<std::int64_t>(rows_), schema.names_repaired);
  columns_.clear();
  rows_ = 0;
  return out;
}

ArrowTable TableBuilder::finish(unsigned threads) {
  TableBuilder* self = this;
  return finish_ranges(std::span<TableBuilder* const>(&self, 1), threads);
}

ArrowTable TableBuilder::finish_ranges(std::span<TableBuilder* const> ranges, unsigned threads) {
  TableBuilder& first = *ranges[0];
  const TableOptions& options = first.options_;
  // A header of several rows cut short by the end of the text.
  if (first.expect_header_ && !first.header_parts_.empty()) {
    first.header_ = first.combine_header_parts();
    first.ensure_columns(first.header_.size());
  }
  std::size_t width = 0;
  for (const TableBuilder* r : ranges) width = std::max(width, r->columns_.size());
  // A range that never saw a row as wide as another's has those columns
  // missing in all its rows.
  for (TableBuilder* r : ranges) r->ensure_columns(width);
  std::size_t repaired = 0;
  std::vector<std::string> names = first.column_names(width, repaired);
  // Each column's type and layout, from its facts over every range.
  std::vector<ColumnType> types(width);
  for (std::size_t i = 0; i < width; ++i) {
    Facts whole;
    for (const TableBuilder* r : ranges) whole.add(r->columns_[i].facts(options.string_views));
    types[i] = ColumnType::of(options, whole, string_layout(options, whole, [&] {
                                std::size_t total = 0;
                                for (const TableBuilder* r : ranges)
                                  total += r->columns_[i].text_bytes();
                                return total;
                              }));
  }
  std::vector<TableBuilder*> parts;
  for (TableBuilder* r : ranges) {
    if (r->rows_ != 0) parts.push_back(r);
  }
  if (parts.empty()) parts.push_back(&first);
  std::vector<ArrowBatch> out(parts.size());
  for (std::size_t b = 0; b < parts.size(); ++b) {
    out[b].columns.resize(width);
    out[b].rows = static_cast<std::int64_t>(parts[b]->rows_);
  }
  // Every range's columns are independent once their types are known: each
  // is built and its text freed by whichever thread takes it next. An
  // exception (out of memory) stops the others from taking more and is
  // rethrown here.
  const std::size_t tasks = parts.size() * width;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex error_mutex;
  auto work = [&]() noexcept {
    while (!failed.load(std::memory_order_relaxed)) {
      const std::size_t k = next.fetch_add(1, std::memory_order_relaxed);
      if (k >= tasks) return;
      const std::size_t b = k / width;
      const std::size_t i = k % width;
      try {
        // The names go with the first batch, which the schema is made from.
        std::string name = b == 0 ? std::move(names[i]) : std::string();
        out[b].columns[i] = parts[b]->columns_[i].finish(std::move(name), options, types[i]);
      } catch (...) {
        std::lock_guard<std::mutex> lock(error_mutex);
        if (!error) error = std::current_exception();
        failed = true;
      }
    }
  };
  // The calling thread works too: threads - 1 tasks for the pool.
  const std::size_t wanted = std::min<std::size_t>(threads == 0 ? 1 : threads, tasks);
  {
    TaskGroup helpers;
    for (std::size_t t = 1; t < wanted; ++t) {
      try {
        helpers.run(work);
      } catch (const std::bad_alloc&) {
        break;  // the calling thread does the rest
      }
    }
    work();
  }
  if (error) std::rethrow_exception(error);
  for (TableBuilder* r : ranges) {
    r->columns_.clear();
    r->header_.clear();
    r->rows_ = 0;
    r->expect_header_ = r->options_.header;
  }
  return ArrowTable(std::move(out), repaired);
}

// ---------------------------------------------------------------------------
// Export through the C data interface, built and validated by nanoarrow.
// The columns' buffers are handed over as they are: each exported column
// holds a reference to the table, so the table lives until the last array
// made from it is released, and it can be exported any number of times.

namespace {

// Arrow names are NUL-terminated UTF-8.
bool is_utf8_name(std::string_view s) noexcept {
  return s.find('\0') == std::string_view::npos &&
         valid_utf8_prefix(s.data(), s.size()) == s.size();
}

// Some consumers dereference a buffer of length zero: never hand out null.
const std::uint8_t kEmptyBytes[8] = {};

void drop_table_reference(ArrowBufferAllocator* allocator, std::uint8_t*, std::int64_t) {
  delete static_cast<SharedTable*>(allocator->private_data);
}
void keep_bytes(ArrowBufferAllocator*, std::uint8_t*, std::int64_t) {}

// Makes buffer i of `array` the bytes of `bytes` without copying them.
// With `owner`, releasing the buffer drops that reference to the table;
// else the table's memory is left alone. Takes `owner` in every case.
int lend_buffer(ArrowArray* array, std::int64_t i, const Buffer& bytes, SharedTable* owner) {
  ArrowBuffer b;
  ArrowBufferInit(&b);
  b.allocator = owner != nullptr ? ArrowBufferDeallocator(drop_table_reference, owner)
                                 : ArrowBufferDeallocator(keep_bytes, nullptr);
  b.data = const_cast<std::uint8_t*>(bytes.data() != nullptr ? bytes.data() : kEmptyBytes);
  b.size_bytes = b.capacity_bytes = static_cast<std::int64_t>(bytes.size());
  const int rc = ArrowArraySetBuffer(array, i, &b);
  if (rc != NANOARROW_OK) ArrowBufferReset(&b);
  return rc;
}

// Fills one column's array (made from `schema`) with the column's buffers.
int lend_column(ArrowArray* array, const ArrowSchema* schema, const ArrowColumn& c,
                const SharedTable& table) {
  ArrowSchemaView view;
  NANOARROW_RETURN_NOT_OK(ArrowSchemaViewInit(&view, schema, nullptr));
  array->length = c.length;
  array->null_count = c.null_count;
  // The first buffer set holds the column's reference to the table: every
  // buffer of a column is released together.
  auto* owner = new (std::nothrow) SharedTable(table);
  if (owner == nullptr) return ENOMEM;
  NANOARROW_RETURN_NOT_OK(lend_buffer(array, 1, c.values, owner));
  if (c.null_count != 0) NANOARROW_RETURN_NOT_OK(lend_buffer(array, 0, c.validity, nullptr));
  if (view.type == NANOARROW_TYPE_STRING_VIEW || view.type == NANOARROW_TYPE_BINARY_VIEW) {
    // Views point into at most one data buffer; without one every value
    // is inline. nanoarrow writes the sizes of the data buffers.
    if (c.data.empty()) return NANOARROW_OK;
    NANOARROW_RETURN_NOT_OK(ArrowArrayAddVariadicBuffers(array, 1));
    return lend_buffer(array, 2, c.data, nullptr);
  }
  if (view.layout.buffer_type[2] == NANOARROW_BUFFER_TYPE_DATA)
    return lend_buffer(array, 2, c.data, nullptr);
  return NANOARROW_OK;
}

// Releases an exported struct still owned here.
struct Releasing {
  ArrowSchema* schema = nullptr;
  ArrowArray* array = nullptr;
  ~Releasing() {
    if (schema != nullptr && schema->release != nullptr) schema->release(schema);
    if (array != nullptr && array->release != nullptr) array->release(array);
  }
};

struct StreamPrivate {
  SharedTable table;
  std::size_t next_batch = 0;
  const char* last_error = nullptr;
};

const char* error_text(int rc) noexcept {
  return rc == 0 ? nullptr : rc == ENOMEM ? "out of memory" : "invalid Arrow array";
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* s = static_cast<StreamPrivate*>(stream->private_data);
  const int rc = s->table->export_schema(out);
  s->last_error = error_text(rc);
  return rc;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* s = static_cast<StreamPrivate*>(stream->private_data);
  if (s->next_batch >= s->table->num_batches()) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  const int rc = export_array(s->table, out, s->next_batch);
  s->last_error = error_text(rc);
  if (rc == 0) ++s->next_batch;
  return rc;
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  return static_cast<StreamPrivate*>(stream->private_data)->last_error;
}

void stream_release(ArrowArrayStream* stream) {
  if (stream == nullptr || stream->release == nullptr) return;
  delete static_cast<StreamPrivate*>(stream->private_data);
  stream->release = nullptr;
  stream->private_data = nullptr;
}

}  // namespace

ArrowTable::ArrowTable(std::vector<ArrowColumn> columns, std::int64_t rows,
                       std::size_t names_repaired)
    : rows_(rows), names_repaired_(names_repaired) {
  batches_.resize(1);
  batches_[0].columns = std::move(columns);
  batches_[0].rows = rows;
}

ArrowTable::ArrowTable(std::vector<ArrowBatch> batches, std::size_t names_repaired)
    : batches_(std::move(batches)), names_repaired_(names_repaired) {
  for (const ArrowBatch& b : batches_) rows_ += b.rows;
}

int ArrowTable::export_schema(ArrowSchema* out) const noexcept {
  ArrowSchema schema;
  ArrowSchemaInit(&schema);
  Releasing guard{&schema};
  const std::size_t n = num_columns();
  NANOARROW_RETURN_NOT_OK(ArrowSchemaSetTypeStruct(&schema, static_cast<std::int64_t>(n)));
  NANOARROW_RETURN_NOT_OK(ArrowSchemaSetName(&schema, ""));
  schema.flags = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const ArrowColumn& c = column(i);
    NANOARROW_RETURN_NOT_OK(ArrowSchemaSetFormat(schema.children[i], c.format));
    NANOARROW_RETURN_NOT_OK(ArrowSchemaSetName(schema.children[i], c.name.c_str()));
  }
  ArrowSchemaMove(&schema, out);
  return 0;
}

int export_array(const SharedTable& table, ArrowArray* out, std::size_t b) noexcept {
  if (b >= table->num_batches()) return EINVAL;
  const ArrowBatch& batch = table->batch(b);
  ArrowSchema schema{};
  ArrowArray array{};
  Releasing guard{&schema, &array};
  NANOARROW_RETURN_NOT_OK(table->export_schema(&schema));
  NANOARROW_RETURN_NOT_OK(ArrowArrayInitFromSchema(&array, &schema, nullptr));
  for (std::size_t i = 0; i < batch.columns.size(); ++i) {
    NANOARROW_RETURN_NOT_OK(
        lend_column(array.children[i], schema.children[i], batch.columns[i], table));
  }
  array.length = batch.rows;
  array.null_count = 0;
  // The checks that cost nothing per value: every buffer is there and
  // large enough for the length, and the last offset is within the data.
  NANOARROW_RETURN_NOT_OK(
      ArrowArrayFinishBuilding(&array, NANOARROW_VALIDATION_LEVEL_DEFAULT, nullptr));
  ArrowArrayMove(&array, out);
  return 0;
}

int export_stream(SharedTable table, ArrowArrayStream* out) noexcept {
  auto* priv = new (std::nothrow) StreamPrivate{std::move(table)};
  if (priv == nullptr) return ENOMEM;
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_get_last_error;
  out->release = stream_release;
  out->private_data = priv;
  return 0;
}

int ArrowTable::export_array(ArrowArray* out) noexcept {
  // The buffers move into a table the batch shares; on failure they move
  // back, leaving this table whole.
  std::shared_ptr<ArrowTable> moved;
  try {
    moved = std::make_shared<ArrowTable>();
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  *moved = std::move(*this);
  const int rc = gleave::table::export_array(moved, out);
  if (rc != 0) *this = std::move(*moved);
  return rc;
}

int export_stream(ArrowTable&& table, ArrowArrayStream* out) noexcept {
  std::shared_ptr<ArrowTable> moved;
  try {
    moved = std::make_shared<ArrowTable>();
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  *moved = std::move(table);
  const int rc = export_stream(SharedTable(moved), out);
  if (rc != 0) table = std::move(*moved);
  return rc;
}

}  // namespace gleave::table
