#include "platform/desktop/desktopopener.h"

#include <QDesktopServices>

namespace desktop {

namespace {
Opener &currentOpener()
{
    static Opener opener;
    return opener;
}
} // namespace

bool openUrl(const QUrl &url)
{
    const Opener &opener = currentOpener();
    if (opener)
        return opener(url);
    return QDesktopServices::openUrl(url);
}

void setOpener(Opener opener)
{
    currentOpener() = std::move(opener);
}

} // namespace desktop
