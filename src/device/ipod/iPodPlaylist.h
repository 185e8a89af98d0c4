#pragma once

#include <QList>
#include <QString>
#include <cstdint>

namespace kestrap {

// One playlist of an iPod's media database. Only the record type: the name scan of
// iPodDevice reads titles without building playlists.
class iPodPlaylist {
public:
    iPodPlaylist(const QString& name, std::int32_t type, std::int32_t tag);
    iPodPlaylist(const QString& name, const QList<std::int64_t>& trackIDs, std::int32_t type, std::int32_t tag);

    static iPodPlaylist CreateNewPlaylistWithName(const QString& name, std::int32_t type, std::int32_t tag);
    static iPodPlaylist CreateNewPlaylistWithName(
        const QString& name, std::int64_t pid, std::int32_t type, std::int32_t tag);

    const QString& name() const { return m_name; }
    bool isHidden() const { return m_isHidden; }
    bool isSmart() const { return m_isSmart; }
    bool isGenius() const { return m_isGenius; }
    bool isMaster() const { return m_isMaster; }
    std::int64_t pid() const { return m_pid; }
    std::int32_t type() const { return m_type; }
    std::int32_t tag() const { return m_tag; }
    QList<std::int64_t>& trackIDs() { return m_trackIDs; }
    const QList<std::int64_t>& trackIDs() const { return m_trackIDs; }

    void setName(const QString& name) { m_name = name; }
    void setIsHidden(bool v) { m_isHidden = v; }
    void setIsSmart(bool v) { m_isSmart = v; }
    void setIsGenius(bool v) { m_isGenius = v; }
    void setIsMaster(bool v) { m_isMaster = v; }
    void setPid(std::int64_t pid) { m_pid = pid; }
    void setType(std::int32_t type) { m_type = type; }
    void setTag(std::int32_t tag) { m_tag = tag; }

private:
    QString m_name;
    bool m_isHidden = false;
    bool m_isSmart = false;
    bool m_isGenius = false;
    bool m_isMaster = false;
    std::int64_t m_pid = 0;
    std::int32_t m_type = 0;
    std::int32_t m_tag = 0;
    QList<std::int64_t> m_trackIDs;
};

}  // namespace kestrap
