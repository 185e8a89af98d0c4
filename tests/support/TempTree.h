#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

// A file's whole content; empty when it cannot be read.
inline QByteArray readFileBytes(const QString& path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

// Replaces a file's content (making the file); answers the path.
inline QString writeFileBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(bytes);
    return path;
}

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
