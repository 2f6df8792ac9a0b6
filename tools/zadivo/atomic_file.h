// Output files that are complete or absent: data for a regular file goes to a temporary file beside it, which
// is renamed over it only when the writer commits. Symbolic links are followed (the link stays, its target is
// written). What is not a regular file (a FIFO, a terminal, a device) is written into directly: there is
// nothing to replace there. "-" writes to standard output.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

namespace zadivo::tool {

class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile();  // removes the temporary file unless committed
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file (the target's mode when it exists, else 0666 after umask) or opens the
  // non-regular target; a FIFO is waited on until it has a reader or the user interrupts. False with *error
  // when it cannot.
  bool open(const std::string& path, std::string* error);
  bool write(const void* data, size_t len, std::string* error);
  // Flushes, syncs and renames into place. False with *error (and the temporary file removed) on failure.
  bool commit(std::string* error);
  // Removes the temporary file now.
  void abandon();

  bool isStdout() const { return stdout_; }
  const std::string& path() const { return path_; }
  const std::string& tempPath() const { return temp_; }

 private:
  bool openDirect(const std::string& target, std::string* error);
  std::string name() const;

  std::string path_;
  std::string target_;  // path_ with symbolic links followed
  std::string temp_;
  FILE* f_ = nullptr;
  int slot_ = -1;  // registerTemporary's
  bool stdout_ = false;
  bool direct_ = false;
  bool done_ = false;
};

// Reads a whole file of at most maxBytes. False with *error when it cannot or the file is larger.
bool readFile(const std::string& path, std::string& out, size_t maxBytes, std::string* error);

}  // namespace zadivo::tool
