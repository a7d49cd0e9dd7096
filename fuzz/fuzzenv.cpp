#include "fuzz/fuzzenv.h"

#include "store/msgrecords.h"
#include "store/msgtext.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fuzzenv {

namespace {

std::string g_home;
volatile quint64 g_sink = 0;
QString g_scratch;

void removeHome()
{
    std::error_code ignored;
    if (!g_home.empty())
        std::filesystem::remove_all(g_home, ignored);
}

} // namespace

void init(int *argc, char ***argv)
{
    // TMPDIR first (a memory file system, when the runner sets one), then /tmp.
    const char *tmp = std::getenv("TMPDIR");
    for (const std::string &root : {std::string(tmp && *tmp ? tmp : "/tmp"), std::string("/tmp")}) {
        std::string pattern = root + "/qp-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data())) {
            g_home = pattern;
            break;
        }
    }
    if (g_home.empty())
        std::abort();
    std::atexit(removeHome);
    const std::string data = g_home + "/data";
    const std::string config = g_home + "/config";
    const std::string cache = g_home + "/cache";
    for (const std::string &dir : {data, config, cache})
        std::filesystem::create_directories(dir);
    ::setenv("HOME", g_home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    ::setenv("TZ", "Europe/Berlin", 1);
    ::setenv("LC_ALL", "C.UTF-8", 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // Qt keeps the references: both live as long as the process.
    static int qtArgc = 1;
    static char *qtArgv[] = {(*argv)[0], nullptr};
    (void)argc;
    static QCoreApplication *app = new QCoreApplication(qtArgc, qtArgv);
    (void)app;
    g_scratch = QString::fromStdString(g_home + "/scratch");
}

Scratch::Scratch() : m_path(g_scratch)
{
    QDir(m_path).removeRecursively();
    QDir().mkpath(m_path);
}

Scratch::~Scratch()
{
    QDir(m_path).removeRecursively();
}

namespace {

// The device's side of one input, served on the peer thread.
class PeerThread
{
public:
    PeerThread() : m_thread([this] { run(); }) { m_thread.detach(); }

    void start(int socket, const uint8_t *data, size_t size)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_socket = socket;
        m_data = data;
        m_size = size;
        m_busy = true;
        m_changed.notify_all();
    }

    void wait()
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_changed.wait(guard, [this] { return !m_busy; });
    }

private:
    void run()
    {
        for (;;) {
            std::unique_lock<std::mutex> guard(m_lock);
            m_changed.wait(guard, [this] { return m_busy; });
            const int socket = m_socket;
            const uint8_t *data = m_data;
            const size_t size = m_size;
            guard.unlock();
            serve(socket, data, size);
            guard.lock();
            m_busy = false;
            m_changed.notify_all();
        }
    }

    // Until the program closes its end: the input out, everything in.
    static void serve(int socket, const uint8_t *data, size_t size)
    {
        size_t at = 0;
        bool sending = size > 0;
        if (!sending)
            ::shutdown(socket, SHUT_WR);
        char sink[4096];
        for (;;) {
            pollfd entry{socket, short(POLLIN | (sending ? POLLOUT : 0)), 0};
            if (::poll(&entry, 1, -1) < 0) {
                if (errno == EINTR)
                    continue;
                std::abort();
            }
            if (entry.revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::recv(socket, sink, sizeof sink, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
                    return; // the program closed its end
            }
            if (sending && (entry.revents & POLLOUT)) {
                const ssize_t n = ::send(socket, data + at, size - at, MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0)
                    at += size_t(n);
                else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
                    sending = false;
                if (at == size) {
                    ::shutdown(socket, SHUT_WR);
                    sending = false;
                }
            }
        }
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_socket = -1;
    const uint8_t *m_data = nullptr;
    size_t m_size = 0;
    bool m_busy = false;
    std::thread m_thread;
};

// Lives as long as the process, its thread never ends.
PeerThread *peerThread()
{
    static PeerThread *thread = new PeerThread;
    return thread;
}

} // namespace

Peer::Peer(const uint8_t *data, size_t size)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_ends) != 0)
        std::abort();
    peerThread()->start(m_ends[1], data, size);
}

Peer::~Peer()
{
    // The program's end closed: the device sees it and is done.
    if (m_ends[0] >= 0)
        ::close(m_ends[0]);
    peerThread()->wait();
    ::close(m_ends[1]);
}

bool writeFile(const QString &path, const uint8_t *data, size_t size)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size);
}

void walkStore(const QSharedPointer<_MsgStore> &store)
{
    if (!store)
        return;
    // Unsigned: huge values from a damaged file must wrap, not overflow.
    quint64 sum = 0;
    for (_MsgChat *chat : allChats(store)) {
        sum += chatTitle(*chat, true).size() + chat->isGroup();
        for (_MsgHandle *member : chat->members)
            sum += member->id.size() + member->_ct_name.size();
    }
    for (const _ChatSession &session : chatSessions(store))
        sum += quint64(session.chats.size()) + quint64(session.last);
    QList<_MsgMessage *> messages = allMessages(store);
    std::stable_sort(messages.begin(), messages.end(), messageLessThan);
    for (_MsgMessage *message : messages) {
        sum += displayText(*message).size() + senderLabel(*message).size();
        sum += calcLogicHash(*message).size();
        sum += msgDateTime(message->date).isValid();
        if (message->handle)
            sum += message->handle->id.size();
        if (message->rare().otherHandle)
            sum += message->rare().otherHandle->id.size();
        if (message->chat)
            sum += message->chat->guid.size();
        for (_MsgAttachment *attachment : sortedAttachments(*message))
            sum += quint64(attachment->filename.size()) + quint64(attachment->total_bytes);
    }
    keep(sum);
}

void keep(quint64 value)
{
    g_sink = g_sink + value;
}

} // namespace fuzzenv
