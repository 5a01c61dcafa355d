#include "ASRClient.h"
#include "AsrWire.h"
#include "StandinAsrServer.h"
#include "TestSupport.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

using namespace Kelvane;

namespace {

QByteArray resultFrame(const QByteArray &json, int flags = 0) {
    return AsrWire::serverFrame(AsrWire::FullServerResponse, flags, 1, json);
}

} // namespace

class TestAsrClient : public QObject {
    Q_OBJECT

    KelvaneTest::LogLines log;
    std::unique_ptr<StandinAsrServer> server;
    std::unique_ptr<ASRClient> client;
    QStringList reported; // "P:text" or "F:text"

    bool connectAndWaitReady() {
        QSignalSpy ready(client.get(), &ASRClient::sessionReady);
        client->connectToService();
        return ready.wait(10000);
    }

private slots:
    void init() {
        StandinAsrServer::Options options;
        options.quiet = true;
        server = std::make_unique<StandinAsrServer>(options);
        QVERIFY(server->listen());
        client = std::make_unique<ASRClient>();
        AsrConfig config;
        config.appId = QStringLiteral("app-id-4242");
        config.accessToken = QStringLiteral("token-4242-abcd");
        config.wsUrl = server->url();
        client->setConfig(config);
        reported.clear();
        client->onResult = [this](const QString &text, bool isFinal) {
            reported.append((isFinal ? "F:" : "P:") + text);
        };
    }
    void cleanup() {
        client.reset();
        server.reset();
    }

    // The handshake's headers (credentials shown in the log by their last four characters
    // only), audio sent from another thread in call order, and the last frame on destruction.
    void streamingSession() {
        QVERIFY(connectAndWaitReady());
        QCOMPARE(client->logId(), server->logIds.value(0)); // the service's name of it
        QVERIFY(client->isStreaming());
        const auto headers = server->handshakes.value(0);
        QCOMPARE(headers.value("x-api-app-key"), QStringLiteral("app-id-4242"));
        QCOMPARE(headers.value("x-api-access-key"), QStringLiteral("token-4242-abcd"));
        QCOMPARE(headers.value("x-api-resource-id"), QStringLiteral("volc.bigasr.sauc.duration"));
        QCOMPARE(headers.value("x-api-connect-id"), client->connectId());
        QCOMPARE(server->fullRequests.size(), 1);
        const QStringList lines = log.out();
        QVERIFY(lines.contains("[WebSocketClient] Header: X-Api-Access-Key = ****abcd"));
        QVERIFY(lines.contains("[WebSocketClient] Header: X-Api-App-Key = ****4242"));
        QVERIFY(lines.filter("token-4242").isEmpty() && lines.filter("app-id").isEmpty());

        std::unique_ptr<QThread> sender(QThread::create([this]() {
            for (int i = 0; i < 50; ++i)
                client->sendAudio(QByteArray(3200, char(i)).constData(), 3200);
        }));
        sender->start();
        QTRY_COMPARE(server->audio.size(), 50 * 3200);
        sender->wait();
        for (int i = 0; i < 50; ++i)
            QCOMPARE(server->audio.at(i * 3200), char(i));

        QSignalSpy closed(server.get(), &StandinAsrServer::sessionClosed);
        client.reset();
        QVERIFY(closed.wait(5000));
        QCOMPARE(server->lastFrames, 1);
    }

    // A peer that sends more than any recogniser would is dropped, not buffered.
    void oversizedMessageEndsTheSession() {
        QVERIFY(connectAndWaitReady());
        QSignalSpy ended(client.get(), &ASRClient::sessionEnded);
        // A well-formed frame, its payload text not JSON: alone it would be read and ignored.
        QByteArray text(int(WebSocketClient::kMaxIncomingMessageBytes) + 1, ' ');
        for (qsizetype i = 0; i < text.size(); ++i)
            text[i] = char('a' + (i * 7919 % 26));
        server->sendToClients(
            AsrWire::serverFrame(AsrWire::FullServerResponse, 1, 2, text, 0, false));
        QVERIFY(ended.wait(3000)); // (the stand-in's own idle timeout is 8 s)
        QVERIFY(!client->isStreaming());
    }

    // The status of a refused handshake, however the socket words it; none in other errors.
    void handshakeStatus() {
        for (const auto &[error, status] :
             {std::pair{"QWebSocketPrivate::processHandshake: Unhandled http status code: 401 "
                        "(Unauthorized).",
                        401},
              {"Handshake failed, HTTP status 403 Forbidden", 403},
              {"服务器返回 503", 503},
              {"Connection refused", 0},
              {"Host 127.0.0.1:443 not found", 0}, // a port is no status
              {"Cannot reach 10.0.401.1", 0}})     // nor an address
            QCOMPARE(ASRClient::handshakeStatus(QString::fromUtf8(error)), status);
    }

    // Answers to the initialisation that open no session, even before the request is read.
    void noSession() {
        for (const QByteArray &answer :
             {QByteArray(R"({"code":21115e44})"), QByteArray(R"({"code":0.5})"),
              QByteArray(R"({"code":45000001,"message":"x"})")}) {
            client->handleServerResponse(resultFrame(answer));
            QVERIFY2(!client->isSessionReady(), answer.constData());
        }
        client->handleServerResponse(
            AsrWire::serverFrame(AsrWire::ServerError, 0, 0, R"({"error":"no"})", 4500));
        QVERIFY(!client->isSessionReady());
    }

    void results_data() {
        QTest::addColumn<QList<QByteArray>>("frames"); // JSON of result frames; "L:" last
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("growing text, repeats and spaces ignored")
            << QList<QByteArray>{R"({"result":{"text":"你好"}})",
                                 R"({"result":{"text":"你好，请问"}})",
                                 R"({"result":{"text":"你好，请问"}})",
                                 R"({"result":{"text":"你好，请问  "}})"}
            << QStringList{"P:你好", "P:你好，请问"};
        QTest::newRow("definite sentences once each")
            << QList<
                   QByteArray>{R"({"result":{"text":"你好。请问？","utterances":[)"
                               R"({"definite":true,"text":"你好。"},)"
                               R"({"definite":true,"text":"请问？"},{"definite":false,"text":""}]}})",
                               R"({"result":{"text":"你好。请问？","utterances":[)"
                               R"({"definite":true,"text":"你好。"}]}})"}
            << QStringList{"P:你好。请问？", "F:你好。", "F:请问？", "P:你好。请问？"};
        QTest::newRow("last package forgets the sentences")
            << QList<
                   QByteArray>{R"(L:{"result":{"text":"甲。","utterances":[{"definite":true,"text":"甲。"}]}})",
                               R"({"result":{"text":"甲。","utterances":[{"definite":true,"text":"甲。"}]}})"}
            << QStringList{"P:甲。", "F:甲。", "P:甲。", "F:甲。"};
        QTest::newRow("bad JSON keeps what came before")
            << QList<
                   QByteArray>{R"({"result":{"text":"句一","utterances":[)"
                               R"({"definite":true,"text":"句一"},5,{"definite":true,"text":"句二"}]}})",
                               "not json", R"({"result":"text"})", R"({"result":null})"}
            << QStringList{"P:句一", "F:句一"};
    }
    void results() {
        QFETCH(QList<QByteArray>, frames);
        QFETCH(QStringList, expected);
        client->handleServerResponse(resultFrame("{}")); // the session's first answer
        QVERIFY(client->isSessionReady());
        for (QByteArray json : frames) {
            const bool last = json.startsWith("L:");
            client->handleServerResponse(resultFrame(last ? json.mid(2) : json, last ? 3 : 1));
        }
        QCOMPARE(reported, expected);
    }
};

QTEST_GUILESS_MAIN(TestAsrClient)
#include "tst_asrclient.moc"
