// What the user reads and what programs parse. With --json the command's JSON goes to standard output, or to
// standard error when the data itself goes to standard output; human lines go to standard error, and while
// that carries the JSON, warnings go there as JSON lines ({"warning":...}) and the rest is left out. Every
// function may be called from any thread.
#pragma once
#include <string>

namespace zadivo::tool {

void setOutputs(bool json, bool dataOnStdout);
bool stderrIsTerminal();

// "zadivo: <what>" on stderr. With --json it is the "error" of the document a failure prints.
void errorLine(const std::string& what);
// "zadivo: warning: <what>" / "zadivo: note: <what>" on stderr.
void warningLine(const std::string& what);
void noteLine(const std::string& what);
// A line for the user on stderr (progress, what was found).
void humanLine(const std::string& line);
// The status line: on a terminal, one line at the bottom redrawn in place by each call (lines said meanwhile
// go above it); elsewhere, and while the JSON goes to stderr, nothing. clearStatusLine() removes it.
void statusLine(const std::string& text);
void clearStatusLine();
// A result for the user: stdout, or stderr when the data goes to stdout or the results are JSON.
void printOut(const std::string& line);

// The command's JSON document; a line of a stream of them (monitor) is not its final one.
void printJson(const std::string& json, bool final = true);
// With --json, a failure that printed no final document prints {"error":..., "exit_code":rc}, and with it
// what the command added here (what it did before it failed).
void addJsonDetail(const std::string& key, const std::string& json);
void finishJson(int rc);

// A name from a file or the air as messages show it: control characters as \xNN (UTF-8 stays as it is).
std::string printable(const std::string& name);

}  // namespace zadivo::tool
