#include "Session.h"

#include <QProgressBar>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <nlohmann/json.hpp>

#include "PromptBuilder.h"
#include "QuestionBook.h"
#include "SpeechText.h"

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
struct AskPath {
    QString path;
    int rounds;   // 上下文轮数
    int requests; // to the chat service, including the one 重新回答 sends
};
struct Correction {
    QString press;      // skipButton or mergeButton
    QStringList asked;  // what the interviewer says, each ended by a pause ("…": no pause yet)
    QString fault;      // the newest answer: "streaming", "done" or "failed"
    QStringList listed; // the list afterwards
    QString sent;       // what the chat service was asked last
};
struct Threshold {
    QString before, during, late; // typed before 开始, at 开始, 1.5 s into the pause
    bool asked;                   // within about 2.5 s of pause
};
} // namespace
Q_DECLARE_METATYPE(RecognitionFault)
Q_DECLARE_METATYPE(CaptureFault)
Q_DECLARE_METATYPE(AskPath)
Q_DECLARE_METATYPE(Threshold)
Q_DECLARE_METATYPE(Correction)

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
        QCOMPARE(session.status(), QStringLiteral("正在监听"));
        QVERIFY(!session.widget<QPushButton>("startButton")->isEnabled());

        int loudest = 0; // the meter moves with what is captured
        connect(meter, &QProgressBar::valueChanged, this,
                [&loudest](int value) { loudest = std::max(loudest, value); });
        for (int i = 0; i < script.size(); ++i)
            QVERIFY2(session.askByVoice(), qPrintable(script[i]));
        // Half-typed while answers complete: nothing takes it for a threshold.
        auto *silence = session.widget<QLineEdit>("silenceEdit");
        silence->setText(QStringLiteral("15"));
        QVERIFY(loudest > 50);
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
        // No key, no résumé and none of the candidate's terms in any line of a whole session.
        for (const QString &line : session.log.out() + session.log.err())
            QVERIFY2(!line.contains("sk-session") && !line.contains("token-session-0001") &&
                         !line.contains("app-session-01") && !line.contains("风控引擎") &&
                         !line.contains("RocketMQ") && !line.contains("星河订单系统"),
                     qPrintable(line));
    }

    // Only questions are answered: the recogniser's second thoughts correct a question's words,
    // an acknowledgement is kept apart, and words the model finds no question in leave the
    // list without ever taking the answer pane.
    void onlyQuestionsAreAnswered() {
        const QStringList script{QStringLiteral("你了解瑞迪斯吗"), QStringLiteral("好的。"),
                                 QStringLiteral("不着急，你可以先想一想。"),
                                 QStringLiteral("说说卡夫卡怎么保证消息不丢")};
        Session session(script);
        session.asr.options().corrections = {{script[0], "你了解Redis吗？"},
                                             {script[3], "说说Kafka怎么保证消息不丢失？"}};
        Kelvane::QuestionBook *book = session.app->book();
        auto *title = session.widget<QLabel>("answerTitle");
        QStringList titles; // every title the pane showed
        connect(book, &Kelvane::QuestionBook::changed, this, [&] { titles << title->text(); });
        const auto remarks = [book] {
            QStringList kept;
            for (const auto &entry : book->entries())
                if (entry.remark)
                    kept << entry.question;
            return kept;
        };
        QVERIFY(session.startAndWaitForSession());
        QVERIFY(session.askByVoice());
        QTRY_COMPARE_WITH_TIMEOUT(session.question(0), "Q1: 你了解Redis吗？", 5000);
        session.speak();
        QTRY_COMPARE_WITH_TIMEOUT(remarks(), QStringList{script[1]}, 5000);
        session.speak();
        QTRY_COMPARE_WITH_TIMEOUT(remarks().size(), 2, 10000);
        QVERIFY(session.askByVoice());
        QTRY_COMPARE_WITH_TIMEOUT(session.question(1), "Q2: 说说Kafka怎么保证消息不丢失？", 5000);
        QVERIFY(session.waitForAnswers(3));
        QTest::qWait(1000); // the correction's own pause passes: nothing more is asked
        QCOMPARE(session.list()->count(), 2);
        QCOMPARE(title->text(), "Q2: 说说Kafka怎么保证消息不丢失？");
        for (const QString &shown : titles)
            QVERIFY2(!shown.contains(script[2]) && !shown.contains(script[1]), qPrintable(shown));
        for (const auto &request : session.chat.requests) // whole questions, or their start
            QVERIFY2(std::any_of(
                         script.begin() + 2, script.end(),
                         [&](const QString &line) { return line.startsWith(request.question); }) ||
                         script[0].startsWith(request.question),
                     qPrintable(request.question));
        QTemporaryDir dir;
        QVERIFY(session.window->exportTo(dir.filePath("记录.md")));
        QFile record(dir.filePath("记录.md"));
        QVERIFY(record.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(record.readAll());
        QVERIFY2(text.contains("> 面试官：好的。") && text.contains("## Q2: 说说Kafka"),
                 qPrintable(text));
    }

    // The user corrects the pause: 跳过 withdraws the newest question (its request closed, its
    // words kept as a remark) or drops what is being heard; 合并 asks the last two as one.
    void userCorrections_data() {
        KelvaneTest::addRows<Correction>({
            {"skip, the answer streaming",
             {"skipButton",
              {"什么是多态？", "不着急，慢慢想。"},
              "streaming",
              {"Q1: 什么是多态？"},
              ""}},
            {"skip, the answer complete",
             {"skipButton", {"什么是多态？", "什么是锁？"}, "done", {"Q1: 什么是多态？"}, ""}},
            {"skip, the answer failed",
             {"skipButton", {"什么是多态？", "什么是锁？"}, "failed", {"Q1: 什么是多态？"}, ""}},
            {"skip while heard",
             {"skipButton", {"什么是多态？", "我们先…"}, "done", {"Q1: 什么是多态？"}, ""}},
            {"merge, Chinese",
             {"mergeButton",
              {"什么是Java中的", "垃圾回收机制？"},
              "streaming",
              {"Q1: 什么是Java中的垃圾回收机制？"},
              "什么是Java中的垃圾回收机制？"}},
            {"merge, between Latin words",
             {"mergeButton",
              {"What is a,", "hash map?"},
              "done",
              {"Q1: What is a hash map?"},
              "What is a hash map?"}},
        });
    }
    void userCorrections() {
        QFETCH(Correction, row);
        Session session(QStringList{});
        QSignalSpy results(session.app.get(), &Kelvane::Application::asrResult);
        QSignalSpy abandoned(&session.chat, &StandinChatServer::answerAbandoned);
        QVERIFY(session.startAndWaitForSession());
        auto *skip = session.widget<QPushButton>("skipButton");
        auto *merge = session.widget<QPushButton>("mergeButton");
        QVERIFY(!skip->isEnabled() && !merge->isEnabled()); // nothing to act on yet
        QString heard;
        for (const QString &said : row.asked) {
            const bool last = said == row.asked.last();
            session.chat.options().deltaIntervalMs = last && row.fault == "streaming" ? 300 : 2;
            session.chat.options().refuseStatus = last && row.fault == "failed" ? 500 : 0;
            heard = Kelvane::SpeechText::join(heard, QString(said).remove(u'…'));
            session.recognise(heard);
            QVERIFY(results.wait(5000));
            if (said.endsWith(u'…'))
                break; // still speaking
            const int before = session.list()->count();
            session.speak(20);
            QTRY_COMPARE_WITH_TIMEOUT(session.list()->count(), before + 1, 5000);
            if (row.fault != "streaming" || !last)
                QVERIFY(session.waitForAnswers(session.list()->count()) || row.fault == "failed");
        }
        QTRY_VERIFY(skip->isEnabled());
        QCOMPARE(merge->isEnabled(), session.list()->count() == 2);
        const qsizetype requests = session.chat.requests.size();
        session.click(qPrintable(row.press));
        QStringList listed;
        for (int i = 0; i < session.list()->count(); ++i)
            listed << session.question(i);
        QCOMPARE(listed, row.listed);
        if (!row.sent.isEmpty()) // asked as one: a new request, the answer under the first
            QTRY_COMPARE(session.chat.requests.last().question, row.sent);
        else
            QCOMPARE(session.chat.requests.size(), requests);
        if (row.fault == "streaming") // the request in flight is closed
            QVERIFY(!abandoned.isEmpty() || abandoned.wait(3000));
        QTRY_VERIFY(session.widget<QLabel>("answerTitle")->text().startsWith(row.listed[0]));
        QTest::qWait(1500); // what was heard and dropped is never asked after its pause
        QCOMPARE(session.list()->count(), row.listed.size());
        // The record keeps a withdrawn question as the interviewer's words.
        QTemporaryDir dir;
        QVERIFY(session.window->exportTo(dir.filePath("记录.md")));
        QFile record(dir.filePath("记录.md"));
        QVERIFY(record.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(record.readAll());
        if (row.press == "skipButton" && !row.asked.last().endsWith(u'…'))
            QVERIFY2(text.contains("> 面试官：" + row.asked.last()), qPrintable(text));
        // The next question takes the next number.
        session.recognise(heard + QStringLiteral("说说锁。"));
        session.speak(20);
        QTRY_COMPARE_WITH_TIMEOUT(session.question(row.listed.size()),
                                  QStringLiteral("Q%1: 说说锁。").arg(row.listed.size() + 1), 5000);
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
              "stopButton", "answerNowButton", "skipButton", "mergeButton", "settingsButton",
              "exportButton", "onTopButton", "levelMeter", "statusLabel", "transcriptLabel",
              "compactButton", "questionList", "answerView", "retryButton"}) {
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
            {"reconnection refused", {"refused anew", "识别服务拒绝连接（HTTP 403）", true}},
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
        options.refuseSessionCode = row.fault == "busy" ? 55000031 : 0;
        options.dropAfterFrames = row.fault == "drop" ? 1 : 0;
        options.stallAfterFrames = row.fault == "stall" ? 2 : 0;
        options.garbage = row.fault == "garbage";
        if (row.fault == "error") {
            QVERIFY(session.startAndWaitForSession());
            session.asr.sendError(45000081, QStringLiteral("waiting next packet timeout"));
        } else if (row.fault == "refused anew") { // a session, lost, and refused anew
            options.refuseStatus = 0;
            QVERIFY(session.startAndWaitForSession());
            options.refuseStatus = 403;
            session.asr.dropClients();
        } else {
            session.click("startButton");
        }
        QTRY_VERIFY2_WITH_TIMEOUT(session.statuses.contains(row.status),
                                  qPrintable(session.statuses.join('|')), 20000);
        QVERIFY(!session.widget<QLabel>("statusLabel")->toolTip().isEmpty() || !row.stops);
        // The service's name of the connection, for its support; never the last one's.
        const bool named = session.widget<QLabel>("statusLabel")
                               ->toolTip()
                               .contains(session.asr.logIds.value(0, "<none>"));
        QVERIFY(row.fault == "error" ? named : row.fault != "refused anew" || !named);
        QCOMPARE(session.widget<QPushButton>("startButton")->isEnabled(), row.stops);

        options = healthy;
        if (row.stops)
            QVERIFY(session.startAndWaitForSession());
        QVERIFY(session.listensAndAsks(QStringLiteral("恢复之后的问题")));
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
        } else if (fault == "gone") {
            device->fail(Step::NextPacketSize, Kelvane::kPlatformDeviceInvalidated);
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
        QVERIFY(session.listensAndAsks(QStringLiteral("设备回来之后的问题")));
    }

    // An empty key is named on the status line and its field opened in 设置; nothing starts.
    void emptyCredential() {
        const struct {
            QString key, field, status;
        } row{Settings::LlmApiKey, "llmKeyEdit", "未填写对话服务的 API Key"};
        Session session;
        QVERIFY(session.ready());
        for (const auto &[variable, key, value] :
             {std::tuple{"KELVANE_LLM_API_KEY", Settings::LlmApiKey, "sk-session"},
              {"KELVANE_ASR_APP_ID", Settings::AsrAppId, "app-session-01"},
              {"KELVANE_ASR_ACCESS_TOKEN", Settings::AsrAccessToken, "token-session-0001"}}) {
            qunsetenv(variable); // (the file's values only)
            Settings::store(key, key == row.key ? QString() : QLatin1String(value));
        }
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

    // Every way a question is asked sends the same messages: the questions before it with their
    // answers (as many as 上下文轮数 says), then the question, once. 重新回答 sends them again.
    void everyPathSendsTheSameMessages_data() {
        QTest::addColumn<AskPath>("row");
        for (const int rounds : {0, 1, 2})
            for (const auto &[path, requests] : {std::pair{"early requests off", 4},
                                                 {"early request adopted", 4},
                                                 {"early request failed, sent anew", 5},
                                                 {"立即回答", 4}})
                QTest::addRow("%s, context %d", path, rounds) << AskPath{path, rounds, requests};
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
                session.speak(150); // still speaking
            if (last && row.path.contains("failed"))
                session.chat.options().refuseStatus = 500;
            // A service that reasons on the early request first: "思考中…" until the answer.
            const bool thinks = last && row.path.contains("adopted") && row.rounds == 2;
            session.chat.options().reasoningMs = thinks ? 100 : 0;
            session.chat.options().firstDeltaDelayMs = thinks ? 2500 : 0;
            session.recognise(asked.mid(0, i + 1).join(QString()));
            QVERIFY(results.wait(5000));
            if (last && row.path == "立即回答") { // by the button, or Ctrl+Enter
                auto *heard = session.widget<QLabel>("transcriptLabel");
                QTRY_COMPARE(heard->text(), asked[2]);
                if (row.rounds == 1)
                    QTest::keyClick(session.window.get(), Qt::Key_Return, Qt::ControlModifier);
                else
                    session.click("answerNowButton");
                QCOMPARE(session.list()->count(), 3); // at once, not after a pause
                QVERIFY(heard->text().isEmpty());
                // Said again with other punctuation: nothing new to show, or to ask later.
                session.recognise(asked.join(QString()).replace(u'。', u'？'));
                QVERIFY(results.wait(5000));
                QVERIFY(heard->text().isEmpty());
            } else {
                session.speak(20);
                if (last && row.path.contains("failed")) {
                    QVERIFY(requested.wait(5000));
                    session.chat.options().refuseStatus = 0;
                }
            }
            QTRY_COMPARE_WITH_TIMEOUT(session.list()->count(), i + 1, 10000);
            auto *pane = session.widget<QTextEdit>("answerView");
            if (thinks)
                QTRY_VERIFY_WITH_TIMEOUT(pane->toPlainText().startsWith(u"思考中… "), 5000);
            QVERIFY(session.waitForAnswers(i + 1));
            QVERIFY(pane->toPlainText().contains(asked[i]) &&
                    !pane->toPlainText().contains(u"思考中"));
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
        QTest::qWait(row.path == "立即回答" ? 2500 : 0); // the speech ends, its pause passes
        QCOMPARE(session.list()->count(), 3);
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
        // Typed as a user does: the text, then Return ("~": no Return, still typing).
        const auto type = [](QLineEdit *field, const QString &text) {
            field->setText(text.chopped(text.endsWith('~') ? 1 : 0));
            if (!text.endsWith('~'))
                QTest::keyClick(field, Qt::Key_Return);
        };
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

    // 停止 during the handshake, and in a question's pause: the next start is a session of its
    // own, and nothing heard before the stop is asked after it.
    void stopAndStartAgain() {
        Session session(QStringList{});
        QVERIFY(session.ready());
        session.asr.options().handshakeDelayMs = 600;
        session.click("startButton");
        QTRY_COMPARE(session.asr.handshakes.size(), 1);
        QTest::qWait(100);
        QCOMPARE(session.status(), QStringLiteral("正在连接识别服务…")); // not listening yet
        session.click("stopButton");
        QTest::qWait(1000);
        QCOMPARE(session.asr.openSessions(), 0);
        QVERIFY(session.asr.fullRequests.isEmpty());
        session.asr.options().handshakeDelayMs = 0;
        for (const QString &heard :
             {QStringLiteral("停止前的半个问题"), QStringLiteral("开始后的问题")}) {
            QVERIFY(session.startAndWaitForSession());
            if (heard.startsWith(QStringLiteral("开始"))) { // a pause longer than the threshold
                QTest::qWait(1500);
                QCOMPARE(session.list()->count(), 0);
            }
            session.recognise(heard);
            session.speak(20);
            if (heard.startsWith(QStringLiteral("停止"))) {
                QTest::qWait(600); // the speech and part of its pause
                session.click("stopButton");
            }
        }
        QTRY_COMPARE(session.list()->count(), 1);
        QCOMPARE(session.question(0), QStringLiteral("Q1: 开始后的问题"));
        QTest::qWait(1000);
        QCOMPARE(session.list()->count(), 1);
    }
};

QTEST_MAIN(TestSession)
#include "tst_session.moc"
