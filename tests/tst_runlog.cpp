#include "RunLog.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// One log file per run, the last few kept.
class TestRunLog : public QObject {
    Q_OBJECT

private slots:
    void keepsTheLastRuns() {
        QTemporaryDir root;
        const QString folder = root.filePath(QStringLiteral("Kelvane/logs"));
        const QDateTime start(QDate(2026, 12, 7), QTime(9, 0));
        for (int run = 0; run < 8; ++run) {
            const QString path = Kelvane::startRunLog(folder, start.addSecs(run * 60), 5);
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        const QStringList left = QDir(folder).entryList(QDir::Files, QDir::Name);
        QCOMPARE(left.size(), 5);
        QCOMPARE(left.first(), QStringLiteral("kelvane-20261207-090300-000.log"));
        QCOMPARE(left.last(), QStringLiteral("kelvane-20261207-090700-000.log"));
        // A folder that cannot be made (a file stands in its way): no log file, no failure.
        QFile blocker(root.filePath(QStringLiteral("blocker")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        QVERIFY(Kelvane::startRunLog(blocker.fileName() + "/logs", start, 5).isEmpty());
    }
};

QTEST_APPLESS_MAIN(TestRunLog)
#include "tst_runlog.moc"
