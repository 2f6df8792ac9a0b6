// A .ts file replayed in a loop. The file is read once; bytes that do not belong to a run of packets starting
// with the sync byte are skipped (resync), so a file cut in the middle of a packet still plays. Packets are
// replayed as they are: at the loop point the continuity counters and the PCR jump, as they would when a
// recording is played again; an analyser reports one discontinuity per loop.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "sim/ts_source.h"
#include "sim/ts_util.h"

namespace sim {
namespace {

constexpr size_t kMaxFileBytes = size_t{1} << 30;

class FileSource : public TsSource {
 public:
  FileSource(std::vector<uint8_t> packets, uint64_t bitrate) : data_(std::move(packets)), bitrate_(bitrate) {}
  uint64_t bitrate() const override { return bitrate_; }
  void fill(uint8_t* dst, size_t packets) override {
    const size_t count = data_.size() / kTsPacket;
    for (size_t i = 0; i < packets; ++i) {
      std::memcpy(dst + i * kTsPacket, data_.data() + next_ * kTsPacket, kTsPacket);
      next_ = (next_ + 1) % count;
    }
  }

 private:
  std::vector<uint8_t> data_;
  uint64_t bitrate_;
  size_t next_ = 0;
};

// A packet boundary: a sync byte here and, when the data goes on, at the next packet too.
bool syncedAt(const std::vector<uint8_t>& raw, size_t pos) {
  if (raw[pos] != ts::kSync) return false;
  if (pos + 2 * kTsPacket <= raw.size() && raw[pos + kTsPacket] != ts::kSync) return false;
  return true;
}

}  // namespace

std::unique_ptr<TsSource> makeFileSource(const std::string& path, uint64_t bitrate, std::string* error) {
  auto fail = [&](const std::string& msg) -> std::unique_ptr<TsSource> {
    if (error) *error = msg;
    return nullptr;
  };
  if (bitrate == 0) return fail(path + ": bitrate must be greater than 0");
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return fail(path + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    return fail(path + ": is a directory");
  }
  std::vector<uint8_t> raw;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    if (raw.size() + n > kMaxFileBytes) {
      std::fclose(f);
      return fail(path + ": larger than 1 GiB");
    }
    raw.insert(raw.end(), buf, buf + n);
  }
  bool readError = std::ferror(f) != 0;
  std::fclose(f);
  if (readError) return fail(path + ": read error");

  std::vector<uint8_t> packets;
  size_t pos = 0;
  while (pos + kTsPacket <= raw.size()) {
    if (syncedAt(raw, pos)) {
      packets.insert(packets.end(), raw.begin() + static_cast<std::ptrdiff_t>(pos),
                     raw.begin() + static_cast<std::ptrdiff_t>(pos + kTsPacket));
      pos += kTsPacket;
    } else {
      ++pos;
    }
  }
  if (packets.empty()) return fail(path + ": no transport packet with a sync byte");
  return std::make_unique<FileSource>(std::move(packets), bitrate);
}

}  // namespace sim
