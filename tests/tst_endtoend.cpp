#include "Application.h"
#include "LocalAsrServer.h"
#include "LocalChatServer.h"
#include "LogCapture.h"
#include "MainWindow.h"
#include "ScriptedAudioPlatform.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextList>
#include <QtTest>

#include <cmath>

using namespace Kelvane;
using KelvaneTest::LocalAsrServer;
using KelvaneTest::LocalChatServer;
using KelvaneTest::LogCapture;
using KelvaneTest::ScriptedAudioPlatform;

// The whole system in one process: the window drives the controller, which captures from a
// scripted device and talks to the local recognition and chat services.
class TestEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void questionFromPlaybackToRenderedAnswer() {
        LogCapture log;
        LocalAsrServer asrServer;
        LocalChatServer chatServer;
        QVERIFY(asrServer.listen());
        QVERIFY(chatServer.listen());
        qputenv("KELVANE_ASR_URL", asrServer.url().toUtf8());
        qputenv("KELVANE_LLM_URL", chatServer.url().toUtf8());
        chatServer.responder = [](const LocalChatServer::Request &) {
            LocalChatServer::Response response;
            response.pieces = LocalChatServer::sseAnswer(
                {"## 多态\n\n", "- **重写**：子类", "覆盖父类方法\n", "- 重载\n"});
            return response;
        };

        auto script = std::make_shared<ScriptedAudioPlatform::Script>();
        Application app([script]() { return std::make_unique<ScriptedAudioPlatform>(script); });
        QVERIFY(app.initialize());
        MainWindow window;
        window.setApplication(&app);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QPushButton *start = nullptr;
        QPushButton *stop = nullptr;
        for (QPushButton *button : window.findChildren<QPushButton *>()) {
            if (button->text() == QStringLiteral("开始"))
                start = button;
            if (button->text() == QStringLiteral("停止"))
                stop = button;
        }
        QVERIFY(start && stop);
        QTest::mouseClick(start, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(log.out().contains("[ASRClient] Streaming started automatically"),
                                 10000);

        // The interviewer speaks: the recogniser reports, the speakers play, then quiet.
        const QString question = QStringLiteral("什么是多态？");
        for (const QString &text : {question.left(2), question.left(4), question})
            asrServer.sendToClient(LocalAsrServer::resultFrame(
                QString(R"({"result":{"text":"%1"}})").arg(text).toUtf8()));
        QTRY_VERIFY(log.out().contains("[Application] Updated current ASR text: " + question));
        const std::vector<float> tone = ScriptedAudioPlatform::loudPacket();
        for (int i = 0; i < 20; ++i)
            script->queuePacket(tone);

        auto *list = window.findChild<QListWidget *>();
        QTRY_COMPARE_WITH_TIMEOUT(list->count(), 1, 15000);
        QCOMPARE(list->item(0)->text(), "Q1: " + question);

        auto *view = window.findChild<QTextEdit *>();
        QTRY_VERIFY_WITH_TIMEOUT(view->toPlainText().contains(QStringLiteral("重载")), 10000);
        QVERIFY(!view->toPlainText().contains(QLatin1Char('*')));
        QVERIFY(!view->toPlainText().contains(QLatin1Char('#')));
        int listBlocks = 0;
        int headings = 0;
        for (QTextBlock block = view->document()->begin(); block.isValid(); block = block.next()) {
            listBlocks += block.textList() ? 1 : 0;
            headings += block.blockFormat().headingLevel() == 2 ? 1 : 0;
        }
        QCOMPARE(listBlocks, 2);
        QCOMPARE(headings, 1);

        QTest::mouseClick(stop, Qt::LeftButton);
        bool stopped = false;
        for (QLabel *label : window.findChildren<QLabel *>())
            stopped = stopped || label->text() == QStringLiteral("已停止");
        QVERIFY(stopped);
        QVERIFY(start->isEnabled());
        QTRY_COMPARE(asrServer.closeCodes.size(), 1);
        QCOMPARE(asrServer.closeCodes.first(), 1000);
        QVERIFY(asrServer.audioFrameSizes.size() >= 1);
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
