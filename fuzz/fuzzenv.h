#pragma once
// What the fuzz targets share: a private home and a Qt application object per
// process, a scratch folder per input, and a walk over loaded messages that
// reads every record the way the views do.
#include <QDir>
#include <QSharedPointer>
#include <QString>

#include <cstddef>
#include <cstdint>

struct _MsgStore;

namespace fuzzenv {

// For LLVMFuzzerInitialize: points HOME and the XDG folders at a new
// temporary folder (removed at exit), fixes time zone and locale, and creates
// the one QCoreApplication of the process.
void init(int *argc, char ***argv);

// An empty folder for one input, removed again when the object goes, so no
// input sees what an earlier one left behind.
class Scratch
{
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    QDir dir() const { return QDir(m_path); }

private:
    QString m_path;
};

// A device on the far end of a socket pair: it sends the input, then ends
// its side of the stream, and reads (and drops) whatever the program sends
// meanwhile, so the program's requests never fill the socket and its reads
// never wait for bytes that cannot come. One thread of the process plays the
// device for every input: a thread made per input cost more than most inputs.
class Peer
{
public:
    Peer(const uint8_t *data, size_t size);
    // Closes the program's end unless released, then waits for the device.
    ~Peer();
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // The program's end.
    int socket() const { return m_ends[0]; }
    // The program closed its end itself (a client that owns its socket).
    void released() { m_ends[0] = -1; }

private:
    int m_ends[2] = {-1, -1};
};

// Writes the input to path, creating its folders; false when it cannot.
bool writeFile(const QString &path, const uint8_t *data, size_t size);

// Reads every record of the store through the helpers the views use, and
// every pointer between records, so that a dangling one shows.
void walkStore(const QSharedPointer<_MsgStore> &store);

// Stores a value where the optimiser cannot drop the reads that made it.
void keep(quint64 value);

} // namespace fuzzenv
