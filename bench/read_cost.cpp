// What it costs to bring a file's bytes before a scan, window by window, in
// the ways the reader could: read() into one reused window, the file mapped
// and each window scanned in place (its pages dropped behind it), and the
// mapping copied into a window. The scan stands for the parser: a search
// for line feeds. Prints the median and the minimum of each over the runs,
// interleaved so that a change in the machine's load falls on all alike.
//
//   read_cost FILE [RUNS]
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr std::size_t kWindow = std::size_t{8} << 20;  // the reader's window

std::size_t count_lines(const char* p, std::size_t n) {
  std::size_t lines = 0;
  const char* const end = p + n;
  while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p))))) {
    ++lines;
    ++p;
  }
  return lines;
}

std::size_t by_read(int fd) {
  std::unique_ptr<char[]> window(new char[kWindow]);
  std::size_t lines = 0;
  ssize_t got;
  ::lseek(fd, 0, SEEK_SET);
  while ((got = ::read(fd, window.get(), kWindow)) > 0) {
    lines += count_lines(window.get(), static_cast<std::size_t>(got));
  }
  return lines;
}

std::size_t by_mapping(int fd, std::size_t size, bool copy) {
  void* m = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (m == MAP_FAILED) return 0;
  char* const base = static_cast<char*>(m);
  (void)::madvise(base, size, MADV_SEQUENTIAL);
  std::unique_ptr<char[]> window(copy ? new char[kWindow] : nullptr);
  std::size_t lines = 0;
  for (std::size_t at = 0; at < size; at += kWindow) {
    const std::size_t n = std::min(kWindow, size - at);
    if (copy) {
      std::memcpy(window.get(), base + at, n);
      lines += count_lines(window.get(), n);
    } else {
      lines += count_lines(base + at, n);
    }
    (void)::madvise(base + at, n, MADV_DONTNEED);  // resident: one window at a time
  }
  ::munmap(m, size);
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: read_cost FILE [RUNS]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
  const int fd = ::open(argv[1], O_RDONLY);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  const char* const names[] = {"read", "mmap in place", "mmap copied"};
  std::vector<double> seconds[3];
  std::size_t lines[3] = {};
  for (int run = 0; run < runs; ++run) {
    for (int way = 0; way < 3; ++way) {
      const auto start = std::chrono::steady_clock::now();
      lines[way] = way == 0 ? by_read(fd) : by_mapping(fd, size, way == 2);
      seconds[way].push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
  }
  for (int way = 0; way < 3; ++way) {
    std::sort(seconds[way].begin(), seconds[way].end());
    std::printf("%-14s median %.4f s  min %.4f s  (%zu lines)\n", names[way],
                seconds[way][seconds[way].size() / 2], seconds[way][0], lines[way]);
  }
  ::close(fd);
  return 0;
}
