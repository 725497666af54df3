// Reading text of any encoding as UTF-8: detection from the first bytes, one
// pass of conversion, and a count of every byte that could not be kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "byte_buffer.hpp"

namespace gleave {

struct Transcoded {
  // The UTF-8 text. Empty and unused when `borrowed` is set: the input was
  // valid UTF-8 already and is used in place (see `text`).
  std::string utf8;
  bool borrowed = false;
  std::size_t skip = 0;  // bytes of a byte-order mark left out of a borrowed input
  // The encoding that was used, lower case: "utf-8", "utf-8-sig",
  // "utf-16le", "utf-16be", "utf-32le", "utf-32be", "cp1252", "latin-1", or
  // the name given by the caller.
  std::string encoding;
  // Ill-formed sequences (or unmappable bytes) written as U+FFFD.
  std::uint64_t replaced = 0;
  // Non-empty when nothing could be converted, e.g. "unknown encoding: x".
  std::string error;

  bool ok() const noexcept { return error.empty(); }
  // The UTF-8 text, given the input that was passed to transcode_to_utf8.
  std::string_view text(std::string_view input) const noexcept {
    return borrowed ? input.substr(skip) : std::string_view(utf8);
  }
};

// Converts `input` to UTF-8. With an empty `encoding` the encoding is
// detected: a byte-order mark decides UTF-8, UTF-16LE/BE or UTF-32LE/BE;
// text with NULs in every other byte is UTF-16 without a mark; valid UTF-8
// (or UTF-8 with a few ill-formed sequences among many well-formed ones,
// which are then replaced and counted) stays UTF-8; anything else is read as
// cp1252, whose five unassigned bytes become the C1 controls of the same
// value so that every byte survives. A given `encoding` is any name glibc's
// iconv knows ("cp1252", "latin-1" and "utf-8" take fast paths); an unknown
// name gives an error value, never an exception.
Transcoded transcode_to_utf8(std::string_view input, std::string_view encoding = {});
// The same, but UTF-8 with ill-formed sequences is written into `*into`
// (when not null) instead of Transcoded::utf8, which is then left empty.
Transcoded transcode_to_utf8(std::string_view input, std::string_view encoding, ByteBuffer* into);

// The encoding transcode_to_utf8 would detect from this sample: one of the
// names above. `complete` says the sample is the whole input (so a sequence
// cut at its end is ill-formed, not cut by the sample).
std::string detect_encoding(std::string_view sample, bool complete = false);

// The conversions of transcode_to_utf8 that read an input a piece at a time
// with nothing carried between pieces but a sequence cut by a piece's end:
// UTF-8 with each maximal ill-formed subpart written as U+FFFD (counted),
// and cp1252. The pieces give, back to back, what the whole input gives.
class PieceDecoder {
 public:
  enum class From : std::uint8_t { Utf8Lossy, Cp1252 };
  explicit PieceDecoder(From from) noexcept : from_(from) {}
  // Appends the UTF-8 of `piece` to `out` and returns how many of its bytes
  // were used: all of them but a UTF-8 sequence cut by its end, which waits
  // for the next piece unless this is the `last`.
  std::size_t decode(std::string_view piece, bool last, std::string& out);
  std::uint64_t replaced() const noexcept { return replaced_; }

 private:
  From from_;
  std::uint64_t replaced_ = 0;
};

// True when the first 64 KiB are plainly not text: they hold a NUL byte, or
// mostly control bytes, and are not UTF-16 or UTF-32.
bool looks_binary(std::string_view input);

}  // namespace gleave
