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

// How an option's Python value is checked and converted into the engine's
// field(s); `shown` is its default as the signature line shows it. A value
// that means "detect it" leaves the fields as they are. Each convert()
// returns false with TypeError, ValueError or LookupError set.
namespace kinds {
// None (detected), or one ASCII character or its name ("tab", "pipe", ...).
struct Delimiter {
  static constexpr const char* shown = "None";
  static bool convert(PyObject* value, const char* name, Option<unsigned char>& out);
};
// Left out: detected; given: None meaning no quoting and anything else as
// for a delimiter.
struct Quote {
  static constexpr const char* shown = "...";
  static bool convert(PyObject* value, const char* name, Option<std::optional<unsigned char>>& out);
};
// The same with None meaning "none of it" (quotes doubled, no comments).
struct CharOrNone : Quote {};
// A bool, on unless given.
struct Switch {
  static constexpr const char* shown = "True";
  static bool convert(PyObject* value, const char* name, Option<bool>& out);
};
// None (detected), or a bool.
struct MaybeSwitch {
  static constexpr const char* shown = "None";
  static bool convert(PyObject* value, const char* name, Option<bool>& out);
};
// None (inferred or detected), or an int from 0 to 2**64 - 1.
struct MaybeCount {
  static constexpr const char* shown = "None";
  static bool convert(PyObject* value, const char* name, Option<std::uint64_t>& out);
};
struct Width : MaybeCount {};
// None (detected), or an encoding's name as iconv or Python's codecs know it.
struct Encoding {
  static constexpr const char* shown = "None";
  static bool convert(PyObject* value, const char* name, Option<std::string>& out);
};
}  // namespace kinds

inline constexpr unsigned kPositional = 1;
inline constexpr unsigned kRepairOnly = 2;

// Which options a callable takes and how.
enum class OptionUse {
  Repair,             // all of them, the positional ones by position too
  RepairKeywordOnly,  // all of them, by keyword only
  Detect,             // those detect() takes, by keyword only
};

// How many options a callable of `use` takes.
constexpr std::size_t option_count(OptionUse use) {
  std::size_t n = 0;
#define GLEAVE_OPTION(name, kind, scope, field, flags, metavar, help, after, doc) \
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
// gives them to `dialect`, checking them together (Dialect::conflict: a
// delimiter and a quote that differ, ...). False with an exception set.
bool options_from(PyObject* const* values, OptionUse use, Dialect& dialect);

// The names of the options of `use`, in table order, joined by ", ": for
// the docs that list them.
std::string option_names(OptionUse use);

// A switch given by keyword: bool only. False with TypeError set.
bool bool_from(PyObject* value, const char* name, bool& out);

// The table as a tuple of (name, kind, positional, repair_only, CLI flags,
// CLI metavar, CLI help, Dialect field) tuples; NULL with an exception set.
PyObject* option_table();

}  // namespace gleave::kit
