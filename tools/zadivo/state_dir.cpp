#include "tools/zadivo/state_dir.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "sim/backing_file.h"
#include "tools/machine.h"

namespace zadivo::tool {

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

bool prepareStateDir(const std::string& dir, int cards, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir)) {
    if (error)
      *error = "cannot create state directory " + dir + ": " + (ec ? ec.message() : "not a directory");
    return false;
  }
  for (int card = 0; card < cards; ++card) {
    const std::string path = zadivo::Machine::eepromPath(dir, card);
    if (std::filesystem::exists(path)) continue;
    auto image = freshEeprom(card);
    std::string why;
    if (!sim::replaceImage(path, image.data(), image.size(), &why)) {
      if (error) *error = "cannot create " + path + ": " + why;
      return false;
    }
  }
  return true;
}

}  // namespace zadivo::tool
