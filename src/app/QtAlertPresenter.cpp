#include "app/QtAlertPresenter.h"

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QGridLayout>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <algorithm>

namespace kestrap::app {

namespace {

QMessageBox::ButtonRole roleOf(int index, int count)
{
    if (index == 0)
        return QMessageBox::AcceptRole;
    if (count == 3 && index == 2)
        return QMessageBox::ActionRole;
    return QMessageBox::RejectRole;
}

void addFileList(QMessageBox& box, const QStringList& files)
{
    auto* list = new QPlainTextEdit(&box);
    list->setReadOnly(true);
    list->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Wide enough for whole lines (causes end them) as far as a screen allows.
    int widest = 0;
    QString text;
    for (const QString& f : files) {
        widest = std::max(widest, list->fontMetrics().horizontalAdvance(f));
        text += f + QLatin1Char('\n');
    }
    list->setMinimumSize(std::clamp(widest + 40, 400, 760), 100);
    list->setPlainText(text);
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addWidget(list, grid->rowCount(), 0, 1, grid->columnCount());
}

void setTexts(QMessageBox& box, const AlertRequest& request)
{
    box.setTextFormat(Qt::PlainText);
    box.setWindowTitle(request.title.isEmpty() ? QStringLiteral("Kestrap") : request.title);
    if (request.title.isEmpty()) {
        box.setText(request.message);
    } else {
        box.setText(request.title);
        box.setInformativeText(request.message);
    }
    box.setIcon(request.critical ? QMessageBox::Warning : QMessageBox::Information);
}

}  // namespace

AlertAnswer QtAlertPresenter::present(const AlertRequest& request)
{
    if (m_dismissing)
        return {};
    QWidget* window = request.window ? request.window : QApplication::activeWindow();
    QPointer<QMessageBox> box = new QMessageBox(window);
    setTexts(*box, request);
    std::vector<QAbstractButton*> buttons;
    // An empty label keeps its place, and so its answer, without a button.
    for (int i = 0; i < request.buttons.size(); ++i)
        buttons.push_back(request.buttons[i].isEmpty()
                ? nullptr
                : box->addButton(request.buttons[i], roleOf(i, int(request.buttons.size()))));
    if (!buttons.empty() && buttons.front())
        box->setDefaultButton(qobject_cast<QPushButton*>(buttons.front()));
    if (request.showSuppression) {
        const QString title = request.suppressionTitle.isEmpty() ? QStringLiteral("Do not show this message again")
                                                                 : request.suppressionTitle;
        box->setCheckBox(new QCheckBox(title, box));
    }
    if (request.showFileList)
        addFileList(*box, request.files);

    const bool sheet = request.modality == AlertRequest::Modality::Window && window;
    box->setWindowModality(sheet ? Qt::WindowModal : Qt::ApplicationModal);
    QEventLoop loop;
    QObject::connect(box, &QMessageBox::finished, &loop, &QEventLoop::quit);
    // The window under a sheet may go while the sheet waits; the box goes with it.
    QObject::connect(box, &QObject::destroyed, &loop, &QEventLoop::quit);
    m_open.push_back(box);
    box->open();
    loop.exec(QEventLoop::DialogExec);
    std::erase_if(m_open, [&](const QPointer<QMessageBox>& b) { return !b || b == box; });

    AlertAnswer answer;
    if (!box || m_dismissing) {
        if (box)
            box->deleteLater();
        return answer;
    }
    for (std::size_t i = 0; i < buttons.size(); ++i)
        if (buttons[i] && box->clickedButton() == buttons[i])
            answer.code = alertCodeForButton(int(i));
    answer.suppressionChecked = box->checkBox() && box->checkBox()->isChecked();
    box->deleteLater();
    return answer;
}

void QtAlertPresenter::dismissAll()
{
    m_dismissing = true;
    // Copied: a box that closes ends its loop only once control returns there, but the list
    // must not change under the loop here either way.
    const auto open = m_open;
    for (const QPointer<QMessageBox>& box : open)
        if (box)
            box->done(0);
}

}  // namespace kestrap::app
