#include "tools/zadivo/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "tools/zadivo/interrupt.h"

namespace zadivo::tool {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows in one path

std::string dirOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The path a write through `path` lands on: symbolic links followed, the last one possibly dangling (then
// the target is created, as the shell's > does).
bool followLinks(const std::string& path, std::string& target, std::string* error) {
  target = path;
  for (int i = 0; i < kMaxLinks; ++i) {
    struct stat st {};
    if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    const ssize_t n = readlink(target.c_str(), link.data(), link.size());
    if (n < 0) {
      if (error) *error = "cannot follow " + target + ": " + strerror(errno);
      return false;
    }
    link.resize(static_cast<size_t>(n));
    target = link.front() == '/' ? link : dirOf(target) + "/" + link;
  }
  if (error) *error = "cannot follow " + path + ": " + strerror(ELOOP);
  return false;
}

}  // namespace

AtomicFile::~AtomicFile() { abandon(); }

std::string AtomicFile::name() const { return stdout_ ? std::string("standard output") : path_; }

bool AtomicFile::open(const std::string& path, std::string* error) {
  path_ = path;
  if (path == "-") {
    stdout_ = true;
    f_ = stdout;
    return true;
  }
  if (!followLinks(path, target_, error)) return false;
  struct stat st {};
  const bool exists = stat(target_.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    if (error) *error = path + " is a directory";
    return false;
  }
  if (exists && !S_ISREG(st.st_mode)) return openDirect(target_, error);
  temp_ = target_ + ".partXXXXXX";
  int fd = mkstemp(temp_.data());
  if (fd < 0) {
    if (error) *error = "cannot create " + path + ": " + strerror(errno);
    temp_.clear();
    return false;
  }
  slot_ = registerTemporary(temp_);
  // mkstemp makes 0600: a replaced file keeps its mode, a new one looks like any other the user creates.
  mode_t mode = st.st_mode & 07777;
  if (!exists) {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  fchmod(fd, mode);
  f_ = fdopen(fd, "wb");
  if (!f_) {
    if (error) *error = "cannot open " + temp_ + ": " + strerror(errno);
    ::close(fd);
    abandon();
    return false;
  }
  return true;
}

bool AtomicFile::openDirect(const std::string& target, std::string* error) {
  // Without a reader a FIFO refuses a non-blocking open: wait for one, as a blocking open would, but let
  // the user give up.
  int fd;
  while ((fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && errno == ENXIO &&
         !interrupted())
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (fd < 0) {
    if (error)
      *error = "cannot open " + path_ + ": " + (errno == ENXIO ? "no reader (interrupted)" : strerror(errno));
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  f_ = fdopen(fd, "wb");
  if (!f_) {
    if (error) *error = "cannot open " + path_ + ": " + strerror(errno);
    ::close(fd);
    return false;
  }
  direct_ = true;
  return true;
}

bool AtomicFile::write(const void* data, size_t len, std::string* error) {
  if (!f_) {
    if (error) *error = "output is not open";
    return false;
  }
  if (len && fwrite(data, 1, len, f_) != len) {
    if (error) *error = "write to " + name() + " failed: " + strerror(errno);
    return false;
  }
  return true;
}

bool AtomicFile::commit(std::string* error) {
  if (!f_) {
    if (error) *error = "output is not open";
    return false;
  }
  if (stdout_ || direct_) {
    done_ = true;
    bool ok = fflush(f_) == 0;
    int err = errno;
    if (direct_) {
      ok = fclose(f_) == 0 && ok;
      if (!ok && !err) err = errno;
      f_ = nullptr;
    }
    if (!ok && error) *error = "write to " + name() + " failed: " + strerror(err);
    return ok;
  }
  bool ok = fflush(f_) == 0 && fsync(fileno(f_)) == 0;
  int err = errno;
  ok = (fclose(f_) == 0) && ok;
  if (!ok && !err) err = errno;
  f_ = nullptr;
  if (ok && rename(temp_.c_str(), target_.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    if (error) *error = "cannot write " + path_ + ": " + strerror(err);
    abandon();
    return false;
  }
  done_ = true;
  unregisterTemporary(slot_);
  slot_ = -1;
  temp_.clear();
  return true;
}

void AtomicFile::abandon() {
  if (stdout_ || done_) return;
  if (f_) {
    fclose(f_);
    f_ = nullptr;
  }
  if (!temp_.empty()) {
    unlink(temp_.c_str());
    temp_.clear();
  }
  unregisterTemporary(slot_);
  slot_ = -1;
}

bool readFile(const std::string& path, std::string& out, size_t maxBytes, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  out.clear();
  char buf[65536];
  // One byte past the limit tells an endless source from a file that fits.
  while (out.size() <= maxBytes) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error) *error = "cannot read " + path + ": " + strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  if (out.size() > maxBytes) {
    if (error) *error = path + " is larger than " + std::to_string(maxBytes) + " bytes";
    return false;
  }
  return true;
}

}  // namespace zadivo::tool
