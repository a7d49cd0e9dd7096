#include "tests/support/virtualiphonefixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTimeZone>

#include <stdexcept>

namespace testsupport {

namespace {

QByteArray escaped(const QString &text)
{
    return text.toHtmlEscaped().toUtf8();
}

void writeValue(QByteArray &out, const QVariant &value, int indent)
{
    const QByteArray pad(indent, '\t');
    switch (value.typeId()) {
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        out += pad + "<dict>\n";
        for (auto it = map.begin(); it != map.end(); ++it) {
            out += pad + "\t<key>" + escaped(it.key()) + "</key>\n";
            writeValue(out, it.value(), indent + 1);
        }
        out += pad + "</dict>\n";
        return;
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        out += pad + "<array>\n";
        for (const QVariant &item : value.toList())
            writeValue(out, item, indent + 1);
        out += pad + "</array>\n";
        return;
    }
    case QMetaType::Bool:
        out += pad + (value.toBool() ? "<true/>\n" : "<false/>\n");
        return;
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        out += pad + "<integer>" + QByteArray::number(value.toLongLong()) + "</integer>\n";
        return;
    case QMetaType::Double:
        out += pad + "<real>" + QByteArray::number(value.toDouble(), 'g', 17) + "</real>\n";
        return;
    case QMetaType::QByteArray:
        out += pad + "<data>" + value.toByteArray().toBase64() + "</data>\n";
        return;
    case QMetaType::QDateTime:
        out += pad + "<date>" + value.toDateTime().toUTC().toString(Qt::ISODate).toUtf8() + "</date>\n";
        return;
    default:
        out += pad + "<string>" + escaped(value.toString()) + "</string>\n";
        return;
    }
}

void saveFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw std::runtime_error(QString("write %1: %2").arg(path, file.errorString()).toStdString());
}

QVariantMap codes(const QMap<QString, int> &byName)
{
    QVariantMap out;
    for (auto it = byName.begin(); it != byName.end(); ++it)
        out.insert(it.key(), it.value());
    return out;
}

} // namespace

QByteArray xmlPlist(const QVariant &value)
{
    QByteArray out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                     "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                     "<plist version=\"1.0\">\n";
    writeValue(out, value, 0);
    out += "</plist>\n";
    return out;
}

VirtualIPhoneSetup typicalIPhone(const QString &folderName, const QString &productVersion)
{
    VirtualIPhoneSetup setup;
    setup.folderName = folderName;
    setup.values = {
        {"UniqueDeviceID", "00008030-001A35E22E38802E"},
        {"DeviceName", QString::fromUtf8("Anna\u2019s iPhone \U0001F4F1")},
        {"MobileSubscriberCountryCode", "262"},
        {"ProductVersion", productVersion},
        {"ProductType", "iPhone12,1"},
        // Every phone answers its build; the backup program copies it.
        {"BuildVersion", "11D257"},
        {"SerialNumber", "F2LXK0ABHG7F"},
        {"PhoneNumber", "+49 1512 3456789"},
    };
    setup.domains.insert("com.apple.mobile.backup", {{"CloudBackupEnabled", false}, {"WillEncrypt", false}});
    setup.domains.insert("com.apple.disk_usage", {{"TotalDataCapacity", qint64(63966400512)},
                                                 {"AmountDataAvailable", qint64(21474836480)},
                                                 {"TotalDiskCapacity", qint64(64000000000)}});
    return setup;
}

QString virtualIPhoneRoot(const QString &phoneFolder)
{
    return QDir(phoneFolder).absoluteFilePath("root");
}

QString virtualIPhoneMedia(const QString &phoneFolder)
{
    return virtualIPhoneRoot(phoneFolder) + "/var/mobile/Media";
}

QString virtualIPhoneContainer(const QString &phoneFolder, const QString &appIdentifier)
{
    return QDir(phoneFolder).absoluteFilePath("containers/" + appIdentifier);
}

QByteArray recordedServiceRequests(const QString &phoneFolder, const QString &service)
{
    QFile file(phoneFolder + "/requests/" + service + ".plist");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString writeVirtualIPhone(const QString &phonesDir, const VirtualIPhoneSetup &setup)
{
    const QString folder = QDir(phonesDir).absoluteFilePath(setup.folderName);
    const QString root = virtualIPhoneRoot(folder);
    if (!QDir().mkpath(root))
        throw std::runtime_error(QString("make %1").arg(root).toStdString());
    if (setup.messages)
        writeMsgDbFile(root + "/var/mobile/Library/SMS/sms.db", setup.messageLayout, *setup.messages);
    if (!setup.contacts.isEmpty())
        writePhoneAddressBook(root, setup.contacts);
    const auto writeTree = [](const QString &top, const QMap<QString, QByteArray> &files) {
        if (!QDir().mkpath(top))
            throw std::runtime_error(QString("make %1").arg(top).toStdString());
        for (auto it = files.begin(); it != files.end(); ++it) {
            const QString path = top + "/" + it.key();
            QDir().mkpath(QFileInfo(path).absolutePath());
            saveFile(path, it.value());
        }
    };
    writeTree(virtualIPhoneMedia(folder), setup.mediaFiles);
    for (auto app = setup.appContainers.begin(); app != setup.appContainers.end(); ++app)
        writeTree(virtualIPhoneContainer(folder, app.key()), app.value());

    QVariantMap domains;
    for (auto it = setup.domains.begin(); it != setup.domains.end(); ++it)
        domains.insert(it.key(), it.value());
    QVariantMap services;
    for (auto it = setup.services.begin(); it != setup.services.end(); ++it)
        services.insert(it.key(), it.value());
    QVariantMap device = {
        {"Values", setup.values},
        {"Domains", domains},
        {"Paired", setup.paired},
        {"Failures", codes(setup.failures)},
        {"ServiceFailures", codes(setup.serviceFailures)},
        {"Services", services},
    };
    if (!setup.fileRelay.isEmpty())
        device.insert("FileRelay", setup.fileRelay);
    if (!setup.lockdown.isEmpty())
        device.insert("Lockdown", setup.lockdown);
    saveFile(folder + "/device.plist", xmlPlist(device));
    return folder;
}

void removeVirtualIPhone(const QString &phoneFolder)
{
    // device.plist first: from then on the stand-in sees no phone here, even
    // while the rest is still being removed.
    QFile::remove(phoneFolder + "/device.plist");
    QDir(phoneFolder).removeRecursively();
}

QByteArray recordedSetValues(const QString &phoneFolder)
{
    QFile file(phoneFolder + "/set-values.plist");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace testsupport
