// The rig of the tool's end-to-end tests: the built zadivo binary run as a user runs it, in a temporary
// directory with its own state directory and a fast platform clock.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

struct Outcome {
  int rc = -1;
  std::string out, err;
  // The tool's messages on stderr, without the lock state it shows while a slow tune waits.
  std::vector<std::string> errLines() const {
    std::vector<std::string> v;
    std::istringstream in(err);
    for (std::string l; std::getline(in, l);)
      if (l.rfind("zadivo: ", 0) == 0) v.push_back(l);
    return v;
  }
};

inline std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline bool have(const char* program) {
  return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

class ToolE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zadivo_tool_e2eXXXXXX";
    dir_ = mkdtemp(tmpl);
    state_ = dir_ / "state";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Platform time per real time for the runs: fast, except where the stream itself is what is checked.
  std::string timeScale_ = "0.02";

  // The command line of a run with the test's state directory and a fast platform clock, its output going to
  // files named after the tag in the test directory.
  std::string commandLine(const std::vector<std::string>& args, bool withState, const std::string& tag) {
    std::string cmd = quote(ZADIVO_BIN);
    if (withState)
      cmd.append(" --state-dir ").append(quote(state_.string())).append(" --time-scale ").append(timeScale_);
    for (auto& a : args) cmd.append(" ").append(quote(a));
    return cmd.append(" >")
        .append(quote(outFile(tag).string()))
        .append(" 2>")
        .append(quote(errFile(tag).string()));
  }
  fs::path outFile(const std::string& tag) const { return dir_ / ("." + tag + ".stdout"); }
  fs::path errFile(const std::string& tag) const { return dir_ / ("." + tag + ".stderr"); }
  Outcome collect(int status, const std::string& tag) {
    Outcome r;
    r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    r.out = slurp(outFile(tag));
    r.err = slurp(errFile(tag));
    fs::remove(outFile(tag));
    fs::remove(errFile(tag));
    return r;
  }

  // Runs the tool to its end; a run that hangs is ended (exit 124), never waited for without bound.
  Outcome zadivo(const std::vector<std::string>& args, bool withState = true) {
    return shell(commandLine(args, withState, "run") + " </dev/null");
  }
  // A shell command line (the tool's run with redirections of a test's own), in the test directory.
  Outcome shell(const std::string& line) {
    const std::string cmd = "cd " + quote(dir_.string()) + " && timeout -k 10 300 sh -c " + quote(line);
    return collect(std::system(cmd.c_str()), "run");
  }

  // A run beside the test, for signals and concurrent use.
  struct Running {
    pid_t pid = -1;
    std::string tag;
  };
  Running start(const std::vector<std::string>& args, const std::string& tag) {
    const std::string cmd = "exec " + commandLine(args, true, tag) + " </dev/null";
    const pid_t pid = fork();
    if (pid == 0) {
      execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return {pid, tag};
  }
  // Its outcome once it ends; one that outlives a generous bound is killed (exit 137).
  Outcome finish(const Running& run) {
    int status = 0;
    const bool ended = waitFor([&] { return waitpid(run.pid, &status, WNOHANG) == run.pid; });
    if (!ended) {
      kill(run.pid, SIGKILL);
      waitpid(run.pid, &status, 0);
    }
    return collect(status, run.tag);
  }
  // Waits for a run to reach a state; one that does not within the bound is ended, so that no run outlives
  // its test.
  bool reaches(const Running& run, const std::function<bool()>& state) {
    if (waitFor(state)) return true;
    kill(run.pid, SIGKILL);
    finish(run);
    return false;
  }
  // Polls a condition every 20 ms for up to two minutes.
  template <class F>
  static bool waitFor(F done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  // Files in the test directory other than the state directory.
  std::vector<std::string> leftovers() {
    std::vector<std::string> v;
    for (auto& e : fs::directory_iterator(dir_))
      if (e.path() != state_) v.push_back(e.path().filename().string());
    return v;
  }
  fs::path dir_, state_;
};

// A driver feature that has not landed answers "not found" (no such property) or "not implemented".
#define SKIP_IF_DRIVER_LACKS(run, what)                                   \
  do {                                                                    \
    if ((run).err.find("0xc0000225") != std::string::npos ||              \
        (run).err.find("0xc0000002") != std::string::npos)                \
      GTEST_SKIP() << "driver lacks " << (what) << " yet: " << (run).err; \
  } while (0)

inline void expectOneErrorLine(const Outcome& r, const std::string& args) {
  EXPECT_NE(r.rc, 0) << args;
  ASSERT_EQ(r.errLines().size(), 1u) << args << ": " << r.err;
}
