#include "table/table_builder.hpp"

#include <cerrno>
#include <climits>
#include <memory>
#include <new>

#include "table/column_names.hpp"
#include "text.hpp"

namespace gleave::table {

namespace {
bool is_utf8_name(std::string_view s) noexcept;
}  // namespace

// ---------------------------------------------------------------------------
// Building

TableBuilder::ColumnBuilder::ColumnBuilder(std::size_t missing_rows, unsigned candidates)
    : cells_(missing_rows), candidates_(candidates) {
  offsets_.resize_zeroed((missing_rows + 1) * sizeof(std::int64_t));
  if (missing_rows != 0) present_.resize_zeroed((missing_rows + 7) / 8);
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
  if (present_.empty()) {
    // Every earlier cell exists: the bitmap starts all ones.
    present_.resize_zeroed((cells_ + 8) / 8);
    for (std::size_t i = 0; i < cells_ / 8; ++i) present_.data()[i] = 0xFF;
    for (std::size_t i = cells_ / 8 * 8; i < cells_; ++i) set_bit(present_.data(), i);
  }
  mark_present(cells_, false);
  offsets_.push<std::int64_t>(offsets_.as<std::int64_t>()[cells_]);
  ++cells_;
}

bool TableBuilder::ColumnBuilder::is_utf8(std::string_view f) noexcept {
  return is_ascii(f.data(), f.size()) || valid_utf8_prefix(f.data(), f.size()) == f.size();
}

void TableBuilder::ColumnBuilder::narrow(std::string_view f) noexcept {
  unsigned c = candidates_;
  if (c & (kInt | kFloatPoint | kFloatComma)) {
    std::int64_t i;
    double d;
    const bool is_int = (c & kInt) && parse_int64(f, i);
    if (!is_int) c &= ~kInt;
    // An integer of at most fifteen characters is also an exact double.
    if (!(is_int && f.size() <= 15)) {
      if ((c & kFloatPoint) && !parse_float64(f, '.', d)) c &= ~kFloatPoint;
      if ((c & kFloatComma) && !parse_float64(f, ',', d)) c &= ~kFloatComma;
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
      (t.has_offset ? seen_offset_ : seen_local_) = true;
      if (seen_offset_ && seen_local_) c &= ~kTimestamp;
      if (t.fraction_digits > max_fraction_) max_fraction_ = t.fraction_digits;
      if (t.seconds < min_seconds_) min_seconds_ = t.seconds;
      if (t.seconds > max_seconds_) max_seconds_ = t.seconds;
    }
  }
  candidates_ = c;
}

template <class T, class Parse>
void TableBuilder::ColumnBuilder::finish_fixed(ArrowColumn& out, Parse&& parse) {
  const std::size_t n = cells_;
  out.values.resize_zeroed(n * sizeof(T));
  out.validity.resize_zeroed((n + 7) / 8);
  T* values = out.values.as<T>();
  std::uint8_t* valid = out.validity.data();
  std::int64_t nulls = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string_view v = cell(i);
    if (v.empty() || !is_present(i)) {
      ++nulls;
      continue;
    }
    set_bit(valid, i);
    values[i] = parse(v);
  }
  out.null_count = nulls;
  if (nulls == 0) out.validity.reset();
}

void TableBuilder::ColumnBuilder::finish_strings(ArrowColumn& out, bool infer) {
  const std::size_t n = cells_;
  const auto* offsets = offsets_.as<std::int64_t>();
  std::int64_t nulls = 0;
  if (infer || !present_.empty()) {
    out.validity.resize_zeroed((n + 7) / 8);
    std::uint8_t* valid = out.validity.data();
    for (std::size_t i = 0; i < n; ++i) {
      if (is_present(i) && !(infer && offsets[i + 1] == offsets[i])) {
        set_bit(valid, i);
      } else {
        ++nulls;
      }
    }
  }
  out.null_count = nulls;
  if (nulls == 0) out.validity.reset();
  present_.reset();
  // 32-bit offsets when the bytes allow: half the offset memory and the
  // type every consumer reads natively. Past 2 GiB in one column the offsets
  // stay 64-bit (large_utf8): one batch keeps the table's row order and
  // chunking simple, and every consumer reads large strings too.
  const bool large = data_.size() > static_cast<std::size_t>(INT32_MAX);
  if (!large) {
    // In place, front to back: element i of the narrow array never lies
    // past element i of the wide one.
    auto* narrow = offsets_.as<std::int32_t>();
    for (std::size_t i = 0; i <= n; ++i) narrow[i] = static_cast<std::int32_t>(offsets[i]);
    offsets_.resize((n + 1) * sizeof(std::int32_t));
    offsets_.shrink_to_fit();
  }
  out.format = utf8_ ? (large ? "U" : "u") : (large ? "Z" : "z");
  out.values = std::move(offsets_);
  data_.shrink_to_fit();
  out.data = std::move(data_);
}

ArrowColumn TableBuilder::ColumnBuilder::finish(std::string name, bool infer, bool decimal_comma) {
  ArrowColumn out;
  out.name = std::move(name);
  out.length = static_cast<std::int64_t>(cells_);
  unsigned c = infer && utf8_ ? candidates_ : 0;
  if (!decimal_comma) c &= ~kFloatComma;
  // A column of nothing but nulls has no evidence of a type.
  bool any_value = false;
  if (c != 0) {
    const auto* o = offsets_.as<std::int64_t>();
    any_value = o[cells_] != 0;
  }
  if (!any_value) c = 0;
  if (c & kTimestamp) {
    // Nanoseconds hold the years 1677 to 2262 only: outside them a column
    // with sub-microsecond digits stays text rather than lose them.
    constexpr std::int64_t kLowest = INT64_MIN / 1000000000 + 1;
    constexpr std::int64_t kHighest = INT64_MAX / 1000000000 - 1;
    if (max_fraction_ > 6 && (min_seconds_ < kLowest || max_seconds_ > kHighest)) c &= ~kTimestamp;
  }
  if (c & kInt) {
    out.format = "l";
    finish_fixed<std::int64_t>(out, [](std::string_view v) {
      std::int64_t x = 0;
      parse_int64(v, x);
      return x;
    });
  } else if (c & (kFloatPoint | kFloatComma)) {
    const char mark = (c & kFloatPoint) ? '.' : ',';
    out.format = "g";
    finish_fixed<double>(out, [mark](std::string_view v) {
      double x = 0;
      parse_float64(v, mark, x);
      return x;
    });
  } else if (c & kBool) {
    // Parse to one byte per value first, then pack: simple and still linear.
    out.format = "b";
    finish_fixed<std::uint8_t>(out, [](std::string_view v) {
      bool b = false;
      parse_bool(v, b);
      return static_cast<std::uint8_t>(b);
    });
    Buffer bits;
    bits.resize_zeroed((cells_ + 7) / 8);
    const std::uint8_t* bytes = out.values.data();
    for (std::size_t i = 0; i < cells_; ++i) {
      if (bytes[i]) set_bit(bits.data(), i);
    }
    out.values = std::move(bits);
  } else if (c & kDate) {
    out.format = "tdD";
    finish_fixed<std::int32_t>(out, [](std::string_view v) {
      std::int32_t d = 0;
      parse_date32(v, d);
      return d;
    });
  } else if (c & kTimestamp) {
    const bool nanos = max_fraction_ > 6;
    out.format = nanos ? (seen_offset_ ? "tsn:UTC" : "tsn:") : (seen_offset_ ? "tsu:UTC" : "tsu:");
    finish_fixed<std::int64_t>(out, [nanos](std::string_view v) {
      TimestampValue t;
      parse_timestamp(v, t);
      return nanos ? t.seconds * 1000000000 + t.nanos : t.seconds * 1000000 + t.nanos / 1000;
    });
  } else {
    finish_strings(out, infer);
    return out;
  }
  offsets_.reset();
  data_.reset();
  present_.reset();
  return out;
}

ArrowTable TableBuilder::finish() {
  const std::size_t width = columns_.size();
  std::size_t repaired = 0;
  std::vector<std::string> names;
  if (options_.header) {
    for (std::string& h : header_) {
      const bool clean = is_utf8_name(h);
      if (!clean) {
        std::string fixed;
        append_utf8_lossy(fixed, h.data(), h.size());
        for (std::size_t p; (p = fixed.find('\0')) != std::string::npos;)
          fixed.replace(p, 1, "\xEF\xBF\xBD");
        h = std::move(fixed);
        ++repaired;
      }
    }
    names = unique_header_names(std::move(header_), width);
  } else {
    names = positional_names(width);
  }
  std::vector<ArrowColumn> out;
  out.reserve(width);
  for (std::size_t i = 0; i < width; ++i) {
    out.push_back(
        columns_[i].finish(std::move(names[i]), options_.infer_types, options_.decimal_comma));
  }
  const auto rows = static_cast<std::int64_t>(rows_);
  columns_.clear();
  header_.clear();
  rows_ = 0;
  expect_header_ = options_.header;
  return ArrowTable(std::move(out), rows, repaired);
}

// ---------------------------------------------------------------------------
// Export through the C data interface. Every exported struct owns its
// private data; a parent's release releases the children still owned (a
// consumer may move a child out first, which marks it released).

namespace {

const std::uint8_t kEmptyBytes[8] = {};

// Arrow names are NUL-terminated UTF-8.
bool is_utf8_name(std::string_view s) noexcept {
  return s.find('\0') == std::string_view::npos &&
         valid_utf8_prefix(s.data(), s.size()) == s.size();
}

struct SchemaPrivate {
  std::string format;
  std::string name;
  std::vector<ArrowSchema> child_structs;
  std::vector<ArrowSchema*> child_pointers;
};

void release_schema(ArrowSchema* schema) noexcept {
  if (schema == nullptr || schema->release == nullptr) return;
  for (std::int64_t i = 0; i < schema->n_children; ++i) {
    ArrowSchema* child = schema->children[i];
    if (child->release != nullptr) child->release(child);
  }
  delete static_cast<SchemaPrivate*>(schema->private_data);
  schema->release = nullptr;
  schema->private_data = nullptr;
}

void fill_schema(ArrowSchema* out, SchemaPrivate* priv, std::int64_t flags) noexcept {
  out->format = priv->format.c_str();
  out->name = priv->name.c_str();
  out->metadata = nullptr;
  out->flags = flags;
  out->n_children = static_cast<std::int64_t>(priv->child_pointers.size());
  out->children = priv->child_pointers.empty() ? nullptr : priv->child_pointers.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = priv;
}

struct ArrayPrivate {
  ArrowColumn column;  // empty for the struct array
  const void* buffers[3] = {};
  std::vector<ArrowArray> child_structs;
  std::vector<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* array) noexcept {
  if (array == nullptr || array->release == nullptr) return;
  for (std::int64_t i = 0; i < array->n_children; ++i) {
    ArrowArray* child = array->children[i];
    if (child->release != nullptr) child->release(child);
  }
  delete static_cast<ArrayPrivate*>(array->private_data);
  array->release = nullptr;
  array->private_data = nullptr;
}

void fill_column_array(ArrowArray* out, ArrayPrivate* priv) noexcept {
  ArrowColumn& c = priv->column;
  const bool is_string = c.format[0] != '\0' && (c.format[0] == 'u' || c.format[0] == 'U' ||
                                                 c.format[0] == 'z' || c.format[0] == 'Z');
  priv->buffers[0] = c.null_count == 0 ? nullptr : c.validity.data();
  // Some consumers dereference a buffer of length zero: never hand out null.
  priv->buffers[1] = c.values.data() != nullptr ? c.values.data() : kEmptyBytes;
  priv->buffers[2] = c.data.data() != nullptr ? c.data.data() : kEmptyBytes;
  out->length = c.length;
  out->null_count = c.null_count;
  out->offset = 0;
  out->n_buffers = is_string ? 3 : 2;
  out->n_children = 0;
  out->buffers = priv->buffers;
  out->children = nullptr;
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = priv;
}

struct StreamPrivate {
  std::vector<std::string> names;
  std::vector<std::string> formats;
  ArrowTable table;
  bool batch_taken = false;
  std::string last_error;
};

int schema_of(const std::vector<std::string>& names, const std::vector<std::string>& formats,
              ArrowSchema* out) noexcept {
  try {
    // Allocate everything first: filling the structs cannot fail.
    const std::size_t n = names.size();
    auto priv = std::make_unique<SchemaPrivate>();
    priv->format = "+s";
    priv->child_structs.resize(n);
    priv->child_pointers.resize(n);
    std::vector<std::unique_ptr<SchemaPrivate>> children(n);
    for (std::size_t i = 0; i < n; ++i) {
      children[i] = std::make_unique<SchemaPrivate>();
      children[i]->format = formats[i];
      children[i]->name = names[i];
    }
    for (std::size_t i = 0; i < n; ++i) {
      fill_schema(&priv->child_structs[i], children[i].release(), ARROW_FLAG_NULLABLE);
      priv->child_pointers[i] = &priv->child_structs[i];
    }
    fill_schema(out, priv.release(), 0);
    return 0;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* s = static_cast<StreamPrivate*>(stream->private_data);
  const int rc = schema_of(s->names, s->formats, out);
  if (rc != 0) s->last_error = "out of memory";
  return rc;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* s = static_cast<StreamPrivate*>(stream->private_data);
  if (s->batch_taken) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  const int rc = s->table.export_array(out);
  if (rc != 0) {
    s->last_error = "out of memory";
    return rc;
  }
  s->batch_taken = true;
  return 0;
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  auto* s = static_cast<StreamPrivate*>(stream->private_data);
  return s->last_error.empty() ? nullptr : s->last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  if (stream == nullptr || stream->release == nullptr) return;
  delete static_cast<StreamPrivate*>(stream->private_data);
  stream->release = nullptr;
  stream->private_data = nullptr;
}

}  // namespace

int ArrowTable::export_schema(ArrowSchema* out) const noexcept {
  try {
    std::vector<std::string> names, formats;
    names.reserve(columns_.size());
    formats.reserve(columns_.size());
    for (const ArrowColumn& c : columns_) {
      names.push_back(c.name);
      formats.push_back(c.format);
    }
    return schema_of(names, formats, out);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

int ArrowTable::export_array(ArrowArray* out) noexcept {
  try {
    // Allocate everything first, then move the buffers: a failure leaves
    // the table whole.
    const std::size_t n = columns_.size();
    auto priv = std::make_unique<ArrayPrivate>();
    priv->child_structs.resize(n);
    priv->child_pointers.resize(n);
    std::vector<std::unique_ptr<ArrayPrivate>> children(n);
    for (auto& c : children) c = std::make_unique<ArrayPrivate>();
    for (std::size_t i = 0; i < n; ++i) {
      children[i]->column = std::move(columns_[i]);
      fill_column_array(&priv->child_structs[i], children[i].release());
      priv->child_pointers[i] = &priv->child_structs[i];
    }
    out->length = rows_;
    out->null_count = 0;
    out->offset = 0;
    out->n_buffers = 1;
    out->n_children = static_cast<std::int64_t>(n);
    out->buffers = priv->buffers;  // the struct's validity: none
    out->children = n == 0 ? nullptr : priv->child_pointers.data();
    out->dictionary = nullptr;
    out->release = release_array;
    out->private_data = priv.release();
    columns_.clear();
    rows_ = 0;
    return 0;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

int export_stream(ArrowTable&& table, ArrowArrayStream* out) noexcept {
  try {
    auto priv = std::make_unique<StreamPrivate>();
    for (const ArrowColumn& c : table.columns_) {
      priv->names.push_back(c.name);
      priv->formats.push_back(c.format);
    }
    priv->table = std::move(table);
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_get_last_error;
    out->release = stream_release;
    out->private_data = priv.release();
    return 0;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

}  // namespace gleave::table
