#include "QuestionDetector.h"
#include "TestSupport.h"

#include <QtTest>

using Kelvane::QuestionDetector;

// Each case is a script of events, separated by ";":
//   "L" one loud buffer, "S<n>" n silent buffers, "P<text>" a partial result (the session's
//   whole text), "F<text>" a final result (one sentence), "T<n>" a threshold of n buffers,
//   "N" 立即回答, "X" listening stops.
// and the questions it must ask, in order.
class TestQuestionDetector : public QObject {
    Q_OBJECT

private slots:
    void questions_data() {
        QTest::addColumn<QString>("events");
        QTest::addColumn<QStringList>("asked");
        const auto row = [](const char *name, const char *events, const QStringList &asked) {
            QTest::newRow(name) << QString(events) << asked;
        };
        row("one question", "L;P什么是多态？;S100", {"什么是多态？"});
        row("not yet", "L;P什么是多态？;S99", {});
        row("speech resets the count", "L;P什么;S60;L;P什么是多态;S60", {});
        row("nothing recognised", "L;S100;S100", {});
        row("only symbols", "L;P？。 ，;S100", {});
        row("same question again, punctuation aside", "L;P什么是多态？;S100;L;F什么是多态;S100",
            {"什么是多态？"});
        row("three questions, one growing transcript",
            "L;P什么是多态;S100;L;P什么是多态什么是哈希表;S100;"
            "L;P什么是多态什么是哈希表介绍一下你的项目;S100",
            {"什么是多态", "什么是哈希表", "介绍一下你的项目"});
        // The second question's final is its last result: one sentence, no prefix of the whole
        // transcript the third question comes in.
        row("a final sentence never becomes the prefix",
            "L;P什么是多态？;S100;L;P什么是多态？请讲讲锁。;F请讲讲锁。;S100;"
            "L;P什么是多态？请讲讲锁。什么是哈希表;S100",
            {"什么是多态？", "请讲讲锁。", "什么是哈希表"});
        row("the threshold follows the setting", "T20;L;P你好吗;S20;T50;L;P你好吗再见;S49;S1",
            {"你好吗", "再见"});
        row("threshold lowered below the silence counted", "L;P你好吗;S60;T50;S1", {"你好吗"});
        // After a question is asked, the recogniser's second thoughts about it are no new text.
        row("final sentence after the trigger", "L;P什么是多态？请讲讲锁。;S100;F请讲讲锁。;N",
            {"什么是多态？请讲讲锁。"});
        row("punctuation after the trigger", "L;P什么是多态;S100;P什么是多态？;N", {"什么是多态"});
        row("a corrected character after the trigger", "L;P什么是多肽;S100;P什么是多态;N",
            {"什么是多肽"});
        row("a corrected character, then new speech",
            "L;P什么是多肽;S100;L;P什么是多态。请讲讲锁;S100", {"什么是多肽", "请讲讲锁"});
        row("a new sentence after the trigger", "L;P什么是多态？;S100;L;F请讲讲锁。;S100",
            {"什么是多态？", "请讲讲锁。"});
        row("stop ends the question in progress", "L;P什么是多态;S60;X;S40;P你好;L;S100", {"你好"});
        row("silence alone keeps no stale text", "L;P第一个问题;S100;S100;S100;L;P第一个问题;S100",
            {"第一个问题"});
    }

    void questions() {
        QFETCH(QString, events);
        QFETCH(QStringList, asked);
        KelvaneTest::LogLines quiet;
        QuestionDetector detector;
        QStringList questions;
        for (const QString &event : events.split(QLatin1Char(';'))) {
            const QChar kind = event.at(0);
            const QString rest = event.mid(1);
            if (kind == 'T')
                detector.setThresholdBuffers(rest.toInt());
            else if (kind == 'P' || kind == 'F')
                detector.onResult(rest, kind == 'F');
            else if (kind == 'N')
                questions << detector.askNow();
            else if (kind == 'X')
                detector.endQuestion();
            for (int i = 0; i < (kind == 'L' ? 1 : kind == 'S' ? rest.toInt() : 0); ++i)
                questions << detector.onBuffer(kind == 'L');
        }
        questions.removeAll(QString());
        QCOMPARE(questions, asked);
    }
};

QTEST_APPLESS_MAIN(TestQuestionDetector)
#include "tst_questiondetector.moc"
