#include "ASRClient.h"
#include "LocalAsrServer.h"
#include "LogCapture.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <thread>

using namespace Kelvane;
using KelvaneTest::LocalAsrServer;
using KelvaneTest::LogCapture;

namespace {

struct Result {
    QString text;
    bool isFinal;
    bool operator==(const Result &other) const {
        return text == other.text && isFinal == other.isFinal;
    }
};

char *toString(const Result &r) {
    return qstrdup(qPrintable(QString("(%1, %2)").arg(r.text).arg(r.isFinal)));
}

QByteArray result(const QString &text, const QList<QPair<QString, bool>> &utterances = {}) {
    QString list;
    for (const auto &u : utterances) {
        if (!list.isEmpty())
            list += ',';
        list += QString(R"({"definite":%1,"end_time":100,"start_time":0,"text":"%2"})")
                    .arg(u.second ? "true" : "false", u.first);
    }
    return QString(R"({"result":{"text":"%1","utterances":[%2]}})").arg(text, list).toUtf8();
}

} // namespace

class TestAsrClient : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<LocalAsrServer> server;
    std::unique_ptr<ASRClient> client;
    QList<Result> results;

    void makeClient() {
        client = std::make_unique<ASRClient>();
        AsrConfig config;
        config.appId = QStringLiteral("1234567890");
        config.accessToken = QStringLiteral("token_abc");
        config.wsUrl = server->url();
        client->setConfig(config);
        client->onResult = [this](const QString &text, bool isFinal) {
            results.append({text, isFinal});
        };
    }

    bool connectAndWaitReady() {
        client->connectToService();
        return QTest::qWaitFor([this]() { return client->isStreaming(); }, 10000);
    }

    void deliver(const QByteArray &frame) {
        const int before = log->countOut("[ASRClient] Response: ");
        server->sendToClient(frame);
        QTRY_COMPARE(log->countOut("[ASRClient] Response: "), before + 1);
    }

private slots:
    void init() {
        cleanup(); // also called from inside a test to start over
        log = std::make_unique<LogCapture>();
        server = std::make_unique<LocalAsrServer>();
        QVERIFY(server->listen());
        results.clear();
        makeClient();
    }

    void cleanup() {
        client.reset();
        server.reset();
        log.reset();
    }

    void handshakeRequestAndSession() {
        QCOMPARE(client->metaObject()->className(), "Kelvane::ASRClient");
        QVERIFY(!client->isConnected());
        QVERIFY(connectAndWaitReady());
        QVERIFY(client->isConnected());

        // The four headers, applied and logged in ascending key order.
        const QStringList headerLines =
            log->outLines().filter(QStringLiteral("[WebSocketClient] Header: "));
        QCOMPARE(headerLines.size(), 4);
        QVERIFY(
            headerLines[0].startsWith("[WebSocketClient] Header: X-Api-Access-Key = token_abc"));
        QVERIFY(headerLines[1].startsWith("[WebSocketClient] Header: X-Api-App-Key = 1234567890"));
        QVERIFY(headerLines[2].startsWith("[WebSocketClient] Header: X-Api-Connect-Id = "));
        QCOMPARE(headerLines[3],
                 "[WebSocketClient] Header: X-Api-Resource-Id = volc.bigasr.sauc.duration");
        QStringList onWire;
        for (const auto &header : server->handshakes.first())
            if (header.first.startsWith("X-Api-"))
                onWire.append(QString::fromUtf8(header.first));
        QCOMPARE(onWire, (QStringList{"X-Api-Access-Key", "X-Api-App-Key", "X-Api-Connect-Id",
                                      "X-Api-Resource-Id"}));
        const QString connectId = client->connectId();
        QVERIFY(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
                    .match(connectId)
                    .hasMatch());

        QCOMPARE(server->fullRequests.size(), 1);
        QVERIFY(server->fullRequests.first().startsWith(R"({"audio":{"bits":16)"));
        QVERIFY(log->out().contains("[ASRClient] Init response: code=0, message=\n"
                                    "[ASRClient] Session ready\n"
                                    "[ASRClient] Streaming started automatically\n"));

        // A reconnect sends the same connect id.
        client->disconnectFromServer();
        QTRY_VERIFY(!client->isConnected());
        QTRY_COMPARE(server->closeCodes.size(), 1);
        QCOMPARE(server->closeCodes.first(), 1000);
        QVERIFY(!client->isStreaming());
        QVERIFY(connectAndWaitReady());
        QCOMPARE(server->handshakes.size(), 2);
        for (const auto &header : server->handshakes.last())
            if (header.first == "X-Api-Connect-Id")
                QCOMPARE(QString::fromUtf8(header.second), connectId);
    }

    void invalidConfigTouchesNothing() {
        client->setConfig(AsrConfig{});
        client->connectToService();
        QCOMPARE(log->errLines(),
                 QStringList{"[ASRClient] Invalid config: appId and token are required"});
        QTest::qWait(50);
        QCOMPARE(server->handshakes.size(), 0);
        client->disconnectFromServer(); // never opened: silent
        QVERIFY(!log->out().contains("Disconnecting"));
    }

    void partialAndFinalResults() {
        QVERIFY(connectAndWaitReady());
        deliver(LocalAsrServer::resultFrame(result("你好")));
        deliver(LocalAsrServer::resultFrame(result("你好，请问")));
        deliver(LocalAsrServer::resultFrame(result("你好，请问")));   // unchanged: nothing
        deliver(LocalAsrServer::resultFrame(result("你好，请问  "))); // only spaces: nothing
        QCOMPARE(results, (QList<Result>{{"你好", false}, {"你好，请问", false}}));
        QVERIFY(log->out().contains("[ASRClient] Incremental: ，请问 (Full: 你好，请问)\n"));

        // A changed text and two new definite sentences in one frame: three callbacks.
        results.clear();
        deliver(LocalAsrServer::resultFrame(
            result("你好。请问什么是多态？",
                   {{"你好。", true}, {"请问什么是多态？", true}, {"", false}})));
        QCOMPARE(results, (QList<Result>{{"你好。请问什么是多态？", false},
                                         {"你好。", true},
                                         {"请问什么是多态？", true}}));
        // lastText_ was emptied: the same whole text is reported again, sentences are not.
        results.clear();
        deliver(LocalAsrServer::resultFrame(
            result("你好。请问什么是多态？", {{"你好。", true}, {"请问什么是多态？", true}}), 0,
            false));
        QCOMPARE(results, (QList<Result>{{"你好。请问什么是多态？", false}}));

        // A last-packet frame empties the sentence set.
        results.clear();
        deliver(LocalAsrServer::resultFrame(result("你好。", {{"你好。", true}}), 3));
        QVERIFY(log->out().contains("[ASRClient] Recognition complete, resetting state\n"));
        deliver(LocalAsrServer::resultFrame(result("你好。", {{"你好。", true}})));
        QCOMPARE(results.last(), (Result{"你好。", true}));
        QCOMPARE(results.count(Result{"你好。", true}), 1); // skipped in the last packet itself

        // A reply without a result does not reset, even as a last packet.
        results.clear();
        deliver(LocalAsrServer::resultFrame(R"({"result":null})", 3));
        deliver(LocalAsrServer::resultFrame(result("你好。", {{"你好。", true}})));
        QCOMPARE(results, (QList<Result>{{"你好。", false}})); // the sentence stays reported
    }

    void jsonErrorKeepsEarlierCallbacks() {
        QVERIFY(connectAndWaitReady());
        deliver(LocalAsrServer::resultFrame(
            R"({"result":{"text":"句一","utterances":[{"definite":true,"text":"句一"},5,{"definite":true,"text":"句二"}]}})"));
        QCOMPARE(results, (QList<Result>{{"句一", false}, {"句一", true}}));
        QVERIFY(log->err().contains("[ASRClient] JSON parse error: "));
        deliver(LocalAsrServer::resultFrame("not json"));
        deliver(LocalAsrServer::resultFrame(R"({"result":"text"})"));
        QCOMPARE(log->countErr("[ASRClient] JSON parse error: "), 3);
    }

    void initialisationFailureThenSuccess() {
        server->answerInit = false;
        client->connectToService();
        QTRY_COMPARE(server->fullRequests.size(), 1);
        deliver(LocalAsrServer::resultFrame(R"({"code":45000001,"message":"invalid request"})"));
        QVERIFY(log->out().contains("[ASRClient] Init response: code=45000001, message=invalid "
                                    "request\n"));
        QVERIFY(log->err().contains("[ASRClient] Init failed: invalid request\n"));
        QVERIFY(!client->isStreaming());

        // Audio is dropped silently until the session is ready.
        const QByteArray pcm(320, '\x01');
        client->sendAudio(pcm.constData(), size_t(pcm.size()));
        QTest::qWait(50);
        QCOMPARE(server->audioFrameSizes.size(), 0);

        // An error frame while waiting: logged, still not ready.
        deliver(LocalAsrServer::serverFrame(15, 0, R"({"error":"[Timeout waiting next packet]"})",
                                            false, 0, 45000081));
        QVERIFY(!client->isStreaming());
        QVERIFY(!client->isSessionReady());
        QVERIFY(log->err().contains("[ASRClient] Server error payload: "));

        deliver(LocalAsrServer::resultFrame(R"({"code":0})"));
        QVERIFY(client->isStreaming());
        // Now a second code-0 reply is a result message.
        deliver(LocalAsrServer::resultFrame(R"({"code":0})"));
        QCOMPARE(log->countOut("[ASRClient] Init response"), 2);
    }

    void errorFrameWhileStreamingChangesNothing() {
        QVERIFY(connectAndWaitReady());
        deliver(LocalAsrServer::serverFrame(15, 0, R"({"error":"boom"})", true, 0, 45000081));
        QVERIFY(client->isStreaming());
        QVERIFY(results.isEmpty());
    }

    void audioFromAnotherThreadKeepsCallOrder() {
        QVERIFY(connectAndWaitReady());
        std::thread capture([this]() {
            for (int i = 0; i < 40; ++i) {
                QByteArray pcm(640, char(i));
                client->sendAudio(pcm.constData(), size_t(pcm.size()));
            }
        });
        capture.join();
        QTRY_COMPARE(server->audioFrameSizes.size(), 40);
        for (int i = 0; i < 40; ++i)
            QCOMPARE(server->audio.at(i * 640), char(i));
    }

    void destroyingAStreamingClientSendsTheLastFrame() {
        QVERIFY(connectAndWaitReady());
        client.reset();
        QTRY_COMPARE(server->closeCodes.size(), 1);
        QCOMPARE(server->closeCodes.first(), 1000);
        QCOMPARE(server->lastFrames, 1);
        const auto last = server->frames.last();
        QCOMPARE(last.type, 2);
        QCOMPARE(last.flags, 2);
        QCOMPARE(last.payload.size(), 0);
        QVERIFY(log->out().contains("[ASRClient] Finishing streaming...\n"));

        // Not streaming: no last frame, still a normal close.
        init();
        server->answerInit = false;
        client->connectToService();
        QTRY_COMPARE(server->fullRequests.size(), 1);
        client.reset();
        QTRY_COMPARE(server->closeCodes.size(), 1);
        QCOMPARE(server->closeCodes.first(), 1000);
        QCOMPARE(server->lastFrames, 0);
    }

    void refusedHandshakeAndServerClose() {
        server->refuseStatus = 403;
        client->connectToService();
        QTRY_VERIFY(log->err().contains("[ASRClient] Error: "));
        QVERIFY(log->err().contains("[WebSocketClient] Error: "));
        QVERIFY(!client->isStreaming());

        server->refuseStatus = 0;
        QVERIFY(connectAndWaitReady());
        server->dropClient();
        QTRY_VERIFY(!client->isStreaming());
        QTRY_VERIFY(log->out().contains("[ASRClient] Disconnected from ASR service\n"));
        QVERIFY(!client->isConnected());
        const QByteArray pcm(320, '\x02');
        client->sendAudio(pcm.constData(), size_t(pcm.size())); // dropped silently
        QVERIFY(connectAndWaitReady());
    }
};

QTEST_GUILESS_MAIN(TestAsrClient)
#include "tst_asrclient.moc"
