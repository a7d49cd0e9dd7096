#pragma once
// Screenshots of views for tests: a widget rendered offscreen at a fixed size
// into an image, saved as a PNG in the test's output folder (the folder of
// the test program, "shots/"), and a few ways to ask what was drawn where.
#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>
#include <functional>

class QWidget;

namespace testsupport {

// Resizes, shows and lays out widget, then renders it as it would appear.
QImage renderWidget(QWidget *widget, const QSize &size);
// Writes image as <test program's folder>/shots/<name>.png; answers the path.
QString saveShot(const QImage &image, const QString &name);

// Pixels of area (clipped to the image) for which test holds.
int countPixels(const QImage &image, const QRect &area, const std::function<bool(QColor)> &test);
// A colour within tolerance of another, per channel.
bool near(QColor a, QColor b, int tolerance = 12);
// True when the area holds more than one colour.
bool notBlank(const QImage &image, const QRect &area);

} // namespace testsupport
