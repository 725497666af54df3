// The hook through which a caller can stop a long file job: the pass asks it
// between blocks of rows, reads and writes ask it when a system call was
// interrupted or a pipe had nothing for a while.
#pragma once

namespace gleave {

class Interrupt {
 public:
  virtual ~Interrupt() = default;
  // True when the job should stop now. Called often: an implementation that
  // is costly to ask should limit itself (by a clock, for example).
  virtual bool requested() = 0;
  // The same without any limit: a signal has just cut a system call short,
  // and going back into the call could wait for good.
  virtual bool requested_now() { return requested(); }
};

}  // namespace gleave
