#pragma once
// The one data folder of the user (logs, local databases, phone caches, small
// state files) and the small file helpers several subsystems share.
#include <QDir>
#include <QString>
#include <QStringList>

// Fixed names of the data folder.
extern const char *const kMakerFolder;  // "QuillMarten"
extern const char *const kProductId;    // the data folder's own name

// The data folder, created (with its parents) on every call when missing. Its
// place is fixed by the first call for the life of the process.
QDir appDataDir();
// "local_databases" inside the data folder, created when missing.
QDir localDatabasesDir();
// The maker folder inside the user's data root (nothing is created).
QString defaultDataRoot();
// Where the data folder would be now: the redirect's folder or the default
// root, joined with the product id. appDataDir caches this once.
QString resolveDataDirPath();
// The path of the optional redirect file.
QString dataRedirectFile();
// The folder named in the redirect file when it is an existing folder, else "".
QString readDataRedirect();
// Points the data folder at folder from the next start on. The redirect file
// keeps its old content unless the new one is written whole; throws
// std::runtime_error naming the cause (a full disk, say) otherwise.
void writeDataRedirect(const QString &folder);

// Shows a file or folder in the file manager (a file: its folder).
void openInExplorer(const QString &path);
// Opens a file, folder or web address with its registered program.
void shellOpen(const QString &target);

// Removes the nine characters file systems of the users' other machines refuse
// from name, in place; returns the result trimmed (name keeps its blanks).
QString validFileName(QString &name);
// MD5 of the UTF-8 bytes of text as 32 lower-case hex digits.
QString md5Hex(const QString &text);
// Deletes a folder tree whole, hidden entries included. A symbolic link is
// unlinked, never followed, so nothing outside the tree is touched. Answers
// true when nothing of path is left (also when there was nothing); otherwise
// false, with left (when given) naming the first entry that stayed, so the
// caller can say so instead of reporting success.
bool removeDirRecursively(const QString &path, QString *left = nullptr);
// path when no such file exists, else the first free "base(n).suffix" beside it.
QString uniqueFilePath(const QString &path);
// The names of the folders directly in dir, sorted by name.
QStringList subFolders(const QDir &dir);
