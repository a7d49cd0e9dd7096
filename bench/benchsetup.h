#pragma once
// What every benchmark starts with: a temporary home, so that the user's own
// data folder is never touched, and the sizes given on the command line.
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

struct BenchSizes
{
    int messages;
    int chats;
    int handles;
};

// Points HOME and XDG_DATA_HOME into home; call before the application object.
inline void useBenchHome(const QTemporaryDir &home)
{
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path() + "/data"));
}

// [messages chats handles], by default 200000 2000 500.
inline BenchSizes benchSizes(const QStringList &args)
{
    return {args.size() > 1 ? args.at(1).toInt() : 200000, args.size() > 2 ? args.at(2).toInt() : 2000,
            args.size() > 3 ? args.at(3).toInt() : 500};
}
