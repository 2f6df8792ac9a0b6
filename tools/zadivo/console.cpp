#include "tools/zadivo/console.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "tools/zadivo/report.h"

namespace zadivo::tool {

namespace {

struct Console {
  std::mutex m;  // one line at a time, whichever thread says it
  bool json = false;
  bool dataOnStdout = false;
  bool jsonOnStderr = false;
  bool documentPrinted = false;
  bool terminal = isatty(STDERR_FILENO) == 1;
  std::string status;  // the status line drawn on the terminal, empty when none is
  std::string lastError;
  Json details;
};

Console& console() {
  static Console c;
  return c;
}

void line(FILE* f, const std::string& text) {
  fputs(text.c_str(), f);
  fputc('\n', f);
  fflush(f);
}

// Erases the status line where stderr is a terminal, so that a line said goes where it stood.
void erase(Console& c) {
  if (c.status.empty()) return;
  fputs("\r\033[K", stderr);
  fflush(stderr);
  c.status.clear();
}

// After whatever stdout holds, so that both read in order on one terminal.
void say(const std::string& text) {
  fflush(stdout);
  erase(console());
  line(stderr, text);
}

}  // namespace

void setOutputs(bool json, bool dataOnStdout) {
  Console& c = console();
  std::lock_guard l(c.m);
  c.json = json;
  c.dataOnStdout = dataOnStdout;
  c.jsonOnStderr = json && dataOnStdout;
}

bool stderrIsTerminal() { return console().terminal; }

void errorLine(const std::string& what) {
  Console& c = console();
  std::lock_guard l(c.m);
  c.lastError = what;
  if (!c.jsonOnStderr) say("zadivo: " + what);  // else the document says it
}

void warningLine(const std::string& what) {
  Console& c = console();
  std::lock_guard l(c.m);
  if (c.jsonOnStderr)
    line(stderr, Json().add("warning", what).str());
  else
    say("zadivo: warning: " + what);
}

void noteLine(const std::string& what) {
  Console& c = console();
  std::lock_guard l(c.m);
  if (!c.jsonOnStderr) say("zadivo: note: " + what);
}

void humanLine(const std::string& text) {
  Console& c = console();
  std::lock_guard l(c.m);
  if (!c.jsonOnStderr) say(text);
}

void statusLine(const std::string& text) {
  Console& c = console();
  std::lock_guard l(c.m);
  if (!c.terminal || c.jsonOnStderr || text == c.status) return;
  if (text.empty()) return erase(c);
  // Stdout may share the terminal: what it holds comes first, on a line of its own.
  fflush(stdout);
  fputs(("\r" + text + "\033[K").c_str(), stderr);
  fflush(stderr);
  c.status = text;
}

void clearStatusLine() {
  Console& c = console();
  std::lock_guard l(c.m);
  erase(c);
}

void printOut(const std::string& text) {
  Console& c = console();
  std::lock_guard l(c.m);
  if (c.jsonOnStderr) return;
  if (c.json || c.dataOnStdout) return say(text);
  erase(c);
  line(stdout, text);
}

void printJson(const std::string& json, bool final) {
  Console& c = console();
  std::lock_guard l(c.m);
  line(c.jsonOnStderr ? stderr : stdout, json);
  c.documentPrinted = c.documentPrinted || final;
}

void addJsonDetail(const std::string& key, const std::string& json) {
  Console& c = console();
  std::lock_guard l(c.m);
  c.details.raw(key, json);
}

void finishJson(int rc) {
  Console& c = console();
  std::lock_guard l(c.m);
  if (!c.json || rc == 0 || c.documentPrinted) return;
  Json doc;
  doc.add("error", c.lastError.empty() ? "failed" : c.lastError).add("exit_code", static_cast<int64_t>(rc));
  line(c.jsonOnStderr ? stderr : stdout, doc.merged(c.details).str());
  c.documentPrinted = true;
}

std::string printable(const std::string& name) {
  std::string out;
  for (unsigned char ch : name) {
    if (ch >= 0x20 && ch != 0x7F) {
      out += static_cast<char>(ch);
      continue;
    }
    char b[8];
    snprintf(b, sizeof b, "\\x%02x", ch);
    out += b;
  }
  return out;
}

}  // namespace zadivo::tool
