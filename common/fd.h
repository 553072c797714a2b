// File descriptors: an owner that closes, and a write that goes on until all is written.
// Header-only, so that platform/ uses the same without linking common.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

// Owns one descriptor (-1 for none) and closes it when it goes out of scope.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  int get() const { return fd_; }
  // Closes the descriptor held, if any, and takes fd; the close's result is returned
  // (0 when nothing was held), for writers that must know their data reached the file.
  int reset(int fd = -1) {
    int rc = 0;
    if (fd_ >= 0) rc = ::close(fd_);
    fd_ = fd;
    return rc;
  }

 private:
  int fd_;
};

// Writes all len bytes, continuing after short writes and interruptions; false when a
// write fails or writes nothing.
inline bool WriteAll(int fd, const void *data, size_t len) {
  const char *p = static_cast<const char *>(data);
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Opens a regular file for reading; -1 for anything else. stat comes first, so that a
// device is never opened; the open is non-blocking, so that a FIFO put in its place in
// between does not wait for a writer, and fstat checks what was opened.
inline int OpenRegularFile(const char *path) {
  struct stat st;
  if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}
