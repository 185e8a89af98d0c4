// kestrap-cli defaults: the user defaults the application reads.

#include "cli/Cli.h"
#include "settings/Settings.h"

#include <QMetaType>

namespace kestrap::cli {

namespace {

const QString kUsage = QStringLiteral("defaults [get KEY | set KEY VALUE | list]");

enum class Kind { Bool, Count, Seconds, Connections };

struct Key {
    QString name;
    Kind kind;
};

const std::vector<Key>& knownKeys()
{
    static const std::vector<Key> keys {
        {kConcurrencyKey, Kind::Count},
        {kEnableLoggingKey, Kind::Bool},
        {kEnableLoggingNormalKey, Kind::Bool},
        {kEnableLoggingWarnKey, Kind::Bool},
        {kEnableLoggingErrorKey, Kind::Bool},
        {kShowWelcomeKey, Kind::Bool},
        {kAutoCheckForUpdatesKey, Kind::Bool},
        {kProgressPauseKey, Kind::Seconds},
        {kSkipUnchangedKey, Kind::Bool},
        {kVerifyCopiesKey, Kind::Bool},
        {kMirrorFoldersKey, Kind::Bool},
        {kConnectionsPerDeviceKey, Kind::Connections},
    };
    return keys;
}

const Key* findKey(const QString& name)
{
    for (const Key& k : knownKeys())
        if (k.name == name)
            return &k;
    return nullptr;
}

// The value the application works with: the stored one, or what it uses while none is.
QString effectiveValue(const UserDefaults& d, const Key& key)
{
    const QVariant v = d.objectForKey(key.name);
    switch (key.kind) {
    case Kind::Bool: {
        bool on;
        if (v.isValid())
            on = d.boolForKey(key.name);
        else if (key.name == kEnableLoggingKey || key.name == kShowWelcomeKey || key.name == kAutoCheckForUpdatesKey)
            on = true;
        else if (key.name == kEnableLoggingErrorKey)
            on = !d.hasValue(kEnableLoggingKey);  // written together with "enableLogging" at first start
        else
            on = false;
        return on ? QStringLiteral("true") : QStringLiteral("false");
    }
    case Kind::Count:
        if (!v.isValid())
            return QStringLiteral("3");
        return QString::number(v.toInt());
    case Kind::Connections: {
        bool ok = false;
        const int n = v.toInt(&ok);
        return QString::number(
            ok && n >= 1 && n <= Settings::kMaxConnectionsPerDevice ? n : Settings::kDefaultConnectionsPerDevice);
    }
    case Kind::Seconds: {
        bool ok = false;
        const double s = v.toDouble(&ok);
        return QString::number(ok && s >= 0 ? s : 0.5);
    }
    }
    return QString();
}

QString describe(const UserDefaults& d, const Key& key)
{
    return effectiveValue(d, key) + (d.hasValue(key.name) ? QString() : QStringLiteral(" (default)"));
}

int defaults(const QStringList& args)
{
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("Reads and writes the user defaults. The store is $KESTRAP_SETTINGS when set, else "
                       "~/.config/Kestrap/Kestrap.conf."));
    p.addPositionalArgument(QStringLiteral("ACTION"), QStringLiteral("get KEY, set KEY VALUE or list."));
    int code = 0;
    if (!parse(p, kUsage, args, &code))
        return code;
    const QStringList words = p.positionalArguments();
    UserDefaults& d = UserDefaults::standardUserDefaults();
    const QString action = words.value(0, QStringLiteral("list"));

    if (action == u"list" && words.size() <= 1) {
        for (const Key& k : knownKeys())
            printLine(QStringLiteral("%1 = %2").arg(k.name, describe(d, k)));
        for (const QString& name : d.allKeys())
            if (!findKey(name))
                printLine(QStringLiteral("%1 = %2").arg(name, d.objectForKey(name).toString()));
        return kExitOk;
    }
    if (action == u"get" && words.size() == 2) {
        if (const Key* k = findKey(words[1])) {
            printLine(effectiveValue(d, *k));
            return kExitOk;
        }
        if (!d.hasValue(words[1]))
            return fail(QStringLiteral("No such key: %1").arg(words[1]));
        printLine(d.objectForKey(words[1]).toString());
        return kExitOk;
    }
    if (action == u"set" && words.size() == 3) {
        const Key* k = findKey(words[1]);
        if (!k) {
            QStringList names;
            for (const Key& known : knownKeys())
                names << known.name;
            return fail(QStringLiteral("Unknown key: %1").arg(words[1]), QStringLiteral("Keys: ") + names.join(u", "));
        }
        const QString& text = words[2];
        QVariant value;
        bool ok = false;
        switch (k->kind) {
        case Kind::Bool:
            value = UserDefaults::parseBool(text, &ok);
            if (!ok)
                return fail(QStringLiteral("%1 takes true/false, YES/NO or 1/0, not \"%2\".").arg(k->name, text));
            break;
        case Kind::Count:
            value = text.toInt(&ok);
            if (!ok || value.toInt() < 1)
                return fail(QStringLiteral("%1 takes a whole number of at least 1, not \"%2\".").arg(k->name, text));
            break;
        case Kind::Connections:
            value = text.toInt(&ok);
            if (!ok || value.toInt() < 1 || value.toInt() > Settings::kMaxConnectionsPerDevice)
                return fail(QStringLiteral("%1 takes a whole number from 1 to %2, not \"%3\".")
                                .arg(k->name)
                                .arg(Settings::kMaxConnectionsPerDevice)
                                .arg(text));
            break;
        case Kind::Seconds:
            value = text.toDouble(&ok);
            if (!ok || value.toDouble() < 0)
                return fail(QStringLiteral("%1 takes a number of seconds, not \"%2\".").arg(k->name, text));
            break;
        }
        d.setObject(k->name, value);
        if (!d.synchronize())
            return fail(QStringLiteral("Could not write the user defaults."));
        return kExitOk;
    }
    return usageError(QStringLiteral("Expected get KEY, set KEY VALUE or list."), kUsage);
}

const Registration reg(QStringLiteral("defaults"), QStringLiteral("read and write the user defaults"), defaults);

}  // namespace

}  // namespace kestrap::cli
