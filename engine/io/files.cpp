#include "engine/io/files.hpp"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>

#include "engine/gleave.hpp"
#include "engine/io/chunked.hpp"
#include "engine/io/writers.hpp"

namespace gleave {

namespace {

// Where quarantine lines wait until the output is complete: in memory while
// they are few, then in an unlinked temporary file beside the quarantine
// file (or in the temporary directory), which goes away with its
// descriptor. Lines are formatted when their row is rejected, from the
// fields as parsed, so nothing of the input need stay behind.
class QuarantineStore {
 public:
  static constexpr std::size_t kInMemory = std::size_t{1} << 20;

  explicit QuarantineStore(std::string dir) : dir_(std::move(dir)) {}

  std::string& pending() noexcept { return pending_; }
  // Moves the pending lines to the temporary file once there are enough.
  std::optional<IoError> spill_if_large() {
    if (pending_.size() < kInMemory) return std::nullopt;
    if (spill_.get() < 0) {
      if (auto e = open_spill()) return e;
    }
    auto e = write_all(spill_.get(), pending_.data(), pending_.size(), IoFixed::WriteZero);
    spilled_ += pending_.size();
    pending_.clear();
    return e;
  }
  // Writes every line, in order, to `out`.
  std::optional<IoError> copy_to(WriteBuffer& out) {
    if (spilled_ != 0) {
      std::string buf(kInMemory, '\0');
      for (std::uint64_t at = 0; at < spilled_;) {
        const ssize_t r = ::pread(spill_.get(), buf.data(), buf.size(), static_cast<off_t>(at));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return IoError::from_errno(errno);
        if (r == 0) return IoError::from_errno(EIO);  // the file was cut short under us
        if (auto e = out.append(std::string_view(buf.data(), static_cast<std::size_t>(r)))) {
          return e;
        }
        at += static_cast<std::uint64_t>(r);
      }
    }
    return out.append(pending_);
  }

 private:
  std::optional<IoError> open_spill() {
    auto opened = open_unlinked_temp(dir_, "quarantine");
    if (!opened) opened = open_unlinked_temp(temp_dir(), "quarantine");
    if (!opened) return std::move(*opened.error().io());
    spill_ = std::move(opened.value());
    return std::nullopt;
  }

  std::string dir_;
  std::string pending_;
  Fd spill_;
  std::uint64_t spilled_ = 0;
};

// Streams kept rows to the output file as the pass produces them; quarantine
// lines go to the store until the output is complete.
struct FileSink {
  FileSink(WriteBuffer& o, unsigned char quote, QuarantineStore* q)
      : out(o), writer(',', quote), quote_char(quote), quarantine(q) {}
  WriteBuffer& out;
  LineWriter writer;
  unsigned char quote_char;
  QuarantineStore* quarantine;  // null: rejected rows are only counted
  unsigned char delimiter = ',';
  std::string too_few, too_many;
  std::string line;
  std::optional<IoError> error;

  void begin(unsigned char d, std::uint64_t width) {
    delimiter = d;
    writer = LineWriter(d, quote_char);
    too_few = reason_text(Verdict::TooFew, width);
    too_many = reason_text(Verdict::TooMany, width);
  }
  bool keep(const Row& row, const RowVerdict&) {
    line.clear();
    writer.append_line(line, row);
    error = out.append(line);
    return !error;
  }
  bool keep_line(std::string_view plain, bool) {
    error = out.append(plain, '\n');
    return !error;
  }
  bool reject(const RowVerdict& verdict, const Row& fields) {
    if (quarantine == nullptr) return true;
    append_quarantine_line(quarantine->pending(), verdict.line,
                           verdict.verdict == Verdict::TooMany ? too_many : too_few, fields,
                           delimiter);
    error = quarantine->spill_if_large();
    return !error;
  }
};

}  // namespace

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

// Six characters from the 64 that are safe in any file name.
void fill_random(char* out) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t x =
      static_cast<std::uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ULL ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (counter.fetch_add(1) * 0xBF58476D1CE4E5B9ULL);
  x ^= reinterpret_cast<std::uintptr_t>(&x);
  for (int i = 0; i < 6; ++i) {
    x ^= x >> 31;
    x *= 0x94D049BB133111EBULL;
    out[i] = kChars[(x >> 58) & 63];
  }
}

}  // namespace

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
  fd = -1;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fill_random(name.data() + name.size() - 6);
    do {
      fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 || errno != EEXIST) break;
  }
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
      std::string name = dir + (dir == "/" ? "" : "/") + ".gleave-XXXXXX";
      fill_random(name.data() + name.size() - 6);
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

Result<SummaryRecord> gleave_file(const std::string& input_path, const std::string& output_path,
                                  const std::optional<std::string>& quarantine_path,
                                  const GleaveOptions& options) {
  // 1. No path with a NUL byte gets as far as being opened.
  if (has_nul(input_path) || has_nul(output_path) ||
      (quarantine_path && has_nul(*quarantine_path))) {
    return IoError::from_fixed(IoFixed::NulInPath);
  }
  // 2. Open the input and read its first window before anything is
  //    created: a missing or unreadable input is what is reported. The rest
  //    is read as the pass goes, a window at a time.
  auto input_fd = open_path(input_path, O_RDONLY);
  if (!input_fd) return std::move(input_fd.error());
  FdSource source(input_fd.value().get());
  ChunkedText input(source);
  if (!input.advance(0)) return *input.error();

  // A quarantine file that is the output or the input would destroy the rows
  // just written or the user's data; refuse before touching anything.
  if (quarantine_path) {
    if (same_file(*quarantine_path, output_path)) {
      return IoError::from_fixed(IoFixed::QuarantineIsOutput);
    }
    if (same_file(*quarantine_path, input_path)) {
      return IoError::from_fixed(IoFixed::QuarantineIsInput);
    }
  }

  // 3-4. Open the output; in place, a temporary file stands in for it.
  const bool in_place = same_file(output_path, input_path);
  TempOutput temp;
  auto output_fd = in_place ? temp.open(output_path) : open_path(output_path, kCreateFlags);
  if (!output_fd) return std::move(output_fd.error());

  std::optional<QuarantineStore> quarantine;
  if (quarantine_path) quarantine.emplace(split_path(resolve_links(*quarantine_path)).first);
  PassCounts counts;
  {
    // 5-6. Kept rows go out while the pass runs, through the write buffer.
    WriteBuffer out(std::move(output_fd.value()));
    const unsigned char quote = options.quote_char;
    FileSink sink(out, quote, quarantine ? &*quarantine : nullptr);
    counts = run_pass(input, options, sink);
    if (input.error()) return *input.error();
    if (sink.error) return *sink.error;
    if (auto e = out.flush()) return *e;

    // 7. The quarantine file, after the complete output.
    if (quarantine_path) {
      auto qfd = open_path(*quarantine_path, kCreateFlags);
      if (!qfd) return std::move(qfd.error());
      WriteBuffer qout(std::move(qfd.value()));
      if (auto e = qout.append(kQuarantineHeader)) return *e;
      if (auto e = quarantine->copy_to(qout)) return *e;
      if (auto e = qout.flush()) return *e;
    }
  }  // 8. Close the output (and the quarantine file).
  if (in_place) {
    if (auto e = temp.commit()) return *e;
  }

  SummaryRecord summary;
  static_cast<GleaveCounts&>(summary) = counts;
  summary.detected_delimiter = counts.delimiter;
  return summary;
}

}  // namespace gleave
