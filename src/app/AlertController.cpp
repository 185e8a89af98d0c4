#include "app/AlertController.h"

#include "settings/UserDefaults.h"

namespace kestrap::app {

int alertCodeForButton(int index)
{
    return 1 - index;
}

AlertController::AlertController(AlertPresenter& presenter, UserDefaults& defaults)
    : m_presenter(presenter), m_defaults(defaults)
{
}

AlertAnswer AlertController::ask(AlertRequest request)
{
    return m_presenter.present(request);
}

void AlertController::remember(const QString& key, bool ticked)
{
    if (key.isEmpty())
        return;
    m_defaults.setBool(key, ticked);
    m_defaults.synchronize();
}

void AlertController::MsgBox(const QString& message, QWidget* window)
{
    AlertRequest r;
    r.message = message;
    r.buttons = {QStringLiteral("OK")};
    r.window = window;
    ask(r);
}

void AlertController::MsgBoxWithTitle(const QString& title, const QString& message)
{
    AlertRequest r;
    r.title = title;
    r.message = message;
    r.buttons = {QStringLiteral("OK")};
    ask(r);
}

bool AlertController::confirmWithMessage(const QString& message, QWidget* window)
{
    AlertRequest r;
    r.title = QStringLiteral("Confirm");
    r.message = message;
    r.buttons = {QStringLiteral("Yes"), QStringLiteral("No")};
    r.window = window;
    return ask(r).code == 1;
}

bool AlertController::confirmWithTitle(const QString& title, const QString& message, QWidget* window)
{
    AlertRequest r;
    r.title = title;
    r.message = message;
    r.buttons = {QStringLiteral("Continue"), QStringLiteral("Cancel")};
    r.window = window;
    return ask(r).code == 1;
}

int AlertController::confirmWithRememberKey(const QString& title, const QString& message, const QString& rememberKey,
    QWidget* window, const QString& suppressionTitle)
{
    AlertRequest r;
    r.title = title;
    r.message = message;
    r.buttons = {QStringLiteral("Yes"), QStringLiteral("No")};
    r.critical = true;
    r.showSuppression = true;
    r.suppressionTitle = suppressionTitle;
    r.window = window;
    const AlertAnswer answer = ask(r);
    remember(rememberKey, answer.suppressionChecked);
    return answer.code;
}

int AlertController::overwriteForItem(const QString& itemName, const QString& key, QWidget* window)
{
    AlertRequest r;
    // Substituted by concatenation, never as a format: a name may hold "%1" or "%".
    r.message = QStringLiteral("The item named '") + itemName
        + QStringLiteral("' already exists in this location. Do you want to replace it or keep both?");
    r.buttons = {QStringLiteral("Replace"), QStringLiteral("Skip"), QStringLiteral("Keep Both")};
    r.critical = true;
    r.modality = AlertRequest::Modality::Application;
    r.window = window;
    if (!key.isEmpty()) {
        // A prompt closed without an answer must not leave an earlier "apply to all" behind.
        remember(key, false);
        r.showSuppression = true;
        r.suppressionTitle = QStringLiteral("Apply to all items");
    }
    const AlertAnswer answer = ask(r);
    remember(key, answer.suppressionChecked);
    return answer.code;
}

bool AlertController::confirmAction(const QString& title, const QString& agree, QWidget* window)
{
    AlertRequest r;
    r.title = title;
    r.buttons = {agree, QStringLiteral("Cancel")};
    r.window = window;
    return ask(r).code == 1;
}

AlertController::SaveAnswer AlertController::askToSaveChanges(const QString& name, QWidget* window)
{
    AlertRequest r;
    r.title = QStringLiteral("Save changes to ") + name + QStringLiteral("?");
    r.message = QStringLiteral("Your changes will be lost if you don't save them.");
    // Cancel second: it is the answer of a box that was closed.
    r.buttons = {QStringLiteral("Save"), QStringLiteral("Cancel"), QStringLiteral("Discard")};
    r.window = window;
    switch (ask(r).code) {
    case 1:
        return SaveAnswer::Save;
    case -1:
        return SaveAnswer::Discard;
    default:
        return SaveAnswer::Cancel;
    }
}

void AlertController::MsgBoxWithFiles(const QStringList& files, const QString& message)
{
    AlertRequest r;
    r.title = message;
    r.buttons = {QStringLiteral("Okay")};
    r.files = files;
    r.showFileList = true;
    r.modality = AlertRequest::Modality::Application;
    ask(r);
}

bool AlertController::summaryOffersReport(const QString& headline, const QStringList& files)
{
    AlertRequest r;
    r.title = files.isEmpty() ? QStringLiteral("The run has ended") : headline;
    r.message = files.isEmpty() ? headline : QString();
    // "Okay" answers 1 and a box closed without an answer 0, like "Save Report…": only the
    // third place (-1) tells a wish for the report from an Escape.
    r.buttons = {QStringLiteral("Okay"), QString(), QStringLiteral("Save Report\u2026")};
    r.files = files;
    r.showFileList = !files.isEmpty();
    r.modality = AlertRequest::Modality::Application;
    return ask(r).code == -1;
}

}  // namespace kestrap::app
