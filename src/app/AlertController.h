#pragma once

#include "app/AlertPresenter.h"

#include <QString>
#include <QStringList>

class QWidget;

namespace kestrap {
class UserDefaults;
}

namespace kestrap::app {

// The application's one way to show message boxes and questions. Every text passed in is
// shown literally. Questions with a remember key store under it whether the check box was
// ticked (not the answer); the controller never reads those keys back: a caller that wants
// to skip a question reads the key itself before asking.
//
// Threading: main thread only. Every entry point returns when the alert has been answered.
class AlertController {
public:
    AlertController(AlertPresenter& presenter, UserDefaults& defaults);

    // "OK" with the message as body, on the window (null: the active window).
    void MsgBox(const QString& message, QWidget* window = nullptr);
    void MsgBoxWithTitle(const QString& title, const QString& message);
    // "Confirm" with "Yes"/"No": true for "Yes".
    bool confirmWithMessage(const QString& message, QWidget* window);
    // The title with "Continue"/"Cancel": true for "Continue".
    bool confirmWithTitle(const QString& title, const QString& message, QWidget* window);
    // "Yes"/"No" with the remember box; returns 1 for "Yes", 0 for "No". An empty
    // suppression title keeps the box's default title; an empty key stores nothing.
    int confirmWithRememberKey(const QString& title, const QString& message, const QString& rememberKey,
        QWidget* window, const QString& suppressionTitle = {});
    // "Replace" (1), "Skip" (0) or "Keep Both" (-1), application-modal. With a key, the key is
    // first reset to NO and then set to whether "Apply to all items" was ticked.
    int overwriteForItem(const QString& itemName, const QString& key, QWidget* window = nullptr);
    // A question with the agreeing button's own text and "Cancel": true for the agreeing one.
    bool confirmAction(const QString& title, const QString& agree, QWidget* window);
    enum class SaveAnswer { Save, Discard, Cancel };
    // "Save changes to NAME?" with Save, Discard and Cancel; a box closed without an answer
    // is Cancel, so no edit is thrown away by Escape.
    SaveAnswer askToSaveChanges(const QString& name, QWidget* window);
    // The message as title, the files one per line in a read-only list, "Okay".
    void MsgBoxWithFiles(const QStringList& files, const QString& message);
    // A run's summary: the headline, the files (none: no list) and "Save Report…" beside
    // "Okay"; true when "Save Report…" was pressed.
    bool summaryOffersReport(const QString& headline, const QStringList& files);

    AlertPresenter& presenter() { return m_presenter; }

private:
    AlertAnswer ask(AlertRequest request);
    void remember(const QString& key, bool ticked);

    AlertPresenter& m_presenter;
    UserDefaults& m_defaults;
};

}  // namespace kestrap::app
