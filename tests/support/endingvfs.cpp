#include "tests/support/endingvfs.h"

#include <sqlite3.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

namespace testsupport {

namespace {

constexpr int kEndedStatus = 77;
constexpr int kFinishedStatus = 0;
constexpr int kFailedStatus = 3;

sqlite3_vfs *realVfs = nullptr;
int changesLeft = 0;

void beforeChange()
{
    if (--changesLeft <= 0)
        _exit(kEndedStatus);
}

// The file object SQLite allocates for us: ours first, the real VFS's right
// behind it.
struct EndingFile
{
    sqlite3_file base;
    sqlite3_file *real;
};

sqlite3_file *real(sqlite3_file *f)
{
    return reinterpret_cast<EndingFile *>(f)->real;
}

int xClose(sqlite3_file *f)
{
    return real(f)->pMethods->xClose(real(f));
}
int xRead(sqlite3_file *f, void *buffer, int amount, sqlite3_int64 offset)
{
    return real(f)->pMethods->xRead(real(f), buffer, amount, offset);
}
int xWrite(sqlite3_file *f, const void *buffer, int amount, sqlite3_int64 offset)
{
    beforeChange();
    return real(f)->pMethods->xWrite(real(f), buffer, amount, offset);
}
int xTruncate(sqlite3_file *f, sqlite3_int64 size)
{
    beforeChange();
    return real(f)->pMethods->xTruncate(real(f), size);
}
// A kill, not a power cut: what was written stays in the system's cache
// whether or not it reached the disk, so syncing would only cost time.
int xSync(sqlite3_file *, int)
{
    return SQLITE_OK;
}
int xFileSize(sqlite3_file *f, sqlite3_int64 *size)
{
    return real(f)->pMethods->xFileSize(real(f), size);
}
int xLock(sqlite3_file *f, int level)
{
    return real(f)->pMethods->xLock(real(f), level);
}
int xUnlock(sqlite3_file *f, int level)
{
    return real(f)->pMethods->xUnlock(real(f), level);
}
int xCheckReservedLock(sqlite3_file *f, int *out)
{
    return real(f)->pMethods->xCheckReservedLock(real(f), out);
}
int xFileControl(sqlite3_file *f, int op, void *arg)
{
    return real(f)->pMethods->xFileControl(real(f), op, arg);
}
int xSectorSize(sqlite3_file *f)
{
    return real(f)->pMethods->xSectorSize(real(f));
}
int xDeviceCharacteristics(sqlite3_file *f)
{
    return real(f)->pMethods->xDeviceCharacteristics(real(f));
}
int xShmMap(sqlite3_file *f, int region, int size, int extend, void volatile **out)
{
    return real(f)->pMethods->xShmMap(real(f), region, size, extend, out);
}
int xShmLock(sqlite3_file *f, int offset, int n, int flags)
{
    return real(f)->pMethods->xShmLock(real(f), offset, n, flags);
}
void xShmBarrier(sqlite3_file *f)
{
    real(f)->pMethods->xShmBarrier(real(f));
}
int xShmUnmap(sqlite3_file *f, int deleteFlag)
{
    return real(f)->pMethods->xShmUnmap(real(f), deleteFlag);
}
int xFetch(sqlite3_file *f, sqlite3_int64 offset, int amount, void **out)
{
    return real(f)->pMethods->xFetch(real(f), offset, amount, out);
}
int xUnfetch(sqlite3_file *f, sqlite3_int64 offset, void *page)
{
    return real(f)->pMethods->xUnfetch(real(f), offset, page);
}

const sqlite3_io_methods kMethods = {
    3, // up to xFetch and xUnfetch
    xClose, xRead, xWrite, xTruncate, xSync, xFileSize, xLock, xUnlock, xCheckReservedLock, xFileControl,
    xSectorSize, xDeviceCharacteristics, xShmMap, xShmLock, xShmBarrier, xShmUnmap, xFetch, xUnfetch,
};

int xOpen(sqlite3_vfs *, const char *name, sqlite3_file *f, int flags, int *outFlags)
{
    auto *file = reinterpret_cast<EndingFile *>(f);
    file->real = reinterpret_cast<sqlite3_file *>(file + 1);
    const int rc = realVfs->xOpen(realVfs, name, file->real, flags, outFlags);
    // The methods of a file whose open failed are not called, not even its close.
    file->base.pMethods = file->real->pMethods ? &kMethods : nullptr;
    return rc;
}

int xDelete(sqlite3_vfs *, const char *name, int syncDir)
{
    beforeChange();
    return realVfs->xDelete(realVfs, name, syncDir);
}

int xAccess(sqlite3_vfs *, const char *name, int flags, int *out)
{
    return realVfs->xAccess(realVfs, name, flags, out);
}

int xFullPathname(sqlite3_vfs *, const char *name, int size, char *out)
{
    return realVfs->xFullPathname(realVfs, name, size, out);
}

void installEndingVfs(int nth)
{
    static sqlite3_vfs vfs;
    realVfs = sqlite3_vfs_find(nullptr);
    if (!realVfs)
        _exit(kFailedStatus);
    std::memcpy(&vfs, realVfs, sizeof vfs);
    vfs.szOsFile = int(sizeof(EndingFile)) + realVfs->szOsFile;
    vfs.pNext = nullptr;
    vfs.zName = "ending";
    vfs.xOpen = xOpen;
    vfs.xDelete = xDelete;
    vfs.xAccess = xAccess;
    vfs.xFullPathname = xFullPathname;
    changesLeft = nth;
    if (sqlite3_vfs_register(&vfs, 1) != SQLITE_OK)
        _exit(kFailedStatus);
}

} // namespace

bool runEndedAtChange(int nth, const std::function<void()> &work)
{
    const pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("runEndedAtChange: cannot fork");
    if (child == 0) {
        installEndingVfs(nth);
        try {
            work();
        } catch (...) {
            _exit(kFailedStatus);
        }
        _exit(kFinishedStatus);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        throw std::runtime_error("runEndedAtChange: the child did not end normally");
    switch (WEXITSTATUS(status)) {
    case kEndedStatus:
        return true;
    case kFinishedStatus:
        return false;
    default:
        throw std::runtime_error("runEndedAtChange: work failed in the child, status "
                                 + std::to_string(WEXITSTATUS(status)));
    }
}

} // namespace testsupport
