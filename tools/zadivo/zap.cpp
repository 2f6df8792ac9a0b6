// zap: channels of a channel file (ours or dvbv5-scan's) tuned by name on free tuners, all at once, and
// recorded whole or one service each until -t or Ctrl-C; without outputs, their statistics every second.
#include "tools/zadivo/zap.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cctype>

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

constexpr size_t kMaxChannelFile = 4u << 20;
// What a scan tool writes for "no stream id" (all ones in 32 bits).
constexpr uint64_t kNoStreamId = 0xFFFFFFFF;

}  // namespace

std::string caseFolded(const std::string& utf8) {
  // ICU's full case fold ("Straße" and "STRASSE" fold alike); a name that is no UTF-8 folds in ASCII only.
  auto ascii = [&] {
    std::string out = utf8;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  };
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, utf8.data(), static_cast<int32_t>(utf8.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return ascii();
  std::vector<UChar> wide(static_cast<size_t>(length) + 1);
  status = U_ZERO_ERROR;
  u_strFromUTF8(wide.data(), length + 1, nullptr, utf8.data(), static_cast<int32_t>(utf8.size()), &status);
  if (U_FAILURE(status)) return ascii();
  // A full fold makes at most three units of one.
  std::vector<UChar> folded(wide.size() * 3 + 1);
  const int32_t n = u_strFoldCase(folded.data(), static_cast<int32_t>(folded.size()), wide.data(), length,
                                  U_FOLD_CASE_DEFAULT, &status);
  if (U_FAILURE(status)) return ascii();
  std::string out(static_cast<size_t>(n) * 3 + 1, '\0');
  int32_t bytes = 0;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &bytes, folded.data(), n, &status);
  if (U_FAILURE(status)) return ascii();
  out.resize(static_cast<size_t>(bytes));
  return out;
}

std::optional<std::vector<ChannelSection>> readSections(const std::string& text, const std::string& origin,
                                                        std::string* error,
                                                        std::vector<std::string>* warnings) {
  return sim::readChannelSections(text, origin, error, warnings);
}

std::optional<ChannelEntry> entryOf(const ChannelSection& s, const std::string& origin, std::string* error) {
  ChannelEntry e;
  e.name = s.name;
  auto number = [&](const char* key, const char* what, uint64_t max, uint64_t& value) {
    const std::string* v = s.find(key);
    if (!v) return true;
    auto n = parseUnsigned(*v);
    if (!n || (*n > max && !(max == 0xFFFF && *n == kNoStreamId))) {
      if (error)
        *error = origin + ":" + std::to_string(s.lineOf(key)) + ": " + key + ": not " + what + " " +
                 sim::quotedValue(*v);
      return false;
    }
    value = *n;
    return true;
  };
  auto f = sim::frequencyOf(s, origin, error);
  uint64_t bw = 0, sr = 0, sid = kNoStreamId;
  if (!f || !number("BANDWIDTH_HZ", "a bandwidth in Hz", UINT32_MAX, bw) ||
      !number("SYMBOL_RATE", "a symbol rate in symbols/s", UINT32_MAX, sr) ||
      !number("STREAM_ID", "a stream id 0..65535 (or 4294967295 for none)", 0xFFFF, sid))
    return std::nullopt;
  e.frequencyHz = *f;
  e.bandwidthHz = static_cast<uint32_t>(bw);
  e.symbolRate = static_cast<uint32_t>(sr);
  e.streamId = sid == kNoStreamId ? -1 : static_cast<int32_t>(sid);
  if (const std::string* ds = s.find("DELIVERY_SYSTEM")) e.deliverySystem = *ds;
  if (const std::string* mod = s.find("MODULATION")) e.modulation = *mod;
  return e;
}

std::vector<size_t> sectionsWithServiceId(const std::vector<ChannelSection>& sections, uint32_t serviceId) {
  std::vector<size_t> out;
  for (size_t i = 0; i < sections.size(); ++i) {
    const std::string* sid = sections[i].find("SERVICE_ID");
    if (sid && parseUnsigned(*sid) == serviceId) out.push_back(i);
  }
  return out;
}

std::vector<size_t> sectionsNamed(const std::vector<ChannelSection>& sections, const std::string& name) {
  std::vector<size_t> exact, vchannel, otherCase;
  const std::string folded = caseFolded(name);
  for (size_t i = 0; i < sections.size(); ++i) {
    const std::string* vc = sections[i].find("VCHANNEL");
    if (sections[i].name == name)
      exact.push_back(i);
    else if (vc && *vc == name)
      vchannel.push_back(i);
    else if (caseFolded(sections[i].name) == folded)
      otherCase.push_back(i);
  }
  exact.insert(exact.end(), vchannel.begin(), vchannel.end());
  exact.insert(exact.end(), otherCase.begin(), otherCase.end());
  if (exact.empty())
    if (auto id = parseUnsigned(name); id && *id <= 0xFFFF) return sectionsWithServiceId(sections, *id);
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
  const std::string want = caseFolded(name);
  for (const ChannelSection& s : sections) {
    if (std::any_of(all.begin(), all.end(), [&](const Scored& x) { return x.name == s.name; })) continue;
    const std::string have = caseFolded(s.name);
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
  std::vector<std::string> warnings;
  auto sections = readSections(text, o.channelsFile, &error, &warnings);
  for (const std::string& w : warnings) warningLine(w);
  if (!sections) {
    errorLine(error);
    return 1;
  }
  // What was asked for, by name or by --sid, with the sections answering to each.
  std::vector<std::string> wanted;
  std::vector<std::vector<size_t>> matches;
  for (const std::string& name : o.names) {
    wanted.push_back(name);
    matches.push_back(sectionsNamed(*sections, name));
    if (!matches.back().empty()) continue;
    std::string offer;
    for (const std::string& n : closestNames(*sections, name, 3)) offer += (offer.empty() ? "" : ", ") + n;
    errorLine("no channel '" + printable(name) + "' in " + o.channelsFile +
              (offer.empty() ? "" : "; closest: " + printable(offer)));
    return 1;
  }
  for (uint32_t id : o.serviceIds) {
    wanted.push_back("service id " + std::to_string(id));
    matches.push_back(sectionsWithServiceId(*sections, id));
    if (matches.back().empty()) {
      errorLine("no service id " + std::to_string(id) + " in " + o.channelsFile);
      return 1;
    }
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
  for (size_t k = 0; k < wanted.size(); ++k) {
    // The first section of that name a card here receives.
    const ChannelSection* s = nullptr;
    for (size_t i : matches[k]) {
      const std::string* system = (*sections)[i].find("DELIVERY_SYSTEM");
      if (!s && anyCardReceives(system ? *system : "")) s = &(*sections)[i];
    }
    if (!s) {
      const std::string* system = (*sections)[matches[k].front()].find("DELIVERY_SYSTEM");
      errorLine("'" + printable(wanted[k]) + "' is " + printable(*system) + ", which no card here receives");
      return 1;
    }
    auto entry = entryOf(*s, o.channelsFile, &error);
    if (!entry) {
      errorLine(error);
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
        errorLine("no free tuner for '" + printable(wanted[k]) + "'");
        return 1;
      }
    }
    if (std::find(taken.begin(), taken.end(), job->channel) != taken.end()) {
      errorLine("channel " + channelName(job->channel) + " given twice");
      return 1;
    }
    taken.push_back(job->channel);
    // Checked as -b and -s are, before any tuner moves: a value the family cannot take is a usage error.
    const int type = fe->runningTunerType(job->channel.card);
    auto refused = [&](const char* key, uint64_t value, const std::string& takes) {
      errorLine(o.channelsFile + ":" + std::to_string(s->lineOf(key)) + ": [" + printable(s->name) + "] " +
                key + " = " + std::to_string(value) + ": " + familyName(type) + " takes " + takes);
      return 2;
    };
    if (std::string takes = e.bandwidthHz ? bandwidthProblem(type, e.bandwidthHz) : ""; !takes.empty())
      return refused("BANDWIDTH_HZ", e.bandwidthHz, takes);
    if (s->find("SYMBOL_RATE"))
      if (std::string takes = symbolRateProblem(type, e.symbolRate); !takes.empty())
        return refused("SYMBOL_RATE", e.symbolRate, takes);
    job->tune = {static_cast<uint32_t>(e.frequencyHz / 1000), e.bandwidthHz, e.symbolRate / 1000, e.streamId};
    job->label = printable(s->name) + " (" + channelName(job->channel) + ")";
    if (!o.outputs.empty()) job->output = o.outputs[k];
    jobs.push_back(std::move(job));
  }

  const int64_t startNs = platform_time::nowNs();
  if (!tuneAll(*fe, jobs, !o.outputs.empty(), true, &error)) {
    errorLine(interrupted() && !o.outputs.empty() ? "nothing recorded: " + error : error);
    return 1;
  }
  if (!o.outputs.empty()) return recordAll(g, jobs, {o.seconds, 0}, startNs);
  // Statistics only, as dvbv5-zap shows them while it holds the channels.
  const int64_t tunedNs = platform_time::nowNs();
  const int64_t endNs = o.seconds > 0 ? tunedNs + static_cast<int64_t>(o.seconds * 1e9) : INT64_MAX;
  for (int64_t next = tunedNs; !interrupted() && next < endNs; next += 1000 * platform_time::kMs) {
    const int64_t wait = next - platform_time::nowNs();
    if (wait > 0) platform_time::sleepNs(std::min(wait, endNs - platform_time::nowNs()));
    for (auto& job : jobs) {
      const SignalStats s = job->ch->stats();
      if (g.json) {
        Json j;
        j.add("channel", job->label).add("time", platform_time::nowNs() / 1e9, 3);
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
