// Output files that are complete or absent: data goes to a temporary file beside the target, which is renamed
// over it only when the writer commits. "-" writes to standard output instead (nothing to undo there).
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

  // Creates the temporary file (mode 0644 after umask). False with *error when it cannot.
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
  std::string path_;
  std::string temp_;
  FILE* f_ = nullptr;
  bool stdout_ = false;
  bool done_ = false;
};

// Reads a whole file. False with *error when it cannot.
bool readFile(const std::string& path, std::string& out, std::string* error);

}  // namespace zadivo::tool
