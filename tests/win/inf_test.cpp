// The driver package's INF as platform/win/inf.cmake writes it: the sections a BDA receiver's installation
// needs, each one the INF refers to present, the image it ships named where it is copied and started, and
// hardware ids taken only when they are PCI hardware ids; one device interface for KsProxy per filter the
// driver registers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "zadivo/filter_descriptors.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::vector<std::string> splitList(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  for (std::string item; std::getline(in, item, ',');) out.push_back(trim(item));
  return out;
}

// Sections by lower-case name; each line a key and a value ("" for lines without '='), comments removed.
struct Inf {
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> sections;
  std::string text;

  bool has(const std::string& section) const { return sections.count(lower(section)) != 0; }
  const std::vector<std::pair<std::string, std::string>>& lines(const std::string& section) const {
    static const std::vector<std::pair<std::string, std::string>> kNone;
    auto it = sections.find(lower(section));
    return it == sections.end() ? kNone : it->second;
  }
  std::string value(const std::string& section, const std::string& key) const {
    for (const auto& [k, v] : lines(section))
      if (lower(k) == lower(key)) return v;
    return "";
  }
};

Inf parse(const std::string& text) {
  Inf inf;
  inf.text = text;
  std::stringstream in(text);
  std::string current;
  for (std::string line; std::getline(in, line);) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == ';' && !quoted) line.resize(i);
    }
    line = trim(line);
    if (line.empty()) continue;
    if (line.front() == '[' && line.back() == ']') {
      current = lower(line.substr(1, line.size() - 2));
      inf.sections[current];
      continue;
    }
    const auto eq = line.find('=');
    inf.sections[current].emplace_back(trim(line.substr(0, eq)),
                                       eq == std::string::npos ? "" : trim(line.substr(eq + 1)));
  }
  return inf;
}

class InfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zadivo_inf_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { fs::remove_all(dir); }

  // Runs the INF script the way the Windows build does; the exit status, and its messages in `log`.
  int makeInf(const std::string& hwid, const std::string& sys = "zadivo.sys") {
    std::vector<std::string> args = {ZADIVO_CMAKE, "-DHWID=" + hwid, "-DSYS=" + sys, "-DOUT=" + infPath(),
                                     "-P",         ZADIVO_INF_SCRIPT};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string logPath = dir + "/log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    int status = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    std::ifstream in(logPath);
    log.assign(std::istreambuf_iterator<char>(in), {});
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string infPath() const { return dir + "/zadivo.inf"; }
  Inf readInf() const {
    std::ifstream in(infPath(), std::ios::binary);
    return parse(std::string(std::istreambuf_iterator<char>(in), {}));
  }

  std::string dir, log;
};

TEST_F(InfTest, InstallsTheImageAsABdaReceiverForTheGivenCard) {
  ASSERT_EQ(makeInf("PCI\\VEN_1234&DEV_5678"), 0) << log;
  const Inf inf = readInf();

  EXPECT_EQ(inf.value("Version", "Signature"), "\"$WINDOWS NT$\"");
  EXPECT_EQ(inf.value("Version", "Class"), "Media");
  EXPECT_EQ(lower(inf.value("Version", "ClassGuid")), "{4d36e96c-e325-11ce-bfc1-08002be10318}");
  EXPECT_TRUE(std::regex_match(inf.value("Version", "DriverVer"),
                               std::regex(R"(\d\d/\d\d/\d{4},\d+\.\d+\.\d+\.\d+)")))
      << inf.value("Version", "DriverVer");
  EXPECT_NE(inf.value("Version", "CatalogFile"), "");

  // Manufacturer -> models for x64 -> install section, which pulls in the KS and BDA registration.
  // Models for x64 from Windows 10 1709 on, which the driver store (DIRID 13) needs.
  const auto manufacturer = splitList(inf.value("Manufacturer", "%ManufacturerName%"));
  ASSERT_EQ(manufacturer.size(), 2u);
  EXPECT_EQ(lower(manufacturer[1]), "ntamd64.10.0...16299");
  const auto models = inf.lines(manufacturer[0] + "." + manufacturer[1]);
  ASSERT_EQ(models.size(), 1u);
  const auto model = splitList(models[0].second);
  ASSERT_EQ(model.size(), 2u);
  EXPECT_EQ(model[1], "PCI\\VEN_1234&DEV_5678");
  const std::string install = model[0] + ".NTamd64";
  ASSERT_TRUE(inf.has(install)) << install;
  EXPECT_EQ(splitList(inf.value(install, "Include")),
            (std::vector<std::string>{"ks.inf", "kscaptur.inf", "bda.inf"}));
  EXPECT_EQ(splitList(inf.value(install, "Needs")),
            (std::vector<std::string>{"KS.Registration", "KSCAPTUR.Registration.NT", "BDA.Installation.NT"}));

  // The image: shipped from the disk, copied, and started by the service.
  EXPECT_EQ(inf.value("SourceDisksFiles", "zadivo.sys"), "1");
  EXPECT_TRUE(inf.has("SourceDisksNames"));
  // With Include/Needs, no default directory: the copy section names its own.
  const std::string copy = inf.value(install, "CopyFiles");
  ASSERT_TRUE(inf.has(copy)) << copy;
  EXPECT_EQ(inf.value("DestinationDirs", "DefaultDestDir"), "");
  EXPECT_EQ(inf.value("DestinationDirs", copy), "13");
  ASSERT_EQ(inf.lines(copy).size(), 1u);
  EXPECT_EQ(inf.lines(copy)[0].first, "zadivo.sys");
  const auto service = splitList(inf.value(install + ".Services", "AddService"));
  ASSERT_EQ(service.size(), 3u);
  EXPECT_EQ(service[1], "0x00000002");  // the function driver of the device
  ASSERT_TRUE(inf.has(service[2])) << service[2];
  EXPECT_EQ(inf.value(service[2], "ServiceType"), "1");
  EXPECT_EQ(inf.value(service[2], "ServiceBinary"), "%13%\\zadivo.sys");

  // Every %token% is defined in [Strings].
  std::smatch m;
  std::string rest = inf.text;
  while (std::regex_search(rest, m, std::regex("%([A-Za-z][\\w.]*)%"))) {
    EXPECT_NE(inf.value("Strings", m[1].str()), "") << m[1].str();
    rest = m.suffix();
  }
  EXPECT_NE(inf.text.find("\r\n"), std::string::npos) << "INF lines end in CRLF";
}

std::string registryString(const GUID& g) {
  char s[40];
  std::snprintf(s, sizeof s, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return s;
}

std::string unquote(const std::string& s) {
  return s.size() >= 2 && s.front() == '"' && s.back() == '"' ? s.substr(1, s.size() - 2) : s;
}

TEST_F(InfTest, EveryFilterTheDriverRegistersHasOneInterfaceForKsProxy) {
  ASSERT_EQ(makeInf("PCI\\VEN_1234&DEV_5678"), 0) << log;
  const Inf inf = readInf();
  // What the driver's factories register: (category, reference string) -> the friendly name users see.
  std::map<std::pair<std::string, std::string>, std::string> expected;
  for (ULONG i = 1; i <= kInstanceCount; ++i) {
    const std::string letter(1, char('A' + i - 1));
    std::vector<std::pair<const KSFILTER_DESCRIPTOR*, std::string>> filters = {
        {captureFilterDescriptor(i), "zadivo Capture " + letter}};
    for (ULONG variant : {kVariantQpsk, kVariantCofdm, kVariantQam, kVariant8vsb})
      filters.emplace_back(tunerFilterDescriptor(variant, i), "zadivo Tuner " + letter);
    for (const auto& [d, name] : filters) {
      ASSERT_EQ(d->CategoriesCount, 1u);
      expected[{registryString(d->Categories[0]), registryString(*d->ReferenceGuid)}] = name;
    }
  }
  ASSERT_EQ(expected.size(), 16u);

  const std::string interfaces = "Zadivo.Install.NTamd64.Interfaces";
  std::map<std::pair<std::string, std::string>, std::string> found;
  size_t added = 0;
  for (const auto& [key, value] : inf.lines(interfaces)) {
    ASSERT_EQ(lower(key), "addinterface");
    ++added;
    const auto fields = splitList(value);
    ASSERT_EQ(fields.size(), 3u) << value;
    ASSERT_TRUE(std::regex_match(fields[0], std::regex("%\\w+%"))) << fields[0];
    const std::string category = unquote(inf.value("Strings", fields[0].substr(1, fields[0].size() - 2)));
    // The interface's section adds the registry values KsProxy is found by.
    const std::string addReg = inf.value(fields[2], "AddReg");
    ASSERT_TRUE(inf.has(addReg)) << fields[2];
    std::map<std::string, std::string> values;
    for (const auto& [line, unused] : inf.lines(addReg)) {
      const auto entry = splitList(line);
      ASSERT_EQ(entry.size(), 5u) << line;
      EXPECT_EQ(entry[0], "HKR");
      const std::string& v = entry[4];
      values[entry[2]] =
          v.size() > 2 && v.front() == '%' ? unquote(inf.value("Strings", v.substr(1, v.size() - 2))) : v;
    }
    EXPECT_EQ(values["CLSID"], "{17CCA71B-ECD7-11D0-B908-00A0C9223196}") << addReg;
    found[{category, unquote(fields[1])}] = values["FriendlyName"];
  }
  EXPECT_EQ(added, expected.size());
  EXPECT_EQ(found, expected);
}

TEST_F(InfTest, EveryGivenIdIsOneModel) {
  ASSERT_EQ(
      makeInf("pci\\ven_1a2b&dev_00ff, PCI\\VEN_1A2B&DEV_00FF&SUBSYS_0001ABCD;PCI\\VEN_1A2B&DEV_00FF&REV_02,"
              "PCI\\VEN_1A2B&DEV_00FF"),
      0)
      << log;
  const Inf inf = readInf();
  std::vector<std::string> ids;
  for (const auto& [key, value] : inf.lines("Zadivo.NTamd64.10.0...16299"))
    ids.push_back(splitList(value).at(1));
  EXPECT_EQ(ids, (std::vector<std::string>{"PCI\\VEN_1A2B&DEV_00FF", "PCI\\VEN_1A2B&DEV_00FF&SUBSYS_0001ABCD",
                                           "PCI\\VEN_1A2B&DEV_00FF&REV_02"}));
}

struct BadInput {
  const char* name;
  const char* hwid;
  const char* sys;
  const char* message;
};

void PrintTo(const BadInput& input, std::ostream* os) { *os << input.name; }

class InfRefusal : public InfTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(InfRefusal, WritesNothingAndSaysWhy) {
  EXPECT_NE(makeInf(GetParam().hwid, GetParam().sys), 0);
  EXPECT_FALSE(fs::exists(infPath()));
  EXPECT_NE(log.find(GetParam().message), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, InfRefusal,
    ::testing::Values(BadInput{"NoId", "", "zadivo.sys", "no PCI hardware id"},
                      BadInput{"OnlySeparators", " , ;", "zadivo.sys", "no PCI hardware id"},
                      BadInput{"UsbId", "USB\\VID_1234&PID_5678", "zadivo.sys", "is not a PCI hardware id"},
                      BadInput{"ShortVendor", "PCI\\VEN_123&DEV_5678", "zadivo.sys",
                               "is not a PCI hardware id"},
                      BadInput{"ShortSubsystem", "PCI\\VEN_1234&DEV_5678&SUBSYS_1", "zadivo.sys",
                               "is not a PCI hardware id"},
                      BadInput{"InjectedSection", "PCI\\VEN_1234&DEV_5678\n[Strings]", "zadivo.sys",
                               "is not a PCI hardware id"},
                      BadInput{"OneBadAmongGood", "PCI\\VEN_1234&DEV_5678,PCI\\VEN_1234&DEV_XYZW",
                               "zadivo.sys", "is not a PCI hardware id"},
                      BadInput{"ImageOutsideThePackage", "PCI\\VEN_1234&DEV_5678", "..\\evil.sys",
                               "is not a driver image name"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
