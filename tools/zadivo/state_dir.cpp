#include "tools/zadivo/state_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "sim/backing_file.h"
#include "sim/spi_flash.h"
#include "tools/zadivo/emulation.h"
#include "tools/zadivo/interrupt.h"

namespace zadivo::tool {

namespace {

// Long enough for another process's short command (a MAC write, a tuner-type change) to finish.
constexpr auto kLockWait = std::chrono::seconds(3);

std::string lockPath(const std::string& dir, int card) {
  return dir + "/card" + std::to_string(card) + ".lock";
}

bool lockWithin(int fd, int how) {
  const auto deadline = std::chrono::steady_clock::now() + kLockWait;
  while (flock(fd, how | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline || interrupted()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Absent, not merely unreadable: only then is a fresh image made.
bool missing(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

// An image there is must be what the chip holds: a readable regular file of exactly its size.
bool checkImage(const std::string& path, size_t size, const char* chip, std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = path + " " + what + "; refusing to use or replace it (move it away to start afresh)";
    return false;
  };
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    // A link to nothing is not an absent image: a blank one made in its place would lose what it pointed to.
    if (errno == ENOENT && !missing(path)) return fail("is a symbolic link to nothing");
    if (errno == ENOENT) return true;
    if (error) *error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) return fail(std::string("is not a regular file, not a ") + chip + " image");
  if (static_cast<size_t>(st.st_size) != size)
    return fail("is " + std::to_string(st.st_size) + " bytes, not the " + chip + "'s " +
                std::to_string(size));
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  ::close(fd);
  return true;
}

}  // namespace

std::string defaultStateDir() {
  const char* xdg = getenv("XDG_STATE_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/zadivo";
  const char* home = getenv("HOME");
  if (home && home[0]) return std::string(home) + "/.local/state/zadivo";
  return {};
}

std::array<uint8_t, kEepromSize> freshEeprom(int card) {
  std::array<uint8_t, kEepromSize> image;
  image.fill(0xFF);
  for (int i = 1; i <= 8; ++i) {
    // 02: locally administered, unicast; then our vendor bytes, the card and the channel.
    const uint8_t mac[6] = {0x02, 0x5A, 0x44, 0x00, static_cast<uint8_t>(card), static_cast<uint8_t>(i)};
    memcpy(&image[i * 0x10], mac, sizeof mac);
  }
  image[kTunerTypeOffset] = 1;
  return image;
}

StateDir::~StateDir() {
  for (int fd : locks_) ::close(fd);
}

std::unique_ptr<StateDir> openStateDir(const std::string& dir, int cards, StateUse use, std::string* error) {
  auto fail = [&](const std::string& what) -> std::unique_ptr<StateDir> {
    if (error) *error = what;
    return nullptr;
  };
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir, ec))
    return fail("cannot create state directory " + dir + ": " + (ec ? ec.message() : "not a directory"));
  std::unique_ptr<StateDir> state(new StateDir());
  for (int card = 0; card < cards; ++card) {
    const std::string lock = lockPath(dir, card);
    const std::string eeprom = eepromImagePath(dir, card);
    int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && use == StateUse::kRead) fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail("cannot lock " + lock + ": " + strerror(errno));
    state->locks_.push_back(fd);
    // A missing image is created under the lock held alone, so that two first runs do not both write it.
    const bool create = missing(eeprom);
    if (!lockWithin(fd, create || use == StateUse::kWrite ? LOCK_EX : LOCK_SH))
      return fail(interrupted() ? "interrupted while waiting for " + lock
                                : "card " + std::to_string(card) + "'s images in " + dir +
                                      " are in use by another zadivo process (" + lock + ")");
    if (create && missing(eeprom)) {
      auto image = freshEeprom(card);
      std::string why;
      if (!sim::replaceImage(eeprom, image.data(), image.size(), &why)) return fail(why);
    }
    if (create && use == StateUse::kRead && !lockWithin(fd, LOCK_SH))
      return fail("cannot share the lock " + lock);
    std::string why;
    if (!checkImage(eeprom, kEepromSize, "EEPROM", &why) ||
        !checkImage(flashImagePath(dir, card), sim::SpiFlash::kSize, "flash", &why))
      return fail(why);
  }
  return state;
}

}  // namespace zadivo::tool
