// SIGINT and SIGTERM end the work in hand instead of killing the process: a command polls interrupted() where
// it can stop without losing anything (a capture finishes its files, a scan writes what it found). A second
// signal of the same kind kills as usual, for a process that does not get to a stopping point. SIGPIPE is
// ignored: a reader that goes away is a write error on that output, reported like any other.
#pragma once

namespace zadivo::tool {

void installInterruptHandlers();
bool interrupted();
// The signal that interrupted (0: none) and the exit code a command cut short by it returns (128 + signal).
int interruptSignal();
int interruptedExitCode();

}  // namespace zadivo::tool
