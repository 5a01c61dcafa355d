#include "LLMClient.h"
#include "StandinChatServer.h"
#include "TestSupport.h"

#include <QSignalSpy>
#include <QtTest>

#include <nlohmann/json.hpp>

using namespace Kelvane;

namespace {

QList<ChatMessage> ask(const QString &question) {
    return {
        {QStringLiteral("system"), QStringLiteral("你是面试助手")},
        {QStringLiteral("user"), QStringLiteral("面试官问：%1\n请提供答案要点。").arg(question)}};
}

// What one request delivered to its callbacks.
struct Outcome {
    QString text;
    int done = 0;
    QStringList errors;
};

} // namespace

class TestLLMClient : public QObject {
    Q_OBJECT

    KelvaneTest::LogLines log;
    std::unique_ptr<StandinChatServer> server;
    std::unique_ptr<LLMClient> client;

    void send(const QString &question, Outcome &outcome) {
        client->sendChatRequest(
            ask(question),
            [&outcome](const QString &text, bool isDone) {
                outcome.text += text;
                outcome.done += isDone ? 1 : 0;
            },
            [&outcome](const QString &error) { outcome.errors.append(error); });
    }

private slots:
    void init() {
        StandinChatServer::Options options;
        options.apiKey = QStringLiteral("sk-right");
        options.deltaIntervalMs = 1;
        options.quiet = true;
        server = std::make_unique<StandinChatServer>(options);
        QVERIFY(server->listen());
        client = std::make_unique<LLMClient>();
        LlmConfig config;
        config.apiKey = QStringLiteral("sk-right");
        config.apiUrl = server->url();
        config.model = QStringLiteral("model-the-user-chose");
        client->setConfig(config);
    }

    void requestOnTheWireAndAnswer() {
        for (const bool compact : {false, true}) { // "data: {…}" and "data:{…}"
            server->options().compactData = compact;
            Outcome outcome;
            send(QStringLiteral("什么是多态"), outcome);
            QTRY_COMPARE(outcome.done, 1);
            QCOMPARE(outcome.text, StandinChatServer::answer(QStringLiteral("什么是多态")));
        }
        QCOMPARE(server->requests.value(0).authorization, QByteArray("Bearer sk-right"));
        // What the service needs of the body: the model, the messages in order, a stream.
        const auto body = nlohmann::json::parse(server->requests.value(0).body.toStdString());
        QVERIFY(body["model"] == "model-the-user-chose" && body["stream"] == true);
        QVERIFY(body["messages"][1]["content"] == "面试官问：什么是多态\n请提供答案要点。");
    }

    // The thinking switch is DeepSeek's own parameter: only its host gets it, only when off.
    void thinkingSwitch() {
        const QString deepseek = QStringLiteral("https://api.deepseek.com/v1/chat/completions");
        for (const auto &[url, thinking, switchSent] :
             {std::tuple{deepseek, false, true},
              {deepseek, true, false},
              {QStringLiteral("http://127.0.0.1:8080/v1/chat/completions"), false, false}}) {
            LlmConfig config;
            config.apiUrl = url;
            config.thinking = thinking;
            client->setConfig(config);
            const auto body =
                nlohmann::json::parse(client->buildRequestBody(ask("q")).toStdString());
            QCOMPARE(body.contains("thinking"), switchSent);
            if (switchSent)
                QCOMPARE(body["thinking"].dump(), std::string(R"({"type":"disabled"})"));
        }
    }

    void cancelAllSilencesEveryRequest() {
        server->options().stallAfterDeltas = 2;
        Outcome outcomes[3];
        for (Outcome &outcome : outcomes)
            send(QStringLiteral("问题"), outcome);
        QTRY_COMPARE(server->requests.size(), 3);
        client->cancelAllRequests();
        QCOMPARE(client->activeReplyCount(), 0);
        QTest::qWait(100);
        for (const Outcome &outcome : outcomes)
            QCOMPARE(outcome.done, 0);
    }
};

QTEST_GUILESS_MAIN(TestLLMClient)
#include "tst_llmclient.moc"
