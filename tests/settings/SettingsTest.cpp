// Preferences: first-start defaults, the log level mask and its switches, the defaults CLI.

#include "settings/Settings.h"
#include "logging/Log.h"
#include "support/TempTree.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

using namespace kestrap;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void TearDown() override { logLevelMask = LogFlagError | LogFlagInfo; }
    TempTree tree;
    SettingsUserDefaults defaults {tree.path(QStringLiteral("Kestrap.ini"))};
};

}  // namespace

TEST_F(SettingsTest, FirstStartLogsErrorsOnlyAndRunsThreeAtOnce)
{
    Settings settings(defaults);
    EXPECT_TRUE(defaults.boolForKey(kEnableLoggingKey));
    EXPECT_TRUE(defaults.boolForKey(kEnableLoggingErrorKey));
    EXPECT_EQ(settings.concurrency(), 3);
    EXPECT_EQ(logLevelMask.load(), LogFlagError);
    EXPECT_TRUE(settings.showWelcome());
    EXPECT_TRUE(settings.autoupdate());
    EXPECT_EQ(settings.progressPause(), 0.5);
    // Written to the file, not only kept in memory.
    EXPECT_EQ(SettingsUserDefaults(tree.path(QStringLiteral("Kestrap.ini"))).objectForKey(kConcurrencyKey).toInt(), 3);
}

TEST_F(SettingsTest, StoredValuesWin)
{
    defaults.setBool(kEnableLoggingKey, true);  // without an error switch: errors stay off
    defaults.setObject(kConcurrencyKey, QStringLiteral("many"));
    defaults.setObject(kEnableLoggingWarnKey, QStringLiteral("YES"));
    defaults.setObject(kProgressPauseKey, 0.1);
    Settings settings(defaults);
    EXPECT_EQ(logLevelMask.load(), LogFlagWarn);
    EXPECT_EQ(settings.concurrency(), 3);  // not a number: the default
    EXPECT_EQ(settings.progressPause(), 0.1);
    settings.setShowWelcome(false);
    settings.setAutoupdate(false);
    EXPECT_FALSE(settings.showWelcome());
    EXPECT_FALSE(settings.autoupdate());
}

TEST_F(SettingsTest, SwitchesSetTheirOwnFlagTheMasterSwitchRebuilds)
{
    defaults.setBool(kEnableLoggingKey, false);
    defaults.setBool(kEnableLoggingErrorKey, true);
    defaults.setBool(kEnableLoggingWarnKey, true);
    Settings settings(defaults);
    EXPECT_EQ(logLevelMask.load(), 0);  // master off, whatever the others say

    settings.setLoggingSwitch(kEnableLoggingNormalKey, true);  // acts although the master is off
    EXPECT_EQ(logLevelMask.load(), LogFlagInfo);
    settings.setLoggingSwitch(kEnableLoggingKey, true);
    EXPECT_EQ(logLevelMask.load(), LogFlagInfo | LogFlagWarn | LogFlagError);
    settings.setLoggingSwitch(kEnableLoggingNormalKey, false);
    EXPECT_EQ(logLevelMask.load(), LogFlagWarn | LogFlagError);
    settings.setLoggingSwitch(kEnableLoggingNormalKey, true);
    EXPECT_EQ(logLevelMask.load(), LogFlagInfo | LogFlagWarn | LogFlagError);
    settings.setLoggingSwitch(kEnableLoggingKey, false);
    EXPECT_EQ(logLevelMask.load(), 0);

    defaults.setBool(kEnableLoggingWarnKey, false);  // written by someone else, then announced
    settings.loggingSwitchChanged(kEnableLoggingKey);
    EXPECT_EQ(logLevelMask.load(), 0);
}

TEST(DefaultsCli, SetGetAndList)
{
    TempTree tree;
    const auto cli = [&](const QStringList& args) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KESTRAP_SETTINGS"), tree.path(QStringLiteral("settings.ini")));
        p.setProcessEnvironment(env);
        p.start(QString::fromLocal8Bit(qgetenv("KESTRAP_CLI")), QStringList {QStringLiteral("defaults")} + args);
        p.waitForFinished(30000);
        return std::make_pair(p.exitCode(), QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError()));
    };
    EXPECT_EQ(cli({"get", "concurrency"}), std::make_pair(0, QStringLiteral("3\n")));
    EXPECT_EQ(cli({"set", "concurrency", "5"}).first, 0);
    EXPECT_EQ(cli({"set", "enableLoggingNormal", "YES"}).first, 0);
    EXPECT_EQ(cli({"set", "showWelcome", "0"}).first, 0);
    EXPECT_EQ(cli({"get", "enableLoggingNormal"}), std::make_pair(0, QStringLiteral("true\n")));
    const QString list = cli({"list"}).second;
    EXPECT_TRUE(list.contains(QStringLiteral("concurrency = 5\n")));
    EXPECT_TRUE(list.contains(QStringLiteral("showWelcome = false\n")));
    EXPECT_TRUE(list.contains(QStringLiteral("AutoCheckForUpdates = true (default)\n")));

    SettingsUserDefaults stored(tree.path(QStringLiteral("settings.ini")));
    Settings settings(stored);
    EXPECT_EQ(settings.concurrency(), 5);
    EXPECT_EQ(logLevelMask.load(), LogFlagInfo | LogFlagError);
    logLevelMask = LogFlagError | LogFlagInfo;

    EXPECT_EQ(cli({"set", "enableLogging", "maybe"}).first, 1);
    EXPECT_EQ(cli({"set", "concurrency", "0"}).first, 1);
    EXPECT_EQ(cli({"set", "colour", "red"}).first, 1);

    // A device's file service has few slots: connections stay within 1 to 8.
    EXPECT_EQ(cli({"get", "connectionsPerDevice"}), std::make_pair(0, QStringLiteral("4\n")));
    EXPECT_EQ(cli({"set", "connectionsPerDevice", "9"}).first, 1);
    EXPECT_EQ(cli({"set", "connectionsPerDevice", "0"}).first, 1);
    EXPECT_EQ(cli({"set", "connectionsPerDevice", "1"}).first, 0);
    SettingsUserDefaults again(tree.path(QStringLiteral("settings.ini")));
    EXPECT_EQ(Settings(again).connectionsPerDevice(), 1);
    EXPECT_EQ(cli({"frobnicate"}).first, 2);
}

TEST_F(SettingsTest, StoredValuesOutOfRangeOrNoNumberAreTakenAsTheirDefaults)
{
    Settings settings(defaults);
    const auto concurrencyOf = [&](const QVariant& stored) {
        defaults.setObject(kConcurrencyKey, stored);
        return settings.concurrency();
    };
    EXPECT_EQ(concurrencyOf(QStringLiteral("abc")), 3);
    EXPECT_EQ(concurrencyOf(0), 3);
    EXPECT_EQ(concurrencyOf(-2), 3);
    EXPECT_EQ(concurrencyOf(100000), 3);
    EXPECT_EQ(concurrencyOf(QStringLiteral(" 7 ")), 7);
    EXPECT_EQ(concurrencyOf(256), 256);
    defaults.setObject(kConnectionsPerDeviceKey, 9);
    EXPECT_EQ(settings.connectionsPerDevice(), Settings::kDefaultConnectionsPerDevice);
    defaults.setObject(kProgressPauseKey, QStringLiteral("nan"));
    EXPECT_EQ(settings.progressPause(), 0.5);
    defaults.setObject(kProgressPauseKey, -1);
    EXPECT_EQ(settings.progressPause(), 0.5);
    defaults.setObject(kVerifyCopiesKey, QStringLiteral("maybe"));
    EXPECT_FALSE(settings.verifyCopies());
    defaults.setObject(kShowWelcomeKey, QStringLiteral("maybe"));
    EXPECT_TRUE(settings.showWelcome());
}
