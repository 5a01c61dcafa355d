#include "Application.h"
#include "LocalAsrServer.h"
#include "LocalChatServer.h"
#include "LogCapture.h"
#include "MainWindow.h"
#include "PulseServer.h"
#include "ScriptedAudioPlatform.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

#include <cmath>

using namespace Kelvane;
using KelvaneTest::LocalAsrServer;
using KelvaneTest::LocalChatServer;
using KelvaneTest::LogCapture;
using KelvaneTest::ScriptedAudioPlatform;

// What real networks and servers do to the program: after each fault it keeps running, the
// window stays consistent, and a restart of listening brings questions back.
class TestFaults : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<LocalAsrServer> asrServer;
    std::unique_ptr<LocalChatServer> chatServer;
    std::shared_ptr<ScriptedAudioPlatform::Script> script;
    std::unique_ptr<Application> app;
    std::unique_ptr<MainWindow> window;

    QPushButton *button(const QString &text) const {
        for (QPushButton *b : window->findChildren<QPushButton *>())
            if (b->text() == text)
                return b;
        return nullptr;
    }
    QListWidget *list() const { return window->findChild<QListWidget *>(); }
    QString statusText() const {
        return window->findChildren<QLabel *>().at(2)->text(); // 方向, 静音 (ms), status
    }
    QString answerOf(int row) {
        QTest::qWait(QApplication::doubleClickInterval() + 20);
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {},
                          list()->visualItemRect(list()->item(row)).center());
        return window->findChild<QTextEdit *>()->toPlainText();
    }

    void start() {
        const int sessions = log->countOut("[ASRClient] Streaming started automatically");
        QTest::mouseClick(button(QStringLiteral("开始")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(
            log->countOut("[ASRClient] Streaming started automatically") > sessions, 10000);
    }
    void restart() {
        QTest::mouseClick(button(QStringLiteral("停止")), Qt::LeftButton);
        start();
    }

    // The recogniser reports a question, the speakers play it, quiet follows.
    void askByVoice(const QString &text) {
        const int before = list()->count();
        asrServer->sendToClient(
            LocalAsrServer::resultFrame(QString(R"({"result":{"text":"%1"}})").arg(text).toUtf8()));
        QTRY_VERIFY(log->out().contains("[Application] Updated current ASR text: " + text));
        const std::vector<float> tone = ScriptedAudioPlatform::loudPacket();
        for (int i = 0; i < 10; ++i)
            script->queuePacket(tone);
        QTRY_COMPARE_WITH_TIMEOUT(list()->count(), before + 1, 15000);
    }

private slots:
    void init() {
        cleanup();
        log = std::make_unique<LogCapture>();
        asrServer = std::make_unique<LocalAsrServer>();
        chatServer = std::make_unique<LocalChatServer>();
        QVERIFY(asrServer->listen());
        QVERIFY(chatServer->listen());
        qputenv("KELVANE_ASR_URL", asrServer->url().toUtf8());
        qputenv("KELVANE_LLM_URL", chatServer->url().toUtf8());
        script = std::make_shared<ScriptedAudioPlatform::Script>();
        app = std::make_unique<Application>(
            [s = script]() { return std::make_unique<ScriptedAudioPlatform>(s); });
        QVERIFY(app->initialize());
        window = std::make_unique<MainWindow>();
        window->setApplication(app.get());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup() {
        window.reset();
        app.reset();
        chatServer.reset();
        asrServer.reset();
        log.reset();
    }

    void handshakeRefused_data() {
        QTest::addColumn<int>("status");
        QTest::newRow("401") << 401;
        QTest::newRow("403") << 403;
    }
    void handshakeRefused() {
        QFETCH(int, status);
        asrServer->refuseStatus = status;
        QTest::mouseClick(button(QStringLiteral("开始")), Qt::LeftButton);
        QTRY_VERIFY(log->err().contains("[ASRClient] Error: "));
        QVERIFY(log->err().contains("[WebSocketClient] Error: "));
        QCOMPARE(statusText(), QStringLiteral("正在监听")); // capture runs; recognition is down
        QTest::qWait(400);
        QVERIFY(asrServer->audioFrameSizes.isEmpty());

        asrServer->refuseStatus = 0;
        restart();
        askByVoice(QStringLiteral("恢复后的问题"));
    }

    void serverClosesMidSession() {
        start();
        asrServer->closeClient();
        QTRY_VERIFY(log->out().contains("[ASRClient] Disconnected from ASR service\n"));
        QTest::qWait(400); // audio goes nowhere meanwhile, and nothing complains
        QVERIFY(!log->err().contains("Cannot send binary"));
        restart();
        askByVoice(QStringLiteral("重新连接后的问题"));

        asrServer->dropClient(); // no close frame at all
        QTRY_VERIFY(log->countOut("[ASRClient] Disconnected from ASR service\n") == 2);
        restart();
        askByVoice(QStringLiteral("再次连接后的问题"));
    }

    void garbageAndShortFrames() {
        start();
        asrServer->sendToClient(QByteArray("\x11", 1));
        asrServer->sendToClient(QByteArray(3, '\xff'));
        asrServer->sendToClient(QByteArray(200, '\x00'));
        asrServer->sendToClient(QByteArray("\x1f\x93\x11\x00\x00", 5));
        asrServer->sendToClient(LocalAsrServer::resultFrame("{not json"));
        asrServer->sendToClient(LocalAsrServer::resultFrame(R"({"result":[1,2]})"));
        asrServer->sendToClient(LocalAsrServer::serverFrame(9, 0, "garbage", false));
        QTRY_VERIFY(log->countErr("[ASRClient] JSON parse error: ") >= 2);
        QVERIFY(log->err().contains("[ASRClient] Response too short: 1 bytes\n"));
        askByVoice(QStringLiteral("乱码之后的问题")); // the session goes on
    }

    void serverStopsAnswering() {
        asrServer->answerInit = false;
        QTest::mouseClick(button(QStringLiteral("开始")), Qt::LeftButton);
        QTRY_COMPARE(asrServer->fullRequests.size(), 1);
        QTest::qWait(700); // audio is dropped until the session is ready
        QVERIFY(asrServer->audioFrameSizes.isEmpty());
        QCOMPARE(statusText(), QStringLiteral("正在监听"));
        asrServer->answerInit = true;
        restart();
        askByVoice(QStringLiteral("服务恢复后的问题"));
    }

    void chatServiceErrors() {
        int request = 0;
        chatServer->responder = [&request](const LocalChatServer::Request &) {
            static const int statuses[] = {401, 402, 429, 500};
            LocalChatServer::Response response;
            const int n = request++;
            if (n < 4) {
                response.status = statuses[n];
                response.contentType = "application/json";
                response.chunked = false;
                response.pieces = {QString(R"({"error":{"message":"failure %1","type":"x",)"
                                           R"("code":"invalid_request_error"}})")
                                       .arg(statuses[n])
                                       .toUtf8()};
            } else {
                response.pieces = LocalChatServer::sseAnswer({"最终", "答案"});
            }
            return response;
        };
        for (int i = 1; i <= 5; ++i) {
            emit app->triggerLLMRequest(QStringLiteral("问题%1").arg(i));
            QTRY_COMPARE(chatServer->requests.size(), i);
            if (i <= 4)
                QTRY_VERIFY(log->err().contains(
                    QStringLiteral("[Application] LLM error (question %1): ").arg(i)));
        }
        QTRY_COMPARE(answerOf(4), QStringLiteral("最终答案"));
        QCOMPARE(list()->count(), 5);
        for (int row = 0; row < 4; ++row)
            QCOMPARE(answerOf(row), QString());
    }

    void answerCutShortKeepsWhatArrived() {
        chatServer->responder = [](const LocalChatServer::Request &) {
            LocalChatServer::Response response;
            response.chunked = false;
            response.pieces = LocalChatServer::sseAnswer({"已经到达的", "部分"}, false);
            return response;
        };
        emit app->triggerLLMRequest(QStringLiteral("会被截断的问题"));
        QTRY_VERIFY(log->out().contains("[LLMClient] Active replies count after removal: 0"));
        QCOMPARE(answerOf(0), QStringLiteral("已经到达的部分"));
    }

    void twentyQuestionsInFlight() {
        // Every request gets its own answer, streamed in three pieces far apart, so the
        // twenty streams interleave on the wire.
        chatServer->responder = [](const LocalChatServer::Request &request) {
            const QString body = QString::fromUtf8(request.body);
            const int at = int(body.indexOf(QStringLiteral("面试官问：问题")));
            const QString id = body.mid(at + 7).section(QLatin1Char('\\'), 0, 0);
            LocalChatServer::Response response;
            response.pieceDelayMs = 30;
            response.pieces =
                LocalChatServer::sseAnswer({"答案" + id + "甲", "乙" + id, "丙" + id + "。"});
            return response;
        };
        for (int i = 1; i <= 20; ++i)
            emit app->triggerLLMRequest(QStringLiteral("问题%1").arg(i));
        QTRY_COMPARE(chatServer->requests.size(), 20);
        QTRY_COMPARE_WITH_TIMEOUT(log->countOut(" stream completed"), 20, 20000);
        QCOMPARE(list()->count(), 20);
        for (int row = 0; row < 20; ++row) {
            const QString id = QString::number(row + 1);
            QCOMPARE(answerOf(row), "答案" + id + "甲乙" + id + "丙" + id + "。");
        }
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
