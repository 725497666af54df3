// The piece decoder: any input cut into pieces of any size decodes, the
// pieces joined, to exactly what it decodes to whole, with the same count
// of replaced bytes, and always to valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/encoding/encoding.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

using gleave::PieceDecoder;
using From = PieceDecoder::From;

PieceDecoder make(std::uint8_t selector) {
  static const char* const kIconv[] = {"UTF-16LE", "UTF-16", "UTF-32BE", "SHIFT_JIS",
                                       "GB18030",  "EUC-JP", "CP1251"};
  switch (selector % 12) {
    case 0: return PieceDecoder(From::Utf8Lossy);
    case 1: return PieceDecoder(From::Cp1252);
    case 2: return PieceDecoder(From::Latin1);
    case 3: return PieceDecoder(From::Utf8OrCp1252, 16 + selector / 12);
    case 4: return PieceDecoder(From::Utf8OrCp1252);
    default: {
      const std::size_t k = selector % 12 - 5;
      const std::size_t unit = k <= 2 ? (k == 2 ? 4 : 2) : 1;
      return PieceDecoder(kIconv[k], unit);
    }
  }
}

struct Decoded {
  std::string text;
  std::uint64_t replaced = 0;
};

// Decodes `input` in pieces of `step` bytes (0: whole), carrying what a
// piece left over in front of the next.
Decoded decode(std::uint8_t selector, std::string_view input, std::size_t step) {
  PieceDecoder decoder = make(selector);
  Decoded out;
  if (!decoder.ok()) return out;
  std::string carry;
  std::size_t at = 0;
  do {
    const std::size_t n = step == 0 ? input.size() - at : std::min(step, input.size() - at);
    carry.append(input.substr(at, n));
    at += n;
    const bool last = at == input.size();
    const std::size_t used = decoder.decode(carry, last, out.text);
    FUZZ_CHECK(used <= carry.size());
    if (last) FUZZ_CHECK(used == carry.size());
    carry.erase(0, used);
  } while (at < input.size());
  out.replaced = decoder.replaced();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Header h(data, size, 2);
  const std::string_view input = h.rest();
  const Decoded whole = decode(h.byte(0), input, 0);
  FUZZ_CHECK(fuzz::valid_utf8(whole.text));
  for (const std::size_t step : {std::size_t{1}, static_cast<std::size_t>(h.byte(1) % 16 + 2)}) {
    const Decoded pieces = decode(h.byte(0), input, step);
    FUZZ_CHECK(pieces.text == whole.text);
    FUZZ_CHECK(pieces.replaced == whole.replaced);
  }
  return 0;
}
