#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

// A temporary folder in which tests lay out files by relative path.
class TempTree {
public:
    QString path(const QString& rel = {}) const { return rel.isEmpty() ? m_dir.path() : m_dir.filePath(rel); }

    // Creates the file (and its folders) holding size bytes; answers its absolute path.
    QString file(const QString& rel, qint64 size = 1) const
    {
        const QString p = path(rel);
        QDir().mkpath(QFileInfo(p).path());
        QFile f(p);
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(size, 'x'));
        return p;
    }

    QString folder(const QString& rel) const
    {
        QDir().mkpath(path(rel));
        return path(rel);
    }

private:
    QTemporaryDir m_dir;
};
