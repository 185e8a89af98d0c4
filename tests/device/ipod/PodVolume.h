#pragma once

#include "RecordDatabase.h"
#include "support/TempTree.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <sqlite3.h>

// A temporary folder in which tests also write files of given contents.
class FileTree : public TempTree {
public:
    void writeFile(const QString& rel, const QByteArray& bytes) const
    {
        QFile f(file(rel, 0));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(bytes);
    }
};

// A fabricated disk-mode iPod volume in a temporary folder.
class PodVolume : public FileTree {
public:
    PodVolume() { folder(QStringLiteral("iPod_Control/iTunes")); }

    void recordDatabase(const QByteArray& bytes) const
    {
        writeFile(QStringLiteral("iPod_Control/iTunes/iTunesDB"), bytes);
    }

    // A media library with the given statements run on a fresh schema.
    void mediaLibrary(const char* statements) const
    {
        const QString db = path(QStringLiteral("iPod_Control/iTunes/iTunes Library.itlp/Library.itdb"));
        folder(QStringLiteral("iPod_Control/iTunes/iTunes Library.itlp"));
        sqlite3* handle = nullptr;
        sqlite3_open(QFile::encodeName(db).constData(), &handle);
        sqlite3_exec(handle,
            "CREATE TABLE db_info (pid INTEGER, primary_container_pid INTEGER, media_folder_url TEXT);"
            "CREATE TABLE container (pid INTEGER PRIMARY KEY, name TEXT);",
            nullptr, nullptr, nullptr);
        sqlite3_exec(handle, statements, nullptr, nullptr, nullptr);
        sqlite3_close(handle);
    }
};
