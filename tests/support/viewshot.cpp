#include "tests/support/viewshot.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QWidget>

namespace testsupport {

QImage renderWidget(QWidget *widget, const QSize &size)
{
    widget->resize(size);
    widget->show();
    // Layouts, queued scrolls and deferred item layouts run before the shot.
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    widget->render(&image);
    return image;
}

QString saveShot(const QImage &image, const QString &name)
{
    QDir dir(QCoreApplication::applicationDirPath());
    dir.mkpath(QStringLiteral("shots"));
    const QString path = dir.filePath(QStringLiteral("shots/") + name + QStringLiteral(".png"));
    image.save(path, "PNG");
    return path;
}

int countPixels(const QImage &image, const QRect &area, const std::function<bool(QColor)> &test)
{
    const QRect r = area.intersected(image.rect());
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            n += test(image.pixelColor(x, y)) ? 1 : 0;
    return n;
}

bool near(QColor a, QColor b, int tolerance)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
           && qAbs(a.blue() - b.blue()) <= tolerance;
}

bool notBlank(const QImage &image, const QRect &area)
{
    const QRect r = area.intersected(image.rect());
    if (r.isEmpty())
        return false;
    const QRgb first = image.pixel(r.topLeft());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (image.pixel(x, y) != first)
                return true;
    return false;
}

} // namespace testsupport
