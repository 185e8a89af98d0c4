#include "app/AlertController.h"
#include "app/QtAlertPresenter.h"
#include "settings/UserDefaults.h"
#include "support/ScriptedAlerts.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

using namespace kestrap;
using namespace kestrap::app;

namespace {

struct Alerts : ::testing::Test {
    QTemporaryDir dir;
    SettingsUserDefaults defaults {dir.filePath(QStringLiteral("d.ini"))};
    ScriptedAlerts script;
    AlertController alerts {script, defaults};
};

}  // namespace

TEST_F(Alerts, QuestionsShowTheirTextsAndButtonsAndAnswerByButton)
{
    script.answer(1);
    script.answer(0);
    EXPECT_TRUE(alerts.confirmWithMessage(QStringLiteral("Go?"), nullptr));
    EXPECT_FALSE(alerts.confirmWithMessage(QStringLiteral("Go?"), nullptr));
    EXPECT_EQ(script.asked[0].title, QStringLiteral("Confirm"));
    EXPECT_EQ(script.asked[0].buttons, (QStringList {QStringLiteral("Yes"), QStringLiteral("No")}));
    EXPECT_EQ(script.asked[0].modality, AlertRequest::Modality::Window);

    script.answer(1);
    script.answer(0);
    EXPECT_TRUE(alerts.confirmWithTitle(QStringLiteral("T"), QStringLiteral("M"), nullptr));
    EXPECT_FALSE(alerts.confirmWithTitle(QStringLiteral("T"), QStringLiteral("M"), nullptr));
    EXPECT_EQ(script.asked[2].buttons, (QStringList {QStringLiteral("Continue"), QStringLiteral("Cancel")}));

    // Shown literally: a percent sign or a placeholder is never a format.
    alerts.MsgBox(QStringLiteral("100% done %1 %@"));
    EXPECT_EQ(script.asked.back().message, QStringLiteral("100% done %1 %@"));
    EXPECT_EQ(script.asked.back().buttons, QStringList {QStringLiteral("OK")});
    EXPECT_TRUE(script.asked.back().title.isEmpty());
}

TEST_F(Alerts, RememberedAnswerStoresTheBoxNotTheAnswer)
{
    script.answer(0, true);
    EXPECT_EQ(alerts.confirmWithRememberKey(QStringLiteral("T"), QStringLiteral("M"), QStringLiteral("k"), nullptr), 0);
    EXPECT_TRUE(script.asked.back().showSuppression);
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("k")));

    script.answer(1, false);
    EXPECT_EQ(alerts.confirmWithRememberKey(
                  QStringLiteral("T"), QStringLiteral("M"), QStringLiteral("k"), nullptr, QStringLiteral("Always")),
        1);
    EXPECT_EQ(script.asked.back().suppressionTitle, QStringLiteral("Always"));
    EXPECT_FALSE(defaults.boolForKey(QStringLiteral("k")));
    EXPECT_TRUE(defaults.hasValue(QStringLiteral("k")));

    // No key: nothing stored.
    script.answer(1, true);
    alerts.confirmWithRememberKey({}, QStringLiteral("M"), {}, nullptr);
    EXPECT_EQ(defaults.allKeys(), QStringList {QStringLiteral("k")});
}

TEST_F(Alerts, OverwritePromptResetsItsKeyAndAnswersThreeWays)
{
    defaults.setBool(QStringLiteral("all"), true);
    // While the prompt is up the key already reads NO: a prompt that never ends leaves NO.
    bool seenDuring = true;
    script.whileAsking = [&] { seenDuring = defaults.boolForKey(QStringLiteral("all")); };
    script.answer(-1, false);
    EXPECT_EQ(alerts.overwriteForItem(QStringLiteral("a%1.txt"), QStringLiteral("all")), -1);
    EXPECT_FALSE(seenDuring);
    const AlertRequest& r = script.asked.back();
    EXPECT_EQ(r.message,
        QStringLiteral(
            "The item named 'a%1.txt' already exists in this location. Do you want to replace it or keep both?"));
    EXPECT_EQ(
        r.buttons, (QStringList {QStringLiteral("Replace"), QStringLiteral("Skip"), QStringLiteral("Keep Both")}));
    EXPECT_EQ(r.suppressionTitle, QStringLiteral("Apply to all items"));
    EXPECT_EQ(r.modality, AlertRequest::Modality::Application);

    script.answer(1, true);
    EXPECT_EQ(alerts.overwriteForItem(QStringLiteral("b"), QStringLiteral("all")), 1);
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("all")));

    // Without a key: no box, nothing stored.
    script.whileAsking = nullptr;
    script.answer(0, true);
    EXPECT_EQ(alerts.overwriteForItem(QStringLiteral("c"), {}), 0);
    EXPECT_FALSE(script.asked.back().showSuppression);
    EXPECT_EQ(defaults.allKeys(), QStringList {QStringLiteral("all")});
}

TEST_F(Alerts, FileListMessageListsEveryFile)
{
    alerts.MsgBoxWithFiles({QStringLiteral("a.png"), QStringLiteral("b.png")}, QStringLiteral("Failed files"));
    const AlertRequest& r = script.asked.back();
    EXPECT_EQ(r.title, QStringLiteral("Failed files"));
    EXPECT_TRUE(r.message.isEmpty());
    EXPECT_EQ(r.buttons, QStringList {QStringLiteral("Okay")});
    EXPECT_TRUE(r.showFileList);
    EXPECT_EQ(r.files, (QStringList {QStringLiteral("a.png"), QStringLiteral("b.png")}));
}

namespace {

QAbstractButton* buttonTitled(QMessageBox* box, const QString& title)
{
    for (QAbstractButton* b : box->buttons())
        if (b->text() == title)
            return b;
    return nullptr;
}

}  // namespace

TEST(QtAlertPresenter, WaitsInANestedLoopWhilePostedWorkRunsAndAnswersByButton)
{
    QWidget window;
    window.show();
    QtAlertPresenter presenter;
    AlertRequest r;
    r.message = QStringLiteral("The item named 'x' already exists in this location.");
    r.buttons = {QStringLiteral("Replace"), QStringLiteral("Skip"), QStringLiteral("Keep Both")};
    r.showSuppression = true;
    r.suppressionTitle = QStringLiteral("Apply to all items");
    r.window = &window;

    bool ranMeanwhile = false;
    QTimer::singleShot(0, [&] { ranMeanwhile = true; });
    QTimer::singleShot(30, [&] {
        auto* box = window.findChild<QMessageBox*>();
        ASSERT_TRUE(box);
        EXPECT_EQ(box->windowModality(), Qt::WindowModal);
        EXPECT_EQ(box->text(), r.message);
        EXPECT_EQ(box->checkBox()->text(), QStringLiteral("Apply to all items"));
        box->checkBox()->setChecked(true);
        buttonTitled(box, QStringLiteral("Keep Both"))->click();
    });
    const AlertAnswer answer = presenter.present(r);
    EXPECT_TRUE(ranMeanwhile);
    EXPECT_EQ(answer.code, -1);
    EXPECT_TRUE(answer.suppressionChecked);

    // The file list, one name a line.
    AlertRequest list;
    list.title = QStringLiteral("Failed files");
    list.buttons = {QStringLiteral("Okay")};
    list.files = {QStringLiteral("a.png"), QStringLiteral("b.png")};
    list.showFileList = true;
    list.window = &window;
    QTimer::singleShot(30, [&] {
        auto* box = window.findChild<QMessageBox*>();
        ASSERT_TRUE(box);
        EXPECT_EQ(box->findChild<QPlainTextEdit*>()->toPlainText(), QStringLiteral("a.png\nb.png\n"));
        buttonTitled(box, QStringLiteral("Okay"))->click();
    });
    EXPECT_EQ(presenter.present(list).code, 1);
}
