#include "devicelink/housearrest.h"

#include "ios/cftype.h"
#include "ios/mobiledevice.h"

#include <stdexcept>

namespace {

const int kTimeoutMs = 60000;

} // namespace

void mobiledevice_house_arrest_vend_container(int socket, const QString &appIdentifier)
{
    CFType command = CFType::newDictionary();
    command.setValue(CFType::fromString(QStringLiteral("Command")), CFType::fromString(QStringLiteral("VendContainer")));
    command.setValue(CFType::fromString(QStringLiteral("Identifier")), CFType::fromString(appIdentifier));
    mobiledevice_sendmsg(socket, command, false, kTimeoutMs);
    const CFType reply = mobiledevice_recmsg(socket, command, kTimeoutMs);
    // Only a dictionary without an error hands the socket over: anything
    // else, read as success, would have AFC spoken to a service that is not
    // listening for it.
    if (!reply.isDictionary() || !reply.value(QStringLiteral("Error")).isEmpty())
        throw std::runtime_error(QStringLiteral("can not find %1.").arg(appIdentifier).toUtf8().toStdString());
}
