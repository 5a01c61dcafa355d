#include "Hotwords.h"
#include "PromptBuilder.h"

#include <QtTest>

using Kelvane::ChatMessage;
using Kelvane::Hotwords;
using Kelvane::PromptBuilder;

// What the services are sent from what the user filled in: the messages a question goes
// with, and the terms the recogniser is asked to prefer.
class TestPromptBuilder : public QObject {
    Q_OBJECT

    static QStringList shape(const QList<ChatMessage> &messages) {
        QStringList roles;
        for (const ChatMessage &message : messages)
            roles.append(message.role + QLatin1Char(':') + message.content.right(12));
        return roles;
    }

private slots:
    void messages_data() {
        QTest::addColumn<QString>("resume");
        QTest::addColumn<QString>("job");
        QTest::addColumn<int>("rounds");
        QTest::addColumn<QStringList>("expected"); // role and the end of each message
        const QStringList plain{"system:" + PromptBuilder::notAQuestionRule().right(12),
                                "user:" + PromptBuilder::userPrompt("现在的问题").right(12)};
        const auto row = [](const char *name, const char *resume, const char *job, int rounds,
                            const QStringList &expected) {
            QTest::newRow(name) << QString(resume) << QString(job) << rounds << expected;
        };
        row("nothing filled: the system prompt and the question", "", "", 0, plain);
        // (the table's earlier list is empty for this row)
        row("context asked but none before", "", "", 3, plain);
        row("résumé, after the rules", "做过订单系统，QPS 两万", "", 0,
            {"system:过订单系统，QPS 两万", plain[1]});
        row("both, the job last", "简历内容", "负责支付平台", 0,
            {"system:职位描述】\n负责支付平台", plain[1]});
        row("two rounds of three: the last two, in order", "", "", 2,
            {plain[0], "user:" + PromptBuilder::userPrompt("问题二").right(12), "assistant:回答二",
             "user:" + PromptBuilder::userPrompt("问题三").right(12),
             "assistant:" + QString(299, QChar(u'长')).right(11) + "…", plain[1]});
    }
    void messages() {
        QFETCH(QString, resume);
        QFETCH(QString, job);
        QFETCH(int, rounds);
        QFETCH(QStringList, expected);
        PromptBuilder prompt;
        prompt.direction = QStringLiteral("Java");
        prompt.resume = resume;
        prompt.jobDescription = job;
        prompt.contextRounds = rounds;
        QList<PromptBuilder::Exchange> earlier;
        if (QByteArray(QTest::currentDataTag()).startsWith("two rounds"))
            earlier = {
                {"问题一", "回答一"}, {"问题二", "回答二"}, {"问题三", QString(400, QChar(u'长'))}};
        const QList<ChatMessage> messages = prompt.messages(QStringLiteral("现在的问题"), earlier);
        QCOMPARE(shape(messages), expected);
        // The rules stay first, whatever follows them.
        QVERIFY(messages[0].content.startsWith(PromptBuilder::systemPrompt("Java")));
    }

    // A long profile is cut to its first 6,000 characters; context to five rounds, without a
    // question whose answer has not arrived: user and assistant alternate, as reasoning models
    // demand. A remark goes inside the question it came before.
    void bounds() {
        PromptBuilder prompt;
        prompt.resume = QString(7000, QChar(u'甲'));
        prompt.contextRounds = 99;
        QList<PromptBuilder::Exchange> earlier(8, {QStringLiteral("问"), QStringLiteral("答"), {}});
        earlier[6].answer = QStringLiteral(" \n"); // not arrived yet
        const QList<ChatMessage> messages = prompt.messages("q", earlier, "好，那我们聊聊Redis");
        QCOMPARE(messages.first().content.count(QChar(u'甲')), PromptBuilder::kMaxProfileChars);
        QCOMPARE(messages.size(), 2 + 2 * PromptBuilder::kMaxContextRounds);
        for (int i = 1; i < messages.size(); ++i)
            QCOMPARE(messages[i].role, i % 2 ? "user" : "assistant");
        QCOMPARE(messages.last().content,
                 "面试官先说：好，那我们聊聊Redis\n面试官问：q\n请提供答案要点。");
        prompt.contextRounds = 0; // no context: the question alone
        QCOMPARE(prompt.messages("q", earlier, "好").last().content,
                 PromptBuilder::userPrompt("q"));
    }

    // What the profile gives the recogniser: the user's terms, then those found in it.
    void hotwords_data() {
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
    void hotwords() {
        QFETCH(QString, user);
        QFETCH(QString, resume);
        QFETCH(QStringList, expected);
        QCOMPARE(Hotwords::from(user, resume, QString()), expected);
    }

    // The recogniser's hotwords within the service's budget of about 100 tokens, the first terms
    // kept.
    void hotwordBudget() {
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

QTEST_APPLESS_MAIN(TestPromptBuilder)
#include "tst_promptbuilder.moc"
