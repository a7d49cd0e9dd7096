#pragma once
// What a file is left as when the program is killed in the middle of writing
// it: work runs in a forked child process whose SQLite connections end the
// process, with no cleanup of any kind, just before one chosen change to a
// file. Stepping that choice from 1 upwards until work finishes visits every
// point at which a kill could have come.
#include <functional>

namespace testsupport {

// Runs work in a child process. Every SQLite connection the child opens with
// the default VFS counts the changes it makes to files (a write, a
// truncation, a deletion); just before the nth change the child ends with
// _exit. Answers true when the child was ended that way, false when work
// returned before the nth change. Throws std::runtime_error when the child
// could not be started or work threw. The caller must hold no connection to
// the files work changes, or the child would inherit its locks' bookkeeping.
bool runEndedAtChange(int nth, const std::function<void()> &work);

} // namespace testsupport
