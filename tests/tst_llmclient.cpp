#include "LLMClient.h"
#include "LocalChatServer.h"
#include "LogCapture.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtTest>

#include <list>

using namespace Kelvane;
using KelvaneTest::LocalChatServer;
using KelvaneTest::LogCapture;

namespace {

// What one request's callbacks received.
struct Answer {
    QStringList fragments;
    int done = 0;
    QStringList errors;
    QString text() const { return fragments.join(QString()); }
};

} // namespace

class TestLLMClient : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<LocalChatServer> server;
    std::unique_ptr<LLMClient> client;

    // Answers outlive the client: aborting a reply at the end still reaches its callbacks.
    std::list<Answer> answers;

    Answer &send(const QString &question = QStringLiteral("问题")) {
        Answer &answer = answers.emplace_back();
        client->sendChatRequest(
            {{QStringLiteral("system"), QStringLiteral("系统")},
             {QStringLiteral("user"), question}},
            [&answer](const QString &text, bool isDone) {
                if (isDone)
                    ++answer.done;
                else
                    answer.fragments.append(text);
            },
            [&answer](const QString &error) { answer.errors.append(error); });
        return answer;
    }

    // A response the test writes piece by piece.
    void manualResponses() {
        server->responder = [](const LocalChatServer::Request &) {
            LocalChatServer::Response response;
            response.manual = true;
            return response;
        };
    }

    void pushAndWait(int request, const QByteArray &bytes) {
        const int reads = log->countOut(" received ");
        server->push(request, bytes);
        QTRY_VERIFY(log->countOut(" received ") > reads);
    }

private slots:
    void init() {
        log.reset();
        log = std::make_unique<LogCapture>();
        server = std::make_unique<LocalChatServer>();
        QVERIFY(server->listen());
        client = std::make_unique<LLMClient>();
        LlmConfig config;
        config.apiKey = QStringLiteral("sk-0123456789abcdef0123456789abcdef");
        config.apiUrl = server->url();
        client->setConfig(config);
    }

    void cleanup() {
        client.reset();
        server.reset();
        log.reset();
        answers.clear();
    }

    void requestOnTheWire() {
        QCOMPARE(client->metaObject()->className(), "Kelvane::LLMClient");
        Answer &answer = send(QStringLiteral("什么是\"多态\"？"));
        QTRY_COMPARE(server->requests.size(), 1);
        const auto &request = server->requests.first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.target, QByteArray("/v1/chat/completions"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.header("Authorization"),
                 QByteArray("Bearer sk-0123456789abcdef0123456789abcdef"));
        const QByteArray expectedBody =
            R"({"max_tokens":2000,"messages":[{"content":"系统","role":"system"},)"
            "{\"content\":\"什么是\\\"多态\\\"？\",\"role\":\"user\"}],"
            R"("model":"deepseek-chat",)"
            R"("stream":true,"temperature":0.699999988079071})";
        QCOMPARE(request.body, expectedBody);
        QTRY_COMPARE(answer.done, 1);
        QCOMPARE(answer.text(), QStringLiteral("答案"));
        QTRY_COMPARE(client->activeReplyCount(), 0);
        QVERIFY(log->out().contains(
            QString("[LLMClient] Sending chat request to: %1\n[LLMClient] Model: deepseek-chat\n")
                .arg(server->url())));
    }

    void transferTimeoutIsSetOnTheRequest() {
        manualResponses();
        send();
        // The reply keeps the request it was made from.
        const auto replies = client->findChildren<QNetworkReply *>();
        QCOMPARE(replies.size(), 1);
        const QNetworkRequest request = replies.first()->request();
        QCOMPARE(request.transferTimeout(), 60000);
        QCOMPARE(request.url(), QUrl(server->url()));
        QList<QByteArray> headers = request.rawHeaderList();
        headers.removeAll("Content-Length"); // added by the network layer for the body
        QCOMPARE(headers, (QList<QByteArray>{"Content-Type", "Authorization"}));
        QCOMPARE(request.attribute(QNetworkRequest::RedirectPolicyAttribute), QVariant());
        QVERIFY(log->out().contains("[LLMClient] Reply created: YES (ptr="));
    }

    void readsCutAnywhere() {
        manualResponses();
        Answer &answer = send();
        QTRY_COMPARE(server->requests.size(), 1);
        const QByteArray chunk = LocalChatServer::sseChunk(QStringLiteral("多态是面向对象"));
        // Cut inside the JSON and inside a three-byte character.
        const int cut = int(chunk.indexOf("态")) + 1;
        pushAndWait(0, chunk.left(cut));
        QVERIFY(log->out().contains("[LLMClient] Processing 1 lines\n"));
        QVERIFY(answer.fragments.isEmpty());
        pushAndWait(0, chunk.mid(cut));
        QCOMPARE(answer.fragments, QStringList{"多态是面向对象"});

        // Two events in one read: lines 1 and 3.
        log->clear();
        pushAndWait(0, LocalChatServer::sseChunk("甲") + LocalChatServer::sseChunk("乙"));
        QCOMPARE(answer.fragments.mid(1), (QStringList{"甲", "乙"}));
        QVERIFY(log->out().contains("[LLMClient] Processing 5 lines\n"));
        QVERIFY(log->out().contains("[LLMClient] Line 1: data: "));
        QVERIFY(log->out().contains("[LLMClient] Line 3: data: "));
        QVERIFY(!log->out().contains("[LLMClient] Line 2"));

        // Byte by byte through a whole Chinese fragment: never a replacement character.
        const QByteArray slow = LocalChatServer::sseChunk("逐字节");
        for (int i = 0; i < slow.size(); ++i)
            pushAndWait(0, slow.mid(i, 1));
        QCOMPARE(answer.fragments.last(), QStringLiteral("逐字节"));
        QVERIFY(!answer.text().contains(QChar::ReplacementCharacter));

        // [DONE] and lines after it; the marker without the space; empty, role-only and null.
        log->clear();
        pushAndWait(0, "data: [DONE]\n" + LocalChatServer::sseChunk("之后") + "data:[DONE]\n" +
                           "data: {\"choices\":[{\"delta\":{\"content\":\"\"}}]}\n" +
                           "data: {\"choices\":[{\"delta\":{\"role\":\"assistant\"}}]}\n" +
                           "data: {\"choices\":[{\"delta\":{\"content\":null}}]}\n" +
                           ": keep-alive\n");
        QCOMPARE(answer.done, 1);
        QCOMPARE(answer.fragments.last(), QStringLiteral("之后"));
        QCOMPARE(log->countOut("[LLMClient] Line does not start with 'data: '\n"), 2);
        QVERIFY(log->out().contains("[LLMClient] Content: \n"));
        QCOMPARE(log->countErr("[LLMClient] JSON parse error: "), 1);
        const QString nullContentData =
            R"([LLMClient] Data: {"choices":[{"delta":{"content":null}}]})";
        QVERIFY(log->err().contains(nullContentData));
        server->end(0);
        QTRY_COMPARE(client->activeReplyCount(), 0);
        QVERIFY(answer.errors.isEmpty());
    }

    void utf8TailIsHeldBack() {
        QByteArray data = QByteArray("ab") + QByteArray("多").left(2);
        QCOMPARE(takeIncompleteUtf8Tail(data), QByteArray("多").left(2));
        QCOMPARE(data, QByteArray("ab"));
        data = QByteArray("ab多");
        QVERIFY(takeIncompleteUtf8Tail(data).isEmpty());
        data = QByteArray("\xf0\x9f\x98", 3); // three bytes of a four-byte emoji
        QCOMPARE(takeIncompleteUtf8Tail(data).size(), 3);
        data = QByteArray("x\xff", 2); // invalid bytes are not held back forever
        QVERIFY(takeIncompleteUtf8Tail(data).isEmpty());
    }

    void twoRequestsKeepTheirOwnStreams() {
        manualResponses();
        Answer &first = send("一");
        Answer &second = send("二");
        QTRY_COMPARE(server->requests.size(), 2);
        // Which server request belongs to which answer follows from the body.
        const int a = server->requests[0].body.contains("\"一\"") ? 0 : 1;
        const int b = 1 - a;
        const QByteArray partA = LocalChatServer::sseChunk("第一个答案");
        const QByteArray partB = LocalChatServer::sseChunk("第二个答案");
        pushAndWait(a, partA.left(20));
        pushAndWait(b, partB.left(25));
        pushAndWait(a, partA.mid(20));
        pushAndWait(b, partB.mid(25));
        pushAndWait(b, "data: [DONE]\n\n");
        QCOMPARE(first.fragments, QStringList{"第一个答案"});
        QCOMPARE(second.fragments, QStringList{"第二个答案"});
        QCOMPARE(first.done, 0);
        QCOMPARE(second.done, 1);
        server->end(a);
        server->end(b);
        QTRY_COMPARE(client->activeReplyCount(), 0);
    }

    void httpErrorAndEarlyClose() {
        server->responder = [](const LocalChatServer::Request &) {
            LocalChatServer::Response response;
            response.status = 401;
            response.contentType = "application/json";
            response.chunked = false;
            response.pieces = {
                R"({"error":{"message":"Authentication Fails","type":"authentication_error","code":"invalid_request_error"}})"};
            return response;
        };
        Answer &answer = send();
        QTRY_COMPARE(answer.errors.size(), 1);
        QVERIFY(!answer.errors.first().isEmpty());
        QVERIFY(log->err().contains("network error: " + answer.errors.first()));
        QTRY_COMPARE(client->activeReplyCount(), 0);
        QCOMPARE(answer.done, 0);

        // A stream that ends without [DONE]: the reply goes, isDone never comes.
        server->responder = [](const LocalChatServer::Request &) {
            LocalChatServer::Response response;
            response.chunked = false;
            response.pieces = LocalChatServer::sseAnswer({"半个"}, false);
            return response;
        };
        Answer &cut = send();
        QTRY_COMPARE(client->activeReplyCount(), 0);
        QCOMPARE(cut.fragments, QStringList{"半个"});
        QCOMPARE(cut.done, 0);
    }

    void cancelAllWithThreeInFlight() {
        manualResponses();
        for (int i = 0; i < 3; ++i)
            send();
        QTRY_COMPARE(server->requests.size(), 3);
        QCOMPARE(client->activeReplyCount(), 3);
        client->cancelAllRequests();
        QCOMPARE(client->activeReplyCount(), 0);
        QVERIFY(log->out().contains("[LLMClient] Cancelling all active replies (3 total)\n"));
        QVERIFY(log->out().endsWith("[LLMClient] All replies cancelled\n"));
        for (int i = 0; i < 3; ++i)
            server->push(i, LocalChatServer::sseChunk("太晚"));
        QTest::qWait(100);
        for (const Answer &answer : answers)
            QVERIFY(answer.fragments.isEmpty());

        // Destroying the client with requests in flight is safe too.
        send();
        QTRY_COMPARE(server->requests.size(), 4);
        client.reset();
        QTest::qWait(50);
    }

    void emptyKey() {
        client->setConfig(LlmConfig{});
        Answer &answer = send();
        QCOMPARE(answer.errors, QStringList{"API key not configured"});
        QCOMPARE(log->out(), QString());
        client->sendChatRequest({}, nullptr, nullptr); // no callbacks: silent
        QTest::qWait(50);
        QCOMPARE(server->requests.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestLLMClient)
#include "tst_llmclient.moc"
