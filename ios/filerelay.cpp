#include "ios/filerelay.h"

#include "ios/cftype.h"
#include "ios/mobiledevice.h"

#include <stdexcept>

namespace {

const int kRequestSendMs = 60000;
// A phone gathers the databases before it answers: that can take long.
const int kReplyWaitMs = 3600000;

} // namespace

void mobiledevice_file_relay_start(void *device, int *socket)
{
    mobiledevice_start_service(device, "com.apple.mobile.file_relay", socket);
}

void mobiledevice_file_relay_request(int socket, QStringList sources)
{
    CFType list = CFType::newArray();
    for (const QString &source : sources)
        list.append(CFType::fromString(source));
    CFType request = CFType::newDictionary();
    request.setValue(CFType::fromString(QStringLiteral("Sources")), list);
    mobiledevice_sendmsg(socket, request, false, kRequestSendMs);

    const CFType reply = mobiledevice_recmsg(socket, request, kReplyWaitMs);
    const CFType status = reply.value(QStringLiteral("Status"));
    const QString text = status.isString() ? status.toQString() : QString();
    if (text.compare(QLatin1String("Acknowledged"), Qt::CaseInsensitive) != 0) {
        // The phone's reply is shown in a rich-text box: escaped, its markup is
        // read as text instead of being taken for the box's own.
        const QString written = QString::fromUtf8(reply.toPropertyListData(kCFPropertyListXMLFormat_v1_0));
        throw std::runtime_error(
            QStringLiteral("invalid feedback.\n%1").arg(written.toHtmlEscaped()).toUtf8().toStdString());
    }
}
