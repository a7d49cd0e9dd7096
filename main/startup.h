#pragma once
#include <QString>

// The start-up sequence of the program, from the application object to the
// end of the event loop. main() is a thin wrapper around it.

// The database library check; a test passes another answer.
using DbVersionFunction = int (*)();

// Runs the whole program; answers the process exit code: 1 when the database
// library is not the version this program was made for, else the event loop's.
int runApplication(int &argc, char **argv, DbVersionFunction dbVersion);
int runApplication(int &argc, char **argv);

// The English text of the warning shown when Apple's libraries did not load.
QString appleLibsMissingText();

// The lock file that keeps to one run per data folder, and the one box a
// second start shows before it ends (exit code 0, nothing else opened).
QString instanceLockPath();
QString alreadyRunningText();
