// The product's dialect and repair options, from the one table in
// options.def: the kinds that convert them, the values they convert to,
// their places in a callable's parameters, and the table as Python sees it.
#pragma once

#include "bindings/kit/arguments.hpp"  // Python.h comes first, before any standard header.

#include <cstdint>
#include <optional>
#include <string>

#include "engine/product_pass/product_pass.hpp"

namespace gleave::kit {

// A value as the caller left it: given or not, and what.
template <class T>
struct Option {
  T value{};
  bool given = false;
};

// How an option's Python value is checked and converted; `shown` is its
// default as the signature line shows it. Each convert() leaves `out` not
// given for a value that means "detect it", and returns false with
// TypeError, ValueError or LookupError set.
namespace kinds {
// None (detected), or one ASCII character or its name ("tab", "pipe", ...).
struct Delimiter {
  using Value = unsigned char;
  static constexpr const char* shown = "None";
  static bool convert(PyObject* value, const char* name, Option<Value>& out);
};
// Left out: detected; None: no quoting; else as a delimiter.
struct Quote {
  using Value = std::optional<unsigned char>;
  static constexpr const char* shown = "...";
  static bool convert(PyObject* value, const char* name, Option<Value>& out);
};
// The same with None meaning "none of it" (quotes doubled, no comments).
struct CharOrNone : Quote {};
// A bool, on unless given.
struct Switch {
  using Value = bool;
  static constexpr const char* shown = "True";
  static bool convert(PyObject* value, const char* name, Option<Value>& out);
};
// None (detected), or a bool.
struct MaybeSwitch : Switch {
  static constexpr const char* shown = "None";
  static bool convert(PyObject* value, const char* name, Option<Value>& out);
};
// None (inferred or detected), or an int from 0 to 2**64 - 1.
struct MaybeCount {
  using Value = std::uint64_t;
  static constexpr const char* shown = "None";
  static bool convert(PyObject* value, const char* name, Option<Value>& out);
};
struct Width : MaybeCount {};
// None (detected), or an encoding's name as iconv or Python's codecs know it.
struct Encoding {
  using Value = std::string;
  static constexpr const char* shown = "None";
  static bool convert(PyObject* value, const char* name, Option<Value>& out);
};
}  // namespace kinds

inline constexpr unsigned kPositional = 1;
inline constexpr unsigned kRepairOnly = 2;

// Every option, as given.
struct OptionValues {
#define GLEAVE_OPTION(name, kind, scope, flags, metavar, help) Option<kinds::kind::Value> name;
#include "bindings/kit/options.def"
#undef GLEAVE_OPTION
};

// Which options a callable takes and how.
enum class OptionUse {
  Repair,             // all of them, the positional ones by position too
  RepairKeywordOnly,  // all of them, by keyword only
  Detect,             // those detect() takes, by keyword only
};

// How many options a callable of `use` takes.
constexpr std::size_t option_count(OptionUse use) {
  std::size_t n = 0;
#define GLEAVE_OPTION(name, kind, scope, flags, metavar, help) \
  n += use != OptionUse::Detect || ((scope)&kRepairOnly) == 0;
#include "bindings/kit/options.def"
#undef GLEAVE_OPTION
  return n;
}

// Adds the options of `use` to the parameters: the positional ones, then
// (for all) the keyword-only mark and the rest. Their values are bound in
// table order from the index returned.
Py_ssize_t add_options(Parameters& params, OptionUse use);

// Converts the bound values (NULL: not given) of the options of `use` and
// settles them into the engine's options and request, checking them
// together (a delimiter and a quote that differ, ...). False with an
// exception set.
bool options_from(PyObject* const* values, OptionUse use, GleaveOptions& options,
                  DialectRequest& request);

// A switch given by keyword: bool only. False with TypeError set.
bool bool_from(PyObject* value, const char* name, bool& out);

// The table as a tuple of (name, kind, positional, repair_only, CLI flags,
// CLI metavar, CLI help) tuples; NULL with an exception set.
PyObject* option_table();

}  // namespace gleave::kit
