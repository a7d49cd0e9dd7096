#pragma once
// Opening folders, files and web pages with the desktop's registered programs
// (xdg-open behind QDesktopServices). Tests swap the opener for a recorder so
// that nothing is launched on the build machine.
#include <QUrl>
#include <functional>

namespace desktop {

using Opener = std::function<bool(const QUrl &)>;

// Opens url with the desktop's program for it; answers whether that started.
bool openUrl(const QUrl &url);

// Replaces the opener; an empty function restores QDesktopServices.
void setOpener(Opener opener);

} // namespace desktop
