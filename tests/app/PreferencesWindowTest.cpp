#include "app/PreferencesWindow.h"
#include "logging/Log.h"
#include "settings/Settings.h"

#include <QCheckBox>
#include <QSpinBox>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kestrap;

TEST(PreferencesWindow, SwitchesKeepTheLevelMaskInStep)
{
    QTemporaryDir dir;
    SettingsUserDefaults defaults(dir.filePath(QStringLiteral("p.ini")));
    Settings settings(defaults);
    EXPECT_EQ(logLevelMask.load(), 1);
    auto* window = new app::PreferencesWindow(settings);
    const auto boxes = window->findChildren<QCheckBox*>();
    ASSERT_EQ(boxes.size(), 7);
    QCheckBox* master = boxes[0];
    QCheckBox* warn = boxes[2];
    QCheckBox* info = boxes[3];
    EXPECT_TRUE(master->isChecked());
    EXPECT_TRUE(boxes[1]->isChecked());

    warn->setChecked(true);
    EXPECT_EQ(logLevelMask.load(), 3);
    master->setChecked(false);
    EXPECT_EQ(logLevelMask.load(), 0);
    // A level switch acts on its flag even with the master switch off.
    info->setChecked(true);
    EXPECT_EQ(logLevelMask.load(), 4);
    // Master on again rebuilds from all three, the warning switch included.
    master->setChecked(true);
    EXPECT_EQ(logLevelMask.load(), 7);
    EXPECT_TRUE(defaults.boolForKey(kEnableLoggingWarnKey));

    window->findChild<QSpinBox*>()->setValue(8);
    EXPECT_EQ(settings.concurrency(), 8);
    // The transfer switches are stored, off until checked, and leave the mask alone.
    EXPECT_FALSE(settings.skipUnchanged());
    EXPECT_FALSE(settings.mirrorFolders());
    boxes[4]->setChecked(true);
    boxes[5]->setChecked(true);
    boxes[6]->setChecked(true);
    EXPECT_TRUE(settings.skipUnchanged());
    EXPECT_TRUE(settings.verifyCopies());
    EXPECT_TRUE(settings.mirrorFolders());
    EXPECT_EQ(logLevelMask.load(), 7);
    delete window;
    logLevelMask.store(5);
}
