#include "engine/io/files.hpp"

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <deque>

namespace gleave {

const char* temp_dir() noexcept {
  // A $TMPDIR that names no directory (removed since the shell set it) would
  // fail every spill; /tmp is what it stands in for.
  const char* t = std::getenv("TMPDIR");
  struct stat st {};
  if (t == nullptr || *t == '\0' || ::stat(t, &st) != 0 || !S_ISDIR(st.st_mode)) return "/tmp";
  return t;
}

Result<Fd> open_unlinked_temp(const std::string& dir, const char* what) {
  int fd;
  do {
    fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {  // no O_TMPFILE there: a named file, unlinked at once
    std::string templ = dir + "/.gleave-" + what + "-XXXXXX";
    fd = ::mkostemp(templ.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(templ.c_str());
  }
  if (fd < 0) return IoError::from_errno(errno);
  return Fd(fd);
}

namespace {

std::pair<std::string, std::string> split_path(const std::string& p) {
  const auto slash = p.find_last_of('/');
  if (slash == std::string::npos) return {".", p};
  return {slash == 0 ? "/" : p.substr(0, slash), p.substr(slash + 1)};
}

std::string canonical_or(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string out(real);
  std::free(real);
  return out;
}

// The permission bits a newly created file gets: 0666 less the umask. The
// umask is read from /proc, since setting it to read it back would race with
// other threads creating files.
mode_t new_file_mode() {
  static const mode_t mask = [] {
    mode_t m = 022;
    if (FILE* f = std::fopen("/proc/self/status", "re")) {
      char line[256];
      while (std::fgets(line, sizeof line, f) != nullptr) {
        unsigned value = 0;
        if (std::sscanf(line, "Umask: %o", &value) == 1) {
          m = static_cast<mode_t>(value);
          break;
        }
      }
      std::fclose(f);
    }
    return m;
  }();
  return 0666 & ~mask;
}

}  // namespace

std::string parent_directory(const std::string& path) {
  return split_path(path).first;
}

std::string resolve_links(const std::string& path) {
  if (path.empty()) return path;
  std::string p = path;
  for (int hop = 0; hop < 40; ++hop) {
    char buf[4096];
    const ssize_t n = ::readlink(p.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) break;
    std::string target(buf, static_cast<std::size_t>(n));
    if (target[0] != '/') target = split_path(p).first + "/" + target;
    p = std::move(target);
  }
  char* real = ::realpath(p.c_str(), nullptr);  // exists: the whole path canonical
  if (real != nullptr) {
    std::string out(real);
    std::free(real);
    return out;
  }
  auto [dir, name] = split_path(p);
  if (name.empty() || name == "." || name == "..") return p;
  const std::string canonical_dir = canonical_or(dir);
  return canonical_dir == "/" ? "/" + name : canonical_dir + "/" + name;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  const bool ea = ::stat(a.c_str(), &sa) == 0;
  const bool eb = ::stat(b.c_str(), &sb) == 0;
  if (ea && eb) {
    return S_ISREG(sa.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  }
  if (a == b) return true;
  if (ea != eb) return false;
  // Neither exists: both may still name one entry, through links that do
  // not resolve yet (writing one then the other would destroy the first).
  return resolve_links(a) == resolve_links(b);
}

namespace {

// A free name ".gleave-" and six random characters in `dir`, created
// empty and open for writing (`fd`).
std::optional<IoError> create_named(const std::string& dir, std::string& name, int& fd) {
  name = dir + (dir == "/" ? "" : "/") + ".gleave-XXXXXX";
  do {
    fd = ::mkostemp(name.data(), O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return IoError::from_errno(errno);
  return std::nullopt;
}

// A file with no name in `dir`, or -1 where the file system (or a missing
// /proc, through which it is linked later) does not allow one.
int open_unnamed(const std::string& dir) {
  if (::access("/proc/self/fd", X_OK) != 0) return -1;
  int fd;
  do {
    fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

Result<Fd> ReplacementFile::open(const std::string& target) {
  discard();
  target_ = resolve_links(target);
  const std::string dir = split_path(target_).first;
  int fd = open_unnamed(dir);
  if (fd >= 0) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);  // the caller closes its own
    if (copy < 0) {
      const int code = errno;
      ::close(fd);
      return IoError::from_errno(code);
    }
    unnamed_ = Fd(copy);
  } else if (auto e = create_named(dir, path_, fd)) {
    path_.clear();
    return std::move(*e);
  }
  struct stat st {};
  if (::stat(target_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    mode_t mode = st.st_mode & 07777;
    // Keep owner and group when allowed (root, or a group the user is in);
    // a set-id bit only survives on a file whose owner and group did.
    (void)::fchown(fd, st.st_uid, st.st_gid);
    struct stat now {};
    if (::fstat(fd, &now) == 0) {
      if (now.st_uid != st.st_uid) mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
      if (now.st_gid != st.st_gid) mode &= ~static_cast<mode_t>(S_ISGID);
    } else {
      mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    }
    (void)::fchmod(fd, mode);
  } else {
    (void)::fchmod(fd, new_file_mode());
  }
  return Fd(fd);
}

std::optional<IoError> ReplacementFile::commit() {
  if (unnamed_.get() >= 0) {
    // A name for the finished file, then the rename: a link cannot replace
    // the target, the rename can, atomically.
    const std::string self = "/proc/self/fd/" + std::to_string(unnamed_.get());
    const std::string dir = split_path(target_).first;
    for (int attempt = 0; attempt < 100; ++attempt) {
      // A free name from mkostemp, given up for the link to take.
      std::string name;
      int placeholder = -1;
      if (auto e = create_named(dir, name, placeholder)) return e;
      ::close(placeholder);
      ::unlink(name.c_str());
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        path_ = std::move(name);
        break;
      }
      if (errno != EEXIST) return IoError::from_errno(errno);
    }
    if (path_.empty()) return IoError::from_errno(EEXIST);
    unnamed_.reset();
  }
  if (::rename(path_.c_str(), target_.c_str()) != 0) return IoError::from_errno(errno);
  path_.clear();
  return std::nullopt;
}

void ReplacementFile::discard() noexcept {
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
  unnamed_.reset();  // an unnamed file goes with its last descriptor
}

Result<ByteBuffer> read_fd(int fd, Interrupt* interrupt) {
  ByteBuffer buf;
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  std::size_t limit = SIZE_MAX;
  if (regular && st.st_size > 0) {
    const auto size = static_cast<std::size_t>(st.st_size);
    if (!buf.reserve(size + 1)) return IoError::from_fixed(IoFixed::OutOfMemory);
    if (size < (SIZE_MAX >> 2)) limit = 2 * size + (std::size_t{64} << 20);
  } else if (regular) {
    limit = std::size_t{64} << 20;
  }
  while (buf.size() < limit) {
    if (buf.size() == buf.capacity()) {
      const std::size_t grow = buf.capacity() < 8192 ? 8192 : buf.capacity();
      if (buf.capacity() > SIZE_MAX / 2 || !buf.reserve(buf.capacity() + grow)) {
        return IoError::from_fixed(IoFixed::OutOfMemory);
      }
    }
    if (interrupt != nullptr && !regular) {
      // Wait for data a little at a time, so that a silent pipe can still
      // be interrupted whichever thread the signal reached.
      struct pollfd pfd {
        fd, POLLIN, 0
      };
      const int ready = ::poll(&pfd, 1, 50);
      if (ready <= 0) {
        if (ready < 0 && errno != EINTR) return IoError::from_errno(errno);
        if (interrupt->requested()) return IoError::from_fixed(IoFixed::Interrupted);
        continue;
      }
    }
    std::size_t room = std::min(buf.capacity() - buf.size(), limit - buf.size());
    // A large file is read a slice at a time, so that a stop is asked for
    // between slices.
    if (interrupt != nullptr) {
      room = std::min(room, std::size_t{8} << 20);
      if (buf.size() != 0 && interrupt->requested()) {
        return IoError::from_fixed(IoFixed::Interrupted);
      }
    }
    const ssize_t r = ::read(fd, buf.data() + buf.size(), room);
    if (r < 0) {
      if (errno == EINTR) {
        if (interrupt != nullptr && interrupt->requested_now()) {
          return IoError::from_fixed(IoFixed::Interrupted);
        }
        continue;
      }
      return IoError::from_errno(errno);
    }
    if (r == 0) break;
    buf.set_size(buf.size() + static_cast<std::size_t>(r));
  }
  return buf;
}

Result<ByteBuffer> read_file(const std::string& path) {
  auto opened = open_path(path, O_RDONLY);
  if (!opened) return std::move(opened.error());
  return read_fd(opened.value().get(), nullptr);
}

}  // namespace gleave
