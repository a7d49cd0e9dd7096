// The main of a test folder's executable: runs the one test class its first
// argument names, in a process of its own as every test had before the
// classes shared an executable (a fresh HOME, one application object).
//   qptests_<folder> <test name> [QTest options]
//   qptests_<folder> --list
#include "tests/support/testmain.h"

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char **argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--list") == 0) {
        for (const QString &name : testsupport::registeredTests())
            std::printf("%s\n", qPrintable(name));
        return argc < 2 ? 2 : 0;
    }
    const testsupport::TestRun run = testsupport::registeredTest(argv[1]);
    if (!run) {
        std::fprintf(stderr, "no test %s here; --list names them\n", argv[1]);
        return 2;
    }
    // QTest sees the test's own options only.
    std::vector<char *> args{argv[0]};
    args.insert(args.end(), argv + 2, argv + argc);
    int count = int(args.size());
    args.push_back(nullptr);

    QTemporaryDir home;
    testsupport::useHome(home.path());
    QApplication app(count, args.data());
    app.setAttribute(Qt::AA_Use96Dpi, true);
    const int failed = run(count, args.data());
    testsupport::finishErrorReports(app);
    return failed;
}
