// One option of a dialect or a repair: its value, and whether the caller
// gave it. A value not given is a default until detection settles it; a
// value given stands whatever detection finds.
#pragma once

#include <optional>
#include <utility>

namespace gleave {

template <class T>
struct Option {
  T value{};
  bool given = false;

  constexpr Option() = default;
  // A default, not given.
  constexpr explicit Option(T v) : value(std::move(v)) {}

  // The caller's value.
  void give(T v) {
    value = std::move(v);
    given = true;
  }
  // The value given, or nothing when the value is a default or detected.
  std::optional<T> if_given() const { return given ? std::optional<T>(value) : std::nullopt; }

  constexpr operator const T&() const noexcept { return value; }
  // Not a test of whether the option is set: ask `given`, or test `value`.
  explicit operator bool() const = delete;
  bool operator==(const Option&) const = default;
};

}  // namespace gleave
