// Build-time tool: prints the help text (Markdown) to a PDF with Qt's own text layout, so the
// help needs no document toolchain. Run it with QT_QPA_PLATFORM=offscreen.

#include <QFile>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextDocument>
#include <cstdio>

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: kestrap-helppdf HELP.md OUT.pdf\n");
        return 2;
    }
    QFile in(QString::fromLocal8Bit(argv[1]));
    if (!in.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "kestrap-helppdf: cannot read %s\n", argv[1]);
        return 1;
    }
    QPdfWriter pdf(QString::fromLocal8Bit(argv[2]));
    pdf.setTitle(QStringLiteral("Kestrap Help"));
    pdf.setCreator(QStringLiteral("Kestrap"));
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Millimeter);

    QTextDocument doc;
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSizeF(10.5);
    doc.setDefaultFont(font);
    doc.setMarkdown(QString::fromUtf8(in.readAll()));
    doc.print(&pdf);
    return 0;
}
