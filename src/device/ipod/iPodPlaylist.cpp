#include "device/ipod/iPodPlaylist.h"

namespace kestrap {

iPodPlaylist::iPodPlaylist(const QString& name, std::int32_t type, std::int32_t tag)
    : m_name(name), m_type(type), m_tag(tag)
{
}

iPodPlaylist::iPodPlaylist(
    const QString& name, const QList<std::int64_t>& trackIDs, std::int32_t type, std::int32_t tag)
    : iPodPlaylist(name, type, tag)
{
    m_trackIDs.append(trackIDs);
}

iPodPlaylist iPodPlaylist::CreateNewPlaylistWithName(const QString& name, std::int32_t type, std::int32_t tag)
{
    return iPodPlaylist(name, type, tag);
}

iPodPlaylist iPodPlaylist::CreateNewPlaylistWithName(
    const QString& name, std::int64_t pid, std::int32_t type, std::int32_t tag)
{
    iPodPlaylist playlist(name, type, tag);
    playlist.setPid(pid);
    return playlist;
}

}  // namespace kestrap
