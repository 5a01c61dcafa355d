#include "Application.h"
#include "LocalAsrServer.h"
#include "LocalChatServer.h"
#include "LogCapture.h"
#include "ScriptedAudioPlatform.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>

using namespace Kelvane;
using KelvaneTest::LocalAsrServer;
using KelvaneTest::LocalChatServer;
using KelvaneTest::LogCapture;
using KelvaneTest::ScriptedAudioPlatform;
using Step = ScriptedAudioPlatform::Step;

namespace {

QByteArray partial(const QString &text) {
    return QString(R"({"result":{"text":"%1","utterances":[{"definite":false,"text":"%1"}]}})")
        .arg(text)
        .toUtf8();
}

QByteArray definite(const QString &wholeText, const QString &sentence) {
    return QString(R"({"result":{"text":"%1","utterances":[{"definite":true,"text":"%2"},)"
                   R"({"definite":false,"end_time":-1,"start_time":-1,"text":""}]}})")
        .arg(wholeText, sentence)
        .toUtf8();
}

} // namespace

class TestApplication : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<LocalAsrServer> asrServer;
    std::unique_ptr<LocalChatServer> chatServer;
    std::shared_ptr<ScriptedAudioPlatform::Script> script;
    std::unique_ptr<Application> app;
    std::unique_ptr<QSignalSpy> questions;
    std::unique_ptr<QSignalSpy> responses;
    std::unique_ptr<QSignalSpy> statuses;

    void makeApp() {
        app = std::make_unique<Application>(
            [s = script]() { return std::make_unique<ScriptedAudioPlatform>(s); });
        questions = std::make_unique<QSignalSpy>(app.get(), &Application::newQuestionStarted);
        responses = std::make_unique<QSignalSpy>(app.get(), &Application::llmResponse);
        statuses = std::make_unique<QSignalSpy>(app.get(), &Application::statusChanged);
    }

    bool startAndWaitForSession() {
        const int sessions = log->countOut("[ASRClient] Streaming started automatically");
        app->startListening();
        return QTest::qWaitFor(
            [this, sessions]() {
                return log->countOut("[ASRClient] Streaming started automatically") > sessions;
            },
            10000);
    }

    // A recognition result; waits until the controller has seen it.
    void recognise(const QByteArray &json) {
        const int before = log->countOut("[Application] ASR result (");
        asrServer->sendToClient(LocalAsrServer::resultFrame(json));
        QTRY_VERIFY(log->countOut("[Application] ASR result (") > before);
    }

    // Loud audio, then the quiet that follows until the question is decided.
    void speak(int loudPackets = 10) {
        for (int i = 0; i < loudPackets; ++i)
            script->queuePacket(ScriptedAudioPlatform::loudPacket());
    }

    QJsonArray messagesOf(int request) {
        return QJsonDocument::fromJson(chatServer->requests.at(request).body)
            .object()
            .value("messages")
            .toArray();
    }

private slots:
    void init() {
        log.reset();
        log = std::make_unique<LogCapture>();
        asrServer = std::make_unique<LocalAsrServer>();
        chatServer = std::make_unique<LocalChatServer>();
        QVERIFY(asrServer->listen());
        QVERIFY(chatServer->listen());
        qputenv("KELVANE_ASR_URL", asrServer->url().toUtf8());
        qputenv("KELVANE_LLM_URL", chatServer->url().toUtf8());
        script = std::make_shared<ScriptedAudioPlatform::Script>();
        chatServer->responder = [](const LocalChatServer::Request &) {
            LocalChatServer::Response response;
            response.pieces = LocalChatServer::sseAnswer({"## 要点\n", "- 多态", "\n"});
            return response;
        };
    }

    void cleanup() {
        questions.reset();
        responses.reset();
        statuses.reset();
        app.reset();
        chatServer.reset();
        asrServer.reset();
        log.reset();
    }

    void oneWholeQuestion() {
        makeApp();
        QVERIFY(app->initialize());
        QVERIFY(log->out().endsWith("[Application] Components initialized\n"));
        app->setInterviewDirection(QStringLiteral("Java后端"));
        QVERIFY(startAndWaitForSession());
        QCOMPARE(statuses->takeFirst().at(0).toString(), QStringLiteral("正在监听"));

        recognise(partial("什么是多态"));
        QVERIFY(log->out().contains("[Application] Updated current ASR text: 什么是多态\n"));
        speak();
        QTRY_COMPARE_WITH_TIMEOUT(questions->size(), 1, 10000);
        QCOMPARE(questions->first().at(0).toInt(), 1);
        QCOMPARE(questions->first().at(1).toString(), QStringLiteral("什么是多态"));
        QVERIFY(
            log->out().contains("[Silence] Detected 1000ms silence, checking if should "
                                "trigger LLM\n[Silence] ✅ Triggering LLM with text: 什么是多态\n"));
        QVERIFY(log->out().contains("[Silence] 📝 更新已处理累积文本为: \"什么是多态\"\n"));

        QTRY_COMPARE(chatServer->requests.size(), 1);
        const QJsonArray messages = messagesOf(0);
        QCOMPARE(messages.size(), 2);
        const QString system = messages[0].toObject().value("content").toString();
        QCOMPARE(messages[0].toObject().value("role").toString(), QStringLiteral("system"));
        QVERIFY(system.startsWith("你是一个专业的面试助手。用户正在参加 Java后端 方向的面试。\n"));
        QVERIFY(system.endsWith("\n- 针对 Java后端 方向的特点，提供最相关的答案。"));
        QCOMPARE(system.count('\n'), 11);
        QCOMPARE(messages[1].toObject().value("content").toString(),
                 QStringLiteral("面试官问：什么是多态\n请提供答案要点。"));

        QTRY_VERIFY(!responses->isEmpty() && responses->last().at(2).toBool());
        QString answer;
        for (int i = 0; i < responses->size() - 1; ++i) {
            QCOMPARE(responses->at(i).at(0).toInt(), 1);
            QCOMPARE(responses->at(i).at(2).toBool(), false);
            answer += responses->at(i).at(1).toString();
        }
        QCOMPARE(answer, QStringLiteral("## 要点\n- 多态\n"));
        QCOMPARE(responses->last().at(1).toString(), QString());

        // The quiet goes on: no second trigger.
        QTest::qWait(1300);
        QCOMPARE(questions->size(), 1);
    }

    void threeQuestionsInOneSessionGiveThreeQuestions() {
        makeApp();
        QVERIFY(app->initialize());
        QVERIFY(startAndWaitForSession());
        const QStringList spoken{"第一个问题是什么？", "第二个问题呢？", "最后一个问题。"};
        QString whole;
        for (int q = 0; q < spoken.size(); ++q) {
            const QString before = whole;
            whole += spoken[q];
            // Growing partial results of the whole session text, then the sentence is definite,
            // as the service reports it.
            recognise(partial(before + spoken[q].left(2)));
            recognise(partial(whole));
            recognise(definite(whole, spoken[q]));
            speak();
            QTRY_COMPARE_WITH_TIMEOUT(questions->size(), q + 1, 10000);
            QCOMPARE(questions->last().at(1).toString(), spoken[q]);
        }
        QTest::qWait(1300);
        QCOMPARE(questions->size(), 3);
        QTRY_COMPARE(chatServer->requests.size(), 3);
        for (int q = 0; q < 3; ++q)
            QCOMPARE(messagesOf(q)[1].toObject().value("content").toString(),
                     "面试官问：" + spoken[q] + "\n请提供答案要点。");
    }

    void numberingDuplicatesAndSymbols() {
        makeApp();
        QVERIFY(app->initialize());
        QVERIFY(startAndWaitForSession());
        recognise(partial("你好吗？"));
        speak();
        QTRY_COMPARE_WITH_TIMEOUT(questions->size(), 1, 10000);

        // A new session that repeats the question (no common prefix): a duplicate.
        app->stopListening();
        QCOMPARE(statuses->last().at(0).toString(), QStringLiteral("已停止"));
        QVERIFY(startAndWaitForSession());
        QCOMPARE(log->countOut("[ASRClient] Streaming started automatically"), 2);
        recognise(partial("你好吗"));
        QVERIFY(!log->out().contains("去重"));
        speak();
        QTRY_VERIFY_WITH_TIMEOUT(
            log->out().contains(
                "[Silence] ⚠️ Skip duplicate trigger (same as last): 你好吗\n"),
            10000);

        recognise(partial("你好吗？。 "));
        QVERIFY(
            log->out().contains("[Application] 🔄 去重: 原始=\"你好吗？。 \", 已处理前缀=\"你好吗"));
        recognise(partial("？。 "));
        speak();
        QTRY_VERIFY_WITH_TIMEOUT(
            log->out().contains(
                "[Silence] ⚠️ Skip LLM trigger: text contains only symbols: \"？。 \"\n"),
            10000);

        recognise(partial("你 好吗"));
        speak();
        QTRY_COMPARE_WITH_TIMEOUT(questions->size(), 2, 10000);
        QCOMPARE(questions->last().at(0).toInt(), 2); // numbering survives the restart
        QCOMPARE(questions->last().at(1).toString(), QStringLiteral("你 好吗"));
    }

    void thresholds() {
        makeApp();
        QVERIFY(app->initialize());
        app->setSilenceThreshold(1500);
        QVERIFY(
            log->out().contains("[Application] Silence threshold set to 1500ms (150 frames)\n"));
        app->setSilenceThreshold(5);
        QVERIFY(log->out().contains("[Application] Silence threshold set to 5ms (0 frames)\n"));
        QVERIFY(startAndWaitForSession());
        speak(3);
        // At zero frames the check runs on each loud buffer, never on a quiet one.
        QTRY_COMPARE(log->countOut("[Silence] Detected 0ms silence"), 3);
        QTest::qWait(300);
        QCOMPARE(log->countOut("[Silence] Detected 0ms silence"), 3);

        // Lowered below the running count: nothing until a loud buffer restarts the count.
        app->setSilenceThreshold(500);
        speak(1);
        QTRY_VERIFY_WITH_TIMEOUT(log->countOut("[Silence] Detected 500ms silence") == 1, 10000);
        // Nothing was recognised, so the count runs on past 50.
        QVERIFY(log->out().contains("[Silence] Skip LLM trigger: hasSpeech=1, currentASRText=\n"));
        app->setSilenceThreshold(400);
        QTest::qWait(700);
        QCOMPARE(log->countOut("[Silence] Detected 400ms silence"), 0);
        speak(1);
        QTRY_VERIFY_WITH_TIMEOUT(log->countOut("[Silence] Detected 400ms silence") == 1, 10000);
    }

    void resultsArriveWhileChecksRun() {
        // With a zero threshold every loud buffer runs the check on the capture thread while
        // results keep changing the transcript on this thread.
        makeApp();
        QVERIFY(app->initialize());
        app->setSilenceThreshold(5);
        QVERIFY(startAndWaitForSession());
        QString whole;
        for (int i = 0; i < 60; ++i) {
            speak(2);
            whole += QStringLiteral("问题%1？").arg(i);
            asrServer->sendToClient(LocalAsrServer::resultFrame(partial(whole)));
            QTest::qWait(7);
        }
        QTRY_VERIFY_WITH_TIMEOUT(script->queued() == 0, 20000);
        app->stopListening();
        QTRY_COMPARE(log->countOut("[Application] ASR result ("), 60);
        QVERIFY(questions->size() >= 1);
        // Each question is new text only: never a repeat of an earlier one.
        QStringList asked;
        for (const auto &question : *questions)
            asked.append(question.at(1).toString());
        QCOMPARE(QSet<QString>(asked.begin(), asked.end()).size(), asked.size());
    }

    void audioIsBatchedForTheRecogniser() {
        makeApp();
        QVERIFY(app->initialize());
        // Refused at first: audio is measured but not kept.
        asrServer->refuseStatus = 403;
        app->startListening();
        QTRY_VERIFY(log->err().contains("[ASRClient] Error: "));
        QTest::qWait(400);
        app->stopListening();

        asrServer->refuseStatus = 0;
        QVERIFY(startAndWaitForSession());
        std::vector<float> level(960, 0.25f); // 8192 after conversion
        for (int i = 0; i < 5; ++i)
            script->queuePacket(level);
        QTRY_VERIFY_WITH_TIMEOUT(asrServer->audioFrameSizes.size() >= 3, 10000);
        app->stopListening();
        for (int size : asrServer->audioFrameSizes)
            QCOMPARE(size, 9600);
        // The level arrived as 16-bit mono samples of 8192.
        const QByteArray expected = QByteArray("\x00\x20", 2).repeated(160 * 5);
        QVERIFY(asrServer->audio.contains(expected));
        QVERIFY(!asrServer->audio.contains(expected + QByteArray("\x00\x20", 2)));
    }

    void captureInitialisationFailure() {
        script->fail(Step::ActivateClient, kPlatformGenericFailure);
        makeApp();
        QVERIFY(app->initialize());
        QVERIFY(log->err().contains("[Application] Failed to initialize audio capture\n"));
        QVERIFY(!log->out().contains("Components initialized"));
        QCOMPARE(statuses->takeFirst().at(0).toString(), QStringLiteral("音频捕获初始化失败"));
        app->startListening();
        QVERIFY(log->err().contains("[AudioCapture] Not initialized\n[Application] Failed to "
                                    "start audio capture\n"));
        QCOMPARE(statuses->takeFirst().at(0).toString(), QStringLiteral("启动失败"));
        QTest::qWait(100);
        QCOMPARE(asrServer->handshakes.size(), 0); // no recognition client exists
        log->clear();
        app->stopListening();
        QCOMPARE(log->out(), QString());
    }

    void lifecycle() {
        makeApp();
        QVERIFY(app->initialize());
        log->clear();
        app->stopListening(); // idle: silent
        QCOMPARE(log->out() + log->err(), QString());
        QVERIFY(statuses->isEmpty());

        QVERIFY(startAndWaitForSession());
        app->startListening();
        QCOMPARE(log->countOut("[Application] Already listening\n"), 1);
        QCOMPARE(statuses->size(), 1);
        QCOMPARE(asrServer->handshakes.size(), 1);

        // Destroying while listening stops first.
        QSignalSpy closed(asrServer.get(), &LocalAsrServer::clientClosed);
        log->clear();
        questions.reset();
        responses.reset();
        app.reset();
        QCOMPARE(statuses->size(), 2);
        QCOMPARE(statuses->last().at(0).toString(), QStringLiteral("已停止"));
        QVERIFY(log->out().startsWith("[Application] Stopping listening...\n"));
        QVERIFY(log->out().contains("[AudioCapture] Capture stopped\n"));
        QVERIFY(closed.wait(5000));
        QCOMPARE(asrServer->closeCodes.first(), 1000);
        QVERIFY(!log->err().contains("Cannot send binary"));
        statuses.reset();
    }
};

QTEST_GUILESS_MAIN(TestApplication)
#include "tst_application.moc"
