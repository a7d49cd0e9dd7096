// A stand-in for the `adb` program, put first on PATH by every test that
// reaches adb, so no test ever starts or stops a real adb server.
//
// QP_FAKE_ADB_DIR names the folder that scripts it and records it:
//   calls.log        one "> key<TAB>arg<TAB>arg..." line when a call starts and
//                    "< key" when it ends normally (a killed call has none)
//   KEY.N.out / KEY.out    standard output of the N-th call (1-based) of KEY,
//                          else of every call; likewise .err, .code (exit code),
//                          .sleep (ms to wait first: slow or hung adb)
// KEY is the command after any "-s SERIAL": start-server, kill-server,
// devices, forward, install, uninstall, or for "shell": pm, logcat, broadcast
// (am broadcast), force-stop (am force-stop), else shell.
// A broadcast with "-d URL" hands the URL, as one line, to the fake companion
// app's control port named by QP_FAKE_APP_PORT (loopback) and reads its
// status line, as the app's broadcast receiver would start the service.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string g_dir;

bool readFile(const std::string &path, std::string &content)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    content = buffer.str();
    return true;
}

// The N-th call's file if there is one, else the common one.
bool scripted(const std::string &key, int call, const char *suffix, std::string &content)
{
    return readFile(g_dir + "/" + key + "." + std::to_string(call) + suffix, content)
           || readFile(g_dir + "/" + key + suffix, content);
}

std::string commandKey(const std::vector<std::string> &args)
{
    if (args.empty())
        return "none";
    if (args[0] != "shell")
        return args[0];
    if (args.size() > 1 && args[1] == "pm")
        return "pm";
    if (args.size() > 1 && args[1] == "logcat")
        return "logcat";
    if (args.size() > 2 && args[1] == "am" && args[2] == "broadcast")
        return "broadcast";
    if (args.size() > 2 && args[1] == "am" && args[2] == "force-stop")
        return "force-stop";
    return "shell";
}

// Appends the start line under a lock and returns the call's number for its key.
int logStart(const std::string &key, const std::vector<std::string> &all)
{
    const std::string path = g_dir + "/calls.log";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND, 0600);
    if (fd < 0)
        return 1;
    ::flock(fd, LOCK_EX);
    std::string content;
    readFile(path, content);
    int count = 0;
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("> " + key + "\t", 0) == 0)
            ++count;
    }
    std::string entry = "> " + key;
    for (const std::string &arg : all)
        entry += "\t" + arg;
    entry += "\n";
    (void)!::write(fd, entry.data(), entry.size());
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return count + 1;
}

void logEnd(const std::string &key)
{
    const std::string path = g_dir + "/calls.log";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0)
        return;
    ::flock(fd, LOCK_EX);
    const std::string entry = "< " + key + "\n";
    (void)!::write(fd, entry.data(), entry.size());
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

// The URL goes to the fake app's control port as one line; its status line is
// read (at most 5 s) so that the service listens before adb returns.
void handToApp(const std::string &url)
{
    const char *port = std::getenv("QP_FAKE_APP_PORT");
    if (!port)
        return;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return;
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        const std::string line = url + "\n";
        if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == ssize_t(line.size())) {
            char c = 0;
            while (::recv(fd, &c, 1, 0) == 1 && c != '\n') {
            }
        }
    }
    ::close(fd);
}

} // namespace

int main(int argc, char **argv)
{
    const char *dir = std::getenv("QP_FAKE_ADB_DIR");
    if (!dir) {
        std::fputs("fake adb: QP_FAKE_ADB_DIR is not set\n", stderr);
        return 1;
    }
    g_dir = dir;
    std::vector<std::string> all(argv + 1, argv + argc);
    std::vector<std::string> command = all;
    if (command.size() >= 2 && command[0] == "-s")
        command.erase(command.begin(), command.begin() + 2);
    const std::string key = commandKey(command);
    const int call = logStart(key, all);

    std::string text;
    if (scripted(key, call, ".sleep", text))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(text.c_str())));

    std::string out;
    const bool hasOut = scripted(key, call, ".out", out);
    if (key == "broadcast") {
        for (size_t i = 0; i + 1 < command.size(); ++i) {
            if (command[i] == "-d")
                handToApp(command[i + 1]);
        }
        if (!hasOut)
            out = "Broadcasting: Intent { flg=0x400000 cmp=com.quillmarten.smssync/.AdbSyncBroadcastReceiver }\n"
                  "Broadcast completed: result=0\n";
    }
    std::string err;
    scripted(key, call, ".err", err);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fwrite(err.data(), 1, err.size(), stderr);
    std::fflush(stdout);
    std::fflush(stderr);
    int code = 0;
    if (scripted(key, call, ".code", text))
        code = std::atoi(text.c_str());
    logEnd(key);
    return code;
}
