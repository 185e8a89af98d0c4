#include "device/iMobileFileSystemNode.h"

#include "util/Paths.h"

namespace kestrap {

iMobileFileSystemNode::iMobileFileSystemNode(const QString& name, const QString& parentDirectory, bool isFolder)
    : m_parentDirectory(parentDirectory), m_name(name), m_isDirectory(isFolder)
{
}

iMobileFileSystemNode iMobileFileSystemNode::iMobileFileSystemNodeWithFile(
    const QString& name, const QString& parentDirectory)
{
    return iMobileFileSystemNode(name, parentDirectory, false);
}

iMobileFileSystemNode iMobileFileSystemNode::iMobileFileSystemNodeWithDirectory(
    const QString& name, const QString& parentDirectory)
{
    return iMobileFileSystemNode(name, parentDirectory, true);
}

QString iMobileFileSystemNode::fullpath() const
{
    return PathJoin(m_parentDirectory, m_name);
}

}  // namespace kestrap
