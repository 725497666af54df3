#include "engine/base/error.hpp"

#include <cstring>

namespace gleave {

namespace {

// strerror_r comes in two flavours; overloads pick whichever the C library has.
[[maybe_unused]] const char* pick(int rc, const char* buf) {
  return rc == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* pick(const char* msg, const char*) {
  return msg;
}

std::string describe(int code) {
  char buf[256] = {0};
  const char* msg = pick(strerror_r(code, buf, sizeof buf), buf);
  if (msg == nullptr || *msg == '\0') return "Unknown error " + std::to_string(code);
  return msg;
}

}  // namespace

std::string IoError::text() const {
  switch (fixed) {
    case IoFixed::None: return describe(code) + " (os error " + std::to_string(code) + ")";
    case IoFixed::NulInPath: return "file name contained an unexpected NUL byte";
    case IoFixed::OutOfMemory: return "out of memory";
    case IoFixed::WriteZero: return "failed to write whole buffer";
    case IoFixed::FlushZero: return "failed to write the buffered data";
    case IoFixed::QuarantineIsOutput: return "quarantine path is the same file as the output path";
    case IoFixed::QuarantineIsInput: return "quarantine path is the same file as the input path";
    case IoFixed::OutputIsInput: return "output path is the same file as the input path";
    case IoFixed::Interrupted: return "interrupted";
    case IoFixed::NotText: return "input does not look like text";
  }
  return "unknown I/O error";
}

const char* role_name(IoRole role) noexcept {
  switch (role) {
    case IoRole::None: return "";
    case IoRole::Input: return "input";
    case IoRole::Output: return "output";
    case IoRole::Quarantine: return "quarantine";
    case IoRole::Temporary: return "temporary";
  }
  return "";
}

std::string GleaveError::message() const {
  struct Visitor {
    std::string operator()(const IoError& e) const { return e.text(); }
    std::string operator()(const InvalidError& e) const { return e.message; }
    std::string operator()(const ParseError& e) const {
      return "Line " + std::to_string(e.line) + ": " + e.message;
    }
    std::string operator()(const OtherError& e) const { return e.message; }
    std::string operator()(const EncodingError& e) const { return e.message; }
  };
  return std::visit(Visitor{}, payload_);
}

}  // namespace gleave
