#pragma once

#include <QString>

namespace kestrap {

// One entry of a device folder listing.
class iMobileFileSystemNode {
public:
    iMobileFileSystemNode(const QString& name, const QString& parentDirectory, bool isFolder);

    static iMobileFileSystemNode iMobileFileSystemNodeWithFile(const QString& name, const QString& parentDirectory);
    static iMobileFileSystemNode iMobileFileSystemNodeWithDirectory(
        const QString& name, const QString& parentDirectory);

    const QString& parentDirectory() const { return m_parentDirectory; }
    const QString& name() const { return m_name; }
    bool isDirectory() const { return m_isDirectory; }
    void setName(const QString& name) { m_name = name; }
    void setParentDirectory(const QString& dir) { m_parentDirectory = dir; }

    // parentDirectory joined with name by path-component rules.
    QString fullpath() const;

    bool operator==(const iMobileFileSystemNode&) const = default;

private:
    QString m_parentDirectory;
    QString m_name;
    bool m_isDirectory;
};

}  // namespace kestrap
