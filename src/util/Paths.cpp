#include "util/Paths.h"

#include <QStringList>

namespace kestrap {

QString PathJoin(const QString& a, const QString& b)
{
    if (b.isEmpty())
        return a;
    if (a.isEmpty())
        return b;
    QStringView left(a);
    QStringView right(b);
    while (left.size() > 1 && left.endsWith(u'/'))
        left.chop(1);
    while (right.startsWith(u'/'))
        right = right.mid(1);
    QString joined = left.toString();
    if (left != u"/")
        joined += u'/';
    return joined.append(right);
}

QString LastPathComponent(const QString& path)
{
    QStringView v(path);
    while (v.size() > 1 && v.endsWith(u'/'))
        v.chop(1);
    const qsizetype slash = v.lastIndexOf(u'/');
    if (slash < 0 || v == u"/")
        return v.toString();
    return v.mid(slash + 1).toString();
}

QStringView PathExtensionView(const QString& path)
{
    QStringView v(path);
    while (v.size() > 1 && v.endsWith(u'/'))
        v.chop(1);
    const qsizetype slash = v.lastIndexOf(u'/');
    const QStringView name = slash < 0 ? v : v.mid(slash + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot < 0 ? QStringView(u"") : name.mid(dot + 1);
}

QString PathExtension(const QString& path)
{
    return PathExtensionView(path).toString();
}

bool PathIsWithin(const QString& path, QStringView top)
{
    QList<QStringView> parts;
    for (const QStringView part : QStringView(path).split(u'/', Qt::SkipEmptyParts)) {
        if (part == u".")
            continue;
        if (part != u"..")
            parts.append(part);
        else if (parts.isEmpty())
            return false;  // above the root: nothing the device would take
        else
            parts.removeLast();
    }
    return !parts.isEmpty() && parts.first() == top;
}

std::optional<QStringList> PathComponents(const QString& path)
{
    QStringList parts;
    for (const QStringView part : QStringView(path).split(u'/', Qt::SkipEmptyParts)) {
        if (part == u".")
            continue;
        if (part != u"..")
            parts.append(part.toString());
        else if (parts.isEmpty())
            return std::nullopt;
        else
            parts.removeLast();
    }
    return parts;
}

bool PathIsInside(const QString& path, const QString& folder)
{
    const std::optional<QStringList> inner = PathComponents(path);
    const std::optional<QStringList> outer = PathComponents(folder);
    // Nothing is inside the root: a removal there would reach the whole container.
    if (!inner || !outer || outer->isEmpty() || inner->size() <= outer->size())
        return false;
    for (qsizetype i = 0; i < outer->size(); ++i)
        if (inner->at(i) != outer->at(i))
            return false;
    return true;
}

}  // namespace kestrap
