#include "AnswerReader.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextLayout>
#include <QToolButton>
#include <QtTest>

using Kelvane::AnswerReader;

namespace {

// An answer that streams in: many paragraphs, then the part of the row, growing.
QString answer(const QString &middle, int grownBy) {
    QString text = QStringLiteral("## 答案要点\n\n");
    for (int i = 0; i < 30; ++i)
        text += QStringLiteral("第 %1 段：先给结论，再讲原理，最后结合项目举例说明。\n\n").arg(i);
    text += middle + QStringLiteral("\n\n");
    for (int i = 0; i < grownBy; ++i)
        text += QStringLiteral("- 补充要点 %1\n").arg(i);
    return text;
}

} // namespace

// The answer pane as a reader uses it during a call.
class TestAnswerReader : public QObject {
    Q_OBJECT

private slots:
    // The reader's place survives every fragment, whatever the answer holds; a new answer
    // starts at its top; "下面还有" says when more lies below.
    void placeThroughRerenders_data() {
        QTest::addColumn<QString>("middle");
        QTest::newRow("a table") << "| 方案 | 优点 |\n|---|---|\n| Redis | 快 |\n| MySQL | 稳 |";
        QTest::newRow("a code block") << "```java\nclass A {\n    void run() {}\n}\n```";
        QTest::newRow("a list") << "1. 一\n2. 二\n3. 三";
    }
    void placeThroughRerenders() {
        QFETCH(QString, middle);
        QTextEdit view;
        view.resize(500, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        AnswerReader reader(&view);
        auto *more = view.findChild<QLabel *>("moreBelowLabel");
        reader.show(answer(middle, 0), false);
        QScrollBar *bar = view.verticalScrollBar();
        QCOMPARE(bar->value(), 0); // an answer starts at its top
        QVERIFY(more->isVisible() && reader.moreBelow());
        bar->setValue(bar->maximum() / 2); // the reader scrolls half-way down
        const int place = bar->value();
        QVERIFY(place > 0);
        for (int grown = 1; grown <= 12; ++grown) {
            reader.show(answer(middle, grown), true);
            QCoreApplication::processEvents();
            QCOMPARE(bar->value(), place);
        }
        reader.page(1);
        QCOMPARE(bar->value(), place + bar->pageStep());
        bar->setValue(bar->maximum());
        QVERIFY(!more->isVisible());
        reader.show(answer(middle, 20), true); // more arrived below the reader
        QVERIFY(more->isVisible());
        reader.show(QStringLiteral("## 另一个问题的回答"), false);
        QCOMPARE(bar->value(), 0);
    }

    // Each code block has a 复制 button that copies exactly its code.
    void copyCode() {
        QTextEdit view;
        view.resize(500, 400);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        AnswerReader reader(&view);
        reader.show(
            QStringLiteral("先看 Java：\n\n```java\nclass A {\n    void run() {}\n}\n```\n\n"
                           "再看 SQL：\n\n```sql\nselect * from t;\n```\n\n完。"),
            false);
        const auto buttons = view.viewport()->findChildren<QToolButton *>("copyCodeButton");
        QList<QToolButton *> shown;
        for (QToolButton *button : buttons)
            if (button->isVisible())
                shown << button;
        QCOMPARE(shown.size(), 2);
        QCOMPARE(shown[0]->accessibleName(), QStringLiteral("复制"));
        std::sort(shown.begin(), shown.end(), [](auto *a, auto *b) { return a->y() < b->y(); });
        QTest::mouseClick(shown[0], Qt::LeftButton);
        QCOMPARE(QApplication::clipboard()->text(), "class A {\n    void run() {}\n}");
        QTest::mouseClick(shown[1], Qt::LeftButton);
        QCOMPARE(QApplication::clipboard()->text(), "select * from t;");
        // The code is coloured: its keywords stand out from the rest of the line.
        reader.setCodeColours({Qt::darkMagenta, Qt::darkGreen, Qt::gray, Qt::darkYellow});
        const QTextBlock line = view.document()->findBlock(view.toPlainText().indexOf("class A"));
        const auto formats = line.layout()->formats();
        QVERIFY(std::any_of(formats.begin(), formats.end(), [](const QTextLayout::FormatRange &r) {
            return r.start == 0 && r.length == 5 &&
                   r.format.foreground() == QColor(Qt::darkMagenta);
        }));
        // Ctrl and the wheel zoom the answer, as far as it goes.
        QSignalSpy zoomed(&reader, &AnswerReader::zoomStep);
        QWheelEvent wheel(QPointF(10, 10), view.mapToGlobal(QPointF(10, 10)), QPoint(),
                          QPoint(0, 120), Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase,
                          false);
        QApplication::sendEvent(view.viewport(), &wheel);
        QCOMPARE(zoomed.count(), 1);
        QCOMPARE(zoomed.value(0).value(0).toInt(), 1);
    }
};

QTEST_MAIN(TestAnswerReader)
#include "tst_answerreader.moc"
