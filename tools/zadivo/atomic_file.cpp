#include "tools/zadivo/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string_view>
#include <thread>

#include "tools/zadivo/interrupt.h"

namespace zadivo::tool {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows in one path
constexpr std::string_view kPart = ".part";
constexpr size_t kUnique = 6;  // mkstemp's XXXXXX
// Two writers that start at the same moment both see the other: each steps back and tries again.
constexpr int kCreateAttempts = 4;

bool g_stdoutClosed = false;

std::string dirOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether another process holds the lock of a temporary file: it is writing it. A temporary file left by a
// process that died holds none.
bool lockedByAnother(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  const bool locked = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return locked;
}

// Another writer's temporary file for the same target, locked: its name has our prefix, then XXXXXX.
bool anotherWriter(const std::string& dir, const std::string& prefix, const std::string& own) {
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  bool found = false;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() != prefix.size() + kPart.size() + kUnique || name.rfind(prefix, 0) != 0 ||
        name.compare(prefix.size(), kPart.size(), kPart) != 0 || name == own)
      continue;
    if ((found = lockedByAnother(dir + "/" + name))) break;
  }
  closedir(d);
  return found;
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

std::string temporaryPrefix(const std::string& target) {
  const std::string base = baseOf(target);
  if (base.size() + kPart.size() + kUnique <= NAME_MAX) return base;
  char hash[16];
  snprintf(hash, sizeof hash, "~%08zx", std::hash<std::string>()(base) & 0xFFFFFFFF);
  return base.substr(0, NAME_MAX - kPart.size() - kUnique - strlen(hash)) + hash;
}

bool writable(const std::string& path, std::string* error) {
  if (path == "-") {
    if (g_stdoutClosed && error) *error = "standard output is closed: give a file instead of -";
    return !g_stdoutClosed;
  }
  std::string target;
  if (!followLinks(path, target, error)) return false;
  struct stat st {};
  const bool exists = stat(target.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    if (error) *error = path + " is a directory";
    return false;
  }
  if (exists && !S_ISREG(st.st_mode)) return true;  // written into when it is opened
  // The temporary file goes beside the target, and the target's own name must fit the directory.
  auto cannot = [&](int e) {
    if (error) *error = "cannot create " + path + ": " + strerror(e);
    return false;
  };
  if (target.size() - target.rfind('/') - 1 > NAME_MAX) return cannot(ENAMETOOLONG);
  const std::string dir = dirOf(target);
  struct stat ds {};
  if (stat(dir.c_str(), &ds) != 0) return cannot(errno);
  if (!S_ISDIR(ds.st_mode)) return cannot(ENOTDIR);
  if (access(dir.c_str(), W_OK | X_OK) != 0) return cannot(errno);
  return true;
}

bool AtomicFile::open(const std::string& path, std::string* error, const char* doing) {
  path_ = path;
  if (path == "-") {
    if (g_stdoutClosed) {
      if (error) *error = "standard output is closed: give a file instead of -";
      return false;
    }
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
  // mkstemp makes 0600: a replaced file keeps its mode, a new one looks like any other the user creates.
  mode_t mode = st.st_mode & 07777;
  if (!exists) {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  std::minstd_rand backoff(static_cast<unsigned>(getpid()));
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    bool busy = false;
    if (createTemp(mode, &busy, error)) return true;
    if (!busy) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10 + backoff() % 40));
  }
  if (error) *error = path + " is being " + doing + " by another zadivo process";
  return false;
}

bool AtomicFile::createTemp(mode_t mode, bool* busy, std::string* error) {
  const std::string dir = dirOf(target_), prefix = temporaryPrefix(target_);
  temp_ = dir + "/" + prefix + std::string(kPart) + std::string(kUnique, 'X');
  const int fd = mkstemp(temp_.data());
  if (fd < 0) {
    if (error) *error = "cannot create " + path_ + ": " + strerror(errno);
    temp_.clear();
    return false;
  }
  slot_ = registerTemporary(temp_);
  auto drop = [&] {
    ::close(fd);
    abandon();
  };
  // The lock lasts as long as the descriptor: until the file is renamed into place or removed.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || anotherWriter(dir, prefix, baseOf(temp_))) {
    drop();
    *busy = true;
    return false;
  }
  fchmod(fd, mode);
  f_ = fdopen(fd, "wb");
  if (!f_) {
    if (error) *error = "cannot open " + temp_ + ": " + strerror(errno);
    drop();
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
    readerGone_ = errno == EPIPE && (stdout_ || direct_);
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
    bool ok = fflush(f_) == 0 || readerGone_;
    int err = errno;
    if (direct_) {
      ok = (fclose(f_) == 0 || readerGone_) && ok;
      if (!ok && !err) err = errno;
      f_ = nullptr;
    }
    if (!ok && error) *error = "write to " + name() + " failed: " + strerror(err);
    return ok;
  }
  // Renamed while still open: the lock keeps another writer out until the file is in place.
  bool ok = fflush(f_) == 0 && fsync(fileno(f_)) == 0;
  int err = ok ? 0 : errno;
  if (ok && rename(temp_.c_str(), target_.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (fclose(f_) != 0 && ok) {
    ok = false;
    err = errno;
  }
  f_ = nullptr;
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
  auto failed = [&](int err) {
    if (error)
      *error = err == EINTR && interrupted() ? "interrupted while waiting for " + path
                                             : "cannot read " + path + ": " + strerror(err);
    return false;
  };
  int fd;
  while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR && !interrupted()) {
  }
  if (fd < 0) return failed(errno);
  out.clear();
  char buf[65536];
  // One byte past the limit tells an endless source from a file that fits.
  while (out.size() <= maxBytes) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR && !interrupted()) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      return failed(err);
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

void openMissingStandardDescriptors() {
  for (int fd = 0; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free descriptor is this one.
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      ::close(opened);
    }
    if (fd == STDOUT_FILENO) g_stdoutClosed = true;
  }
}

}  // namespace zadivo::tool
