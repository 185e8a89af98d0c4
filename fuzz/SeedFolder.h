#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

// The folder a seed writer fills, named by its one argument: seed-000.EXT, seed-001.EXT, ...
class SeedFolder {
public:
    // Without exactly one argument it says how it is used, and valid() is false.
    SeedFolder(int argc, char** argv, const char* extension) : m_extension(QString::fromLatin1(extension))
    {
        if (argc != 2) {
            std::fprintf(stderr, "usage: %s DIR\n", qPrintable(QFileInfo(QString::fromLocal8Bit(argv[0])).fileName()));
            return;
        }
        m_dir = QString::fromLocal8Bit(argv[1]);
        QDir().mkpath(m_dir);
    }

    bool valid() const { return !m_dir.isEmpty(); }

    // Writes the next seed; false when it could not be written whole.
    bool put(const QByteArray& bytes)
    {
        QFile f(
            QDir(m_dir).filePath(QStringLiteral("seed-%1.%2").arg(m_next++, 3, 10, QLatin1Char('0')).arg(m_extension)));
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }

private:
    QString m_dir;
    QString m_extension;
    int m_next = 0;
};
