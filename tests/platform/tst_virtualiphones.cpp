// The MobileDevice stand-in on its own: virtual phones attached and detached
// from a folder on the library's thread, the session rules, failures a phone
// is told to give, device values, recorded sets and service sockets. Both
// libraries are loaded as plain shared libraries from their own folders; the
// MobileDevice one finds CoreFoundation by itself.
#include "platform/appleapi/appleapi.h"
#include "tests/support/testmain.h"
#include "tests/support/virtualiphonefixture.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QMutex>
#include <QThread>

namespace tst_virtualiphones {

namespace {

struct Event
{
    AMDeviceRef device;
    unsigned int message;
    bool onMainThread;
};

QMutex s_eventsMutex;
QList<Event> s_events;
Qt::HANDLE s_mainThread = nullptr;
// The library's thread outlives the test: it stops being heard at the end.
bool s_listening = true;

void recordEvent(AMDeviceNotificationCallbackInfo *info, void *)
{
    QMutexLocker lock(&s_eventsMutex);
    if (!s_listening)
        return;
    s_events.append({info->device, info->message, QThread::currentThreadId() == s_mainThread});
}

QList<Event> events()
{
    QMutexLocker lock(&s_eventsMutex);
    return s_events;
}

template <typename F>
F symbol(void *library, const char *name)
{
    return reinterpret_cast<F>(dlsym(library, name));
}

} // namespace

class TestVirtualIPhones : public QObject
{
    Q_OBJECT

    QTemporaryDir phones;
    void *cfLibrary = nullptr;
    void *mdLibrary = nullptr;
    QString earlyFolder;

#define FN(lib, name) decltype(&::name) name = nullptr;
    FN(md, AMDeviceNotificationSubscribe) FN(md, AMDeviceConnect) FN(md, AMDeviceDisconnect)
    FN(md, AMDeviceIsPaired) FN(md, AMDevicePair) FN(md, AMDeviceValidatePairing) FN(md, AMDeviceStartSession)
    FN(md, AMDeviceStopSession) FN(md, AMDeviceStartService) FN(md, AMDeviceCopyValue) FN(md, AMDeviceSetValue)
    FN(cf, CFRelease) FN(cf, CFGetTypeID) FN(cf, CFStringGetTypeID) FN(cf, CFDictionaryGetTypeID)
    FN(cf, CFNumberGetTypeID) FN(cf, CFStringCreateWithBytes) FN(cf, CFStringGetBytes) FN(cf, CFStringGetLength)
    FN(cf, CFDictionaryGetValue) FN(cf, CFDictionaryGetCount) FN(cf, CFNumberCreate) FN(cf, CFNumberGetValue)
    FN(cf, CFArrayGetCount) FN(cf, CFArrayGetValueAtIndex) FN(cf, CFDataCreate) FN(cf, CFPropertyListCreateWithData)
    FN(cf, CFDictionaryCreateMutable) FN(cf, CFDictionarySetValue) FN(cf, qp_cf_live_values)
#undef FN

    CFStringRef str(const QString &text)
    {
        const QByteArray utf8 = text.toUtf8();
        return CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t *>(utf8.constData()), utf8.size(),
                                       kCFStringEncodingUTF8, false);
    }
    QString text(CFTypeRef value)
    {
        if (!value || CFGetTypeID(value) != CFStringGetTypeID())
            return QString();
        QByteArray out(int(CFStringGetLength(value)) * 4, '\0');
        CFIndex used = 0;
        CFStringGetBytes(value, CFRange{0, CFStringGetLength(value)}, kCFStringEncodingUTF8, '?', false,
                         reinterpret_cast<uint8_t *>(out.data()), out.size(), &used);
        return QString::fromUtf8(out.left(int(used)));
    }
    // A value copied from the phone, as text (numbers in decimal); NULL gives a null string.
    QString copied(AMDeviceRef device, const char *domain, const char *key)
    {
        CFStringRef d = domain ? str(domain) : nullptr;
        CFStringRef k = key ? str(key) : nullptr;
        CFTypeRef value = AMDeviceCopyValue(device, d, k);
        QString out;
        if (value && CFGetTypeID(value) == CFNumberGetTypeID()) {
            int64_t n = 0;
            CFNumberGetValue(value, kCFNumberSInt64Type, &n);
            out = QString::number(n);
        } else if (value) {
            out = text(value);
        }
        for (CFTypeRef held : {d, k, value})
            if (held)
                CFRelease(held);
        return out;
    }
    int openSession(AMDeviceRef device)
    {
        if (int code = AMDeviceConnect(device))
            return code;
        if (!AMDeviceIsPaired(device))
            if (int code = AMDevicePair(device))
                return code;
        if (int code = AMDeviceValidatePairing(device))
            return code;
        return AMDeviceStartSession(device);
    }
    void closeSession(AMDeviceRef device)
    {
        AMDeviceStopSession(device);
        AMDeviceDisconnect(device);
    }
    // Writes a phone and waits until the library reports it; its handle.
    AMDeviceRef attach(const testsupport::VirtualIPhoneSetup &setup)
    {
        const int before = events().size();
        testsupport::writeVirtualIPhone(phones.path(), setup);
        AMDeviceRef device = nullptr;
        const bool seen = QTest::qWaitFor([&] {
            const QList<Event> now = events();
            for (int i = before; i < now.size(); ++i)
                if (now[i].message == kAMDeviceAttached)
                    device = now[i].device;
            return device != nullptr;
        }, 20000);
        return seen ? device : nullptr;
    }
    bool detach(const QString &folderName, AMDeviceRef device)
    {
        testsupport::removeVirtualIPhone(phones.path() + "/" + folderName);
        return QTest::qWaitFor([&] {
            for (const Event &e : events())
                if (e.device == device && e.message == kAMDeviceDetached)
                    return true;
            return false;
        }, 20000);
    }

private slots:
    void cleanupTestCase()
    {
        QMutexLocker lock(&s_eventsMutex);
        s_listening = false;
    }

    void initTestCase()
    {
        s_mainThread = QThread::currentThreadId();
        qputenv("QP_VIRTUAL_IPHONES_DIR", QFile::encodeName(phones.path()));
        qputenv("QP_VIRTUAL_IPHONES_POLL_MS", "20");
        earlyFolder = testsupport::writeVirtualIPhone(phones.path(), testsupport::typicalIPhone("early"));

        // The libraries lie in different folders; MobileDevice is loaded
        // first, as the program does, and links no CoreFoundation.
        mdLibrary = dlopen(MD_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(mdLibrary, dlerror());
        cfLibrary = dlopen(CF_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(cfLibrary, dlerror());
#define TAKE(lib, name) name = symbol<decltype(name)>(lib##Library, #name); QVERIFY(name);
        TAKE(md, AMDeviceNotificationSubscribe) TAKE(md, AMDeviceConnect) TAKE(md, AMDeviceDisconnect)
        TAKE(md, AMDeviceIsPaired) TAKE(md, AMDevicePair) TAKE(md, AMDeviceValidatePairing)
        TAKE(md, AMDeviceStartSession) TAKE(md, AMDeviceStopSession) TAKE(md, AMDeviceStartService)
        TAKE(md, AMDeviceCopyValue) TAKE(md, AMDeviceSetValue)
        TAKE(cf, CFRelease) TAKE(cf, CFGetTypeID) TAKE(cf, CFStringGetTypeID) TAKE(cf, CFDictionaryGetTypeID)
        TAKE(cf, CFNumberGetTypeID) TAKE(cf, CFStringCreateWithBytes) TAKE(cf, CFStringGetBytes)
        TAKE(cf, CFStringGetLength) TAKE(cf, CFDictionaryGetValue) TAKE(cf, CFDictionaryGetCount)
        TAKE(cf, CFNumberCreate) TAKE(cf, CFNumberGetValue) TAKE(cf, CFArrayGetCount)
        TAKE(cf, CFArrayGetValueAtIndex) TAKE(cf, CFDataCreate) TAKE(cf, CFPropertyListCreateWithData)
        TAKE(cf, CFDictionaryCreateMutable) TAKE(cf, CFDictionarySetValue) TAKE(cf, qp_cf_live_values)
#undef TAKE

        void *subscription = nullptr;
        QCOMPARE(AMDeviceNotificationSubscribe(recordEvent, 0, 0, nullptr, &subscription), 0);
        QVERIFY(subscription);
    }

    void phonesAttachAndDetachOnTheLibrarysThread()
    {
        // The phone that was there before the subscription is reported too.
        QVERIFY(QTest::qWaitFor([] { return !events().isEmpty(); }, 20000));
        const Event early = events().first();
        QCOMPARE(early.message, unsigned(kAMDeviceAttached));
        QVERIFY(!early.onMainThread);

        AMDeviceRef later = attach(testsupport::typicalIPhone("later"));
        QVERIFY(later);
        QVERIFY(later != early.device);
        QVERIFY(detach("later", later));
        // Exactly one attach and one detach for it, and nothing for the
        // phone that stayed.
        int attaches = 0, detaches = 0;
        for (const Event &e : events()) {
            QVERIFY(!e.onMainThread);
            if (e.device == later)
                (e.message == kAMDeviceAttached ? attaches : detaches)++;
            else
                QCOMPARE(e.message, unsigned(kAMDeviceAttached));
        }
        QCOMPARE(attaches, 1);
        QCOMPARE(detaches, 1);
    }

    void handlesThatAreNoPhoneGetErrors_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("code");
        QTest::newRow("NULL") << "null" << int(kAMDInvalidArgumentError);
        QTest::newRow("not a phone's") << "foreign" << int(kAMDInvalidArgumentError);
        QTest::newRow("detached") << "detached" << int(kAMDDeviceDisconnectedError);
    }
    void handlesThatAreNoPhoneGetErrors()
    {
        QFETCH(QString, kind);
        QFETCH(int, code);
        int foreign = 0;
        AMDeviceRef device = kind == "foreign" ? &foreign : nullptr;
        if (kind == "detached") {
            device = attach(testsupport::typicalIPhone("gone"));
            QVERIFY(device);
            QCOMPARE(openSession(device), 0);
            QVERIFY(detach("gone", device));
        }
        QCOMPARE(AMDeviceConnect(device), code);
        QCOMPARE(AMDeviceIsPaired(device), 0);
        QCOMPARE(AMDevicePair(device), code);
        QCOMPARE(AMDeviceValidatePairing(device), code);
        QCOMPARE(AMDeviceStartSession(device), code);
        QCOMPARE(AMDeviceStopSession(device), code);
        QCOMPARE(AMDeviceDisconnect(device), code);
        QCOMPARE(copied(device, nullptr, "DeviceName"), QString());
        CFStringRef key = str("DeviceName");
        QCOMPARE(AMDeviceSetValue(device, nullptr, key, key), code);
        CFStringRef service = str("org.quillmarten.virtual.echo");
        int socket = -1;
        QCOMPARE(AMDeviceStartService(device, service, &socket, nullptr), code);
        QCOMPARE(socket, -1);
        CFRelease(key);
        CFRelease(service);
    }

    void sessionsFollowPairing()
    {
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("unpaired");
        setup.paired = false;
        AMDeviceRef device = attach(setup);
        QVERIFY(device);
        // Nothing before a connection.
        QCOMPARE(AMDevicePair(device), int(kAMDNotConnectedError));
        QCOMPARE(AMDeviceStartSession(device), int(kAMDNotConnectedError));
        QCOMPARE(AMDeviceConnect(device), 0);
        QCOMPARE(AMDeviceIsPaired(device), 0);
        QCOMPARE(AMDeviceValidatePairing(device), int(kAMDInvalidPairRecordError));
        QCOMPARE(AMDeviceStartSession(device), int(kAMDInvalidPairRecordError));
        // Values need a session.
        QCOMPARE(copied(device, nullptr, "DeviceName"), QString());
        QCOMPARE(AMDevicePair(device), 0);
        QCOMPARE(AMDeviceIsPaired(device), 1);
        QCOMPARE(AMDeviceValidatePairing(device), 0);
        QCOMPARE(AMDeviceStartSession(device), 0);
        QCOMPARE(copied(device, nullptr, "ProductVersion"), QString("7.1.2"));
        QCOMPARE(AMDeviceStopSession(device), 0);
        QCOMPARE(AMDeviceStopSession(device), int(kAMDSessionInactiveError));
        QCOMPARE(AMDeviceDisconnect(device), 0);
        QCOMPARE(AMDeviceDisconnect(device), int(kAMDNotConnectedError));
        // Still paired for the rest of its stay.
        QCOMPARE(openSession(device), 0);
        closeSession(device);
        QVERIFY(detach("unpaired", device));
    }

    void failuresAPhoneIsToldToGive_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<int>("code");
        QTest::newRow("connect") << "AMDeviceConnect" << -402653083;
        QTest::newRow("pair") << "AMDevicePair" << -402653158;
        QTest::newRow("validate") << "AMDeviceValidatePairing" << -402653155;
        QTest::newRow("start session") << "AMDeviceStartSession" << -402653153;
    }
    void failuresAPhoneIsToldToGive()
    {
        QFETCH(QString, step);
        QFETCH(int, code);
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("failing");
        setup.paired = false; // so that pairing is tried
        setup.failures.insert(step, code);
        AMDeviceRef device = attach(setup);
        QVERIFY(device);
        QCOMPARE(openSession(device), code);
        AMDeviceDisconnect(device);
        QVERIFY(detach("failing", device));
    }

    void valuesByDomainAndKey()
    {
        const qint64 live = qp_cf_live_values();
        AMDeviceRef device = events().first().device; // the early phone
        QCOMPARE(openSession(device), 0);
        QCOMPARE(copied(device, nullptr, "DeviceName"), QString::fromUtf8("Anna\u2019s iPhone \U0001F4F1"));
        // An empty domain is the top level too.
        QCOMPARE(copied(device, "", "UniqueDeviceID"), QString("00008030-001A35E22E38802E"));
        QCOMPARE(copied(device, "com.apple.disk_usage", "TotalDataCapacity"), QString("63966400512"));
        QCOMPARE(copied(device, nullptr, "NoSuchKey"), QString());
        QCOMPARE(copied(device, "com.example.none", nullptr), QString());

        // The whole domain is a new dictionary of the caller's.
        CFStringRef domain = str("com.apple.mobile.backup");
        CFTypeRef whole = AMDeviceCopyValue(device, domain, nullptr);
        QVERIFY(whole);
        QCOMPARE(CFGetTypeID(whole), CFDictionaryGetTypeID());
        QCOMPARE(CFDictionaryGetCount(whole), CFIndex(2));
        CFTypeRef again = AMDeviceCopyValue(device, domain, nullptr);
        QVERIFY(again != whole);
        for (CFTypeRef held : {CFTypeRef(domain), whole, again})
            CFRelease(held);
        closeSession(device);
        QCOMPARE(qp_cf_live_values(), live);
    }

    void setValuesAreKeptAndRecorded()
    {
        AMDeviceRef device = attach(testsupport::typicalIPhone("setter"));
        QVERIFY(device);
        CFStringRef backup = str("com.apple.mobile.backup");
        CFStringRef encrypt = str("WillEncrypt");
        CFStringRef name = str("DeviceName");
        CFStringRef newName = str("Ben's iPhone");
        int32_t one = 1;
        CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &one);
        // No session: refused and not recorded.
        QCOMPARE(AMDeviceSetValue(device, backup, encrypt, number), int(kAMDSessionInactiveError));
        QCOMPARE(openSession(device), 0);
        QCOMPARE(AMDeviceSetValue(device, backup, encrypt, number), 0);
        QCOMPARE(AMDeviceSetValue(device, nullptr, name, newName), 0);
        // A value with no property-list form never reaches a phone.
        CFMutableDictionaryRef odd = CFDictionaryCreateMutable(nullptr, 0, nullptr, nullptr);
        CFDictionarySetValue(odd, number, number);
        QCOMPARE(AMDeviceSetValue(device, backup, encrypt, odd), int(kAMDInvalidArgumentError));
        CFRelease(odd);

        QCOMPARE(copied(device, "com.apple.mobile.backup", "WillEncrypt"), QString("1"));
        QCOMPARE(copied(device, nullptr, "DeviceName"), QString("Ben's iPhone"));

        const QByteArray record = testsupport::recordedSetValues(phones.path() + "/setter");
        CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const uint8_t *>(record.constData()), record.size());
        CFTypeRef list = CFPropertyListCreateWithData(nullptr, data, 0, nullptr, nullptr);
        QVERIFY(list);
        QCOMPARE(CFArrayGetCount(list), CFIndex(2));
        CFStringRef domainKey = str("Domain"), keyKey = str("Key");
        QCOMPARE(text(CFDictionaryGetValue(CFArrayGetValueAtIndex(list, 0), domainKey)), QString("com.apple.mobile.backup"));
        QCOMPARE(text(CFDictionaryGetValue(CFArrayGetValueAtIndex(list, 1), domainKey)), QString(""));
        QCOMPARE(text(CFDictionaryGetValue(CFArrayGetValueAtIndex(list, 1), keyKey)), QString("DeviceName"));
        for (CFTypeRef held : {CFTypeRef(backup), encrypt, name, newName, number, data, list, domainKey, keyKey})
            CFRelease(held);
        closeSession(device);
        QVERIFY(detach("setter", device));
    }

    void servicesAreSocketsServedUntilThePhoneLeaves()
    {
        testsupport::VirtualIPhoneSetup setup = testsupport::typicalIPhone("services");
        setup.serviceFailures.insert("com.apple.mobile.file_relay", -402653150);
        AMDeviceRef device = attach(setup);
        QVERIFY(device);
        CFStringRef echo = str("org.quillmarten.virtual.echo");
        CFStringRef relay = str("com.apple.mobile.file_relay");
        CFStringRef unknown = str("com.example.nothing");
        int socket = -1;
        QCOMPARE(AMDeviceStartService(device, echo, &socket, nullptr), int(kAMDSessionInactiveError));
        QCOMPARE(openSession(device), 0);
        QCOMPARE(AMDeviceStartService(device, relay, &socket, nullptr), -402653150);
        QCOMPARE(AMDeviceStartService(device, unknown, &socket, nullptr), int(kAMDInvalidServiceError));
        QCOMPARE(AMDeviceStartService(device, echo, &socket, nullptr), 0);
        closeSession(device);

        // The socket outlives the session.
        const QByteArray frame = QByteArray::fromHex("00000003") + "abc";
        QCOMPARE(send(socket, frame.constData(), size_t(frame.size()), MSG_NOSIGNAL), ssize_t(frame.size()));
        QByteArray back(frame.size(), '\0');
        QCOMPARE(recv(socket, back.data(), size_t(back.size()), MSG_WAITALL), ssize_t(frame.size()));
        QCOMPARE(back, frame);

        // The phone leaves: the service ends and the caller reads the end.
        QVERIFY(detach("services", device));
        pollfd entry{socket, POLLIN, 0};
        QCOMPARE(poll(&entry, 1, 20000), 1);
        char byte = 0;
        QCOMPARE(recv(socket, &byte, 1, MSG_DONTWAIT), ssize_t(0));
        close(socket);
        for (CFTypeRef held : {echo, relay, unknown})
            CFRelease(held);
    }
};

QP_TEST_MAIN(TestVirtualIPhones)

} // namespace tst_virtualiphones

#include "tst_virtualiphones.moc"
