// zap: channels of a channel file (ours or dvbv5-scan's) tuned by name on free tuners, all at once, and
// recorded whole or one service each until -t or Ctrl-C; without outputs, their statistics every second.
#include "tools/zadivo/zap.h"

#include <algorithm>
#include <cctype>

#include "platform/host/clock.h"
#include "sim/air.h"
#include "tools/zadivo/args.h"
#include "tools/zadivo/atomic_file.h"
#include "tools/zadivo/commands.h"
#include "tools/zadivo/interrupt.h"
#include "tools/zadivo/recording.h"
#include "tools/zadivo/report.h"
#include "tools/zadivo/scan_plan.h"

namespace zadivo::tool {

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = up;
    }
  }
  return row[b.size()];
}

// The channel file's keys of one section, as a tune and a service.
struct Wanted {
  std::string name;
  ChannelEntry entry;
  int32_t serviceId = -1;
};

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

constexpr size_t kMaxChannelFile = 4u << 20;
// What a scan tool writes for "no stream id" (all ones in 32 bits).
constexpr uint64_t kNoStreamId = 0xFFFFFFFF;

}  // namespace

const std::string* ChannelSection::find(const std::string& key) const {
  for (const auto& kv : keys)
    if (kv.first == key) return &kv.second;
  return nullptr;
}

std::optional<std::vector<ChannelSection>> readSections(const std::string& text, const std::string& origin,
                                                        std::string* error) {
  std::vector<ChannelSection> out;
  int lineNo = 0;
  auto fail = [&](const std::string& what) {
    if (error) *error = origin + ":" + std::to_string(lineNo) + ": " + what;
    return std::nullopt;
  };
  for (size_t at = 0; at < text.size();) {
    const size_t nl = text.find('\n', at);
    std::string line = trim(text.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
    at = nl == std::string::npos ? text.size() : nl + 1;
    ++lineNo;
    if (line.rfind(sim::kPrivateLinePrefix, 0) == 0) line = trim(line.substr(sim::kPrivateLinePrefix.size()));
    if (line.empty() || line[0] == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3) return fail("bad section header");
      out.push_back({trim(line.substr(1, line.size() - 2)), {}});
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected KEY = value");
    if (out.empty()) return fail("key outside a section");
    out.back().keys.emplace_back(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
  }
  return out;
}

std::optional<ChannelEntry> entryOf(const ChannelSection& s, std::string* error) {
  ChannelEntry e;
  e.name = s.name;
  auto number = [&](const char* key, uint64_t max, uint64_t& value) {
    const std::string* v = s.find(key);
    if (!v) return true;
    auto n = parseUnsigned(*v);
    if (!n || (*n > max && !(max == 0xFFFF && *n == kNoStreamId))) {
      if (error) *error = "[" + s.name + "]: " + key + " '" + v->substr(0, 40) + "' is not a number in range";
      return false;
    }
    value = *n;
    return true;
  };
  uint64_t f = 0, bw = 0, sr = 0, sid = kNoStreamId;
  if (!number("FREQUENCY", UINT32_MAX, f) || !number("BANDWIDTH_HZ", UINT32_MAX, bw) ||
      !number("SYMBOL_RATE", UINT32_MAX, sr) || !number("STREAM_ID", 0xFFFF, sid))
    return std::nullopt;
  if (f == 0) {
    if (error) *error = "[" + s.name + "]: FREQUENCY missing or 0";
    return std::nullopt;
  }
  e.frequencyHz = f;
  e.bandwidthHz = static_cast<uint32_t>(bw);
  e.symbolRate = static_cast<uint32_t>(sr);
  e.streamId = sid == kNoStreamId ? -1 : static_cast<int32_t>(sid);
  if (const std::string* ds = s.find("DELIVERY_SYSTEM")) e.deliverySystem = *ds;
  if (const std::string* mod = s.find("MODULATION")) e.modulation = *mod;
  return e;
}

std::vector<size_t> sectionsNamed(const std::vector<ChannelSection>& sections, const std::string& name) {
  std::vector<size_t> exact, vchannel, otherCase;
  for (size_t i = 0; i < sections.size(); ++i) {
    const std::string* vc = sections[i].find("VCHANNEL");
    if (sections[i].name == name)
      exact.push_back(i);
    else if (vc && *vc == name)
      vchannel.push_back(i);
    else if (lower(sections[i].name) == lower(name))
      otherCase.push_back(i);
  }
  exact.insert(exact.end(), vchannel.begin(), vchannel.end());
  exact.insert(exact.end(), otherCase.begin(), otherCase.end());
  return exact;
}

std::vector<std::string> closestNames(const std::vector<ChannelSection>& sections, const std::string& name,
                                      size_t n) {
  struct Scored {
    bool contains;
    size_t distance;
    std::string name;
  };
  std::vector<Scored> all;
  const std::string want = lower(name);
  for (const ChannelSection& s : sections) {
    if (std::any_of(all.begin(), all.end(), [&](const Scored& x) { return x.name == s.name; })) continue;
    const std::string have = lower(s.name);
    all.push_back({have.find(want) != std::string::npos, editDistance(have, want), s.name});
  }
  std::stable_sort(all.begin(), all.end(), [](const Scored& a, const Scored& b) {
    return std::tie(b.contains, a.distance) < std::tie(a.contains, b.distance);
  });
  std::vector<std::string> out;
  for (size_t i = 0; i < all.size() && i < n; ++i) out.push_back(all[i].name);
  return out;
}

int cmdZap(Globals& g, const ZapOptions& o) {
  std::string text, error;
  if (!readFile(o.channelsFile, text, kMaxChannelFile, &error)) {
    errorLine(error);
    return 1;
  }
  auto sections = readSections(text, o.channelsFile, &error);
  if (!sections) {
    errorLine(error);
    return 1;
  }
  std::vector<std::vector<size_t>> matches;
  for (const std::string& name : o.names) {
    matches.push_back(sectionsNamed(*sections, name));
    if (!matches.back().empty()) continue;
    std::string offer;
    for (const std::string& n : closestNames(*sections, name, 3)) offer += (offer.empty() ? "" : ", ") + n;
    errorLine("no channel '" + printable(name) + "' in " + o.channelsFile +
              (offer.empty() ? "" : "; closest: " + printable(offer)));
    return 1;
  }

  auto fe = bringUp(g, StateUse::kRead, !o.outputs.empty());
  if (!fe) return 1;
  std::vector<int> families;
  for (int c = 0; c < fe->cards(); ++c) families.push_back(fe->runningTunerType(c));
  auto anyCardReceives = [&](const std::string& system) {
    return system.empty() || std::any_of(families.begin(), families.end(),
                                         [&](int t) { return t > 0 && familyReceives(t, system); });
  };
  std::vector<std::string> skipped;
  for (const ChannelSection& s : *sections) {
    const std::string* system = s.find("DELIVERY_SYSTEM");
    if (system && !anyCardReceives(*system)) skipped.push_back(*system);
  }
  if (!skipped.empty()) warnSkipped(skipped, o.channelsFile);

  RecordJobs jobs;
  std::vector<ChannelRef> taken;
  for (size_t k = 0; k < o.names.size(); ++k) {
    // The first section of that name a card here receives.
    const ChannelSection* s = nullptr;
    for (size_t i : matches[k]) {
      const std::string* system = (*sections)[i].find("DELIVERY_SYSTEM");
      if (!s && anyCardReceives(system ? *system : "")) s = &(*sections)[i];
    }
    if (!s) {
      const std::string* system = (*sections)[matches[k].front()].find("DELIVERY_SYSTEM");
      errorLine("'" + printable(o.names[k]) + "' is " + printable(*system) + ", which no card here receives");
      return 1;
    }
    auto entry = entryOf(*s, &error);
    if (!entry) {
      errorLine(o.channelsFile + ": " + error);
      return 1;
    }
    const ChannelEntry& e = *entry;
    auto job = std::make_unique<RecordJob>();
    if (const std::string* sid = s->find("SERVICE_ID")) {
      auto id = parseUnsigned(*sid);
      if (!id || *id > 0xFFFF) {
        errorLine(o.channelsFile + ": [" + printable(s->name) + "]: SERVICE_ID '" + printable(*sid) +
                  "' is not a service id");
        return 1;
      }
      job->serviceId = static_cast<int32_t>(*id);
    }
    if (o.service && job->serviceId < 0) {
      errorLine("[" + printable(s->name) +
                "] has no SERVICE_ID: without --service its whole multiplex is recorded");
      return 1;
    }
    if (!o.service) job->serviceId = -1;
    auto fits = [&](const ChannelRef& ref) {
      const int type = fe->runningTunerType(ref.card);
      return type > 0 && (e.deliverySystem.empty() || familyReceives(type, e.deliverySystem));
    };
    if (!o.channels.empty()) {
      job->channel = o.channels[k];
      if (job->channel.card >= fe->cards()) {
        errorLine("no card " + std::to_string(job->channel.card) + " for channel " +
                  channelName(job->channel) + " (cards: " + std::to_string(fe->cards()) + ")");
        return 1;
      }
      if (!fits(job->channel)) {
        errorLine("channel " + channelName(job->channel) + " (" +
                  familyName(fe->runningTunerType(job->channel.card)) + ") cannot receive [" +
                  printable(s->name) + "] (" + printable(e.deliverySystem) + ")");
        return 1;
      }
    } else {
      bool found = false;
      for (int c = 0; c < fe->cards() && !found; ++c)
        for (int i = 0; i < kChannelsPerCard && !found; ++i) {
          const ChannelRef ref{c, i};
          found = fits(ref) && std::find(taken.begin(), taken.end(), ref) == taken.end();
          if (found) job->channel = ref;
        }
      if (!found) {
        errorLine("no free tuner for '" + printable(o.names[k]) + "'");
        return 1;
      }
    }
    if (std::find(taken.begin(), taken.end(), job->channel) != taken.end()) {
      errorLine("channel " + channelName(job->channel) + " given twice");
      return 1;
    }
    taken.push_back(job->channel);
    job->tune = {static_cast<uint32_t>(e.frequencyHz / 1000), e.bandwidthHz, e.symbolRate / 1000, e.streamId};
    job->label = printable(s->name) + " (" + channelName(job->channel) + ")";
    if (!o.outputs.empty()) job->output = o.outputs[k];
    jobs.push_back(std::move(job));
  }

  const int64_t startNs = host::clock::nowNs();
  if (!tuneAll(*fe, jobs, !o.outputs.empty(), true, &error)) {
    errorLine(interrupted() && !o.outputs.empty() ? "nothing recorded: " + error : error);
    return 1;
  }
  if (!o.outputs.empty()) return recordAll(g, *fe, jobs, {o.seconds, 0}, startNs);
  // Statistics only, as dvbv5-zap shows them while it holds the channels.
  const int64_t tunedNs = host::clock::nowNs();
  const int64_t endNs = o.seconds > 0 ? tunedNs + static_cast<int64_t>(o.seconds * 1e9) : INT64_MAX;
  for (int64_t next = tunedNs; !interrupted() && next < endNs; next += 1000 * host::clock::kMs) {
    const int64_t wait = next - host::clock::nowNs();
    if (wait > 0) host::clock::sleepNs(std::min(wait, endNs - host::clock::nowNs()));
    for (auto& job : jobs) {
      const SignalStats s = job->ch->stats();
      if (g.json) {
        Json j;
        j.add("channel", job->label).add("time", host::clock::nowNs() / 1e9, 3);
        addStats(j, s);
        printJson(j.str(), false);
      } else {
        printOut(job->label + ": " + femonLine(s));
      }
    }
  }
  return 0;
}

}  // namespace zadivo::tool
