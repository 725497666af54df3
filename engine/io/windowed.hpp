// A file read a window at a time for the product pass: its encoding and
// dialect are decided on its first bytes, and its text (converted to UTF-8
// a piece at a time on the way) comes as a sliding window, so that a file
// of any size is read in memory bounded by the window and the longest row.
// The file job and the table stream both read their input this way.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/base/error.hpp"
#include "engine/base/interrupt.hpp"
#include "engine/io/chunked.hpp"
#include "engine/product_pass/product_pass.hpp"
#include "engine/repair/pass.hpp"

namespace gleave {

class TeeFile;

// What the input is read from: a descriptor, or a pipe made readable again
// by a tee, which is then read as a regular file is.
struct WindowedSource {
  int fd = -1;
  TeeFile* tee = nullptr;
};

// The bytes of a file's start its encoding and dialect are decided on: a
// window's worth, and never fewer than UTF-32 needs for the sniffers.
std::size_t head_bytes() noexcept;

class WindowedInput {
 public:
  // Reads `fd` (not closed) from where it stands: a regular file or a pipe.
  // A descriptor that cannot be told a regular file, or that cannot seek,
  // is read as a pipe. Errors are not yet named with a path. Throws only
  // std::bad_alloc.
  //
  // `before`, when given, is called once the dialect is settled and before
  // the text is first read, with where the text starts in the file and
  // whether the input is a pipe: a part of a file moves the descriptor to
  // its own start there.
  using BeforeText = std::function<Status(const PreparedText&, std::uint64_t, bool)>;
  static Result<std::unique_ptr<WindowedInput>> open(int fd, const Dialect& given,
                                                     bool refuse_binary, Interrupt* interrupt,
                                                     const BeforeText* before = nullptr);
  // Reads a pipe made readable again (see TeeFile) as a regular file is
  // read: from its first byte, its tables settled on the whole input.
  static Result<std::unique_ptr<WindowedInput>> open(TeeFile& tee, const Dialect& given,
                                                     bool refuse_binary, Interrupt* interrupt);
  ~WindowedInput();
  WindowedInput(const WindowedInput&) = delete;
  WindowedInput& operator=(const WindowedInput&) = delete;

  // The dialect, detected on the first bytes with the caller's parts in force.
  const PreparedText& prepared() const noexcept { return prepared_; }
  // The window the pass reads (see run_product_pass).
  ChunkedText& text() noexcept { return *text_; }
  // After the pass: how the input was read.
  InputRead report(const ProductCounts& counts);
  // After report(): whether the text read is the input's own bytes (UTF-8,
  // nothing replaced or read as cp1252), so that a byte offset in one is
  // the same offset in the other.
  bool text_is_bytes() const;
  // After the pass: whether its text was read to the file's end (by the
  // pass or a look-ahead), so that what it read may depend on where the
  // file ends.
  bool read_to_end() const noexcept;
  // Whether the dialect settled its tables over the whole text, not only
  // the head.
  bool tables_read_whole() const noexcept { return tables_read_whole_; }

 private:
  struct Parts;
  WindowedInput();
  static Result<std::unique_ptr<WindowedInput>> open_input(const WindowedSource& input,
                                                           const Dialect& given, bool refuse_binary,
                                                           Interrupt* interrupt,
                                                           const BeforeText* before);

  PreparedText prepared_;
  std::unique_ptr<Parts> parts_;
  ChunkedText* text_ = nullptr;
  bool tables_read_whole_ = false;
};

}  // namespace gleave
