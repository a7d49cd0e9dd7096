// Replays saved inputs through a fuzz target, as libFuzzer would run them but
// without it, so that the normal sanitizer build checks every corpus file:
//   fuzz_replay <name> [-timeout=SECONDS] FILE_OR_FOLDER...
// Every target is linked in, its entry points renamed by the build
// (replaytargets.inc lists them).
// Folders are read in name order; a missing folder holds nothing. An input
// running longer than the timeout counts as a fault, like a crash or a
// sanitizer report.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#define QP_FUZZ_TARGET(name)                                    \
    extern "C" int qpFuzzInit_##name(int *argc, char ***argv); \
    extern "C" int qpFuzzOne_##name(const uint8_t *data, size_t size);
#include "replaytargets.inc"
#undef QP_FUZZ_TARGET

namespace {

struct Target
{
    const char *name;
    int (*initialize)(int *argc, char ***argv);
    int (*testOneInput)(const uint8_t *data, size_t size);
};

#define QP_FUZZ_TARGET(name) {#name, qpFuzzInit_##name, qpFuzzOne_##name},
const Target kTargets[] = {
#include "replaytargets.inc"
};
#undef QP_FUZZ_TARGET

char g_current[4096];

void say(const char *text)
{
    const ssize_t written = ::write(STDERR_FILENO, text, std::strlen(text));
    (void)written;
}

void onAlarm(int)
{
    say("fuzz replay: timeout on ");
    say(g_current);
    say("\n");
    ::_exit(70);
}

// In one read of the file's size: character by character, the copying took
// longer than many a target.
bool readFile(const std::filesystem::path &path, std::vector<char> &bytes)
{
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    std::ifstream in(path, std::ios::binary);
    if (error || !in)
        return false;
    bytes.resize(size_t(size));
    in.read(bytes.data(), std::streamsize(size));
    return size_t(in.gcount()) == bytes.size();
}

} // namespace

int main(int argc, char **argv)
{
    const Target *target = nullptr;
    for (const Target &t : kTargets) {
        if (argc > 1 && std::strcmp(argv[1], t.name) == 0)
            target = &t;
    }
    if (!target) {
        std::fprintf(stderr, "usage: %s TARGET [-timeout=SECONDS] FILE_OR_FOLDER...; targets:", argv[0]);
        for (const Target &t : kTargets)
            std::fprintf(stderr, " %s", t.name);
        std::fprintf(stderr, "\n");
        return 2;
    }
    // The target sees its own arguments, as under libFuzzer.
    argv[1] = argv[0];
    ++argv;
    --argc;
    unsigned timeout = 30;
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("-timeout=", 0) == 0) {
            timeout = unsigned(std::strtoul(arg.c_str() + 9, nullptr, 10));
            continue;
        }
        std::error_code error;
        if (!std::filesystem::exists(arg, error))
            continue; // a new target's corpus folder, not made yet
        if (std::filesystem::is_directory(arg, error)) {
            std::vector<std::filesystem::path> files;
            for (const auto &entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file() && entry.path().filename().string().front() != '.')
                    files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else {
            inputs.push_back(arg);
        }
    }
    target->initialize(&argc, &argv);
    std::signal(SIGALRM, onAlarm);
    if (inputs.empty()) {
        // A target without a corpus yet: the empty input, where libFuzzer starts too.
        std::snprintf(g_current, sizeof g_current, "%s", "the empty input");
        const uint8_t none = 0;
        ::alarm(timeout);
        target->testOneInput(&none, 0);
        ::alarm(0);
        std::printf("fuzz replay: no corpus files; the empty input passed\n");
        return 0;
    }
    for (const std::filesystem::path &path : inputs) {
        std::vector<char> bytes;
        if (!readFile(path, bytes)) {
            std::fprintf(stderr, "fuzz replay: cannot read %s\n", path.c_str());
            return 2;
        }
        std::snprintf(g_current, sizeof g_current, "%s", path.c_str());
        // An allocation of exactly the input's size, so a read past its end
        // is caught.
        std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size() ? bytes.size() : 1]);
        if (!bytes.empty()) // an empty file's vector has no data to copy from
            std::memcpy(data.get(), bytes.data(), bytes.size());
        ::alarm(timeout);
        target->testOneInput(data.get(), bytes.size());
        ::alarm(0);
    }
    std::printf("fuzz replay: %zu inputs passed\n", inputs.size());
    return 0;
}
