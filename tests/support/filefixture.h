#pragma once
// Files and folders as tests write and compare them.
#include <QByteArray>
#include <QMap>
#include <QString>

namespace testsupport {

// The whole file, with any folders it needs; throws, naming the path, when it
// cannot be written.
void writeFile(const QString &path, const QByteArray &bytes);
// The whole file, or "<missing>" when it cannot be opened, so that a failed
// comparison says what was lost.
QByteArray readFile(const QString &path);
// The whole file; throws, naming the path, when it cannot be read: for
// builders that go on from what they read.
QByteArray readRequiredFile(const QString &path);
// Every entry below root, hidden and system ones too, by relative path:
// files with their bytes, folders as "<dir>", links as "<link to target>",
// FIFOs and other special files as "<special>". Two trees compare equal only
// when nothing was added, removed or changed.
QMap<QString, QByteArray> fileTree(const QString &root);

} // namespace testsupport
