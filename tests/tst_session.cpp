#include "Session.h"

#include <QProgressBar>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <nlohmann/json.hpp>

#include "PromptBuilder.h"

using Kelvane::Settings;
using KelvaneTest::Session;
using Step = KelvaneTest::ScriptedAudioPlatform::Step;

namespace {
struct RecognitionFault {
    QString fault, status;
    bool stops; // retrying cannot help: 开始 comes back for the user
};
struct CaptureFault {
    QString fault;
    bool atStart;
    QString status; // seen on the way, empty for none
};
struct EmptyCredential {
    QString key, field, status;
};
struct AskPath {
    QString path;
    int rounds;   // 上下文轮数
    int requests; // to the chat service, including the one 重新回答 sends
};
struct Threshold {
    QString before, during, late; // typed before 开始, at 开始, 1.5 s into the pause
    bool asked;                   // within about 2.5 s of pause
};
struct EarlyRequest {
    QString scenario;
    int requests;
    QString asked; // empty: no question
};
} // namespace
Q_DECLARE_METATYPE(RecognitionFault)
Q_DECLARE_METATYPE(CaptureFault)
Q_DECLARE_METATYPE(EmptyCredential)
Q_DECLARE_METATYPE(EarlyRequest)
Q_DECLARE_METATYPE(AskPath)
Q_DECLARE_METATYPE(Threshold)

namespace {
// Types into the field as a user does: the text, then Return (no Return: still typing).
void type(QLineEdit *field, const QString &text) {
    field->setText(text.chopped(text.endsWith('~') ? 1 : 0));
    if (!text.endsWith('~'))
        QTest::keyClick(field, Qt::Key_Return);
}
} // namespace

// Whole sessions in one process, as a user meets them: the window, the controller on a
// scripted device, and both stand-in services speaking their real protocols on 127.0.0.1.
class TestSession : public QObject {
    Q_OBJECT

private slots:
    void threeSpokenQuestions() {
        const QStringList script{QStringLiteral("什么是多态？"),
                                 QStringLiteral("What is a hash map?"),
                                 QStringLiteral("请介绍一下你的项目经验。")};
        Session session(script);
        session.chat.options().garbage = true;        // lines no client may choke on
        session.chat.options().resetAfterDone = true; // nothing after the end matters
        Settings::store(Settings::ProfileResume,
                        QStringLiteral("主导过风控引擎重构，RocketMQ 削峰"));
        Settings::store(Settings::AsrHotwords, QStringLiteral("星河订单系统"));
        Settings::store(Settings::LlmContextRounds, QStringLiteral("1"));
        auto *meter = session.widget<QProgressBar>("levelMeter");
        QVERIFY(session.startAndWaitForSession());
        QCOMPARE(meter->value(), 0);
        QCOMPARE(session.status(), QStringLiteral("正在监听"));
        QVERIFY(!session.widget<QPushButton>("startButton")->isEnabled());

        const int framesBefore = session.asr.audioFrames;
        int loudest = 0; // the meter moves with what is captured
        connect(meter, &QProgressBar::valueChanged, this,
                [&loudest](int value) { loudest = std::max(loudest, value); });
        for (int i = 0; i < script.size(); ++i)
            QVERIFY2(session.askByVoice(), qPrintable(script[i]));
        // Half-typed while answers complete: nothing takes it for a threshold.
        auto *silence = session.widget<QLineEdit>("silenceEdit");
        silence->setText(QStringLiteral("15"));
        QVERIFY(loudest > 50);
        // Pauses reach the recogniser as they go on, not in 300 ms batches like speech.
        QVERIFY2(session.asr.audioFrames - framesBefore >= 30,
                 qPrintable(QString::number(session.asr.audioFrames - framesBefore)));
        QVERIFY(session.waitForAnswers(3));
        QCOMPARE(silence->text(), QStringLiteral("15"));
        for (int i = 0; i < script.size(); ++i)
            QCOMPARE(session.question(i), QStringLiteral("Q%1: %2").arg(i + 1).arg(script[i]));
        // The last question went with the résumé.
        const auto messages =
            nlohmann::json::parse(session.chat.requests.last().body.toStdString())["messages"];
        QVERIFY(QString::fromStdString(messages[0]["content"]).contains("主导过风控引擎重构"));
        // Selecting a question shows its own answer, in full.
        for (int row : {0, 2, 1}) {
            const QString answer = session.answerOf(row);
            QVERIFY2(answer.contains(script[row]), qPrintable(answer));
            QVERIFY(answer.contains(QStringLiteral("回答时控制在两分钟以内。")));
            QVERIFY2(!answer.contains("回答失败") && !answer.contains("回答不完整"),
                     qPrintable(answer));
        }

        QSignalSpy closed(&session.asr, &StandinAsrServer::sessionClosed);
        session.click("stopButton");
        QCOMPARE(session.status(), QStringLiteral("已停止"));
        QCOMPARE(meter->value(), 0); // and rests, whatever was still queued
        QVERIFY(closed.wait(5000));
        QCOMPARE(meter->value(), 0);
        QCOMPARE(closed.value(0).value(0).toInt(), 1000);
        // As the service documents it: its model, the candidate's terms, packets of 100 ms (±20).
        const auto request = nlohmann::json::parse(session.asr.fullRequests.value(0).toStdString());
        QCOMPARE(request["request"]["model_name"], "bigmodel");
        QCOMPARE(session.asr.hotwordContexts,
                 {R"({"hotwords":[{"word":"星河订单系统"},{"word":"RocketMQ"}]})"});
        const QList<int> packets =
            session.asr.packetBytes.mid(0, session.asr.packetBytes.size() - 1);
        QVERIFY(std::all_of(packets.begin(), packets.end(),
                            [](int bytes) { return bytes >= 2560 && bytes <= 3840; }));
        QVERIFY(packets.count(3200) > packets.size() / 2); // 100 ms but around a pause's point
        QVERIFY(session.widget<QPushButton>("startButton")->isEnabled());
        // No key and no résumé in any line of a whole session.
        for (const QString &line : session.log.out() + session.log.err())
            QVERIFY2(!line.contains("sk-session") && !line.contains("token-session-0001") &&
                         !line.contains("app-session-01") && !line.contains("风控引擎"),
                     qPrintable(line));
    }

    void controls() {
        Session session({QStringLiteral("一个很长的问题")});
        QVERIFY(session.ready());
        auto *silence = session.widget<QLineEdit>("silenceEdit");
        // The steps, and a typed value out of range: the field shows the threshold in use.
        for (const auto &[typed, button, shown] : {std::tuple{"150", "minusButton", "100"},
                                                   {"9950", "plusButton", "10000"},
                                                   {"abc", "plusButton", "100"},
                                                   {"1000", "minusButton", "900"},
                                                   {"5", "", "100"},
                                                   {"99999", "", "10000"},
                                                   {"x", "", "1000"}}) {
            silence->setText(QLatin1String(typed));
            if (*button)
                session.click(button);
            else
                emit silence->editingFinished();
            QCOMPARE(silence->text(), QLatin1String(shown));
            QCOMPARE(Settings::load().value(Settings::SilenceMs), QLatin1String(shown));
        }
        // A 1080p laptop screen at 150 %: every control shows, the answer has most of the room.
        session.window->resize(1280, 672);
        QTRY_COMPARE(session.window->size(), QSize(1280, 672));
        for (const char *name :
             {"directionEdit", "minusButton", "silenceEdit", "plusButton", "startButton",
              "stopButton", "answerNowButton", "settingsButton", "exportButton", "levelMeter",
              "statusLabel", "transcriptLabel", "questionList", "answerView", "retryButton"}) {
            auto *shown = session.widget<QWidget>(name);
            const QRect place(shown->mapTo(session.window.get(), QPoint()), shown->size());
            QVERIFY2(shown->isVisible() && session.window->rect().contains(place), name);
        }
        QVERIFY(session.widget<QWidget>("answerView")->height() > 672 / 2);
        auto *heard = session.widget<QLabel>("transcriptLabel");
        QVERIFY(heard->height() < 2 * heard->fontMetrics().height());
        auto *direction = session.widget<QLineEdit>("directionEdit");
        direction->setText(QStringLiteral("嵌入式"));
        emit direction->editingFinished();
        {
            Kelvane::MainWindow restarted; // the next run shows what was typed
            restarted.setApplication(session.app.get());
            QCOMPARE(restarted.findChild<QLineEdit *>("directionEdit")->text(), "嵌入式");
            QCOMPARE(restarted.findChild<QLineEdit *>("silenceEdit")->text(), "1000");
        }
        direction->setText(QStringLiteral("   "));
        QVERIFY(session.startAndWaitForSession());
        QCOMPARE(direction->text(), QStringLiteral("通用面试"));
        // A threshold under one buffer still waits for a silent buffer: at zero, no pause
        // would ever reach it.
        session.app->setSilenceThreshold(5);
        QVERIFY(session.askByVoice());
        QTRY_VERIFY(!session.chat.requests.isEmpty());
        QVERIFY(session.chat.requests[0].body.contains("通用面试"));
        QVERIFY(!session.asr.fullRequests.value(0).contains("corpus")); // no terms, no corpus
    }

    // Each misbehaviour of the recogniser: the status, and listening back (by itself, or by a
    // click where retrying cannot help) to answer the next question.
    void recognitionFaults_data() {
        const QString again = QStringLiteral("，正在重连（第 1 次）");
        KelvaneTest::addRows<RecognitionFault>({
            {"handshake 401", {"401", "识别服务拒绝连接（HTTP 401）", true}},
            {"session refused", {"session", "识别服务拒绝会话（45000030）", true}},
            {"service busy", {"busy", "识别服务拒绝会话（55000031）" + again, false}},
            {"stops answering", {"stall", "识别服务无响应" + again, false}},
            {"connection dropped", {"drop", "识别服务连接中断" + again, false}},
            {"error frame", {"error", "识别服务出错（45000081）" + again, false}},
            {"garbage frames", {"garbage", "识别服务出错（0）" + again, false}},
        });
    }
    void recognitionFaults() {
        QFETCH(RecognitionFault, row);
        Session session({QStringLiteral("恢复之后的问题")});
        QVERIFY(session.ready());
        auto &options = session.asr.options();
        const StandinAsrServer::Options healthy = options;
        options.refuseStatus = row.fault.toInt();
        options.refuseSessionCode = row.fault == "session" ? 45000030
                                    : row.fault == "busy"  ? 55000031
                                                           : 0;
        options.dropAfterFrames = row.fault == "drop" ? 1 : 0;
        options.stallAfterFrames = row.fault == "stall" ? 2 : 0;
        options.garbage = row.fault == "garbage";
        if (row.fault == "error") {
            QVERIFY(session.startAndWaitForSession());
            session.asr.sendError(45000081, QStringLiteral("waiting next packet timeout"));
        } else {
            session.click("startButton");
        }
        QTRY_VERIFY2_WITH_TIMEOUT(session.statuses.contains(row.status),
                                  qPrintable(session.statuses.join('|')), 20000);
        QVERIFY(!session.widget<QLabel>("statusLabel")->toolTip().isEmpty() || !row.stops);
        if (row.fault == "error") // the service's name of the connection, for its support
            QVERIFY(
                session.widget<QLabel>("statusLabel")->toolTip().contains(session.asr.logIds[0]));
        QCOMPARE(session.widget<QPushButton>("startButton")->isEnabled(), row.stops);

        options = healthy;
        if (row.stops)
            QVERIFY(session.startAndWaitForSession());
        QTRY_COMPARE_WITH_TIMEOUT(session.status(), QStringLiteral("正在监听"), 15000);
        QVERIFY(session.askByVoice());
        QCOMPARE(session.question(0), QStringLiteral("Q1: 恢复之后的问题"));
    }

    // The playback device changes, fails, or is not there, while listening or at 开始: capture
    // re-opens by itself about once a second; the window says so and keeps 停止 meanwhile.
    void captureFaults_data() {
        const QString lost = QStringLiteral("音频设备丢失，正在重新打开");
        const QString none = QStringLiteral("音频设备不可用，正在重试");
        KelvaneTest::addRows<CaptureFault>({
            {"default device changed", {"default", false, QString()}},
            {"device invalidated", {"invalidated", false, lost}},
            {"no device for a while", {"gone", false, none}},
            {"no device at start-up", {"none", true, none}},
            {"device fails to start", {"start", true, none}},
            {"device fails at its first poll", {"poll", true, lost}},
            {"server restarted while stopped", {"restart", true, QString()}},
        });
    }
    void captureFaults() {
        QFETCH(CaptureFault, row);
        const QString &fault = row.fault;
        auto device = std::make_shared<KelvaneTest::ScriptedAudioPlatform::Script>();
        if (fault == "none")
            device->fail(Step::CreateEnumerator, Kelvane::kPlatformGenericFailure);
        Session session({QStringLiteral("设备回来之后的问题")}, device);
        QVERIFY(session.ready());
        if (!row.atStart || fault == "restart")
            QVERIFY(session.startAndWaitForSession());
        if (fault == "restart") {
            session.click("stopButton");
            ++device->serverRestarts;
        } else if (fault == "default") {
            std::lock_guard<std::mutex> lock(device->mutex);
            device->defaultChanged = true;
            device->format = Kelvane::MixFormat{44100, 6, 32, 24}; // the new device's own format
        } else if (fault == "invalidated") {
            device->fail(Step::GetBuffer, Kelvane::kPlatformDeviceInvalidated);
            device->queuePacket(std::vector<float>(960, 0.0f));
        } else if (fault == "gone" || fault == "poll") {
            device->fail(Step::NextPacketSize, Kelvane::kPlatformDeviceInvalidated);
            if (fault == "gone")
                device->fail(Step::ActivateClient, Kelvane::kPlatformGenericFailure);
        } else if (fault == "start") {
            device->fail(Step::Start, Kelvane::PlatformResult(0x88890002u));
        }
        const int opened = device->callCount(Step::CreateEnumerator);
        if (row.atStart)
            session.click("startButton");
        QTRY_VERIFY_WITH_TIMEOUT(device->callCount(Step::CreateEnumerator) > opened, 10000);
        if (!row.status.isEmpty())
            QTRY_VERIFY2_WITH_TIMEOUT(session.statuses.contains(row.status),
                                      qPrintable(session.statuses.join('|')), 10000);
        if (row.atStart && !row.status.isEmpty()) {
            QVERIFY(!session.widget<QPushButton>("startButton")->isEnabled());
            QVERIFY(session.widget<QPushButton>("stopButton")->isEnabled());
            QTest::qWait(2500);
            // About one open a second, however fast the device fails.
            const int reopened = device->callCount(Step::CreateEnumerator) - opened;
            QVERIFY2(reopened >= 2 && reopened <= 4, qPrintable(QString::number(reopened)));
        }
        {
            std::lock_guard<std::mutex> lock(device->mutex);
            device->failures.clear();
        }
        QTRY_COMPARE_WITH_TIMEOUT(session.status(), QStringLiteral("正在监听"), 10000);
        QVERIFY(session.askByVoice());
        QCOMPARE(session.question(0), QStringLiteral("Q1: 设备回来之后的问题"));
    }

    // An empty key is named on the status line and its field opened in 设置; nothing starts.
    void emptyCredential_data() {
        KelvaneTest::addRows<EmptyCredential>({
            {"app id", {Settings::AsrAppId, "asrAppIdEdit", "未填写识别服务的 App ID"}},
            {"access token",
             {Settings::AsrAccessToken, "asrTokenEdit", "未填写识别服务的 Access Token"}},
            {"API key", {Settings::LlmApiKey, "llmKeyEdit", "未填写对话服务的 API Key"}},
        });
    }
    void emptyCredential() {
        QFETCH(EmptyCredential, row);
        Session session;
        QVERIFY(session.ready());
        for (const char *name :
             {"KELVANE_LLM_API_KEY", "KELVANE_ASR_APP_ID", "KELVANE_ASR_ACCESS_TOKEN"})
            qunsetenv(name);
        Settings::store(Settings::LlmApiKey, QStringLiteral("sk-session"));
        Settings::store(Settings::AsrAppId, QStringLiteral("app-session-01"));
        Settings::store(Settings::AsrAccessToken, QStringLiteral("token-session-0001"));
        Settings::store(row.key, QString());
        QString focused, shown;
        QTimer::singleShot(200, this, [&]() {
            QWidget *dialog = QApplication::activeModalWidget();
            QVERIFY(dialog);
            focused = dialog->focusWidget() ? dialog->focusWidget()->objectName() : QString();
            shown = session.status();
            dialog->close();
        });
        session.click("startButton");
        QCOMPARE(focused, row.field);
        QCOMPARE(shown, row.status);
        QCOMPARE(session.status(), row.status);
        QVERIFY(!session.app->listening());
        QVERIFY(session.widget<QPushButton>("startButton")->isEnabled());
        QCOMPARE(session.asr.handshakes.size(), 0);
    }

    // A failed answer says why in its pane, marks its question and stays in the exported
    // record; 重新回答 replaces it in place, under the same number.
    void answerFaults_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("pane"); // how the failed answer begins or what it contains
        const auto row = [](const char *fault, const char *pane) {
            QTest::newRow(fault) << QString(fault) << QString(pane);
        };
        row("402", "回答失败：HTTP 402 Payment Required");
        row("429", "回答失败：HTTP 429 Too Many Requests");
        row("500", "回答失败：HTTP 500 Internal Server Error");
        row("wrong key", "回答失败：HTTP 401 Authentication Fails");
        row("cut off", "回答不完整：");
        row("no [DONE]", "回答不完整：连接在回答结束前关闭");
    }
    void answerFaults() {
        QFETCH(QString, fault);
        QFETCH(QString, pane);
        Session session({QStringLiteral("会失败的问题")});
        auto &chat = session.chat.options();
        const StandinChatServer::Options healthy = chat;
        chat.refuseStatus = fault.toInt();
        chat.dropAfterDeltas = fault == "cut off" ? 3 : 0;
        chat.noDone = fault == "no [DONE]";
        if (fault == "wrong key") // the key the user typed is wrong
            qputenv("KELVANE_LLM_API_KEY", "sk-other");
        QSignalSpy failed(session.app.get(), &Kelvane::Application::answerFailed);
        QVERIFY(session.startAndWaitForSession());
        QVERIFY(session.askByVoice());
        // (a refusal the early request met is shown as the question appears)
        QVERIFY(!failed.isEmpty() || failed.wait(10000));
        const QString shown = session.answerOf(0);
        QVERIFY2(shown.contains(pane), qPrintable(shown));
        QCOMPARE(fault == "cut off" || fault == "no [DONE]", !shown.startsWith("回答失败"));
        QCOMPARE(session.list()->item(0)->data(Qt::AccessibleDescriptionRole).toString(),
                 QStringLiteral("回答失败"));
        // 导出记录 keeps the question under its number, the failure and the timing.
        QTemporaryDir dir;
        QVERIFY(session.window->exportTo(dir.filePath(QStringLiteral("记录.md"))));
        QFile record(dir.filePath(QStringLiteral("记录.md")));
        QVERIFY(record.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(record.readAll());
        QVERIFY2(text.contains(QStringLiteral("## Q1: 会失败的问题")) && text.contains(pane) &&
                     text.contains(QStringLiteral("*静音")),
                 qPrintable(text));

        chat = healthy;
        // Fixed in the settings while listening: 重新回答 uses it at once.
        qputenv("KELVANE_LLM_API_KEY", "sk-session");
        const QString firstTiming = session.widget<QLabel>("timingLabel")->text();
        QVERIFY2(firstTiming.contains(QStringLiteral("静音")), qPrintable(firstTiming));
        session.click("retryButton");
        QVERIFY(session.waitForAnswers(1));
        const QString answer = session.answerOf(0);
        // The new answer's own figures: counted from the click, no pause in them.
        const QString timing = session.widget<QLabel>("timingLabel")->text();
        QVERIFY2(timing.contains(QStringLiteral("完成")) &&
                     !timing.contains(QStringLiteral("静音")),
                 qPrintable(timing));
        QVERIFY2(answer.contains(QStringLiteral("回答时控制在两分钟以内。")), qPrintable(answer));
        QVERIFY(!answer.contains(QStringLiteral("回答不完整")));
        QCOMPARE(session.list()->count(), 1);
        QCOMPARE(session.question(0), QStringLiteral("Q1: 会失败的问题"));
    }

    // Answers streaming when the next question comes, or asked again while another question is
    // shown, land under their own question, whole and once.
    void answersStayWithTheirQuestions() {
        const QStringList script{QStringLiteral("第一个问题"), QStringLiteral("第二个问题")};
        Session session(script);
        session.chat.options().deltaIntervalMs = 60; // an answer takes over a second
        QVERIFY(session.startAndWaitForSession());
        QVERIFY(session.askByVoice());
        QVERIFY(session.askByVoice()); // the first answer is still streaming
        QVERIFY(session.waitForAnswers(2));
        session.answerOf(0);
        session.click("retryButton");
        session.answerOf(1); // the second question is shown while the first is answered again
        QVERIFY(session.waitForAnswers(3));
        for (int row : {0, 1}) {
            const QString answer = session.answerOf(row);
            const QString whole = StandinChatServer::answer(script[row]);
            QCOMPARE(answer.count(script[row]), whole.count(script[row]));
            QVERIFY2(!answer.contains(script[1 - row]), qPrintable(answer));
        }
        // An answer that fails while another question is shown marks its own question only.
        session.chat.options().dropAfterDeltas = 3;
        session.chat.options().firstDeltaDelayMs = 1000;
        QSignalSpy failed(session.app.get(), &Kelvane::Application::answerFailed);
        session.answerOf(1);
        session.click("retryButton");
        const QString first = session.answerOf(0);
        QVERIFY(failed.count() == 1 || failed.wait(10000));
        QCOMPARE(session.widget<QTextEdit>("answerView")->toPlainText(), first);
        QCOMPARE(session.list()->item(0)->data(Qt::AccessibleDescriptionRole).toString(), "");
        QVERIFY(session.answerOf(1).contains(QStringLiteral("回答不完整")));
        session.answerOf(0);
        // The figures under the answer: its first text came well before its end.
        const QString timing = session.widget<QLabel>("timingLabel")->text();
        const auto figures =
            QRegularExpression(QStringLiteral("首字 ([\\d.]+) s · 完成 ([\\d.]+) s")).match(timing);
        QVERIFY2(figures.hasMatch() &&
                     figures.captured(1).toDouble() < figures.captured(2).toDouble(),
                 qPrintable(timing));
    }

    // 立即回答 (button, then Ctrl+Enter) asks what was heard at once; the pause that follows
    // asks nothing more. The line under the controls shows what is heard until it is asked.
    void answerNow() {
        Session session(QStringList{});
        QSignalSpy requested(&session.chat, &StandinChatServer::requestReceived);
        QVERIFY(session.startAndWaitForSession());
        session.speak(200);
        auto *heard = session.widget<QLabel>("transcriptLabel");
        session.recognise(QStringLiteral("请介绍一下你自己"));
        QTRY_COMPARE(heard->text(), QStringLiteral("请介绍一下你自己"));
        session.click("answerNowButton");
        QCOMPARE(session.list()->count(), 1); // at once, not after a pause
        QCOMPARE(session.question(0), QStringLiteral("Q1: 请介绍一下你自己"));
        QVERIFY(heard->text().isEmpty());
        session.recognise(QStringLiteral("请介绍一下你自己你的缺点是什么"));
        QTRY_COMPARE(heard->text(), QStringLiteral("你的缺点是什么"));
        QTest::keyClick(session.window.get(), Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(session.question(1), QStringLiteral("Q2: 你的缺点是什么"));
        // The recogniser says it again, now with its punctuation: no new text to show or ask.
        QSignalSpy results(session.app.get(), &Kelvane::Application::asrResult);
        session.recognise(QStringLiteral("请介绍一下你自己。你的缺点是什么？"));
        QVERIFY(results.wait(5000));
        QVERIFY(heard->text().isEmpty());
        QTest::qWait(3500); // the pause passes
        QCOMPARE(session.list()->count(), 2);
        QCOMPARE(requested.count(), 2);
    }

    // A service that reasons only on the early request, before the question ended: the pane
    // says "思考中…" from the question's start, then the answer replaces that line.
    void thinkingThenAnswer() {
        Session session({QStringLiteral("先想一想的问题")});
        session.chat.options().reasoningMs = 100;
        session.chat.options().firstDeltaDelayMs = 2500;
        QVERIFY(session.startAndWaitForSession());
        QVERIFY(session.askByVoice());
        auto *pane = session.widget<QTextEdit>("answerView");
        QTRY_VERIFY_WITH_TIMEOUT(pane->toPlainText().startsWith(QStringLiteral("思考中… ")), 5000);
        QVERIFY(session.waitForAnswers(1));
        QVERIFY(pane->toPlainText().contains(QStringLiteral("先想一想的问题")));
        QVERIFY(!pane->toPlainText().contains(QStringLiteral("思考中")));
        QVERIFY(!pane->toPlainText().contains(QStringLiteral("null")));
    }

    // The answer requested in the pause: adopted when the question ends as requested,
    // cancelled when speech resumes or the text changes; the questions stay the same.
    void earlyRequest_data() {
        const QString question = QStringLiteral("什么是多态");
        KelvaneTest::addRows<EarlyRequest>({
            {"text unchanged: adopted", {"unchanged", 1, question}},
            {"speech resumes", {"resumes", 2, question}},
            {"a second pause", {"twice", 3, question}},
            {"text changes", {"changes", 2, question + "和继承"}},
            {"early request fails", {"fails", 2, question}},
            {"stop in between", {"stop", 1, QString()}},
            {"switched off", {"off", 1, question}},
            // A refusal the same request would meet again is shown at once, not asked again.
            {"early request refused", {"refused", 1, question}},
        });
    }
    void earlyRequest() {
        QFETCH(EarlyRequest, row);
        const QString &scenario = row.scenario;
        qputenv("KELVANE_EARLY_REQUEST", scenario == "off" ? "off" : "on");
        const auto restore = qScopeGuard([] { qunsetenv("KELVANE_EARLY_REQUEST"); });
        Session session(QStringList{}); // the recogniser says only what the test makes it say
        QSignalSpy requested(&session.chat, &StandinChatServer::requestReceived);
        QSignalSpy results(session.app.get(), &Kelvane::Application::asrResult);
        QVERIFY(session.startAndWaitForSession());
        session.chat.options().refuseStatus = scenario == "fails"     ? 500
                                              : scenario == "refused" ? 401
                                                                      : 0;
        session.recognise(QStringLiteral("什么是多态"));
        QVERIFY(results.wait(5000));
        const int pauses = scenario == "twice" ? 3 : scenario == "resumes" ? 2 : 1;
        for (int pause = 0; pause < pauses; ++pause) {
            session.speak(20);
            if (scenario == "off")
                break;
            QVERIFY(requested.wait(5000)); // the early request, before the pause ends
            QCOMPARE(session.list()->count(), 0);
        }
        if (scenario != "refused")
            session.chat.options().refuseStatus = 0;
        if (scenario == "changes") {
            // The new text is requested at once, still inside the pause.
            session.recognise(QStringLiteral("什么是多态和继承"));
            QVERIFY(requested.wait(400));
            QCOMPARE(session.list()->count(), 0);
        }
        if (scenario == "stop") { // and 开始 again: nothing from before the stop is asked
            session.click("stopButton");
            QVERIFY(session.startAndWaitForSession());
        }
        QTest::qWait(1500);
        QCOMPARE(session.list()->count(), row.asked.isEmpty() ? 0 : 1);
        if (!row.asked.isEmpty()) {
            QCOMPARE(session.question(0), "Q1: " + row.asked);
            if (scenario == "refused") {
                QVERIFY(session.answerOf(0).startsWith(QStringLiteral("回答失败：HTTP 401")));
            } else {
                QVERIFY(session.waitForAnswers(1));
                QVERIFY(session.answerOf(0).contains(row.asked));
            }
        }
        QCOMPARE(session.chat.requests.size(), row.requests);
    }

    // Every way a question is asked sends the same messages: the questions before it with their
    // answers (as many as 上下文轮数 says), then the question, once. 重新回答 sends them again.
    void everyPathSendsTheSameMessages_data() {
        QList<std::pair<const char *, AskPath>> rows;
        static QList<QByteArray> names;
        for (const int rounds : {0, 1, 2})
            for (const auto &[path, requests] : {std::pair{"early requests off", 4},
                                                 {"early request adopted", 4},
                                                 {"early request failed, sent anew", 5},
                                                 {"立即回答", 4}}) {
                names.append(QStringLiteral("%1, context %2").arg(path).arg(rounds).toUtf8());
                rows.append({names.last().constData(), {QString(path), rounds, requests}});
            }
        QTest::addColumn<AskPath>("row");
        for (const auto &[name, row] : rows)
            QTest::newRow(name) << row;
    }
    void everyPathSendsTheSameMessages() {
        QFETCH(AskPath, row);
        qputenv("KELVANE_EARLY_REQUEST", row.path == "early requests off" ? "off" : "on");
        const auto restore = qScopeGuard([] { qunsetenv("KELVANE_EARLY_REQUEST"); });
        Session session(QStringList{});
        Settings::store(Settings::LlmContextRounds, QString::number(row.rounds));
        QSignalSpy results(session.app.get(), &Kelvane::Application::asrResult);
        QSignalSpy requested(&session.chat, &StandinChatServer::requestReceived);
        QVERIFY(session.startAndWaitForSession());
        const QStringList asked{QStringLiteral("什么是多态？"), QStringLiteral("什么是哈希表？"),
                                QStringLiteral("请介绍一下你的项目。")};
        for (int i = 0; i < asked.size(); ++i) {
            const bool last = i == asked.size() - 1;
            if (last && row.path == "立即回答")
                session.speak(300); // still speaking
            if (last && row.path.contains("failed"))
                session.chat.options().refuseStatus = 500;
            session.recognise(asked.mid(0, i + 1).join(QString()));
            QVERIFY(results.wait(5000));
            if (last && row.path == "立即回答") {
                session.click("answerNowButton");
            } else {
                session.speak(20);
                if (last && row.path.contains("failed")) {
                    QVERIFY(requested.wait(5000));
                    session.chat.options().refuseStatus = 0;
                }
            }
            QTRY_COMPARE_WITH_TIMEOUT(session.list()->count(), i + 1, 10000);
            QVERIFY(session.waitForAnswers(i + 1));
        }
        Kelvane::PromptBuilder prompt;
        prompt.direction = session.widget<QLineEdit>("directionEdit")->text();
        prompt.contextRounds = row.rounds;
        QStringList expected; // "role: content", so that a difference reads plainly
        for (const Kelvane::ChatMessage &message :
             prompt.messages(asked[2], {{asked[0], StandinChatServer::answer(asked[0])},
                                        {asked[1], StandinChatServer::answer(asked[1])}}))
            expected.append(message.role + ": " + message.content);
        const auto sent = [&session]() {
            QStringList messages;
            const auto body =
                nlohmann::json::parse(session.chat.requests.last().body.toStdString());
            for (const auto &message : body["messages"])
                messages.append(QString::fromStdString(message["role"].get<std::string>() + ": " +
                                                       message["content"].get<std::string>()));
            return messages;
        };
        QCOMPARE(sent(), expected);
        session.click("retryButton");
        QVERIFY(session.waitForAnswers(4));
        QCOMPARE(sent(), expected);
        QCOMPARE(session.chat.requests.size(), row.requests);
    }

    // The threshold in the field is the one the pause obeys: typed (with Return) before 开始 or
    // while listening, stepped, or lowered below the silence already counted.
    void silenceThresholdInUse_data() {
        KelvaneTest::addRows<Threshold>({
            {"typed before 开始", {"5000", "", "", false}},
            {"typed while listening", {"1000", "5000", "", false}},
            {"stepped while listening", {"4900", "+", "", false}},
            {"half-typed while listening", {"5000", "1000~", "", false}},
            {"lowered below the silence counted", {"5000", "", "1000", true}},
            {"as typed before 开始", {"1000", "", "", true}},
        });
    }
    void silenceThresholdInUse() {
        QFETCH(Threshold, row);
        Session session(QStringList{});
        QVERIFY(session.ready());
        auto *field = session.widget<QLineEdit>("silenceEdit");
        type(field, row.before);
        QSignalSpy results(session.app.get(), &Kelvane::Application::asrResult);
        QVERIFY(session.startAndWaitForSession());
        if (row.during == "+")
            session.click("plusButton");
        else if (!row.during.isEmpty())
            type(field, row.during);
        session.recognise(QStringLiteral("什么是多态"));
        QVERIFY(results.wait(5000));
        session.speak(20);
        QTest::qWait(1700); // the speech, and 1.5 s of its pause
        if (!row.late.isEmpty())
            type(field, row.late);
        if (row.asked) {
            QTRY_COMPARE_WITH_TIMEOUT(session.list()->count(), 1, 800);
        } else {
            QTest::qWait(1000);
            QCOMPARE(session.list()->count(), 0);
        }
    }

    void stopDuringASlowHandshake() {
        Session session;
        QVERIFY(session.ready());
        session.asr.options().handshakeDelayMs = 600;
        session.click("startButton");
        QTRY_COMPARE(session.asr.handshakes.size(), 1);
        QTest::qWait(100);
        QCOMPARE(session.status(), QStringLiteral("正在连接识别服务…")); // not listening yet
        session.click("stopButton");
        QCOMPARE(session.status(), QStringLiteral("已停止"));
        QTest::qWait(1000);
        QCOMPARE(session.asr.openSessions(), 0);
        QVERIFY(session.asr.fullRequests.isEmpty());
        // The next start is a session of its own.
        session.asr.options().handshakeDelayMs = 0;
        QVERIFY(session.startAndWaitForSession());
        QVERIFY(session.askByVoice());
    }
};

QTEST_MAIN(TestSession)
#include "tst_session.moc"
