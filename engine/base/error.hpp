// The engine's error type. Engine operations return a value or a GleaveError;
// they never print, abort or throw across their interface. Turning an error
// into a Python exception is the CPython layer's job.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace gleave {

// Failures of the I/O layer that have a fixed text instead of an errno.
enum class IoFixed : std::uint8_t {
  None,                // the error carries an errno value
  NulInPath,           // "file name contained an unexpected NUL byte"
  OutOfMemory,         // "out of memory"
  WriteZero,           // "failed to write whole buffer"
  FlushZero,           // "failed to write the buffered data"
  QuarantineIsOutput,  // "quarantine path is the same file as the output path"
  QuarantineIsInput,   // "quarantine path is the same file as the input path"
  // Only the product layer's file jobs report these.
  OutputIsInput,  // "output path is the same file as the input path"
  Interrupted,    // "interrupted": the caller's interrupt check asked to stop
  NotText,        // "input does not look like text": NUL or mostly control bytes
};

// Which of a job's files an error concerns, so that a message can name it.
// Temporary: a spill file in the temporary directory (the path names that
// directory).
enum class IoRole : std::uint8_t { None, Input, Output, Quarantine, Temporary };

// "input", "output", "quarantine", "temporary" or "" for IoRole::None.
const char* role_name(IoRole role) noexcept;

struct IoError {
  int code = 0;  // errno value, meaningful when fixed == IoFixed::None
  IoFixed fixed = IoFixed::None;
  IoRole role = IoRole::None;
  std::string path;  // the path of that file as the caller spelled it ("" when unknown)

  static IoError from_errno(int code) { return IoError{code, IoFixed::None, IoRole::None, {}}; }
  static IoError from_fixed(IoFixed fixed) { return IoError{0, fixed, IoRole::None, {}}; }

  // The same error, naming the file it concerns. One that names its file
  // already (a spill in the temporary directory, met while reading the
  // input) keeps that name: it is the file the user must look at.
  IoError at(IoRole r, const std::string& p) && {
    if (role != IoRole::None) return std::move(*this);
    role = r;
    path = p;
    return std::move(*this);
  }

  // "{description} (os error {code})" for an errno, the fixed text otherwise.
  // The role and path are not part of it: callers that show them add them.
  std::string text() const;
};

struct InvalidError {
  std::string message;
};
struct ParseError {
  std::string message;
  std::uint64_t line = 0;
};
struct OtherError {
  std::string message;
};
// An input that cannot be read in the encoding named or detected.
struct EncodingError {
  std::string message;  // "unknown encoding: NAME"
};

// The kinds, in declaration order: Io, Invalid, Parse, Other, Encoding. The
// core's file repair only ever gives Io.
class GleaveError {
 public:
  enum class Kind : std::uint8_t { Io, Invalid, Parse, Other, Encoding };

  GleaveError(IoError e) : payload_(std::move(e)) {}
  GleaveError(InvalidError e) : payload_(std::move(e)) {}
  GleaveError(ParseError e) : payload_(std::move(e)) {}
  GleaveError(OtherError e) : payload_(std::move(e)) {}
  GleaveError(EncodingError e) : payload_(std::move(e)) {}

  Kind kind() const noexcept { return static_cast<Kind>(payload_.index()); }
  const IoError* io() const noexcept { return std::get_if<IoError>(&payload_); }
  IoError* io() noexcept { return std::get_if<IoError>(&payload_); }

  // The message a Python exception carries: the Io text, the message alone
  // for Invalid, Other and Encoding, "Line {}: {}" for Parse.
  std::string message() const;

 private:
  std::variant<IoError, InvalidError, ParseError, OtherError, EncodingError> payload_;
};

// A value or a GleaveError.
template <class T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(GleaveError error) : v_(std::move(error)) {}
  Result(IoError error) : v_(GleaveError(std::move(error))) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  GleaveError& error() { return std::get<1>(v_); }
  const GleaveError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, GleaveError> v_;
};

// Success with nothing to give back, or a GleaveError.
template <>
class Result<void> {
 public:
  Result() = default;
  Result(GleaveError error) : error_(std::move(error)) {}
  Result(IoError error) : error_(GleaveError(std::move(error))) {}

  bool ok() const noexcept { return !error_; }
  explicit operator bool() const noexcept { return ok(); }
  GleaveError& error() { return *error_; }
  const GleaveError& error() const { return *error_; }
  // The I/O error, for the helpers that name the file it concerns.
  IoError& io_error() { return *error_->io(); }

 private:
  std::optional<GleaveError> error_;
};

using Status = Result<void>;

}  // namespace gleave
