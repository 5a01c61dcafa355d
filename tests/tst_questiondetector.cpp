#include "QuestionDetector.h"
#include "TestSupport.h"

#include <QtTest>

using namespace Kelvane;

namespace {

// "start-end:text" with optional words "[word@start,…]"; several joined by "|". A "!" before
// the times marks the utterance definite. The recogniser has heard all audio so far, unless
// the text begins with "~" (it does not say).
RecognitionResult timed(QString written, int session, qint64 heardMs) {
    RecognitionResult result;
    result.session = session;
    result.heardMs = written.startsWith('~') ? -1 : heardMs;
    written.remove('~');
    for (const QString &part : written.split(QLatin1Char('|'))) {
        static const QRegularExpression form(
            QStringLiteral(R"(^(!?)(\d+)-(\d+):([^\[]*)(?:\[(.*)\])?$)"));
        const auto match = form.match(part);
        Utterance utterance{match.captured(4),
                            match.captured(2).toLongLong(),
                            match.captured(3).toLongLong(),
                            !match.captured(1).isEmpty(),
                            {}};
        for (const QString &word : match.captured(5).split(QLatin1Char(','), Qt::SkipEmptyParts))
            utterance.words.push_back(
                {word.section('@', 0, 0), word.section('@', 1).toLongLong(), -1});
        result.text += utterance.text;
        result.utterances.push_back(utterance);
    }
    return result;
}

} // namespace

// Each case is a script of events, separated by ";":
//   "L<n>" n loud buffers (one without n), "S<n>" n silent buffers (10 ms of audio each),
//   "U<utterances>" a result with times (see timed()), "P<text>" a result with the session's
//   whole text and no times, "T<n>" a threshold of n buffers, "N" 立即回答, "R" a new
//   recognition session (its audio starts at 0), "D" what is heard is dropped, "X" stop;
// and what it must end, in order: "Q:" a question asked, "R:" a remark, "C<span>:" the words of
// an earlier span corrected.
class TestQuestionDetector : public QObject {
    Q_OBJECT

private slots:
    void questions_data() {
        QTest::addColumn<QString>("events");
        QTest::addColumn<QStringList>("ended");
        const auto row = [](const char *name, const char *events, const QStringList &ended) {
            QTest::newRow(name) << QString(events) << ended;
        };
        row("one question", "L100;U0-1000:什么是多态？;S100", {"Q:什么是多态？"});
        row("not yet", "L;P什么是多态？;S99", {});
        // A quiet tail after the words, which the level gate still takes for sound, is pause.
        row("a quiet tail after the words", "L100;U0-700:什么是多态？;S84;S1", {"Q:什么是多态？"});
        row("a tail counts no more than 150 ms", "L100;U0-700:什么是多态？;S84", {});
        row("a recogniser that has not heard the tail", "L100;U~0-700:什么是多态？;S99", {});
        row("speech resets the count", "L;P什么;S60;L;P什么是多态;S60", {});
        row("nothing recognised", "L;S100;S100", {});
        row("only symbols", "L;P？。 ，;S100", {});
        row("the same question said again", "L;P什么是多态？;S100;L;P什么是多态？什么是多态;S100",
            {"Q:什么是多态？"});
        row("the threshold follows the setting", "T20;L;P你好吗;S20;T50;L;P你好吗再见;S49;S1",
            {"Q:你好吗", "Q:再见"});
        row("threshold lowered below the silence counted", "L;P你好吗;S60;T50;S1", {"Q:你好吗"});
        // What the recogniser makes of a question after it was asked changes its words only.
        row("a correction longer than the asked text",
            "L150;U0-1500:你了解瑞迪斯吗;S100;U0-1500:你了解Redis吗？;L;S100",
            {"Q:你了解瑞迪斯吗", "C1:你了解Redis吗？"});
        row("a correction shorter than the asked text",
            "L150;U0-1500:嗯那个那个就是说你了解Redis吗;S100;U0-1500:你了解Redis吗？;S100",
            {"Q:嗯那个那个就是说你了解Redis吗", "C1:你了解Redis吗？"});
        row("a late syllable", "L150;U0-1400:你了解Redis;S100;U0-1500:你了解Redis吗？;S100",
            {"Q:你了解Redis", "C1:你了解Redis吗？"});
        row("a definite sentence after the trigger",
            "L150;U0-1500:什么是多态;S100;U!0-1500:什么是多态？;N",
            {"Q:什么是多态", "C1:什么是多态？"});
        row("a second-pass rewrite, then the next question",
            "L150;U0-1500:说说卡夫卡怎么保证消息不丢;S100;U!20-1480:说说Kafka怎么保证消息不丢失？;"
            "L100;U!20-1480:说说Kafka怎么保证消息不丢失？|2600-3500:双亲委派;S100",
            {"Q:说说卡夫卡怎么保证消息不丢", "C1:说说Kafka怎么保证消息不丢失？", "Q:双亲委派"});
        row("an utterance the trigger falls inside is cut between its words",
            "L100;U0-1000:你了解Redis吗;S100;"
            "L30;U0-3200:你了解Redis吗说说Kafka[你@0,了解@200,Redis@400,吗@900,说说@2600,Kafka@"
            "2900];S100",
            {"Q:你了解Redis吗", "Q:说说Kafka"});
        row("a new session starts its timeline again",
            "L100;U0-1000:第一个问题;S100;R;L100;U0-1000:第二个问题;S100",
            {"Q:第一个问题", "Q:第二个问题"});
        row("what a lost session heard goes ahead of the next",
            "L80;U0-800:什么是;R;L100;U0-900:多态？;S100", {"Q:什么是多态？"});
        // Results without times: never the asked words again, never the whole session.
        row("no times: the text after the question",
            "L;P什么是多态;S100;L;P什么是多态什么是哈希表;S100",
            {"Q:什么是多态", "Q:什么是哈希表"});
        row("no times: a correction asks nothing", "L;P你了解瑞迪斯吗;S100;P你了解Redis吗？;L;S100",
            {"Q:你了解瑞迪斯吗"});
        row("no times: a correction and the next sentence",
            "L;P嗯那个那个就是说你了解Redis吗;S100;L;P你了解Redis吗？说说Kafka;S100",
            {"Q:嗯那个那个就是说你了解Redis吗", "Q:说说Kafka"});
        // Acknowledgements are kept apart: never asked, never joined to what follows.
        row("an acknowledgement between questions",
            "L100;U0-1000:什么是多态？;S100;L50;U0-1000:什么是多态？|2100-2500:嗯，明白了。;S100;"
            "L100;U0-1000:什么是多态？|2100-2500:嗯，明白了。|3700-4600:说说锁;S100",
            {"Q:什么是多态？", "R:嗯，明白了。", "Q:说说锁"});
        row("stop ends the question in progress", "L;P什么是多态;S60;X;S40;P你好;L;S100",
            {"Q:你好"});
        row("dropped while heard", "L;P什么是;D;S100;L;P什么是多态;S100", {"Q:多态"});
    }

    void questions() {
        QFETCH(QString, events);
        QFETCH(QStringList, ended);
        KelvaneTest::LogLines quiet;
        QuestionDetector detector;
        QStringList seen;
        int session = 1;
        qint64 clock = 0;
        const auto note = [&seen](const QuestionDetector::Ended &e) {
            if (!e.isEmpty())
                seen << (e.remark ? "R:" : "Q:") + e.text;
        };
        for (const QString &event : events.split(QLatin1Char(';'))) {
            const QChar kind = event.at(0);
            const QString rest = event.mid(1);
            if (kind == 'T') {
                detector.setThresholdBuffers(rest.toInt());
            } else if (kind == 'U' || kind == 'P') {
                const RecognitionResult result =
                    kind == 'U' ? timed(rest, session, clock) : RecognitionResult{rest, {}, -1, session};
                for (const auto &c : detector.onResult(result))
                    seen << QStringLiteral("C%1:%2").arg(c.span).arg(c.text);
            } else if (kind == 'N') {
                note(detector.askNow());
            } else if (kind == 'R') {
                ++session;
                clock = 0;
            } else if (kind == 'D') {
                detector.dropHeard();
            } else if (kind == 'X') {
                detector.endQuestion();
            }
            const int buffers = kind == 'L' || kind == 'S' ? qMax(1, rest.toInt()) : 0;
            for (int i = 0; i < buffers; ++i, clock += 10)
                note(detector.onBuffer(kind == 'L', session, clock));
        }
        QCOMPARE(seen, ended);
    }
};

QTEST_APPLESS_MAIN(TestQuestionDetector)
#include "tst_questiondetector.moc"
