// Where each card keeps its EEPROM and flash images between runs, and what a fresh card looks like: tuner
// type 1 and a distinct, locally administered MAC address per channel of every card.
#pragma once
#include <array>
#include <cstdint>
#include <string>

namespace zadivo::tool {

inline constexpr size_t kEepromSize = 256;
inline constexpr size_t kTunerTypeOffset = 0x94;

// $XDG_STATE_HOME/zadivo when set and absolute, else $HOME/.local/state/zadivo. Empty when neither is known.
std::string defaultStateDir();
// The image a card starts with when it has none.
std::array<uint8_t, kEepromSize> freshEeprom(int card);
// Creates the directory (and its parents) and a fresh EEPROM image for every card that has none. An
// existing image is never touched. False with *error on failure.
bool prepareStateDir(const std::string& dir, int cards, std::string* error);

}  // namespace zadivo::tool
