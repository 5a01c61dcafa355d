#include "Application.h"
#include "LocalAsrServer.h"
#include "LocalChatServer.h"
#include "LogCapture.h"
#include "MainWindow.h"
#include "MarkdownView.h"
#include "ScriptedAudioPlatform.h"

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSplitter>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextList>
#include <QtTest>

using namespace Kelvane;
using KelvaneTest::LogCapture;
using KelvaneTest::ScriptedAudioPlatform;

namespace {

QPushButton *buttonWithText(QWidget *window, const QString &text) {
    for (QPushButton *button : window->findChildren<QPushButton *>())
        if (button->text() == text)
            return button;
    return nullptr;
}

QLabel *labelWithText(QWidget *window, const QString &text) {
    for (QLabel *label : window->findChildren<QLabel *>())
        if (label->text() == text)
            return label;
    return nullptr;
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private:
    KelvaneTest::LocalAsrServer asrServer;
    KelvaneTest::LocalChatServer chatServer;
    std::shared_ptr<ScriptedAudioPlatform::Script> script;
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<Application> app;
    std::unique_ptr<MainWindow> window;

    QLineEdit *directionEdit() const { return window->findChildren<QLineEdit *>().value(0); }
    QLineEdit *silenceEdit() const { return window->findChildren<QLineEdit *>().value(1); }
    QPushButton *button(const QString &text) const { return buttonWithText(window.get(), text); }
    QListWidget *list() const { return window->findChild<QListWidget *>(); }
    QTextEdit *answerView() const { return window->findChild<QTextEdit *>(); }
    QLabel *answerTitle() const {
        return window->findChild<QSplitter *>()->widget(1)->findChild<QLabel *>();
    }

    void newQuestion(int id, const QString &text) { emit app->newQuestionStarted(id, text); }
    void fragment(int id, const QString &text, bool done = false) {
        emit app->llmResponse(id, text, done);
    }

private slots:
    void initTestCase() {
        // Everything the controller reaches stays on this machine.
        QVERIFY(asrServer.listen());
        QVERIFY(chatServer.listen());
        qputenv("KELVANE_ASR_URL", asrServer.url().toUtf8());
        qputenv("KELVANE_LLM_URL", chatServer.url().toUtf8());
    }

    void init() {
        log = std::make_unique<LogCapture>();
        script = std::make_shared<ScriptedAudioPlatform::Script>();
        app = std::make_unique<Application>(
            [s = script]() { return std::make_unique<ScriptedAudioPlatform>(s); });
        QVERIFY(app->initialize());
        window = std::make_unique<MainWindow>();
        window->setApplication(app.get());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup() {
        window.reset();
        app.reset();
        log.reset();
    }

    void metaObjectNames() {
        QCOMPARE(window->metaObject()->className(), "Kelvane::MainWindow");
        QCOMPARE(app->metaObject()->className(), "Kelvane::Application");
    }

    void windowAsBuilt() {
        QCOMPARE(window->windowTitle(), QStringLiteral(" "));
        QCOMPARE(window->minimumSize(), QSize(1200, 700));
        const Qt::WindowFlags flags = window->windowFlags();
        QVERIFY(flags.testFlag(Qt::Window));
        QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
        QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(flags.testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!flags.testFlag(Qt::FramelessWindowHint));
        // Qt completes a customised flag set that has min/max buttons with the title and
        // system-menu hints itself; the window asks for exactly the set without them.
        QWidget reference;
        reference.setWindowFlags(Qt::Window | Qt::CustomizeWindowHint |
                                 Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                                 Qt::WindowCloseButtonHint);
        QCOMPARE(flags, reference.windowFlags());
        QWidget withTitle;
        withTitle.setWindowFlags(reference.windowFlags() | Qt::WindowTitleHint |
                                 Qt::WindowStaysOnTopHint);
        QVERIFY(flags != withTitle.windowFlags());

        QVERIFY(labelWithText(window.get(), QStringLiteral("方向")));
        QVERIFY(labelWithText(window.get(), QStringLiteral("静音 (ms)")));
        QVERIFY(labelWithText(window.get(), QStringLiteral("就绪")));
        QLabel *listTitle = labelWithText(window.get(), QStringLiteral("问题列表"));
        QVERIFY(listTitle);
        QCOMPARE(listTitle->minimumHeight(), 48);
        QCOMPARE(listTitle->maximumHeight(), 48);
        QCOMPARE(answerTitle()->text(), QStringLiteral("提示"));

        QCOMPARE(directionEdit()->text(), QStringLiteral("Java后端"));
        QCOMPARE(directionEdit()->placeholderText(), QStringLiteral("如 Java后端"));
        QCOMPARE(directionEdit()->minimumWidth(), 120);
        QCOMPARE(directionEdit()->maximumWidth(), 120);
        QCOMPARE(silenceEdit()->text(), QStringLiteral("1000"));
        QCOMPARE(silenceEdit()->minimumWidth(), 60);
        QCOMPARE(silenceEdit()->maximumWidth(), 60);
        QCOMPARE(silenceEdit()->alignment(), Qt::AlignCenter);
        QVERIFY(!silenceEdit()->validator());

        for (const QString &step : {QStringLiteral("-"), QStringLiteral("+")}) {
            QVERIFY(button(step));
            QCOMPARE(button(step)->minimumSize(), QSize(26, 26));
            QCOMPARE(button(step)->maximumSize(), QSize(26, 26));
        }
        QVERIFY(button(QStringLiteral("开始"))->isEnabled());
        QVERIFY(!button(QStringLiteral("停止"))->isEnabled());
        QCOMPARE(button(QStringLiteral("开始"))->minimumWidth(), 90);
        QCOMPARE(button(QStringLiteral("开始"))->maximumWidth(), 120);
        QVERIFY(button(QStringLiteral("停止"))
                    ->styleSheet()
                    .contains(QStringLiteral(
                        "QPushButton:disabled { background-color: #f7f7f7; border: 1px solid "
                        "#e8e8e8; color: #bbbbbb; }")));

        QWidget *bar = button(QStringLiteral("开始"))->parentWidget();
        QCOMPARE(bar->minimumHeight(), 56);
        QCOMPARE(bar->maximumHeight(), 56);
        QVERIFY(answerView()->isReadOnly());
    }

    void splitterSharesAddedWidthThreeToSeven() {
        auto *splitter = window->findChild<QSplitter *>();
        QCOMPARE(splitter->orientation(), Qt::Horizontal);
        QCOMPARE(splitter->handleWidth(), 3);
        window->resize(1200, 700);
        QTRY_COMPARE(window->width(), 1200);
        const QList<int> before = splitter->sizes();
        window->resize(2200, 700);
        QTRY_COMPARE(window->width(), 2200);
        QTRY_VERIFY(splitter->sizes() != before);
        const QList<int> after = splitter->sizes();
        const int left = after[0] - before[0];
        const int right = after[1] - before[1];
        QCOMPARE(left + right, 1000);
        QVERIFY2(qAbs(left - 300) <= 2, qPrintable(QString::number(left)));
    }

    void iconIsPaintedAtLargeSizesOnly() {
        const QIcon icon = MainWindow::createAppIcon();
        const QImage small = icon.pixmap(16, 16).toImage();
        QCOMPARE(small.size(), QSize(16, 16));
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                QCOMPARE(qAlpha(small.pixel(x, y)), 0);

        for (int size : {48, 64}) {
            const QImage image = icon.pixmap(size, size).toImage();
            QCOMPARE(image.size(), QSize(size, size));
            const double k = size / 64.0;
            const QColor disc = image.pixelColor(int(8 * k), int(32 * k));
            QCOMPARE(disc.green() > 150 && disc.red() < 40 && disc.alpha() == 255, true);
            const QColor bubble = image.pixelColor(int(32 * k), int(29 * k));
            QCOMPARE(bubble, QColor(Qt::white));
            const QColor corner = image.pixelColor(0, 0);
            QCOMPARE(corner.alpha(), 0);
        }
    }

    void stepButtons_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::newRow("minus 150") << "-"
                                   << "150"
                                   << "100";
        QTest::newRow("minus 100") << "-"
                                   << "100"
                                   << "100";
        QTest::newRow("minus text") << "-"
                                    << "abc"
                                    << "100";
        QTest::newRow("minus empty") << "-"
                                     << ""
                                     << "100";
        QTest::newRow("minus 40") << "-"
                                  << "40"
                                  << "100";
        QTest::newRow("minus above cap") << "-"
                                         << "6000"
                                         << "5900";
        QTest::newRow("plus 4950") << "+"
                                   << "4950"
                                   << "5000";
        QTest::newRow("plus 5000") << "+"
                                   << "5000"
                                   << "5000";
        QTest::newRow("plus 9000") << "+"
                                   << "9000"
                                   << "5000";
        QTest::newRow("plus text") << "+"
                                   << "x1"
                                   << "100";
        QTest::newRow("plus negative") << "+"
                                       << "-300"
                                       << "-200";
    }

    void stepButtons() {
        QFETCH(QString, button);
        QFETCH(QString, before);
        QFETCH(QString, after);
        silenceEdit()->setText(before);
        log->clear();
        QTest::mouseClick(this->button(button), Qt::LeftButton);
        QCOMPARE(silenceEdit()->text(), after);
        QVERIFY(!log->out().contains(QStringLiteral("Silence threshold set")));
    }

    void startTrimsDirectionAndSwapsButtons() {
        directionEdit()->setText(QStringLiteral("   "));
        QTest::mouseClick(button(QStringLiteral("开始")), Qt::LeftButton);
        QCOMPARE(directionEdit()->text(), QStringLiteral("通用面试"));
        QVERIFY(log->out().contains(
            QStringLiteral("[Application] Interview direction set to: 通用面试\n")));
        QVERIFY(!button(QStringLiteral("开始"))->isEnabled());
        QVERIFY(button(QStringLiteral("停止"))->isEnabled());
        QTRY_COMPARE(labelWithText(window.get(), QStringLiteral("正在监听")) != nullptr, true);

        QTest::mouseClick(button(QStringLiteral("停止")), Qt::LeftButton);
        QVERIFY(button(QStringLiteral("开始"))->isEnabled());
        QVERIFY(!button(QStringLiteral("停止"))->isEnabled());
        QVERIFY(labelWithText(window.get(), QStringLiteral("已停止")));

        directionEdit()->setText(QStringLiteral("  Java后端 "));
        QTest::mouseClick(button(QStringLiteral("开始")), Qt::LeftButton);
        QCOMPARE(directionEdit()->text(), QStringLiteral("  Java后端 "));
        QVERIFY(log->out().contains(
            QStringLiteral("[Application] Interview direction set to: Java后端\n")));
        QTest::mouseClick(button(QStringLiteral("停止")), Qt::LeftButton);
    }

    void startFailureStillSwapsButtons() {
        // Capture refuses to start: the status line tells the user, the buttons swap anyway.
        script->fail(ScriptedAudioPlatform::Step::Start, Kelvane::kPlatformGenericFailure);
        QTest::mouseClick(button(QStringLiteral("开始")), Qt::LeftButton);
        QVERIFY(labelWithText(window.get(), QStringLiteral("启动失败")));
        QVERIFY(!button(QStringLiteral("开始"))->isEnabled());
        QVERIFY(button(QStringLiteral("停止"))->isEnabled());
    }

    void questionsAndAnswers() {
        newQuestion(1, QStringLiteral("什么是多态？"));
        QCOMPARE(list()->count(), 1);
        QCOMPARE(list()->item(0)->text(), QStringLiteral("Q1: 什么是多态？"));
        QCOMPARE(list()->item(0)->data(Qt::UserRole).toInt(), 1);
        QCOMPARE(list()->currentRow(), 0);
        QCOMPARE(answerTitle()->text(), QStringLiteral("Q1: 什么是多态？"));

        fragment(1, QStringLiteral("第一"));
        newQuestion(2, QStringLiteral("HashMap 原理"));
        QCOMPARE(list()->currentRow(), 1);
        QCOMPARE(answerView()->toPlainText(), QString());
        fragment(1, QStringLiteral("部分"));
        fragment(2, QStringLiteral("散列"));
        fragment(99, QStringLiteral("dropped"));
        QCOMPARE(answerView()->toPlainText(), QStringLiteral("散列"));

        const QRect first = list()->visualItemRect(list()->item(0));
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, first.center());
        QCOMPARE(answerTitle()->text(), QStringLiteral("Q1: 什么是多态？"));
        QCOMPARE(answerView()->toPlainText(), QStringLiteral("第一部分"));

        // The same id again empties its entry and adds a second item.
        newQuestion(1, QStringLiteral("再问一次"));
        QCOMPARE(list()->count(), 3);
        QCOMPARE(list()->item(2)->text(), QStringLiteral("Q1: 再问一次"));
        QCOMPARE(answerView()->toPlainText(), QString());
        const QRect second = list()->visualItemRect(list()->item(1));
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, second.center());
        QCOMPARE(answerTitle()->text(), QStringLiteral("Q2: HashMap 原理"));
        QTest::qWait(QApplication::doubleClickInterval() + 50);
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {},
                          list()->visualItemRect(list()->item(0)).center());
        QCOMPARE(answerTitle()->text(), QStringLiteral("Q1: 再问一次"));
    }

    void answerCompletionAppliesSilenceField_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<bool>("applied");
        QTest::newRow("1500") << "1500" << true;
        QTest::newRow("zero") << "0" << false;
        QTest::newRow("negative") << "-200" << false;
        QTest::newRow("text") << "abc" << false;
    }

    void answerCompletionAppliesSilenceField() {
        QFETCH(QString, field);
        QFETCH(bool, applied);
        newQuestion(1, QStringLiteral("q"));
        silenceEdit()->setText(field);
        log->clear();
        fragment(1, QString(), true);
        QCOMPARE(log->out().contains(
                     QStringLiteral("[Application] Silence threshold set to 1500ms (150 frames)")),
                 applied);
        QCOMPARE(log->out().contains(QStringLiteral("Silence threshold set")), applied);
        QCOMPARE(answerView()->toPlainText(), QString());
    }

    void streamedAnswerLooksLikeAFullRender() {
        // Fragments cut anywhere, through every construct an answer uses.
        const QString answer = QStringLiteral(
            "## 多态\n\n多态是**面向对象**的核心。\n\n1. 重写\n2. 重载\n   - 嵌套 `code`\n"
            "3. 接口\n\n```java\nAnimal a = new Dog();\na.speak();\n```\n\n> 先给结论。\n\n"
            "| 特性 | 时机 |\n| --- | --- |\n| 重写 | 运行期 |\n\n- *斜体* 与 [链接](http://x)\n"
            "- 最后一项\n\n### 总结\n完毕。");
        newQuestion(1, QStringLiteral("q"));
        QTextEdit reference;
        reference.setStyleSheet(answerView()->styleSheet());
        reference.resize(answerView()->size());
        reference.ensurePolished(); // the style sheet's font, as the shown view has it
        QString sent;
        for (int i = 0; i < answer.size(); i += 3) {
            const QString piece = answer.mid(i, 3);
            sent += piece;
            fragment(1, piece);
            reference.setMarkdown(sent);
            QVERIFY2(MarkdownView::sameContent(*answerView()->document(), *reference.document()),
                     qPrintable(sent));
        }
        reference.show();
        QVERIFY(QTest::qWaitForWindowExposed(&reference));
        QCOMPARE(answerView()->viewport()->grab().toImage(),
                 reference.viewport()->grab().toImage());
    }

    void answerIsRenderedAsMarkdown() {
        newQuestion(1, QStringLiteral("q"));
        fragment(1, QStringLiteral("## 要点\n\n- 第一 **重点**\n"));
        fragment(1, QStringLiteral("- 第二\n"));
        const QTextDocument *document = answerView()->document();
        QVERIFY(!answerView()->toPlainText().contains(QLatin1Char('*')));
        int lists = 0;
        bool bold = false;
        for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
            if (block.textList())
                ++lists;
            for (auto it = block.begin(); !it.atEnd(); ++it)
                if (it.fragment().text().contains(QStringLiteral("重点")))
                    bold = it.fragment().charFormat().fontWeight() >= QFont::Bold;
        }
        QCOMPARE(lists, 2);
        QVERIFY(bold);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
