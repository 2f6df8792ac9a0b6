// SIGINT, SIGTERM and SIGHUP (a closed terminal) end the work in hand instead of killing the process: a
// command polls interrupted() where it can stop without losing anything (a capture finishes its files, a scan
// writes what it found). A second signal (not the first one delivered twice, as timeout(1) does) ends the
// process at once, as the signal would, after removing the temporary files of outputs not yet committed.
// SIGPIPE is ignored: a reader that goes away is a write error on that output, reported like any other. A
// hang-up the process was started to ignore (nohup) stays ignored.
#pragma once
#include <string>

namespace zadivo::tool {

void installInterruptHandlers();
bool interrupted();
// The exit code a command cut short by a signal returns (128 + signal).
int interruptedExitCode();

// While on (from installInterruptHandlers), a blocking open or read ends with EINTR at the first signal
// instead of being restarted, so that a FIFO without a writer (or a log FIFO without a reader) cannot hold
// the process past Ctrl-C. Only for the single-threaded start of the process: once the machine's threads run,
// a signal may land on any of them, calls are restarted and the work polls interrupted() instead.
void setBlockingCallsInterruptible(bool on);

// A temporary file the second signal removes; unregistered once committed or removed. -1 when every slot is
// taken (the file is then removed by its owner only).
int registerTemporary(const std::string& path);
void unregisterTemporary(int slot);

}  // namespace zadivo::tool
