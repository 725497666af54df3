// Decoding a piece at a time over any bytes: the first input byte picks the
// conversion (detected, UTF-8, cp1252) and the sizes of the pieces and of
// the rooms decoded into; the text and the counts are always the whole
// conversion's, and detection always names an encoding it can read.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/encoding/encoding.hpp"
#include "fuzz/fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned char knob = data[0];
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  static const char* const kNames[] = {"", "", "utf-8", "cp1252"};
  const char* name = kNames[knob & 3];
  const std::size_t piece = 1 + ((knob >> 2) & 15);
  const std::size_t room = 1 + (knob >> 6) * 5;

  const gleave::Transcoded whole = gleave::transcode_to_utf8(input, name);
  FUZZ_CHECK(whole.ok());
  const std::string text(whole.text(input));
  const gleave::PieceConversion how = gleave::piece_conversion(input, true, name);
  FUZZ_CHECK(how.ok() && how.encoding == whole.encoding);
  if (!how.restartable()) return 0;  // iconv keeps a state: compared by the tests

  const std::string body = input.substr(how.skip);
  gleave::PieceDecoder decoder = how.decoder();
  std::string pending, out;
  for (std::size_t at = 0; at < body.size();) {
    pending.append(body, at, piece);
    at = std::min(at + piece, body.size());
    pending.erase(0, decoder.decode(pending, at == body.size(), out));
  }
  if (body.empty()) decoder.decode({}, true, out);
  FUZZ_CHECK(out == text);
  FUZZ_CHECK(decoder.replaced() == whole.replaced && decoder.fallback() == whole.fallback);

  gleave::PieceDecoder into = how.decoder();
  if (!into.can_decode_into()) return 0;
  std::string got, rest = body;
  char buf[16];
  while (!rest.empty()) {
    const auto d = into.decode_into(rest, true, buf, room);
    if (d.written == 0) {
      rest.erase(0, into.decode(rest, true, got));
      continue;
    }
    FUZZ_CHECK(d.written <= room);
    got.append(buf, d.written);
    rest.erase(0, d.used);
  }
  FUZZ_CHECK(got == text);
  FUZZ_CHECK(into.fallback() == whole.fallback && into.replaced() == whole.replaced);
  return 0;
}
