// Where each card keeps its EEPROM and flash images between runs, and what a fresh card looks like: tuner
// type 1 and a distinct, locally administered MAC address per channel of every card. Several tool processes
// may share a directory: each card's images are guarded by a lock file beside them, held from the moment the
// images are read until the process has saved what it changed.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zadivo::tool {

inline constexpr size_t kEepromSize = 256;
inline constexpr size_t kTunerTypeOffset = 0x94;

// $XDG_STATE_HOME/zadivo when set and absolute, else $HOME/.local/state/zadivo. Empty when neither is known.
std::string defaultStateDir();
// The image a card starts with when it has none.
std::array<uint8_t, kEepromSize> freshEeprom(int card);

// Readers share a card's lock; a process that changes the images holds it alone.
enum class StateUse { kRead, kWrite };

// The locks of an opened state directory, released when it is destroyed.
class StateDir {
 public:
  ~StateDir();
  StateDir(const StateDir&) = delete;
  StateDir& operator=(const StateDir&) = delete;

 private:
  friend std::unique_ptr<StateDir> openStateDir(const std::string&, int, StateUse, std::string*);
  StateDir() = default;
  std::vector<int> locks_;
};

// Creates the directory (and its parents) and a fresh EEPROM image for every card that has none, takes each
// card's lock and checks the images there are: an image that is not a readable regular file of its chip's
// size is refused, never replaced. A lock another process holds is waited for briefly. Nullptr with *error
// (naming the path) on failure.
std::unique_ptr<StateDir> openStateDir(const std::string& dir, int cards, StateUse use, std::string* error);

}  // namespace zadivo::tool
