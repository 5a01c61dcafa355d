#include "Hotwords.h"

#include <QtTest>

using Kelvane::Hotwords;

class TestHotwords : public QObject {
    Q_OBJECT

private slots:
    void terms_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("resume");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char *name, const char *user, const char *resume,
                            const QStringList &expected) {
            QTest::newRow(name) << QString(user) << QString(resume) << expected;
        };
        row("nothing", "", "负责后端开发。", {});
        row("technical words", "", "用 Kubernetes 部署，gRPC 通信，P99 降到 80ms，C++ 与 Node.js",
            {"Kubernetes", "gRPC", "P99", "C++", "Node.js"});
        row("plain words are no terms", "", "I led a team of five and we used it", QStringList{});
        row("quoted and bracketed names", "", "主导「星河订单系统」与《风控引擎》，\"灵犀\"",
            {"星河订单系统", "风控引擎", "灵犀"});
        row("the user's own first, once", "RocketMQ\n 星河订单系统 \n\nrocketmq",
            "用 RocketMQ 削峰，Redis 缓存", {"RocketMQ", "星河订单系统", "Redis"});
        row("over-long terms dropped", "这是一个远远超过二十个字的很长很长很长的术语名称\n短术语",
            "", {"短术语"});
    }
    void terms() {
        QFETCH(QString, user);
        QFETCH(QString, resume);
        QFETCH(QStringList, expected);
        QCOMPARE(Hotwords::from(user, resume, QString()), expected);
    }

    // Within the service's budget of about 100 tokens, the first terms kept.
    void budget() {
        QStringList many;
        for (int i = 0; i < 60; ++i)
            many << QStringLiteral("术语%1号").arg(i);
        const QStringList kept = Hotwords::from(many.join('\n'), QString(), QString());
        int tokens = 0;
        for (const QString &term : kept)
            tokens += Hotwords::tokens(term);
        QVERIFY(tokens <= Hotwords::kBudgetTokens && tokens > Hotwords::kBudgetTokens - 5);
        QCOMPARE(kept.first(), many.first());
    }
};

QTEST_APPLESS_MAIN(TestHotwords)
#include "tst_hotwords.moc"
