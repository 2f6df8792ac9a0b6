// Output files that are complete or absent: data for a regular file goes to a temporary file beside it, which
// is renamed over it only when the writer commits. Symbolic links are followed (the link stays, its target is
// written). What is not a regular file (a FIFO, a terminal, a device) is written into directly: there is
// nothing to replace there. "-" writes to standard output. One process at a time writes a path: the temporary
// file is locked while it is written, and a writer that finds another's is refused.
#pragma once
#include <sys/types.h>

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
  // when it cannot, or when another process is writing the same file ("<path> is being <doing> by another
  // zadivo process").
  bool open(const std::string& path, std::string* error, const char* doing = "written");
  bool write(const void* data, size_t len, std::string* error);
  // Flushes, syncs and renames into place. False with *error (and the temporary file removed) on failure.
  bool commit(std::string* error);
  // Removes the temporary file now.
  void abandon();

  bool isStdout() const { return stdout_; }
  // A pipe or FIFO whose reader closed it: a write failed with EPIPE. Committing such an output succeeds;
  // what the reader took is all there is.
  bool readerGone() const { return readerGone_; }
  const std::string& path() const { return path_; }
  const std::string& tempPath() const { return temp_; }

 private:
  bool openDirect(const std::string& target, std::string* error);
  // Creates and locks the temporary file; false with *busy set when another writer's is there.
  bool createTemp(mode_t mode, bool* busy, std::string* error);
  std::string name() const;

  std::string path_;
  std::string target_;  // path_ with symbolic links followed
  std::string temp_;
  FILE* f_ = nullptr;
  int slot_ = -1;  // registerTemporary's
  bool stdout_ = false;
  bool direct_ = false;
  bool done_ = false;
  bool readerGone_ = false;
};

// The temporary file's name for a target in the same directory, within NAME_MAX however long the target's
// name: "<name>.partXXXXXX", or a cut name marked with a hash of the whole one.
std::string temporaryPrefix(const std::string& target);

// Whether AtomicFile::open could write path, checked without creating anything: a command refuses an output
// it cannot write before it starts the card. False with *error as open would say it.
bool writable(const std::string& path, std::string* error);

// Reads a whole file of at most maxBytes. False with *error when it cannot or the file is larger. A FIFO is
// read as its writer writes; while blocking calls are interruptible, an interrupt ends the wait for one.
bool readFile(const std::string& path, std::string& out, size_t maxBytes, std::string* error);

// Opens /dev/null on whichever of descriptors 0, 1 and 2 the process was started without, before anything
// else is opened: otherwise the next file opened (a state lock, an output) would become that stream and
// receive what is meant for it. Standard output that was closed is then refused as an output ("-").
void openMissingStandardDescriptors();

}  // namespace zadivo::tool
