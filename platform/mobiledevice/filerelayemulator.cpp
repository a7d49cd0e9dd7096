#include "platform/mobiledevice/filerelayemulator.h"

#include "platform/mobiledevice/cflink.h"
#include "platform/mobiledevice/socketio.h"
#include "platform/mobiledevice/virtualiphone.h"

#include <archive.h>
#include <archive_entry.h>

#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

const char *const FileRelayEmulator::kServiceName = "com.apple.mobile.file_relay";

namespace {

namespace fs = std::filesystem;

// No request of the program comes near this; a longer one ends the service.
const uint32_t kMaxRequest = 1024 * 1024;

struct Options
{
    std::vector<char> reply; // the reply frame's body
    bool acknowledged = true;
    bool gzip = false;
    std::string archive;     // a prepared stream, empty: the phone's tree
    int64_t holdAfter = -1;  // below 0: the whole stream goes
};

std::vector<char> readFile(const std::string &path, bool *ok)
{
    std::ifstream file(path, std::ios::binary);
    *ok = bool(file);
    if (!file)
        return {};
    return std::vector<char>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

bool equalsIgnoringCase(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::vector<char> serialised(const CoreFoundationLink &cf, CFTypeRef value)
{
    std::vector<char> out;
    CFDataRef data = cf.CFPropertyListCreateData(nullptr, value, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
    if (!data)
        return out;
    const auto *bytes = reinterpret_cast<const char *>(cf.CFDataGetBytePtr(data));
    out.assign(bytes, bytes + cf.CFDataGetLength(data));
    cf.CFRelease(data);
    return out;
}

// The phone's steering from device.plist; the defaults of a willing phone
// for whatever is missing.
Options loadOptions(const std::string &folder, const CoreFoundationLink &cf)
{
    Options options;
    auto get = [&](CFTypeRef dict, const char *name) -> CFTypeRef {
        if (!cf.isType(dict, cf.CFDictionaryGetTypeID))
            return nullptr;
        CFStringRef key = cf.string(name);
        CFTypeRef value = cf.CFDictionaryGetValue(dict, key);
        cf.CFRelease(key);
        return value;
    };

    bool ok = false;
    const std::vector<char> bytes = readFile(folder + "/device.plist", &ok);
    CFDataRef data = cf.CFDataCreate(nullptr, reinterpret_cast<const uint8_t *>(bytes.data()), CFIndex(bytes.size()));
    CFTypeRef root = cf.CFPropertyListCreateWithData(nullptr, data, 0, nullptr, nullptr);
    cf.CFRelease(data);
    CFTypeRef relay = get(root, "FileRelay");

    CFTypeRef reply = get(relay, "Reply");
    if (cf.isType(reply, cf.CFDictionaryGetTypeID)) {
        options.reply = serialised(cf, reply);
        options.acknowledged = equalsIgnoringCase(cf.text(get(reply, "Status")), "Acknowledged");
    } else {
        CFMutableDictionaryRef standard = cf.newDictionary();
        CFStringRef key = cf.string("Status");
        CFStringRef value = cf.string("Acknowledged");
        cf.CFDictionarySetValue(standard, key, value);
        options.reply = serialised(cf, standard);
        cf.CFRelease(value);
        cf.CFRelease(key);
        cf.CFRelease(standard);
    }
    options.gzip = cf.text(get(relay, "Compression")) == "gzip";
    options.archive = cf.text(get(relay, "Archive"));
    if (!options.archive.empty() && options.archive[0] != '/')
        options.archive = folder + "/" + options.archive;
    options.holdAfter = cf.integer(get(relay, "HoldAfter"), -1);
    if (root)
        cf.CFRelease(root);
    return options;
}

la_ssize_t appendToVector(struct archive *, void *client, const void *buffer, size_t length)
{
    auto *out = static_cast<std::vector<char> *>(client);
    const auto *bytes = static_cast<const char *>(buffer);
    out->insert(out->end(), bytes, bytes + length);
    return la_ssize_t(length);
}

struct ArchiveWriterFree
{
    void operator()(struct archive *a) const { archive_write_free(a); }
};
struct EntryFree
{
    void operator()(struct archive_entry *e) const { archive_entry_free(e); }
};

// The phone's tree as a cpio archive: folders first (a folder sorts before
// what it holds), then the regular files. Anything else (links, sockets) is
// not a phone database and stays out. Empty with why set on failure.
std::vector<char> treeArchive(const std::string &root, bool gzip, std::string *why)
{
    std::vector<char> out;
    std::vector<std::string> folders, files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        const fs::file_status status = it->symlink_status(error);
        if (error)
            break;
        const std::string relative = it->path().lexically_relative(root).generic_string();
        if (fs::is_directory(status))
            folders.push_back(relative);
        else if (fs::is_regular_file(status))
            files.push_back(relative);
    }
    if (error && fs::exists(root)) {
        *why = "walk " + root + ": " + error.message();
        return {};
    }
    std::stable_sort(folders.begin(), folders.end());
    std::stable_sort(files.begin(), files.end());

    std::unique_ptr<struct archive, ArchiveWriterFree> writer(archive_write_new());
    archive_write_set_format_cpio_newc(writer.get());
    if (gzip)
        archive_write_add_filter_gzip(writer.get());
    // The stream ends with the trailer, not padded up to a whole block.
    archive_write_set_bytes_in_last_block(writer.get(), 1);
    if (archive_write_open(writer.get(), &out, nullptr, appendToVector, nullptr) != ARCHIVE_OK) {
        *why = archive_error_string(writer.get()) ? archive_error_string(writer.get()) : "open";
        return {};
    }
    auto add = [&](const std::string &relative, bool folder) {
        const std::string path = root + "/" + relative;
        struct stat info;
        if (lstat(path.c_str(), &info) != 0)
            return false;
        std::unique_ptr<struct archive_entry, EntryFree> entry(archive_entry_new());
        archive_entry_set_pathname(entry.get(), ("./" + relative).c_str());
        archive_entry_set_filetype(entry.get(), folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry.get(), info.st_mode & 07777);
        archive_entry_set_size(entry.get(), folder ? 0 : info.st_size);
        archive_entry_set_mtime(entry.get(), info.st_mtime, 0);
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK)
            return false;
        if (folder)
            return true;
        std::ifstream file(path, std::ios::binary);
        std::vector<char> chunk(64 * 1024);
        while (file) {
            file.read(chunk.data(), std::streamsize(chunk.size()));
            const std::streamsize got = file.gcount();
            if (got > 0 && archive_write_data(writer.get(), chunk.data(), size_t(got)) != got)
                return false;
        }
        return file.eof();
    };
    for (const std::string &folder : folders) {
        if (!add(folder, true)) {
            *why = "add " + folder;
            return {};
        }
    }
    for (const std::string &file : files) {
        if (!add(file, false)) {
            *why = "add " + file;
            return {};
        }
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        *why = "close";
        return {};
    }
    return out;
}

std::string base64(const std::vector<char> &bytes)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            group |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size())
            group |= uint8_t(bytes[i + 2]);
        out += digits[group >> 18 & 63];
        out += digits[group >> 12 & 63];
        out += i + 1 < bytes.size() ? digits[group >> 6 & 63] : '=';
        out += i + 2 < bytes.size() ? digits[group & 63] : '=';
    }
    return out;
}

std::string xmlEscaped(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

// Written whole and renamed into place, so a test never reads half of it.
void writeRecord(const std::string &folder, const std::vector<char> &request, uint64_t sent, const std::string &end)
{
    const std::string path = folder + "/file-relay.plist";
    {
        std::ofstream out(path + ".tmp", std::ios::binary | std::ios::trunc);
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
               "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
               "<plist version=\"1.0\">\n<dict>\n"
            << "\t<key>Request</key>\n\t<data>" << base64(request) << "</data>\n"
            << "\t<key>Sent</key>\n\t<integer>" << sent << "</integer>\n"
            << "\t<key>End</key>\n\t<string>" << xmlEscaped(end) << "</string>\n"
            << "</dict>\n</plist>\n";
    }
    std::rename((path + ".tmp").c_str(), path.c_str());
}

// Blocks until the caller closes its end (or the phone leaves, which shuts
// the socket down); whatever the caller sends meanwhile is dropped.
void waitForCallerClose(int socket)
{
    char dropped[256];
    for (;;) {
        const ssize_t got = recv(socket, dropped, sizeof dropped, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
    }
}

} // namespace

void FileRelayEmulator::serve(const VirtualIPhone &phone, int socket)
{
    const CoreFoundationLink *cf = CoreFoundationLink::get();
    std::vector<char> request;
    unsigned char length[4];
    if (!cf || !socketio::recvAll(socket, reinterpret_cast<char *>(length), 4)) {
        writeRecord(phone.folder, request, 0, "no request");
        return;
    }
    const uint32_t size = uint32_t(length[0]) << 24 | uint32_t(length[1]) << 16 | uint32_t(length[2]) << 8 | length[3];
    request.resize(size <= kMaxRequest ? size : 0);
    if (size > kMaxRequest || !socketio::recvAll(socket, request.data(), size)) {
        writeRecord(phone.folder, request, 0, "no request");
        return;
    }

    const Options options = loadOptions(phone.folder, *cf);
    const uint32_t n = uint32_t(options.reply.size());
    const char replyLength[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    if (socketio::sendAll(socket, replyLength, 4) < 4 || socketio::sendAll(socket, options.reply.data(), n) < n) {
        writeRecord(phone.folder, request, 0, "closed by caller");
        return;
    }
    if (!options.acknowledged) {
        writeRecord(phone.folder, request, 0, "not acknowledged");
        return;
    }

    std::vector<char> stream;
    std::string why;
    if (options.archive.empty()) {
        stream = treeArchive(phone.folder + "/root", options.gzip, &why);
    } else {
        bool ok = false;
        stream = readFile(options.archive, &ok);
        if (!ok)
            why = "read " + options.archive;
    }
    if (!why.empty()) {
        writeRecord(phone.folder, request, 0, "failed: " + why);
        return;
    }

    const bool hold = options.holdAfter >= 0 && uint64_t(options.holdAfter) < stream.size();
    const size_t toSend = hold ? size_t(options.holdAfter) : stream.size();
    const size_t sent = socketio::sendAll(socket, stream.data(), toSend);
    if (sent == toSend && !hold) {
        writeRecord(phone.folder, request, sent, "complete");
        return;
    }
    if (sent == toSend)
        waitForCallerClose(socket);
    writeRecord(phone.folder, request, sent, "closed by caller");
}
