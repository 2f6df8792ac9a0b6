#include "sim/backing_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {
bool writeAll(int fd, const uint8_t* data, size_t size, off_t offset) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}
std::string why(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}
}  // namespace

LoadResult loadImage(const std::string& path, size_t size, std::vector<uint8_t>& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? LoadResult::kMissing : LoadResult::kUnreadable;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return LoadResult::kUnreadable;
  }
  if (static_cast<size_t>(st.st_size) != size) {
    ::close(fd);
    return LoadResult::kWrongSize;
  }
  std::vector<uint8_t> buf(size);
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::read(fd, buf.data() + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  if (got != size) return LoadResult::kUnreadable;
  out.swap(buf);
  return LoadResult::kLoaded;
}

bool replaceImage(const std::string& path, const uint8_t* data, size_t size, std::string* error) {
  std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = why("cannot create", tmp);
    return false;
  }
  bool ok = writeAll(fd, data, size, 0) && ::fsync(fd) == 0;
  if (!ok && error) *error = why("cannot write", tmp);
  ::close(fd);
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    if (error) *error = why("cannot rename onto", path);
    ok = false;
  }
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

bool patchImage(const std::string& path, size_t offset, const uint8_t* data, size_t len, std::string* error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = why("cannot open", path);
    return false;
  }
  bool ok = writeAll(fd, data, len, static_cast<off_t>(offset));
  if (!ok && error) *error = why("cannot write", path);
  ::close(fd);
  return ok;
}

}  // namespace sim
