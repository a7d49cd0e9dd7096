#include "platform/mobiledevice/afcemulator.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace {

const char kMagic[8] = {'C', 'F', 'A', '6', 'L', 'P', 'A', 'A'};
const size_t kHeaderSize = 40;
const uint64_t kMaxPacket = kHeaderSize + ServiceChannel::kMaxFrame;
// The most a read is answered with at once; the client asks for 64 KiB.
const uint64_t kMaxReadChunk = 1u << 20;

// Operations and status codes of the protocol.
enum : uint64_t {
    kOpStatus = 1,
    kOpData = 2,
    kOpReadDir = 3,
    kOpRemovePath = 8,
    kOpMakeDir = 9,
    kOpGetFileInfo = 10,
    kOpFileOpen = 13,
    kOpFileOpenResult = 14,
    kOpFileRead = 15,
    kOpFileWrite = 16,
    kOpFileClose = 20,
    kOpRenamePath = 24,
    kOpFileLock = 27,
};
enum : uint64_t {
    kSuccess = 0,
    kUnknownError = 1,
    kReadError = 4,
    kWriteError = 5,
    kInvalidArgument = 7,
    kObjectNotFound = 8,
    kObjectIsDir = 9,
    kPermissionDenied = 10,
    kOpNotSupported = 15,
    kObjectExists = 16,
    kNoSpaceLeft = 18,
    kOpWouldBlock = 19,
    kIoError = 20,
    kDirNotEmpty = 33,
};

uint64_t readU64(const std::string &bytes, size_t offset)
{
    uint64_t value = 0;
    for (size_t i = 0; i < 8; ++i) {
        const size_t at = offset + i;
        const uint64_t byte = at < bytes.size() ? uint8_t(bytes[at]) : 0;
        value |= byte << (8 * i);
    }
    return value;
}

void putU64(std::string &out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(char(value >> (8 * i)));
}

std::string u64Bytes(uint64_t value)
{
    std::string out;
    putU64(out, value);
    return out;
}

// The NUL-ended text at offset (up to the end when no NUL follows); offset
// moves past it.
std::string takeText(const std::string &bytes, size_t &offset)
{
    if (offset >= bytes.size())
        return std::string();
    const size_t end = bytes.find('\0', offset);
    const std::string text = bytes.substr(offset, end == std::string::npos ? std::string::npos : end - offset);
    offset = end == std::string::npos ? bytes.size() : end + 1;
    return text;
}

uint64_t statusOf(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return kObjectNotFound;
    case EISDIR:
        return kObjectIsDir;
    case EACCES:
    case EPERM:
    case ELOOP:
        return kPermissionDenied;
    case EEXIST:
        return kObjectExists;
    case ENOTEMPTY:
        return kDirNotEmpty;
    case ENOSPC:
        return kNoSpaceLeft;
    case EWOULDBLOCK:
        return kOpWouldBlock;
    case EINVAL:
        return kInvalidArgument;
    default:
        return kIoError;
    }
}

const char *typeName(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG:
        return "S_IFREG";
    case S_IFDIR:
        return "S_IFDIR";
    case S_IFLNK:
        return "S_IFLNK";
    case S_IFBLK:
        return "S_IFBLK";
    case S_IFCHR:
        return "S_IFCHR";
    case S_IFIFO:
        return "S_IFIFO";
    default:
        return "S_IFSOCK";
    }
}

int64_t nanoseconds(const timespec &at)
{
    return int64_t(at.tv_sec) * 1000000000 + at.tv_nsec;
}

std::string parentOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

} // namespace

AfcEmulator::AfcEmulator(ServiceChannel &channel, const std::string &rootFolder) : channel(channel), root(rootFolder)
{
    char *resolved = realpath(root.c_str(), nullptr);
    realRoot = resolved ? resolved : std::string();
    std::free(resolved);
}

AfcEmulator::~AfcEmulator()
{
    for (const auto &file : files)
        close(file.second);
}

void AfcEmulator::serve()
{
    for (;;) {
        std::string header(kHeaderSize, '\0');
        if (!channel.read(header.data(), kHeaderSize) || header.compare(0, 8, kMagic, 8) != 0)
            return;
        const uint64_t entire = readU64(header, 8);
        const uint64_t thisLength = readU64(header, 16);
        if (thisLength < kHeaderSize || entire < thisLength || entire > kMaxPacket)
            return;
        std::string rest(size_t(entire - kHeaderSize), '\0');
        if (!channel.read(rest.data(), rest.size()))
            return;
        const size_t parameterLength = size_t(thisLength - kHeaderSize);
        const Reply reply = answer(readU64(header, 32), rest.substr(0, parameterLength), rest.substr(parameterLength));
        if (!send(readU64(header, 24), reply))
            return;
    }
}

bool AfcEmulator::send(uint64_t packetNumber, const Reply &reply)
{
    std::string packet(kMagic, 8);
    const uint64_t entire = kHeaderSize + reply.payload.size();
    putU64(packet, entire);
    // A data packet counts its payload as data, everything else as parameters.
    putU64(packet, reply.operation == kOpData ? kHeaderSize : entire);
    putU64(packet, packetNumber);
    putU64(packet, reply.operation);
    packet += reply.payload;
    return channel.write(packet.data(), packet.size());
}

AfcEmulator::Reply AfcEmulator::answer(uint64_t operation, const std::string &parameters, const std::string &data)
{
    size_t offset = 0;
    switch (operation) {
    case kOpReadDir:
        return readDirectory(takeText(parameters, offset));
    case kOpGetFileInfo:
        return fileInfo(takeText(parameters, offset));
    case kOpMakeDir:
        return makeDirectory(takeText(parameters, offset));
    case kOpRemovePath:
        return removePath(takeText(parameters, offset));
    case kOpRenamePath: {
        const std::string from = takeText(parameters, offset);
        return renamePath(from, takeText(parameters, offset));
    }
    case kOpFileOpen:
        offset = 8;
        return openFile(readU64(parameters, 0), takeText(parameters, offset));
    case kOpFileRead:
        return readFile(readU64(parameters, 0), readU64(parameters, 8));
    case kOpFileWrite:
        return writeFile(readU64(parameters, 0), data);
    case kOpFileClose:
        return closeFile(readU64(parameters, 0));
    case kOpFileLock:
        return lockFile(readU64(parameters, 0), readU64(parameters, 8));
    default:
        return {kOpStatus, u64Bytes(kOpNotSupported)};
    }
}

std::string AfcEmulator::hostPath(const std::string &devicePath) const
{
    std::vector<std::string> words;
    size_t start = 0;
    while (start <= devicePath.size()) {
        size_t end = devicePath.find('/', start);
        if (end == std::string::npos)
            end = devicePath.size();
        const std::string word = devicePath.substr(start, end - start);
        if (word == "..") {
            if (!words.empty())
                words.pop_back();
        } else if (!word.empty() && word != ".") {
            words.push_back(word);
        }
        start = end + 1;
    }
    std::string path = root;
    for (const std::string &word : words)
        path += "/" + word;
    return path;
}

bool AfcEmulator::contained(const std::string &path, bool followLast) const
{
    if (realRoot.empty())
        return false;
    if (path == root)
        return true;
    // The deepest part of the path that exists, resolved: what lies below it
    // does not exist yet and cannot lead anywhere. Something that exists but
    // does not resolve is a dangling link, which creating a file would follow.
    std::string probe = followLast ? path : parentOf(path);
    char *resolved = nullptr;
    for (;;) {
        resolved = realpath(probe.c_str(), nullptr);
        if (resolved)
            break;
        struct stat info;
        if ((errno != ENOENT && errno != ENOTDIR) || lstat(probe.c_str(), &info) == 0 || probe.size() <= root.size())
            return false;
        probe = parentOf(probe);
    }
    const std::string real = resolved;
    std::free(resolved);
    return real == realRoot || real.compare(0, realRoot.size() + 1, realRoot + "/") == 0;
}

AfcEmulator::Reply AfcEmulator::readDirectory(const std::string &devicePath)
{
    const std::string path = hostPath(devicePath);
    if (!contained(path, true))
        return {kOpStatus, u64Bytes(kPermissionDenied)};
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return {kOpStatus, u64Bytes(statusOf(errno))};
    std::vector<std::string> names;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    std::stable_sort(names.begin(), names.end());
    std::string payload = std::string(".") + '\0' + ".." + '\0';
    for (const std::string &name : names)
        payload += name + '\0';
    return {kOpData, payload};
}

AfcEmulator::Reply AfcEmulator::fileInfo(const std::string &devicePath)
{
    const std::string path = hostPath(devicePath);
    if (!contained(path, false))
        return {kOpStatus, u64Bytes(kPermissionDenied)};
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
        return {kOpStatus, u64Bytes(statusOf(errno))};
    std::string payload;
    auto add = [&](const char *key, const std::string &value) { payload += key + std::string(1, '\0') + value + '\0'; };
    add("st_size", std::to_string(int64_t(info.st_size)));
    add("st_blocks", std::to_string(int64_t(info.st_blocks)));
    add("st_nlink", std::to_string(uint64_t(info.st_nlink)));
    add("st_ifmt", typeName(info.st_mode));
    add("st_mtime", std::to_string(nanoseconds(info.st_mtim)));
    add("st_birthtime", std::to_string(nanoseconds(info.st_ctim)));
    if (S_ISLNK(info.st_mode)) {
        std::string target(PATH_MAX, '\0');
        const ssize_t n = readlink(path.c_str(), target.data(), target.size());
        add("LinkTarget", n > 0 ? target.substr(0, size_t(n)) : std::string());
    }
    return {kOpData, payload};
}

AfcEmulator::Reply AfcEmulator::makeDirectory(const std::string &devicePath)
{
    const std::string path = hostPath(devicePath);
    if (!contained(path, true))
        return {kOpStatus, u64Bytes(kPermissionDenied)};
    // Each missing folder from the top down; one that is there already is fine.
    size_t at = root.size();
    while (at < path.size()) {
        at = path.find('/', at + 1);
        if (at == std::string::npos)
            at = path.size();
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return {kOpStatus, u64Bytes(statusOf(errno))};
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return {kOpStatus, u64Bytes(kObjectExists)};
    return {kOpStatus, u64Bytes(kSuccess)};
}

AfcEmulator::Reply AfcEmulator::removePath(const std::string &devicePath)
{
    const std::string path = hostPath(devicePath);
    if (path == root)
        return {kOpStatus, u64Bytes(kPermissionDenied)};
    if (!contained(path, false))
        return {kOpStatus, u64Bytes(kPermissionDenied)};
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
        return {kOpStatus, u64Bytes(statusOf(errno))};
    const int result = S_ISDIR(info.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str());
    return {kOpStatus, u64Bytes(result == 0 ? kSuccess : statusOf(errno))};
}

AfcEmulator::Reply AfcEmulator::renamePath(const std::string &fromDevice, const std::string &toDevice)
{
    const std::string from = hostPath(fromDevice);
    const std::string to = hostPath(toDevice);
    if (from == root || to == root)
        return {kOpStatus, u64Bytes(kPermissionDenied)};
    if (!contained(from, false) || !contained(to, false))
        return {kOpStatus, u64Bytes(kPermissionDenied)};
    const int result = rename(from.c_str(), to.c_str());
    return {kOpStatus, u64Bytes(result == 0 ? kSuccess : statusOf(errno))};
}

AfcEmulator::Reply AfcEmulator::openFile(uint64_t mode, const std::string &devicePath)
{
    int flags = 0;
    switch (mode) {
    case 1:
        flags = O_RDONLY;
        break;
    case 2:
        flags = O_RDWR | O_CREAT;
        break;
    case 3:
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        break;
    case 4:
        flags = O_RDWR | O_CREAT | O_TRUNC;
        break;
    case 5:
        flags = O_WRONLY | O_APPEND | O_CREAT;
        break;
    case 6:
        flags = O_RDWR | O_APPEND | O_CREAT;
        break;
    default:
        return {kOpStatus, u64Bytes(kInvalidArgument)};
    }
    const std::string path = hostPath(devicePath);
    if (!contained(path, true))
        return {kOpStatus, u64Bytes(kPermissionDenied)};
    const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0)
        return {kOpStatus, u64Bytes(statusOf(errno))};
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        return {kOpStatus, u64Bytes(kObjectIsDir)};
    }
    const uint64_t handle = nextHandle++;
    files[handle] = fd;
    return {kOpFileOpenResult, u64Bytes(handle)};
}

AfcEmulator::Reply AfcEmulator::readFile(uint64_t handle, uint64_t count)
{
    const auto file = files.find(handle);
    if (file == files.end())
        return {kOpStatus, u64Bytes(kInvalidArgument)};
    std::string data(size_t(std::min(count, kMaxReadChunk)), '\0');
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = read(file->second, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {kOpStatus, u64Bytes(kReadError)};
        if (n == 0)
            break;
        done += size_t(n);
    }
    data.resize(done);
    return {kOpData, data};
}

AfcEmulator::Reply AfcEmulator::writeFile(uint64_t handle, const std::string &data)
{
    const auto file = files.find(handle);
    if (file == files.end())
        return {kOpStatus, u64Bytes(kInvalidArgument)};
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(file->second, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {kOpStatus, u64Bytes(n < 0 && errno == ENOSPC ? kNoSpaceLeft : kWriteError)};
        done += size_t(n);
    }
    return {kOpStatus, u64Bytes(kSuccess)};
}

AfcEmulator::Reply AfcEmulator::closeFile(uint64_t handle)
{
    const auto file = files.find(handle);
    if (file == files.end())
        return {kOpStatus, u64Bytes(kInvalidArgument)};
    const int result = close(file->second);
    files.erase(file);
    return {kOpStatus, u64Bytes(result == 0 ? kSuccess : kIoError)};
}

AfcEmulator::Reply AfcEmulator::lockFile(uint64_t handle, uint64_t operation)
{
    const auto file = files.find(handle);
    if (file == files.end())
        return {kOpStatus, u64Bytes(kInvalidArgument)};
    // The protocol's shared (1), exclusive (2) and unlock (8), each with the
    // don't-block flag (4).
    int how = 0;
    switch (operation) {
    case 1 | 4:
        how = LOCK_SH | LOCK_NB;
        break;
    case 2 | 4:
        how = LOCK_EX | LOCK_NB;
        break;
    case 8 | 4:
        how = LOCK_UN;
        break;
    default:
        return {kOpStatus, u64Bytes(kInvalidArgument)};
    }
    return {kOpStatus, u64Bytes(flock(file->second, how) == 0 ? kSuccess : statusOf(errno))};
}
