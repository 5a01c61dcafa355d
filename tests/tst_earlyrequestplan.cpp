#include "EarlyRequestPlan.h"
#include "QuestionDetector.h"

#include <QRegularExpression>
#include <QtTest>

using Kelvane::EarlyRequestPlan;

namespace {

// A pause as the controller lives it, 10 ms buffers at a 1,000 ms threshold: the detector
// finds the early point and the question, the plan keeps the request in flight. Events:
// "speed:MS" (an answer's first token), "text:T" (a recognition result), "loud:MS",
// "quiet:MS", "queue" (the next question waits in the queue until "ask"), and replies of the
// request sent last: "reply", "done", "think", "fail:STATUS".
struct Timeline {
    Kelvane::QuestionDetector detector;
    EarlyRequestPlan plan;
    int sent = 0;
    int cancelled = 0;
    int lastSerial = 0;
    QString pending; // the question the pause ended, on its way to be asked
    bool queued = false;
    QStringList shown; // what reached the first question's pane
    QString asked;

    void cancel() {
        if (plan.inFlight()) {
            plan.withdraw();
            ++cancelled;
        }
    }
    void send(const QString &question) {
        if (!plan.wantsToSend(question))
            return;
        cancel();
        lastSerial = plan.begin(question, {}, detector.questionsAsked());
        plan.sent(lastSerial, ++sent);
    }
    void show(int questionId, const QString &what) {
        if (questionId == 1)
            shown << what;
    }
    void ask() {
        if (pending.isEmpty())
            return;
        asked = std::exchange(pending, QString());
        const auto outcome = plan.adopt(1, asked);
        if (outcome.cancelId)
            ++cancelled;
        if (!outcome.request) {
            ++sent;
            shown << QStringLiteral("anew");
        } else if (outcome.decision == EarlyRequestPlan::Adoption::ShowFailure) {
            shown << outcome.request->error;
        } else {
            if (outcome.showThinking)
                shown << QStringLiteral("think");
            if (!outcome.request->answer.isEmpty())
                shown << outcome.request->answer;
            if (outcome.request->done)
                shown << QStringLiteral("done");
        }
    }
    void buffers(int ms, bool loud) {
        for (int i = 0; i < ms / 10; ++i) {
            if (loud && detector.silentBuffers() > 0)
                cancel(); // speech resumed
            const QString question = detector.onBuffer(loud);
            if (!question.isEmpty()) {
                pending = question;
                if (!queued)
                    ask();
            }
            send(detector.earlyQuestion());
        }
    }
    void run(const QString &script) {
        detector.setThresholdBuffers(100);
        detector.setEarlyBuffers(plan.earlyBuffers(100));
        for (const QString &event : script.split(' ', Qt::SkipEmptyParts)) {
            const QString name = event.section(':', 0, 0);
            const QString value = event.section(':', 1);
            if (name == "speed") {
                plan.recordFirstToken(value.toInt());
                detector.setEarlyBuffers(plan.earlyBuffers(100));
            } else if (name == "text") {
                detector.onResult(value, false);
                if (plan.outdatedBy(detector.questionsAsked(), detector.currentText())) {
                    cancel();
                    send(detector.earlyQuestion(true));
                }
            } else if (name == "loud" || name == "quiet") {
                buffers(value.toInt(), name == "loud");
            } else if (name == "queue" || name == "ask") {
                queued = name == "queue";
                ask();
            } else if (name == "reply" || name == "done") {
                show(plan.replyArrived(lastSerial,
                                       name == "done" ? QString() : QStringLiteral("答"),
                                       name == "done"),
                     name == "done" ? QStringLiteral("done") : QStringLiteral("答"));
            } else if (name == "think") {
                show(plan.reasoningArrived(lastSerial), QStringLiteral("think"));
            } else if (name == "fail") {
                const QString error = QStringLiteral("HTTP %1 refused").arg(value);
                show(plan.failureArrived(lastSerial, error), error);
            } else {
                QFAIL(qPrintable("unknown event " + event));
            }
        }
        ask();
    }
};

} // namespace

class TestEarlyRequestPlan : public QObject {
    Q_OBJECT

private slots:
    void point_data() {
        QTest::addColumn<QList<int>>("firstTokens"); // measured, ms
        QTest::addColumn<int>("thresholdMs");
        QTest::addColumn<int>("pointMs"); // 0: no early request
        QTest::newRow("unmeasured: the seed") << QList<int>{} << 1000 << 250;
        QTest::newRow("one measured: still the seed") << QList<int>{20} << 1000 << 250;
        QTest::newRow("a fast service: late") << QList<int>{20, 30, 25} << 1000 << 920;
        QTest::newRow("a slow service: early") << QList<int>{800, 760, 820} << 1000 << 200;
        QTest::newRow("the median, not one slow answer")
            << QList<int>{100, 2500, 120, 110} << 1500 << 1330;
        QTest::newRow("only the last nine count")
            << QList<int>{900, 900, 900, 900, 900, 100, 100, 100, 100, 100, 100, 100, 100, 100}
            << 2000 << 1850;
        QTest::newRow("never before 200 ms") << QList<int>{600, 600, 600} << 500 << 200;
        QTest::newRow("never at the threshold") << QList<int>{10, 10, 10} << 200 << 0;
    }
    void point() {
        QFETCH(QList<int>, firstTokens);
        QFETCH(int, thresholdMs);
        QFETCH(int, pointMs);
        EarlyRequestPlan plan;
        for (int ms : firstTokens)
            plan.recordFirstToken(ms);
        QCOMPARE(plan.earlyBuffers(thresholdMs / 10) * 10, pointMs);
    }

    // Every question here is "什么是多态", spoken for half a second; the rows add pauses, text
    // changes, service speeds and replies. "anew": a fresh request at the threshold.
    void timelines_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("sent");
        QTest::addColumn<int>("cancelled");
        QTest::addColumn<QString>("shown"); // what the question's pane received, in order
        const QString speech = QStringLiteral("text:什么是多态 loud:500 ");
        const QString slow = QStringLiteral("speed:800 speed:800 ");
        QTest::newRow("adopted, the reply so far and the rest")
            << speech + "quiet:300 reply quiet:700 reply done" << 1 << 0 << "答|答|done";
        QTest::newRow("speech resumes: cancelled, asked again")
            << speech + "quiet:400 loud:300 quiet:1000" << 2 << 1 << "";
        QTest::newRow("the point moves in the pause: not asked twice")
            << speech + "quiet:300 speed:100 speed:100 quiet:700" << 1 << 0 << "";
        QTest::newRow("a pause before the point costs nothing")
            << slow + speech + "quiet:150 loud:300 quiet:1000" << 1 << 0 << "";
        QTest::newRow("a fast service: a long inner pause costs nothing")
            << "speed:20 speed:20 " + speech + "quiet:450 loud:300 quiet:1000" << 1 << 0 << "";
        QTest::newRow("the text changes in the pause: asked at once")
            << "text:什么是 loud:500 quiet:300 text:什么是多态 quiet:700" << 2 << 1 << "";
        QTest::newRow("the text changes before the point: asked once")
            << "text:什么是 loud:500 quiet:100 text:什么是多态 quiet:900" << 1 << 0 << "";
        QTest::newRow("a result after the pause ended belongs to the question")
            << speech + "queue quiet:1000 text:什么是多态呢 ask" << 1 << 0 << "";
        QTest::newRow("the text grows past the point: asked at once")
            << speech + "quiet:300 text:什么是多态呢 quiet:700" << 2 << 1 << "";
        QTest::newRow("reasoning before the end shows at adoption")
            << speech + "quiet:300 think quiet:700 think" << 1 << 0 << "think|think";
        QTest::newRow("answered whole before the end")
            << speech + "quiet:300 reply done quiet:700" << 1 << 0 << "答|done";
        QTest::newRow("failed before the end: asked anew")
            << speech + "quiet:300 fail:500 quiet:700" << 2 << 0 << "anew";
        QTest::newRow("a connection lost before the end: asked anew")
            << speech + "quiet:300 fail:0 quiet:700" << 2 << 0 << "anew";
        for (const char *status : {"401", "402", "403"})
            QTest::addRow("refused (%s) before the end: shown at once", status)
                << speech + "quiet:300 fail:" + status + " quiet:700" << 1 << 0
                << QStringLiteral("HTTP %1 refused").arg(status);
        QTest::newRow("failed after adoption: shown under the question")
            << speech + "quiet:300 reply quiet:700 fail:500" << 1 << 0 << "答|HTTP 500 refused";
        QTest::newRow("a failure after the whole answer is none")
            << speech + "quiet:300 reply done fail:500 quiet:700" << 1 << 0 << "答|done";
    }
    void timelines() {
        QFETCH(QString, script);
        QFETCH(int, sent);
        QFETCH(int, cancelled);
        QFETCH(QString, shown);
        Timeline timeline;
        timeline.run(script);
        QVERIFY(timeline.asked.startsWith(QStringLiteral("什么是多态")));
        QCOMPARE(timeline.shown.join('|'), shown);
        QCOMPARE(timeline.sent, sent);
        QCOMPARE(timeline.cancelled, cancelled);
    }
};

QTEST_APPLESS_MAIN(TestEarlyRequestPlan)
#include "tst_earlyrequestplan.moc"
