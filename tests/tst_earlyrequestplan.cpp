#include "EarlyRequestPlan.h"

#include <QtTest>

using Kelvane::EarlyRequestPlan;
using Adoption = EarlyRequestPlan::Adoption;

// The early point follows the service's measured speed; the early request's fate when the
// question ends.
class TestEarlyRequestPlan : public QObject {
    Q_OBJECT

private slots:
    void point_data() {
        QTest::addColumn<QList<int>>("firstTokens"); // measured, ms
        QTest::addColumn<int>("thresholdMs");
        QTest::addColumn<int>("pointMs"); // 0: no early request
        QTest::newRow("unmeasured: the seed") << QList<int>{} << 1000 << 250;
        QTest::newRow("one measured: still the seed") << QList<int>{20} << 1000 << 250;
        QTest::newRow("a fast service: late") << QList<int>{20, 30, 25} << 1000 << 920;
        QTest::newRow("a slow service: early") << QList<int>{800, 760, 820} << 1000 << 200;
        QTest::newRow("the median, not one slow answer")
            << QList<int>{100, 2500, 120, 110} << 1500 << 1330;
        QTest::newRow("only the last nine count")
            << QList<int>{900, 900, 900, 900, 900, 100, 100, 100, 100, 100, 100, 100, 100, 100}
            << 2000 << 1850;
        QTest::newRow("never before 200 ms") << QList<int>{600, 600, 600} << 500 << 200;
        QTest::newRow("never at the threshold") << QList<int>{10, 10, 10} << 200 << 0;
    }
    void point() {
        QFETCH(QList<int>, firstTokens);
        QFETCH(int, thresholdMs);
        QFETCH(int, pointMs);
        EarlyRequestPlan plan;
        for (int ms : firstTokens)
            plan.recordFirstToken(ms);
        QCOMPARE(plan.earlyBuffers(thresholdMs / 10) * 10, pointMs);
    }

    void adoption_data() {
        QTest::addColumn<QString>("requested");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<int>("outcome");
        const QString q = QStringLiteral("什么是多态");
        QTest::newRow("the same question") << q << "" << int(Adoption::Adopt);
        QTest::newRow("another question") << "什么"
                                          << "" << int(Adoption::SendAnew);
        QTest::newRow("failed: server error") << q << "HTTP 500 busy" << int(Adoption::SendAnew);
        QTest::newRow("failed: connection")
            << q << "连接在回答结束前关闭" << int(Adoption::SendAnew);
        for (const char *status : {"401", "402", "403"})
            QTest::newRow(status) << q << QStringLiteral("HTTP %1 refused").arg(status)
                                  << int(Adoption::ShowFailure);
    }
    void adoption() {
        QFETCH(QString, requested);
        QFETCH(QString, failure);
        QFETCH(int, outcome);
        const EarlyRequestPlan::EarlyState early{requested, !failure.isEmpty(),
                                                 EarlyRequestPlan::httpStatusOf(failure)};
        QCOMPARE(int(EarlyRequestPlan::adoption(early, QStringLiteral("什么是多态"))), outcome);
    }
};

QTEST_APPLESS_MAIN(TestEarlyRequestPlan)
#include "tst_earlyrequestplan.moc"
