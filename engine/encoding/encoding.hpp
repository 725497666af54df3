// Reading text of any encoding as UTF-8: detection from the first bytes, one
// pass of conversion, and a count of every byte that could not be kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/base/byte_buffer.hpp"

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
  // Bytes of detected UTF-8 that were not UTF-8, each read as cp1252.
  std::uint64_t fallback = 0;
  // Non-empty when nothing could be converted, e.g. "unknown encoding: x".
  std::string error;

  bool ok() const noexcept { return error.empty(); }
  // The UTF-8 text, given the input that was passed to transcode_to_utf8.
  std::string_view text(std::string_view input) const noexcept {
    return borrowed ? input.substr(skip) : std::string_view(utf8);
  }
};

// Converts `input` to UTF-8. With an empty `encoding` the encoding is
// detected: a byte-order mark decides UTF-8, UTF-16LE/BE or UTF-32LE/BE
// (but a UTF-16 mark over a body that is UTF-8 with no NUL is text); text
// whose NULs fall at one parity is UTF-16 (or UTF-32) without a mark; text
// with well-formed multi-byte sequences in numbers is UTF-8, and each byte
// in it that is not is read as cp1252 and counted (`fallback`), so that a
// file with a few lines of cp1252 keeps both; anything else is read as
// cp1252, whose five unassigned bytes become the C1 controls of the same
// value so that every byte survives. A given `encoding` is any name glibc's
// iconv knows or Python's canonical name of one (see iconv_name);
// "cp1252", "latin-1" and "utf-8" take fast paths, and a given UTF-8 writes
// what is not UTF-8 as U+FFFD. An unknown name gives an error value, never
// an exception.
Transcoded transcode_to_utf8(std::string_view input, std::string_view encoding = {});
// The same, but UTF-8 with ill-formed sequences is written into `*into`
// (when not null) instead of Transcoded::utf8, which is then left empty.
Transcoded transcode_to_utf8(std::string_view input, std::string_view encoding, ByteBuffer* into);

// The name glibc's iconv knows an encoding by, given its own name or
// Python's (codecs.lookup(name).name: "utf-16-le", "euc_jp", "mac-roman");
// the name as given when neither is known.
std::string iconv_name(std::string_view name);

// The encoding transcode_to_utf8 would detect from this sample: one of the
// names above. `complete` says the sample is the whole input (so a sequence
// cut at its end is ill-formed, not cut by the sample).
std::string detect_encoding(std::string_view sample, bool complete = false);

// The conversions of transcode_to_utf8 that read an input a piece at a time
// with nothing carried between pieces but a sequence cut by a piece's end
// (and, for iconv, its own state): UTF-8 with each maximal ill-formed
// subpart written as U+FFFD (counted, Utf8Lossy) or each of its bytes read
// as cp1252 (counted, Utf8Mixed), cp1252, latin-1, and anything iconv
// knows, with each ill-formed unit written as U+FFFD (counted). The pieces
// give, back to back, what the whole input gives.
class PieceDecoder {
 public:
  // Utf8OrCp1252: ASCII as it is until the first byte that is not; then
  // Utf8Mixed or Cp1252, as detection decides on the bytes from there
  // (`sample` of them, or all there are), and so on to the end.
  enum class From : std::uint8_t { Utf8Lossy, Cp1252, Latin1, Iconv, Utf8OrCp1252, Utf8Mixed };
  explicit PieceDecoder(From from, std::size_t sample = std::size_t{8} << 20) noexcept;
  // iconv from `name`, going on `unit` bytes past an ill-formed sequence;
  // ok() is false when iconv does not know the name.
  PieceDecoder(const std::string& name, std::size_t unit);
  PieceDecoder(PieceDecoder&&) noexcept;
  PieceDecoder& operator=(PieceDecoder&&) noexcept;
  ~PieceDecoder();

  bool ok() const noexcept { return from_ != From::Iconv || iconv_ != nullptr; }
  // Appends the UTF-8 of `piece` to `out` and returns how many of its bytes
  // were used: all of them but a sequence cut by its end, which waits for
  // the next piece unless this is the `last`.
  std::size_t decode(std::string_view piece, bool last, std::string& out);
  // As decode(), straight into `room` bytes at `p`: the longest start of
  // `piece` whose text fits. Gives {bytes of `piece` used, bytes written}.
  // Only UTF-8 (either way), cp1252 and latin-1 (can_decode_into()).
  struct Into {
    std::size_t used = 0, written = 0;
  };
  Into decode_into(std::string_view piece, bool last, char* p, std::size_t room);
  // UTF-8 (either way) decoded where it stands: the `size` bytes at `p`
  // become their text, in `room` bytes from `p`, each run after a byte
  // that is not UTF-8 moved once to where it ends up. Gives {bytes used,
  // bytes written}; the bytes not used (a sequence cut by the end, or text
  // that would not fit) are put in `rest` first.
  Into decode_in_place(char* p, std::size_t size, std::size_t room, std::string& rest);
  bool can_decode_into() const noexcept {
    return from_ == From::Utf8Lossy || from_ == From::Utf8Mixed || from_ == From::Cp1252 ||
           from_ == From::Latin1;
  }
  std::uint64_t replaced() const noexcept { return replaced_; }
  // Bytes that were not UTF-8, read as cp1252 (Utf8Mixed).
  std::uint64_t fallback() const noexcept { return fallback_; }
  // The conversion in use (Utf8OrCp1252 until decided).
  From from() const noexcept { return from_; }
  // Utf8OrCp1252: decides now as another decoder over the same input did
  // (`sample` from the first byte that is not ASCII), so that a decoder
  // started again further on reads as the first one does.
  void decide_as(From decided) noexcept {
    if (from_ == From::Utf8OrCp1252) from_ = decided;
  }

 private:
  struct IconvState;
  std::size_t decode_iconv(std::string_view piece, bool last, std::string& out);
  void decide(std::string_view sample, bool complete) noexcept;

  From from_;
  std::size_t unit_ = 1;  // iconv; or Utf8OrCp1252's sample
  std::uint64_t replaced_ = 0;
  std::uint64_t fallback_ = 0;
  std::unique_ptr<IconvState> iconv_;
};

// How transcode_to_utf8(input, encoding) converts an input that begins
// with `head` (all of it when `complete`), as a conversion a piece at a
// time: the same decision, taken on the head alone when the input goes on,
// or (Utf8OrCp1252) put off past a head of ASCII, which reads the same
// either way.
struct PieceConversion {
  PieceDecoder::From from = PieceDecoder::From::Utf8Lossy;  // detected: Utf8Mixed
  std::string iconv_name;                                   // From::Iconv
  std::size_t unit = 1;                                     // From::Iconv
  std::size_t skip = 0;                       // bytes of a byte-order mark before the text
  std::string encoding;                       // as transcode_to_utf8 names it
  std::string error;                          // an encoding no one knows
  std::size_t sample = std::size_t{8} << 20;  // Utf8OrCp1252

  bool ok() const noexcept { return error.empty(); }
  PieceDecoder decoder() const {
    return from == PieceDecoder::From::Iconv ? PieceDecoder(iconv_name, unit)
                                             : PieceDecoder(from, sample);
  }
  // Whether a decoder started afresh where an earlier one began a piece
  // goes on as that one did (a decision put off is handed on with
  // PieceDecoder::decide_as): true but for iconv conversions that may keep
  // a state (a byte order read from a mark, shift sequences).
  bool restartable() const noexcept;
};
PieceConversion piece_conversion(std::string_view head, bool complete,
                                 std::string_view encoding = {});

// True when the first 64 KiB are plainly not text: they hold a NUL byte, or
// mostly control bytes, and are not UTF-16 or UTF-32.
bool looks_binary(std::string_view input);

// Whether the bytes start with a UTF-8 byte-order mark.
bool has_utf8_bom(std::string_view s) noexcept;

}  // namespace gleave
