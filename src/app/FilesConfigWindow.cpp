#include "app/FilesConfigWindow.h"

#include "app/AppController.h"
#include "job/JobDocument.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QVBoxLayout>

namespace kestrap::app {

FilesConfigWindow::FilesConfigWindow(AppController& controller, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("File Settings"));
    auto* layout = new QVBoxLayout(this);

    auto* folders = new QGroupBox(QStringLiteral("Folders"), this);
    auto* folderRow = new QHBoxLayout(folders);
    m_recursive = new QCheckBox(QStringLiteral("Include sub-folders, down to"), folders);
    m_depth = new QSpinBox(folders);
    m_depth->setRange(0, 1000);
    m_depth->setSuffix(QStringLiteral(" levels"));
    folderRow->addWidget(m_recursive);
    folderRow->addWidget(m_depth);
    folderRow->addStretch();
    layout->addWidget(folders);

    auto* names = new QGroupBox(QStringLiteral("Names"), this);
    auto* form = new QFormLayout(names);
    m_allowed = new QLineEdit(names);
    m_allowed->setPlaceholderText(QStringLiteral("png;jpg  or  *"));
    m_allowedRegex = new QCheckBox(QStringLiteral("Regular expression"), names);
    m_ignored = new QLineEdit(names);
    m_ignored->setPlaceholderText(QStringLiteral("tmp;bak"));
    m_ignoredRegex = new QCheckBox(QStringLiteral("Regular expression"), names);
    form->addRow(QStringLiteral("Allowed:"), m_allowed);
    form->addRow(QString(), m_allowedRegex);
    form->addRow(QStringLiteral("Ignored:"), m_ignored);
    form->addRow(QString(), m_ignoredRegex);
    auto* hint = new QLabel(QStringLiteral("Extensions separated by \";\"; \"*\" alone allows everything. A regular "
                                           "expression is searched in the whole path."),
        names);
    hint->setWordWrap(true);
    hint->setEnabled(false);
    form->addRow(hint);
    layout->addWidget(names);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    layout->addWidget(buttons);
    setMinimumWidth(440);

    connect(m_recursive, &QCheckBox::toggled, this, [this](bool on) {
        if (m_document)
            m_document->setIsRecursive(on);
        m_depth->setEnabled(on);
    });
    connect(m_depth, &QSpinBox::valueChanged, this, [this](int n) {
        if (m_document)
            m_document->setRecursiveDepth(n);
    });
    connect(m_allowed, &QLineEdit::textEdited, this, [this](const QString& s) {
        if (m_document)
            m_document->setAllowedPattern(s);
    });
    connect(m_ignored, &QLineEdit::textEdited, this, [this](const QString& s) {
        if (m_document)
            m_document->setIgnoredPattern(s);
    });
    connect(m_allowedRegex, &QCheckBox::toggled, this, [this](bool on) {
        if (m_document)
            m_document->setIsAllowedPatternRegex(on);
    });
    connect(m_ignoredRegex, &QCheckBox::toggled, this, [this](bool on) {
        if (m_document)
            m_document->setIsIgnoredPatternRegex(on);
    });
    setCurrentDocument(controller.sharedDocument());
    connect(&controller, &AppController::documentReplaced, this,
        [this, &controller] { setCurrentDocument(controller.sharedDocument()); });
}

void FilesConfigWindow::setCurrentDocument(std::shared_ptr<JobDocument> document)
{
    disconnect(m_connection);
    m_document = std::move(document);
    if (m_document)
        m_connection
            = connect(m_document.get(), &JobDocument::settingChanged, this, &FilesConfigWindow::settingChanged);
    reload();
}

void FilesConfigWindow::settingChanged(JobSetting which)
{
    if (which != JobSetting::SavedFilePath && which != JobSetting::AppId && which != JobSetting::Folder)
        reload();
}

void FilesConfigWindow::reload()
{
    if (!m_document)
        return;
    const QSignalBlocker b1(m_recursive), b2(m_depth), b3(m_allowedRegex), b4(m_ignoredRegex);
    m_recursive->setChecked(m_document->isRecursive());
    m_depth->setValue(m_document->recursiveDepth());
    m_depth->setEnabled(m_document->isRecursive());
    m_allowedRegex->setChecked(m_document->isAllowedPatternRegex());
    m_ignoredRegex->setChecked(m_document->isIgnoredPatternRegex());
    // Keep the cursor where it is when the text is the one being typed.
    if (m_allowed->text() != m_document->allowedPattern())
        m_allowed->setText(m_document->allowedPattern());
    if (m_ignored->text() != m_document->ignoredPattern())
        m_ignored->setText(m_document->ignoredPattern());
}

}  // namespace kestrap::app
