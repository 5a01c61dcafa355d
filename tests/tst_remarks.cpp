#include "Remarks.h"

#include <QtTest>

using namespace Kelvane;

// Words that ask nothing: acknowledgements known by their words, and answers that are the
// model's no-question marker, however its pieces arrive.
class TestRemarks : public QObject {
    Q_OBJECT

private slots:
    void acknowledgements_data() {
        QTest::addColumn<QString>("said");
        QTest::addColumn<bool>("acknowledgement");
        for (const char *said : {"好的。", "好", "嗯嗯", "嗯，明白了。", "对的对的", "是的", "行",
                                 "可以", "了解", "没问题！", "哦", "谢谢", "OK, got it.", "okay",
                                 "Right.", "Sure, thank you.", "Yeah, I see.", "好的，谢谢。"})
            QTest::newRow(said) << QString::fromUtf8(said) << true;
        for (const char *said : {"可以吗？", "好的，那说说Redis", "你了解Redis吗", "Is that right?",
                                 "OK, tell me about your project", "明白了吗", "。", ""})
            QTest::newRow(said) << QString::fromUtf8(said) << false;
    }
    void acknowledgements() {
        QFETCH(QString, said);
        QFETCH(bool, acknowledgement);
        QCOMPARE(Remarks::isAcknowledgement(said), acknowledgement);
    }

    // The answer so far, piece by piece ("|"), with the verdict after each; "$" ends it.
    void verdicts_data() {
        QTest::addColumn<QString>("pieces");
        QTest::addColumn<QString>("verdicts"); // U undecided, A answer, R remark
        QTest::newRow("the marker whole") << "[NOT_A_QUESTION]|$"
                                          << "UR";
        QTest::newRow("in pieces, blanks first") << "\n |[NOT_|A_QUES|TION]|$"
                                                 << "UUUUR";
        QTest::newRow("an answer") << "## 答|案|$"
                                   << "AAA";
        QTest::newRow("an answer that starts like it") << "[NOT_|ES]|$"
                                                       << "UAA";
        QTest::newRow("the marker, then more") << "[NOT_A_QUESTION]|你好|$"
                                               << "UAA";
        QTest::newRow("nothing at all") << "$"
                                        << "A";
    }
    void verdicts() {
        QFETCH(QString, pieces);
        QFETCH(QString, verdicts);
        QString answer;
        QString seen;
        for (const QString &piece : pieces.split('|')) {
            const bool done = piece == "$";
            answer += done ? QString() : piece;
            seen += "UAR"[int(Remarks::verdict(answer, done))];
        }
        QCOMPARE(seen, verdicts);
    }
};

QTEST_APPLESS_MAIN(TestRemarks)
#include "tst_remarks.moc"
