// kestrap-cli png normalize|fix: device-optimised PNG files made standard.

#include "cli/Cli.h"
#include "device/image/PNGNormalizer.h"

#include <QFile>
#include <QSaveFile>

namespace kestrap::cli {

namespace {

int normalize(const QStringList& args)
{
    const QString usage = QStringLiteral("png normalize IN OUT");
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Writes IN as a standard PNG file to OUT."));
    p.addPositionalArgument(QStringLiteral("IN"), QStringLiteral("A PNG file, device-optimised or not."));
    p.addPositionalArgument(QStringLiteral("OUT"), QStringLiteral("The standard PNG file to write."));
    int code = 0;
    if (!parse(p, usage, args, &code))
        return code;
    const QStringList files = p.positionalArguments();
    if (files.size() != 2)
        return usageError(QStringLiteral("An input and an output file are required."), usage);

    QFile in(files[0]);
    if (!in.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("Could not read %1.").arg(files[0]), in.errorString());
    const PNGConversion result = PNGNormalizer::convert(in.readAll());
    if (result.kind == PNGKind::NotPNG)
        return fail(QStringLiteral("%1 is not a PNG file.").arg(files[0]));
    if (result.kind == PNGKind::Unsupported)
        return fail(QStringLiteral("%1 cannot be converted.").arg(files[0]), result.reason);

    QSaveFile out(files[1]);
    if (!out.open(QIODevice::WriteOnly) || out.write(result.data) != result.data.size() || !out.commit())
        return fail(QStringLiteral("Could not write %1.").arg(files[1]), out.errorString());
    printLine(result.kind == PNGKind::Converted ? QStringLiteral("%1: converted to standard PNG").arg(files[1])
                                                : QStringLiteral("%1: already standard PNG, copied").arg(files[1]));
    return kExitOk;
}

int fix(const QStringList& args)
{
    const QString usage = QStringLiteral("png fix FILE [--backup]");
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Rewrites a PNG file in place as standard PNG."));
    const QCommandLineOption backup(
        QStringLiteral("backup"), QStringLiteral("Keep the former bytes in FILE.bak (an existing one is kept)."));
    p.addOption(backup);
    p.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The PNG file to rewrite."));
    int code = 0;
    if (!parse(p, usage, args, &code))
        return code;
    if (p.positionalArguments().size() != 1)
        return usageError(QStringLiteral("One PNG file is required."), usage);
    QString error;
    if (!PNGNormalizer::fixPNGFileAtPath(p.positionalArguments().first(), &error, p.isSet(backup)))
        return fail(error);
    return kExitOk;
}

int png(const QStringList& args)
{
    const QString sub = args.value(0);
    const QStringList rest = args.mid(1);
    if (sub == QLatin1String("normalize"))
        return normalize(rest);
    if (sub == QLatin1String("fix"))
        return fix(rest);
    return unknownSubcommand(QStringLiteral("png"), sub, QStringLiteral("png normalize|fix ..."));
}

const Registration reg(QStringLiteral("png"), QStringLiteral("make device-optimised PNG files standard"), png);

}  // namespace

}  // namespace kestrap::cli
