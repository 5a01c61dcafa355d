#include "AsrWire.h"
#include "Session.h"

#include <QProgressBar>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <nlohmann/json.hpp>

using Kelvane::Settings;
using KelvaneTest::Session;

// Whole sessions in one process, as a user meets them: the window, the controller on a
// scripted device, and both stand-in services speaking their real protocols on 127.0.0.1.
class TestSession : public QObject {
    Q_OBJECT

    QString itemText(Session &session, int row) { return session.list()->item(row)->text(); }

private slots:
    void threeSpokenQuestions() {
        const QStringList script{QStringLiteral("什么是多态？"),
                                 QStringLiteral("What is a hash map?"),
                                 QStringLiteral("请介绍一下你的项目经验。")};
        Session session(script);
        QVERIFY(session.ready());
        auto *meter = session.widget<QProgressBar>("levelMeter");
        QCOMPARE(meter->value(), 0);
        QVERIFY(session.startAndWaitForSession());
        QCOMPARE(session.status(), QStringLiteral("正在监听"));
        QVERIFY(!session.widget<QPushButton>("startButton")->isEnabled());

        const int framesBefore = session.asr.audioFrames;
        int loudest = 0; // the meter moves with what is captured
        connect(meter, &QProgressBar::valueChanged, this,
                [&loudest](int value) { loudest = std::max(loudest, value); });
        for (int i = 0; i < script.size(); ++i)
            QVERIFY2(session.askByVoice(), qPrintable(script[i]));
        QVERIFY(loudest > 50);
        // Each pause reaches the recogniser as it goes on (its text decides what an early
        // request asks), not in the 300 ms batches of speech: 100 quiet buffers per question.
        QVERIFY2(session.asr.audioFrames - framesBefore >= 30,
                 qPrintable(QString::number(session.asr.audioFrames - framesBefore)));
        QVERIFY(session.waitForAnswers(3));
        for (int i = 0; i < script.size(); ++i)
            QCOMPARE(itemText(session, i), QStringLiteral("Q%1: %2").arg(i + 1).arg(script[i]));
        // Selecting a question shows its own answer, in full.
        for (int row : {0, 2, 1}) {
            const QString answer = session.answerOf(row);
            QVERIFY2(answer.contains(script[row]), qPrintable(answer));
            QVERIFY(answer.contains(QStringLiteral("回答时控制在两分钟以内。")));
        }

        QSignalSpy closed(&session.asr, &StandinAsrServer::sessionClosed);
        session.click("stopButton");
        QCOMPARE(session.status(), QStringLiteral("已停止"));
        QCOMPARE(meter->value(), 0); // and rests, whatever was still queued
        QVERIFY(closed.wait(5000));
        QCOMPARE(meter->value(), 0);
        QCOMPARE(closed.value(0).value(0).toInt(), 1000);
        QVERIFY(session.widget<QPushButton>("startButton")->isEnabled());
        // No key in any line of a whole session.
        for (const QString &line : session.log.out() + session.log.err())
            QVERIFY2(!line.contains("sk-session") && !line.contains("token-session-0001") &&
                         !line.contains("app-session-01"),
                     qPrintable(line));
    }

    void controls() {
        Session session;
        QVERIFY(session.ready());
        auto *silence = session.widget<QLineEdit>("silenceEdit");
        // The steps, and a typed value out of range: the field shows the threshold in use.
        for (const auto &[typed, button, shown] : {std::tuple{"150", "minusButton", "100"},
                                                   {"4950", "plusButton", "5000"},
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
        auto *direction = session.widget<QLineEdit>("directionEdit");
        direction->setText(QStringLiteral("   "));
        QVERIFY(session.startAndWaitForSession());
        QCOMPARE(direction->text(), QStringLiteral("通用面试"));
        QVERIFY(session.askByVoice());
        QTRY_COMPARE(session.chat.requests.size(), 1);
        QVERIFY(session.chat.requests[0].body.contains("通用面试"));
    }

    // Each misbehaviour of the recogniser once: what the status line says, and that listening
    // comes back (by itself, or with one click where retrying cannot help) to answer the next
    // spoken question.
    void recognitionFaults_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("stops");
        QTest::newRow("handshake 401") << "401"
                                       << "识别服务拒绝连接（HTTP 401）" << true;
        QTest::newRow("session refused") << "session"
                                         << "识别服务拒绝会话（45000030）" << true;
        QTest::newRow("service busy")
            << "busy"
            << "识别服务拒绝会话（55000031），正在重连（第 1 次）" << false;
        QTest::newRow("stops answering") << "stall"
                                         << "识别服务无响应，正在重连（第 1 次）" << false;
        QTest::newRow("connection dropped") << "drop"
                                            << "识别服务连接中断，正在重连（第 1 次）" << false;
        QTest::newRow("error frame") << "error"
                                     << "识别服务出错（45000081），正在重连（第 1 次）" << false;
        QTest::newRow("garbage frames") << "garbage"
                                        << "识别服务出错（0），正在重连（第 1 次）" << false;
    }
    void recognitionFaults() {
        QFETCH(QString, fault);
        QFETCH(QString, status);
        QFETCH(bool, stops);
        QStringList statuses; // outlives the session, which reports its last status as it ends
        Session session({QStringLiteral("恢复之后的问题")});
        QVERIFY(session.ready());
        connect(session.app.get(), &Kelvane::Application::statusChanged, this,
                [&](const QString &text) { statuses.append(text); });
        auto &options = session.asr.options();
        options.refuseStatus = fault.toInt();
        options.refuseSessionCode = fault == "session" ? 45000030 : fault == "busy" ? 55000031 : 0;
        options.dropAfterFrames = fault == "drop" ? 1 : 0;
        options.stallAfterFrames = fault == "stall" ? 2 : 0;
        options.garbage = fault == "garbage";
        session.click("startButton");
        if (fault == "error") {
            QSignalSpy audio(&session.asr, &StandinAsrServer::audioReceived);
            QVERIFY(audio.wait(10000));
            session.asr.sendError(45000081, QStringLiteral("waiting next packet timeout"));
        }
        QTRY_VERIFY2_WITH_TIMEOUT(statuses.contains(status), qPrintable(statuses.join('|')), 20000);
        QVERIFY(!session.widget<QLabel>("statusLabel")->toolTip().isEmpty() || !stops);
        QCOMPARE(session.widget<QPushButton>("startButton")->isEnabled(), stops);

        options.refuseStatus = options.refuseSessionCode = options.dropAfterFrames = 0;
        options.stallAfterFrames = 0;
        options.garbage = false;
        if (stops)
            QVERIFY(session.startAndWaitForSession());
        QTRY_COMPARE_WITH_TIMEOUT(session.status(), QStringLiteral("正在监听"), 15000);
        QVERIFY(session.askByVoice());
        QCOMPARE(session.list()->item(0)->text(), QStringLiteral("Q1: 恢复之后的问题"));
    }

    // The playback device changes, fails, or is not there: while listening and at 开始 (none at
    // start-up, one that fails to start or at its first poll, a sound server restarted while
    // stopped). Capture re-opens by itself, about once a second at most; without a device the
    // window says so and keeps 停止 for the user.
    void captureFaults_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("atStart");
        QTest::addColumn<QString>("status"); // seen on the way, empty for none
        const QString lost = QStringLiteral("音频设备丢失，正在重新打开");
        const QString none = QStringLiteral("音频设备不可用，正在重试");
        QTest::newRow("default device changed") << "default" << false << QString();
        QTest::newRow("device invalidated") << "invalidated" << false << lost;
        QTest::newRow("no device for a while") << "gone" << false << none;
        QTest::newRow("no device at start-up") << "none" << true << none;
        QTest::newRow("device fails to start") << "start" << true << none;
        QTest::newRow("device fails at its first poll") << "poll" << true << lost;
        QTest::newRow("server restarted while stopped") << "restart" << true << QString();
    }
    void captureFaults() {
        QFETCH(QString, fault);
        QFETCH(bool, atStart);
        QFETCH(QString, status);
        using Step = KelvaneTest::ScriptedAudioPlatform::Step;
        auto device = std::make_shared<KelvaneTest::ScriptedAudioPlatform::Script>();
        if (fault == "none")
            device->fail(Step::CreateEnumerator, Kelvane::kPlatformGenericFailure);
        QStringList statuses;
        Session session({QStringLiteral("设备回来之后的问题")}, device);
        QVERIFY(session.ready());
        connect(session.app.get(), &Kelvane::Application::statusChanged, this,
                [&](const QString &text) { statuses.append(text); });
        if (!atStart || fault == "restart")
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
        if (atStart)
            session.click("startButton");
        QTRY_VERIFY_WITH_TIMEOUT(device->callCount(Step::CreateEnumerator) > opened, 10000);
        if (!status.isEmpty())
            QTRY_VERIFY2_WITH_TIMEOUT(statuses.contains(status), qPrintable(statuses.join('|')),
                                      10000);
        if (atStart && !status.isEmpty()) {
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
        QCOMPARE(session.list()->item(0)->text(), QStringLiteral("Q1: 设备回来之后的问题"));
    }

    // An empty key is named on the status line and its field opened in 设置; nothing starts.
    void emptyCredential_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("status");
        QTest::newRow("app id") << Kelvane::Settings::AsrAppId << "asrAppIdEdit"
                                << "未填写识别服务的 App ID";
        QTest::newRow("access token") << Kelvane::Settings::AsrAccessToken << "asrTokenEdit"
                                      << "未填写识别服务的 Access Token";
        QTest::newRow("API key") << Kelvane::Settings::LlmApiKey << "llmKeyEdit"
                                 << "未填写对话服务的 API Key";
    }
    void emptyCredential() {
        QFETCH(QString, key);
        QFETCH(QString, field);
        QFETCH(QString, status);
        Session session;
        QVERIFY(session.ready());
        for (const char *name :
             {"KELVANE_LLM_API_KEY", "KELVANE_ASR_APP_ID", "KELVANE_ASR_ACCESS_TOKEN"})
            qunsetenv(name);
        Kelvane::Settings::store(Settings::LlmApiKey, QStringLiteral("sk-session"));
        Kelvane::Settings::store(Settings::AsrAppId, QStringLiteral("app-session-01"));
        Kelvane::Settings::store(Settings::AsrAccessToken, QStringLiteral("token-session-0001"));
        Kelvane::Settings::store(key, QString());
        QString focused;
        QString shown;
        QTimer::singleShot(200, this, [&]() {
            QWidget *dialog = QApplication::activeModalWidget();
            QVERIFY(dialog);
            focused = dialog->focusWidget() ? dialog->focusWidget()->objectName() : QString();
            shown = session.status();
            dialog->close();
        });
        session.click("startButton");
        QCOMPARE(focused, field);
        QCOMPARE(shown, status);
        QCOMPARE(session.status(), status);
        QVERIFY(!session.app->listening());
        QVERIFY(session.widget<QPushButton>("startButton")->isEnabled());
        QCOMPARE(session.asr.handshakes.size(), 0);
    }

    // A failed answer says why in its pane and marks its question; 重新回答 replaces it in
    // place, under the same number.
    void answerFaults_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("pane"); // how the failed answer begins or what it contains
        QTest::newRow("402") << "402"
                             << "回答失败：HTTP 402 Payment Required";
        QTest::newRow("500") << "500"
                             << "回答失败：HTTP 500 Internal Server Error";
        QTest::newRow("wrong key") << "key"
                                   << "回答失败：HTTP 401 Authentication Fails";
        QTest::newRow("cut off") << "drop"
                                 << "回答不完整：";
        QTest::newRow("no [DONE]") << "nodone"
                                   << "回答不完整：连接在回答结束前关闭";
    }
    void answerFaults() {
        QFETCH(QString, fault);
        QFETCH(QString, pane);
        Session session({QStringLiteral("会失败的问题")});
        QVERIFY(session.ready());
        auto &chat = session.chat.options();
        chat.refuseStatus = fault.toInt();
        chat.dropAfterDeltas = fault == "drop" ? 3 : 0;
        chat.noDone = fault == "nodone";
        if (fault == "key") // the key the user typed is wrong
            qputenv("KELVANE_LLM_API_KEY", "sk-other");
        QSignalSpy failed(session.app.get(), &Kelvane::Application::answerFailed);
        QVERIFY(session.startAndWaitForSession());
        QVERIFY(session.askByVoice());
        // (a refusal the early request met is shown as the question appears)
        QVERIFY(!failed.isEmpty() || failed.wait(10000));
        const QString shown = session.answerOf(0);
        QVERIFY2(shown.contains(pane), qPrintable(shown));
        QCOMPARE(fault == "drop" || fault == "nodone", !shown.startsWith("回答失败"));
        QCOMPARE(session.list()->item(0)->data(Qt::AccessibleDescriptionRole).toString(),
                 QStringLiteral("回答失败"));

        chat.refuseStatus = chat.dropAfterDeltas = 0;
        chat.noDone = false;
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
        QCOMPARE(session.list()->item(0)->text(), QStringLiteral("Q1: 会失败的问题"));
    }

    // Answers still streaming when the next question comes, and one asked again while another
    // question is shown, each land under their own question, whole and once.
    void answersStayWithTheirQuestions() {
        const QStringList script{QStringLiteral("第一个问题"), QStringLiteral("第二个问题")};
        Session session(script);
        QVERIFY(session.ready());
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
        // The figures under the answer: its first text came well before its end.
        const QString timing = session.widget<QLabel>("timingLabel")->text();
        const auto figures =
            QRegularExpression(QStringLiteral("首字 ([\\d.]+) s · 完成 ([\\d.]+) s")).match(timing);
        QVERIFY2(figures.hasMatch() &&
                     figures.captured(1).toDouble() < figures.captured(2).toDouble(),
                 qPrintable(timing));
    }

    // A threshold under one buffer still waits for a silent buffer: never a question per
    // partial result.
    void tinyThreshold() {
        Session session({QStringLiteral("一个很长的问题")});
        QVERIFY(session.ready());
        QVERIFY(session.startAndWaitForSession());
        session.app->setSilenceThreshold(5);
        QVERIFY(session.askByVoice());
        QTest::qWait(500);
        QCOMPARE(session.list()->count(), 1);
    }

    // 立即回答 (button or Ctrl+Enter) asks what was heard at once; the pause that follows asks
    // nothing more. The line under the controls shows what is heard until it is asked.
    void answerNow_data() {
        QTest::addColumn<bool>("shortcut");
        QTest::newRow("button") << false;
        QTest::newRow("Ctrl+Enter") << true;
    }
    void answerNow() {
        QFETCH(bool, shortcut);
        Session session(QStringList{});
        QVERIFY(session.ready());
        QSignalSpy requested(&session.chat, &StandinChatServer::requestReceived);
        QVERIFY(session.startAndWaitForSession());
        session.speak(200); // two seconds of speech: no pause ends it meanwhile
        session.asr.sendToClients(AsrWire::serverFrame(
            AsrWire::FullServerResponse, 1, 1, R"({"result":{"text":"请介绍一下你自己"}})"));
        auto *heard = session.widget<QLabel>("transcriptLabel");
        QTRY_COMPARE(heard->text(), QStringLiteral("请介绍一下你自己"));
        if (shortcut)
            QTest::keyClick(session.window.get(), Qt::Key_Return, Qt::ControlModifier);
        else
            session.click("answerNowButton");
        QCOMPARE(session.list()->count(), 1); // at once, not after a pause
        QCOMPARE(session.list()->item(0)->text(), QStringLiteral("Q1: 请介绍一下你自己"));
        QVERIFY(heard->text().isEmpty());
        QTest::qWait(3500); // the speech ends and its pause passes
        QCOMPARE(session.list()->count(), 1);
        QCOMPARE(requested.count(), 1);
    }

    // What the user filled in reaches the request: the résumé and job description, and with
    // context on, the question before with its answer.
    void profileAndContextReachTheRequest() {
        const QStringList script{QStringLiteral("介绍一下项目"), QStringLiteral("为什么这样设计")};
        Session session(script);
        QVERIFY(session.ready());
        Kelvane::Settings::store(Settings::ProfileResume, QStringLiteral("主导过风控引擎重构"));
        Kelvane::Settings::store(Settings::LlmContextRounds, QStringLiteral("1"));
        QVERIFY(session.startAndWaitForSession());
        QVERIFY(session.askByVoice());
        QVERIFY(session.waitForAnswers(1));
        QVERIFY(session.askByVoice());
        QVERIFY(session.waitForAnswers(2));
        // The request answered last (an early one for a shorter text may have gone before).
        const auto messages =
            nlohmann::json::parse(session.chat.requests.last().body.toStdString())["messages"];
        QCOMPARE(int(messages.size()), 4);
        QVERIFY(QString::fromStdString(messages[0]["content"]).contains("主导过风控引擎重构"));
        QVERIFY(QString::fromStdString(messages[1]["content"]).contains(script[0]));
        QCOMPARE(QString::fromStdString(messages[2]["role"]), QStringLiteral("assistant"));
        QVERIFY(QString::fromStdString(messages[3]["content"]).contains(script[1]));
        for (const QString &line : session.log.out())
            QVERIFY2(!line.contains("风控引擎"), qPrintable(line)); // never in the log
    }

    // 导出记录: every question with its number, its answer and its notes, and its timing.
    void exportedRecord() {
        const QStringList script{QStringLiteral("第一问"), QStringLiteral("第二问"),
                                 QStringLiteral("第三问")};
        Session session(script);
        QVERIFY(session.ready());
        QVERIFY(session.startAndWaitForSession());
        QVERIFY(session.askByVoice());
        QVERIFY(session.waitForAnswers(1));
        session.chat.options().refuseStatus = 500;
        QVERIFY(session.askByVoice());
        QSignalSpy failed(session.app.get(), &Kelvane::Application::answerFailed);
        QVERIFY(failed.wait(5000));
        session.chat.options().refuseStatus = 0;
        session.chat.options().dropAfterDeltas = 2;
        QVERIFY(session.askByVoice());
        QVERIFY(failed.wait(5000));
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("记录.md"));
        QVERIFY(session.window->exportTo(path));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        const qsizetype one = text.indexOf("## Q1: 第一问"), two = text.indexOf("## Q2: 第二问"),
                        three = text.indexOf("## Q3: 第三问");
        QVERIFY2(one > 0 && one < two && two < three, qPrintable(text));
        QVERIFY(text.mid(one, two - one)
                    .contains(StandinChatServer::answerDeltas(script[0]).first().trimmed()));
        QVERIFY(text.mid(two, three - two).contains(QStringLiteral("回答失败：HTTP 500")));
        QVERIFY(text.mid(three).contains(QStringLiteral("回答不完整：")));
        QVERIFY(text.mid(one, two - one).contains(QStringLiteral("*静音")));
    }

    // A reasoning service: the pane says it thinks, then the answer replaces that line. It
    // began reasoning on the early request, before the question ended, and says no more until
    // its answer: the pane says so from the question's start.
    void thinkingThenAnswer() {
        Session session({QStringLiteral("先想一想的问题")});
        QVERIFY(session.ready());
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
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QString>("asked"); // empty: no question
        const QString question = QStringLiteral("什么是多态");
        QTest::newRow("text unchanged: adopted") << "unchanged" << 1 << question;
        QTest::newRow("speech resumes") << "resumes" << 2 << question;
        QTest::newRow("a second pause") << "twice" << 3 << question;
        QTest::newRow("text changes") << "changes" << 2 << QStringLiteral("什么是多态和继承");
        QTest::newRow("early request fails") << "fails" << 2 << question;
        QTest::newRow("stop in between") << "stop" << 1 << QString();
        QTest::newRow("switched off") << "off" << 1 << question;
        // A refusal the same request would meet again is shown at once, not asked again.
        QTest::newRow("early request refused") << "refused" << 1 << question;
    }
    void earlyRequest() {
        QFETCH(QString, scenario);
        QFETCH(int, requests);
        QFETCH(QString, asked);
        qputenv("KELVANE_EARLY_REQUEST", scenario == "off" ? "off" : "on");
        const auto restore = qScopeGuard([] { qunsetenv("KELVANE_EARLY_REQUEST"); });
        Session session(QStringList{}); // the recogniser says only what the test makes it say
        QVERIFY(session.ready());
        const auto recognise = [&](const QString &text) {
            session.asr.sendToClients(AsrWire::serverFrame(
                AsrWire::FullServerResponse, 1, 1,
                QStringLiteral(R"({"result":{"text":"%1"}})").arg(text).toUtf8()));
        };
        QSignalSpy requested(&session.chat, &StandinChatServer::requestReceived);
        QSignalSpy results(session.app.get(), &Kelvane::Application::asrResult);
        QVERIFY(session.startAndWaitForSession());
        session.chat.options().refuseStatus = scenario == "fails"     ? 500
                                              : scenario == "refused" ? 401
                                                                      : 0;
        recognise(QStringLiteral("什么是多态"));
        QVERIFY(results.wait(5000));
        for (int pause = 0; pause < (scenario == "twice"     ? 3
                                     : scenario == "resumes" ? 2
                                                             : 1);
             ++pause) {
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
            recognise(QStringLiteral("什么是多态和继承"));
            QVERIFY(requested.wait(400));
            QCOMPARE(session.list()->count(), 0);
        }
        if (scenario == "stop")
            session.click("stopButton");
        QTest::qWait(1500);
        QCOMPARE(session.list()->count(), asked.isEmpty() ? 0 : 1);
        if (!asked.isEmpty()) {
            QCOMPARE(session.list()->item(0)->text(), "Q1: " + asked);
            if (scenario == "refused") {
                QVERIFY(session.answerOf(0).startsWith(QStringLiteral("回答失败：HTTP 401")));
            } else {
                QVERIFY(session.waitForAnswers(1));
                QVERIFY(session.answerOf(0).contains(asked));
            }
        }
        QCOMPARE(session.chat.requests.size(), requests);
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
