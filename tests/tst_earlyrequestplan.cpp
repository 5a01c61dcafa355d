#include "EarlyRequestPlan.h"
#include "QuestionDetector.h"

#include <QtTest>

using Kelvane::EarlyRequestPlan;

namespace {

// A pause as the controller lives it, 10 ms buffers at a 1,000 ms threshold: the detector
// finds the early point and the question, the plan keeps the request in flight. Events:
// "speed:MS" (an answer's first token), "text:T" / "final:T" (a recognition result), "loud:MS",
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
    void show(int questionId, const QString &what) { shown << (questionId == 1 ? what : ""); }
    void ask() {
        if (pending.isEmpty())
            return;
        asked = std::exchange(pending, QString());
        const auto outcome = plan.adopt(1, asked);
        cancelled += outcome.cancelId ? 1 : 0;
        if (!outcome.request) {
            ++sent;
            shown << QStringLiteral("anew");
        } else if (outcome.decision == EarlyRequestPlan::Adoption::ShowFailure) {
            shown << outcome.request->error;
        } else {
            shown << (outcome.showThinking ? QStringList{"think"} : QStringList{})
                  << outcome.request->answer << (outcome.request->done ? "done" : "");
        }
    }
    void buffers(int ms, bool loud) {
        for (int i = 0; i < ms / 10; ++i) {
            if (loud && detector.silentBuffers() > 0)
                cancel(); // speech resumed
            const QString question = detector.onBuffer(loud).text;
            if (!question.isEmpty()) {
                pending = question;
                if (!queued)
                    ask();
            }
            // (a packet leaves at the point, and every 100 ms around it)
            const int packet = Kelvane::QuestionDetector::kPacketBuffers;
            if (detector.silentBuffers() % packet == detector.earlyPoint() % packet)
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
            } else if (name == "text" || name == "final") {
                detector.onResult({value, {}, -1, 0});
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
                const QString text = name == "done" ? QString() : QStringLiteral("答");
                show(plan.replyArrived(lastSerial, text, name == "done"),
                     name == "done" ? name : text);
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
        QTest::newRow("the median") << QList<int>{100, 2500, 120, 110} << 1500 << 1330;
        QList<int> lastNine(5, 900);
        lastNine << QList<int>(9, 100);
        QTest::newRow("only the last nine count") << lastNine << 2000 << 1850;
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
    // changes, service speeds and replies. The outcome: requests sent / cancelled, then what
    // the question's pane received ("anew": a fresh request at the threshold).
    void timelines_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("outcome");
        const auto row = [](const char *name, const QString &script, const QString &outcome) {
            QTest::newRow(name) << script << outcome;
        };
        const QString q = QStringLiteral("text:什么是多态 loud:500 ");
        row("adopted, the reply so far and the rest", q + "quiet:300 reply quiet:700 reply done",
            "1/0 答|答|done");
        row("speech resumes: cancelled, asked again", q + "quiet:400 loud:300 quiet:1000", "2/1 ");
        row("the point moves in the pause: not asked twice",
            q + "quiet:300 speed:100 speed:100 quiet:700", "1/0 ");
        row("a slow service: a pause before the point costs nothing",
            "speed:800 speed:800 " + q + "quiet:150 loud:300 quiet:1000", "1/0 ");
        row("a fast service: a long inner pause costs nothing",
            "speed:20 speed:20 " + q + "quiet:450 loud:300 quiet:1000", "1/0 ");
        row("the text changes in the pause: asked at once",
            "text:什么是 loud:500 quiet:300 text:什么是多态 quiet:700", "2/1 ");
        row("the text changes before the point: asked once",
            "text:什么是 loud:500 quiet:100 text:什么是多态 quiet:900", "1/0 ");
        row("a result after the pause ended belongs to the question",
            q + "queue quiet:1000 text:什么是多态呢 ask", "1/0 ");
        row("the text grows past the point: asked at once",
            q + "quiet:300 text:什么是多态呢 quiet:700", "2/1 ");
        row("the question just asked, heard again: nothing asked early",
            "text:什么是多态？ loud:500 quiet:1000 final:什么是多态 loud:300 quiet:1000", "1/0 ");
        row("reasoning before the end shows at adoption", q + "quiet:300 think quiet:700 think",
            "1/0 think|think");
        row("answered whole before the end", q + "quiet:300 reply done quiet:700", "1/0 答|done");
        row("failed before the end: asked anew", q + "quiet:300 fail:500 quiet:700", "2/0 anew");
        row("a lost connection before the end: asked anew", q + "quiet:300 fail:0 quiet:700",
            "2/0 anew");
        row("refused (401) before the end: shown at once", q + "quiet:300 fail:401 quiet:700",
            "1/0 HTTP 401 refused");
        row("refused (403)", q + "quiet:300 fail:403 quiet:700", "1/0 HTTP 403 refused");
        row("failed after adoption: shown under the question",
            q + "quiet:300 reply quiet:700 fail:500", "1/0 答|HTTP 500 refused");
        row("a failure after the whole answer is none",
            q + "quiet:300 reply done fail:500 quiet:700", "1/0 答|done");
    }
    void timelines() {
        QFETCH(QString, script);
        QFETCH(QString, outcome);
        Timeline timeline;
        timeline.run(script);
        timeline.shown.removeAll(QString()); // (replies to other questions, nothing shown)
        QVERIFY(timeline.asked.startsWith(QStringLiteral("什么是多态")));
        QCOMPARE(QStringLiteral("%1/%2 ").arg(timeline.sent).arg(timeline.cancelled) +
                     timeline.shown.join('|'),
                 outcome);
    }
};

QTEST_APPLESS_MAIN(TestEarlyRequestPlan)
#include "tst_earlyrequestplan.moc"
