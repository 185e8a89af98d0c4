#include "app/EventLogWindow.h"
#include "app/EventLogModel.h"

#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace kestrap::app;

namespace {

// A log database with rows at timestamps first, first + 1, ...
class LogDb {
public:
    explicit LogDb(const QString& dir)
    {
        sqlite3_open(QStringLiteral("%1/kvq.xlog").arg(dir).toUtf8().constData(), &m_db);
        sqlite3_exec(m_db,
            "CREATE TABLE logs (context integer, level integer, message text, timestamp double);"
            "CREATE INDEX timestamp ON logs (timestamp);",
            nullptr, nullptr, nullptr);
    }
    ~LogDb() { sqlite3_close(m_db); }
    void add(int count, int level = 4)
    {
        sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr);
        for (int i = 0; i < count; ++i, ++m_next) {
            const QByteArray sql = QStringLiteral("INSERT INTO logs VALUES (0, %1, 'm%2', %3)")
                                       .arg(level)
                                       .arg(m_next)
                                       .arg(1.7e9 + m_next, 0, 'f', 3)
                                       .toUtf8();
            sqlite3_exec(m_db, sql.constData(), nullptr, nullptr, nullptr);
        }
        sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
    }

private:
    sqlite3* m_db = nullptr;
    int m_next = 0;
};

}  // namespace

TEST(EventLogWindow, ShowsTheNewestAndAppendsOnlyNewerRows)
{
    QTemporaryDir dir;
    LogDb db(dir.path());
    db.add(3005);
    EventLogWindow window(dir.path());
    window.show();
    const auto& shown = window.model()->entries();
    ASSERT_EQ(shown.size(), 3000u);
    EXPECT_EQ(shown.front().message(), QStringLiteral("m5"));
    EXPECT_EQ(shown.back().message(), QStringLiteral("m3004"));
    EXPECT_TRUE(window.isMonitoring());

    // Nothing new: a refresh adds nothing; two new rows arrive once, and the two oldest go.
    window.refreshLogging();
    EXPECT_EQ(shown.size(), 3000u);
    db.add(2, 1);
    window.refreshLogging();
    window.refreshLogging();
    ASSERT_EQ(shown.size(), 3000u);
    EXPECT_EQ(shown.front().message(), QStringLiteral("m7"));
    EXPECT_EQ(shown.back().message(), QStringLiteral("m3006"));
    EXPECT_EQ(window.model()->data(window.model()->index(2999, EventLogModel::Level), Qt::DisplayRole),
        QStringLiteral("ERROR:"));
    // Info lines are painted in the palette's colour, not a colour of their own.
    EXPECT_FALSE(window.model()->data(window.model()->index(0, EventLogModel::Level), Qt::ForegroundRole).isValid());

    // Showing an open window only raises it; closing and showing again loads afresh.
    window.show();
    EXPECT_EQ(shown.size(), 3000u);
    window.close();
    EXPECT_FALSE(window.isMonitoring());
    EXPECT_TRUE(shown.empty());
    window.show();
    EXPECT_EQ(shown.size(), 3000u);
    EXPECT_EQ(shown.back().message(), QStringLiteral("m3006"));
}

TEST(EventLogWindow, FiltersByLevelAndTextAndCopiesTheSelectedRows)
{
    QTemporaryDir dir;
    LogDb db(dir.path());
    db.add(12, 4);  // m0..m11, Info
    db.add(2, 1);  // m12, m13, Error
    EventLogWindow window(dir.path());
    window.show();
    EXPECT_EQ(window.shownModel()->rowCount(), 14);
    window.levelFilter()->setCurrentIndex(1);  // errors
    EXPECT_EQ(window.shownModel()->rowCount(), 2);
    window.searchField()->setText(QStringLiteral("M13"));
    ASSERT_EQ(window.shownModel()->rowCount(), 1);
    window.levelFilter()->setCurrentIndex(0);
    window.searchField()->setText(QStringLiteral("m1"));  // m1, m10, m11, m12, m13
    ASSERT_EQ(window.shownModel()->rowCount(), 5);

    window.table()->selectRow(4);
    window.table()->selectionModel()->select(
        window.shownModel()->index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const QStringList lines = window.copySelection().split(u'\n');
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("INFO:\t")));
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("\tm1")));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("ERROR:\t")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("\tm13")));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), lines.join(u'\n'));
}

TEST(EventLogWindow, StartsEmptyWithoutADatabaseAndFillsLater)
{
    QTemporaryDir dir;
    EventLogWindow window(dir.path());
    window.show();
    EXPECT_EQ(window.model()->rowCount(), 0);
    LogDb db(dir.path());
    db.add(4, 2);
    window.refreshLogging();
    EXPECT_EQ(window.model()->rowCount(), 4);
    EXPECT_EQ(window.model()
                  ->data(window.model()->index(0, EventLogModel::Level), Qt::ForegroundRole)
                  .value<QBrush>()
                  .color(),
        QColor(Qt::blue));
}
