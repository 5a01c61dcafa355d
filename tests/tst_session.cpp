#include "Session.h"

#include <QSignalSpy>
#include <QtTest>

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
        QVERIFY(session.startAndWaitForSession());
        QCOMPARE(session.status(), QStringLiteral("正在监听"));
        QVERIFY(!session.widget<QPushButton>("startButton")->isEnabled());

        for (int i = 0; i < script.size(); ++i)
            QVERIFY2(session.askByVoice(), qPrintable(script[i]));
        QVERIFY(session.waitForAnswers(3));
        for (int i = 0; i < script.size(); ++i) {
            QCOMPARE(itemText(session, i), QStringLiteral("Q%1: %2").arg(i + 1).arg(script[i]));
            QCOMPARE(session.chat.requests.value(i).question, script[i]);
        }
        // Selecting a question shows its own answer, in full.
        for (int row : {0, 2, 1}) {
            const QString answer = session.answerOf(row);
            QVERIFY2(answer.contains(script[row]), qPrintable(answer));
            QVERIFY(answer.contains(QStringLiteral("回答时控制在两分钟以内。")));
        }

        QSignalSpy closed(&session.asr, &StandinAsrServer::sessionClosed);
        session.click("stopButton");
        QCOMPARE(session.status(), QStringLiteral("已停止"));
        QVERIFY(closed.wait(5000));
        QCOMPARE(closed.value(0).value(0).toInt(), 1000);
        QVERIFY(session.widget<QPushButton>("startButton")->isEnabled());
    }

    void controls() {
        Session session;
        QVERIFY(session.ready());
        auto *silence = session.widget<QLineEdit>("silenceEdit");
        for (const auto &[typed, button, shown] : {std::tuple{"150", "minusButton", "100"},
                                                   {"4950", "plusButton", "5000"},
                                                   {"abc", "plusButton", "100"},
                                                   {"1000", "minusButton", "900"}}) {
            silence->setText(QLatin1String(typed));
            session.click(button);
            QCOMPARE(silence->text(), QLatin1String(shown));
        }
        auto *direction = session.widget<QLineEdit>("directionEdit");
        direction->setText(QStringLiteral("   "));
        QVERIFY(session.startAndWaitForSession());
        QCOMPARE(direction->text(), QStringLiteral("通用面试"));
        QVERIFY(session.askByVoice());
        QTRY_COMPARE(session.chat.requests.size(), 1);
        QVERIFY(session.chat.requests[0].body.contains("通用面试"));
    }

    // Each misbehaviour of the services once: the program keeps running, and after a restart
    // of listening the next spoken question is asked and answered.
    void faults_data() {
        QTest::addColumn<QString>("fault");
        for (const char *fault :
             {"asr refuses", "asr drops", "asr stalls", "asr garbage", "asr error frame",
              "chat 500", "chat drops", "chat garbage", "chat no done"})
            QTest::newRow(fault) << QString::fromLatin1(fault);
    }
    void faults() {
        QFETCH(QString, fault);
        Session session({QStringLiteral("第一个问题"), QStringLiteral("第二个问题")});
        QVERIFY(session.ready());
        auto &asr = session.asr.options();
        auto &chat = session.chat.options();
        asr.refuseStatus = fault == "asr refuses" ? 401 : 0;
        asr.dropAfterFrames = fault == "asr drops" ? 1 : 0;
        asr.stallAfterFrames = fault == "asr stalls" ? 1 : 0;
        asr.garbage = fault == "asr garbage";
        chat.refuseStatus = fault == "chat 500" ? 500 : 0;
        chat.dropAfterDeltas = fault == "chat drops" ? 3 : 0;
        chat.garbage = fault == "chat garbage";
        chat.noDone = fault == "chat no done";

        QSignalSpy audio(&session.asr, &StandinAsrServer::audioReceived);
        if (fault.startsWith("asr")) {
            session.click("startButton");
            if (fault == "asr refuses") {
                QTRY_COMPARE(session.asr.handshakes.size(), 1);
            } else {
                QTRY_VERIFY_WITH_TIMEOUT(audio.count() >= 2, 10000);
                if (fault == "asr error frame")
                    session.asr.sendError(45000081, QStringLiteral("waiting next packet timeout"));
            }
            QTest::qWait(300);
            asr.refuseStatus = asr.dropAfterFrames = asr.stallAfterFrames = 0;
            asr.garbage = false;
            session.click("stopButton");
        } else {
            QVERIFY(session.startAndWaitForSession());
            QVERIFY(session.askByVoice()); // the answer fails, the question stays
            QTRY_COMPARE(session.chat.requests.size(), 1);
            QTest::qWait(300);
            chat.refuseStatus = chat.dropAfterDeltas = 0;
            chat.garbage = chat.noDone = false;
            session.click("stopButton");
        }
        QVERIFY(session.startAndWaitForSession());
        QVERIFY(session.askByVoice());
        const int row = session.list()->count() - 1;
        QVERIFY(session.waitForAnswers(1));
        QVERIFY(session.answerOf(row).contains(session.list()->item(row)->text().mid(4)));
    }

    // The log lines the README's troubleshooting list tells users to look for.
    void troubleshootingLines_data() {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("line");
        QTest::newRow("quiet playback") << "quiet"
                                        << "[Audio] Energy: 0 (静音或低音量)";
        QTest::newRow("refused handshake") << "refused"
                                           << "[WebSocketClient] Error: ";
        QTest::newRow("chat failure") << "chat"
                                      << "[Application] LLM error (question 1): ";
        QTest::newRow("pause without text") << "skip"
                                            << "[Silence] Skip LLM trigger: ";
    }
    void troubleshootingLines() {
        QFETCH(QString, situation);
        QFETCH(QString, line);
        Session session;
        QVERIFY(session.ready());
        session.asr.options().refuseStatus = situation == "refused" ? 403 : 0;
        session.chat.options().refuseStatus = situation == "chat" ? 401 : 0;
        if (situation == "chat") {
            QVERIFY(session.startAndWaitForSession());
            QVERIFY(session.askByVoice());
        } else {
            session.click("startButton");
        }
        const auto logged = [&]() {
            const QStringList lines = session.log.out() + session.log.err();
            return std::any_of(lines.begin(), lines.end(),
                               [&](const QString &l) { return l.startsWith(line); });
        };
        QVERIFY(QTest::qWaitFor(logged, 10000));
    }
};

QTEST_MAIN(TestSession)
#include "tst_session.moc"
