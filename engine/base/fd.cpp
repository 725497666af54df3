#include "engine/base/fd.hpp"

namespace gleave {

Status wait_ready(int fd, short events, Interrupt* interrupt) {
  while (true) {
    struct pollfd pfd {
      fd, events, 0
    };
    const int ready = ::poll(&pfd, 1, interrupt != nullptr ? 50 : -1);
    if (ready > 0) return {};  // ready, or an error the next call reports
    if (ready < 0 && errno != EINTR) return IoError::from_errno(errno);
    if (interrupt != nullptr && (ready < 0 ? interrupt->requested_now() : interrupt->requested())) {
      return IoError::from_fixed(IoFixed::Interrupted);
    }
  }
}

Result<Fd> open_fifo(const std::string& path, int flags, Interrupt& interrupt) {
  const bool writing = (flags & O_ACCMODE) != O_RDONLY;
  while (true) {
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd >= 0) {
      Fd owned(fd);
      if (writing) return owned;
      // Read: wait for a writer (its data, or its going away), as the
      // blocking open would have, then read blocking like any pipe.
      if (Status ready = wait_ready(fd, POLLIN, &interrupt); !ready)
        return std::move(ready.error());
      const int fl = ::fcntl(fd, F_GETFL);
      if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0) {
        return IoError::from_errno(errno);
      }
      return owned;
    }
    if (errno == ENXIO && writing) {  // no reader yet
      (void)::poll(nullptr, 0, 50);
      if (interrupt.requested()) return IoError::from_fixed(IoFixed::Interrupted);
      continue;
    }
    if (errno == EINTR) {
      if (interrupt.requested_now()) return IoError::from_fixed(IoFixed::Interrupted);
      continue;
    }
    return IoError::from_errno(errno);
  }
}

}  // namespace gleave
