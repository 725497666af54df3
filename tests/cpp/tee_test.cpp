// A pipe read through a tee: every reading, however many run at once and
// however they read, gets the pipe's bytes, and a failure or a stop ends a
// reading that waits instead of passing for the pipe's end.
#include "engine/io/tee.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/fd.hpp"

namespace gleave {
namespace {

struct Flag : Interrupt {
  std::atomic<bool> set{false};
  bool requested() override { return set.load(); }
};

// A tee over a pipe whose writer (a thread, joined by the caller) writes
// `text` in pieces of random sizes, pausing now and then.
std::shared_ptr<TeeFile> tee_of(const std::string& text, unsigned seed, std::thread& writer,
                                bool close_at_end = true) {
  int ends[2];
  EXPECT_EQ(::pipe(ends), 0);
  writer = std::thread([text, seed, w = ends[1], close_at_end] {
    std::mt19937 rng(seed);
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t n = std::min<std::size_t>(text.size() - at, 1 + rng() % 9000);
      if (!write_all(w, text.data() + at, n, IoFixed::WriteZero)) break;
      at += n;
      if (rng() % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
    }
    // Else kept open until the reading has ended otherwise.
    if (!close_at_end) std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ::close(w);
  });
  auto tee = TeeFile::open(Fd(ends[0]));
  EXPECT_TRUE(tee.ok());
  return tee.ok() ? tee.value() : nullptr;
}

// One reading: read() in random sizes, with look-ups at random offsets
// ahead of it (as a long quoted field makes), all checked against `text`.
std::string read_all(TeeFile& tee, const std::string& text, unsigned seed) {
  std::mt19937 rng(seed);
  TeeSource source(tee, 0, nullptr);
  std::string got, buf(70000, '\0');
  while (true) {
    if (rng() % 5 == 0) {
      const std::uint64_t at = got.size() + rng() % 50000;
      auto r = source.read_at(at, buf.data(), 1 + rng() % buf.size());
      EXPECT_TRUE(r.ok());
      if (r.ok()) {
        EXPECT_EQ(buf.substr(0, r.value()),
                  text.substr(std::min<std::size_t>(at, text.size()), r.value()));
      }
    }
    auto r = source.read(buf.data(), 1 + rng() % buf.size());
    EXPECT_TRUE(r.ok());
    if (!r.ok() || r.value() == 0) return got;
    got.append(buf, 0, r.value());
  }
}

TEST(Tee, ReadingsAtOnceGetThePipesBytes) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    std::mt19937 rng(seed);
    std::string text(rng() % 400000, '\0');
    for (char& c : text) c = static_cast<char>('a' + rng() % 26);
    std::thread writer;
    auto tee = tee_of(text, seed, writer);
    std::vector<std::string> got(1 + seed % 4);
    std::vector<std::thread> readers;
    for (std::size_t i = 0; i < got.size(); ++i) {
      readers.emplace_back([&, i] { got[i] = read_all(*tee, text, seed * 31 + i); });
    }
    for (auto& r : readers) r.join();
    writer.join();
    for (const std::string& g : got) ASSERT_EQ(g, text) << "seed " << seed;
    EXPECT_TRUE(tee->ended());
    EXPECT_EQ(read_all(*tee, text, seed), text);  // a later reading, from the file alone
  }
}

TEST(Tee, AFailureOrAStopEndsAWaitingReading) {
  for (const bool fail : {true, false}) {
    std::thread writer;
    auto tee = tee_of("a,b\n1,2\n", 3, writer, /*close_at_end=*/false);
    Flag stop;
    TeeSource source(*tee, 0, &stop);
    char buf[64];
    auto first = source.read(buf, sizeof buf);
    ASSERT_TRUE(first.ok());
    std::thread later([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      if (fail) {
        tee->fail("the writer failed");
      } else {
        stop.set = true;
      }
    });
    std::size_t total = first.value();
    Result<std::size_t> r = std::size_t{0};
    while ((r = source.read(buf, sizeof buf)).ok() && r.value() != 0) total += r.value();
    later.join();
    writer.join();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(total, 8u);
    EXPECT_FALSE(tee->ended());
    if (fail) {
      EXPECT_EQ(r.error().message(), "the writer failed");
    } else {
      EXPECT_EQ(r.error().io()->fixed, IoFixed::Interrupted);
    }
  }
}

}  // namespace
}  // namespace gleave
