// Prints the detected encoding and dialect of each file named on the command
// line (or one per line on standard input) as one JSON object per line, with
// the time detection took, measured here so that process start-up and file
// reading are not counted. bench/dialect.py drives it.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/dialect/dialect.hpp"
#include "engine/encoding/encoding.hpp"

namespace {

std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string json_byte(std::optional<unsigned char> b) {
  if (!b) return "null";
  return json_string(std::string(1, static_cast<char>(*b)));
}

void run(const std::string& path, std::size_t sample_bytes, int repeats) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cout << "{\"path\":" << json_string(path) << ",\"error\":\"cannot open\"}\n";
    return;
  }
  std::ostringstream buf;
  buf << in.rdbuf();
  const std::string bytes = buf.str();
  const std::string_view sample = std::string_view(bytes).substr(0, sample_bytes);

  using Clock = std::chrono::steady_clock;
  gleave::Transcoded t;
  gleave::Dialect d;
  gleave::Dialect options;
  options.keep_evidence = true;
  options.sample_bytes = sample_bytes;
  double best = 1e99;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = Clock::now();
    // The sample is decoded on its own, as a reader would before parsing.
    t = gleave::transcode_to_utf8(sample);
    d = gleave::detect_dialect(t.text(sample), options);
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (s < best) best = s;
  }
  std::cout << "{\"path\":" << json_string(path) << ",\"seconds\":" << best
            << ",\"encoding\":" << json_string(t.encoding) << ",\"replaced\":" << t.replaced
            << ",\"binary\":" << (gleave::looks_binary(bytes) ? "true" : "false")
            << ",\"delimiter\":" << json_byte(d.delimiter)
            << ",\"quote_char\":" << json_byte(d.quote_char)
            << ",\"skip_initial_space\":" << (d.skip_initial_space.value ? "true" : "false")
            << ",\"preamble_lines\":" << d.preamble_lines
            << ",\"sep_line\":" << (d.sep_line ? "true" : "false")
            << ",\"header\":" << (d.header ? "true" : "false")
            << ",\"header_width\":" << d.header_width << ",\"expected_width\":" << d.expected_width
            << ",\"header_missing_first\":" << (d.header_missing_first ? "true" : "false")
            << ",\"single_line\":" << (d.single_line ? "true" : "false")
            << ",\"not_a_table\":" << (d.not_a_table ? "true" : "false") << ",\"evidence\":[";
  for (std::size_t i = 0; i < d.evidence.size() && i < 3; ++i) {
    const auto& e = d.evidence[i];
    std::cout << (i ? "," : "") << "{\"delimiter\":" << json_byte(e.delimiter)
              << ",\"quote_char\":" << json_byte(e.quote_char)
              << ",\"skip\":" << (e.skip_initial_space ? "true" : "false")
              << ",\"width\":" << e.width << ",\"consistency\":" << e.consistency
              << ",\"pattern\":" << e.pattern_score << ",\"types\":" << e.type_score
              << ",\"score\":" << e.score << "}";
  }
  std::cout << "]}\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t sample_bytes = 64 * 1024;
  int repeats = 3;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--sample=", 0) == 0) {
      sample_bytes = std::stoul(a.substr(9));
    } else if (a.rfind("--repeats=", 0) == 0) {
      repeats = std::stoi(a.substr(10));
    } else {
      paths.push_back(a);
    }
  }
  if (paths.empty()) {
    for (std::string line; std::getline(std::cin, line);) {
      if (!line.empty()) paths.push_back(line);
    }
  }
  for (const auto& p : paths) run(p, sample_bytes, repeats);
  return 0;
}
