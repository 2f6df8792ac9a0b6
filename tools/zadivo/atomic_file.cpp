#include "tools/zadivo/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace zadivo::tool {

AtomicFile::~AtomicFile() { abandon(); }

bool AtomicFile::open(const std::string& path, std::string* error) {
  path_ = path;
  if (path == "-") {
    stdout_ = true;
    f_ = stdout;
    return true;
  }
  temp_ = path + ".partXXXXXX";
  int fd = mkstemp(temp_.data());
  if (fd < 0) {
    if (error) *error = "cannot create " + path + ": " + strerror(errno);
    temp_.clear();
    return false;
  }
  // mkstemp makes 0600; an output file should look like any other the user creates.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  f_ = fdopen(fd, "wb");
  if (!f_) {
    if (error) *error = "cannot open " + temp_ + ": " + strerror(errno);
    ::close(fd);
    unlink(temp_.c_str());
    temp_.clear();
    return false;
  }
  return true;
}

bool AtomicFile::write(const void* data, size_t len, std::string* error) {
  if (!f_) {
    if (error) *error = "output is not open";
    return false;
  }
  if (len && fwrite(data, 1, len, f_) != len) {
    if (error)
      *error =
          "write to " + (stdout_ ? std::string("standard output") : path_) + " failed: " + strerror(errno);
    return false;
  }
  return true;
}

bool AtomicFile::commit(std::string* error) {
  if (!f_) {
    if (error) *error = "output is not open";
    return false;
  }
  if (stdout_) {
    done_ = true;
    if (fflush(f_) != 0) {
      if (error) *error = std::string("write to standard output failed: ") + strerror(errno);
      return false;
    }
    return true;
  }
  bool ok = fflush(f_) == 0 && fsync(fileno(f_)) == 0;
  int err = errno;
  ok = (fclose(f_) == 0) && ok;
  if (!ok && !err) err = errno;
  f_ = nullptr;
  if (ok && rename(temp_.c_str(), path_.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    if (error) *error = "cannot write " + path_ + ": " + strerror(err);
    unlink(temp_.c_str());
    temp_.clear();
    return false;
  }
  done_ = true;
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
}

bool readFile(const std::string& path, std::string& out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

}  // namespace zadivo::tool
