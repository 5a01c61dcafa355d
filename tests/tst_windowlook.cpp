#include "Session.h"
#include "Theme.h"
#include "WindowPlacement.h"

#include <QAccessible>
#include <QProgressBar>
#include <QtTest>

using namespace Kelvane;
using KelvaneTest::Session;

// A window made for glancing at during a call: readable in both themes, back where it was,
// above the meeting, faded, compact, and heard by a screen reader.
class TestWindowLook : public QObject {
    Q_OBJECT

    static QString spoken(QWidget *widget) {
        return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
    }

private slots:
    // Every colour text is drawn in, against what it is drawn on, in both themes.
    void contrast_data() {
        QTest::addColumn<int>("scheme");
        QTest::addColumn<QString>("foreground");
        QTest::addColumn<QString>("background");
        for (const auto &[scheme, name] :
             {std::pair{Theme::Scheme::Light, "light"}, {Theme::Scheme::Dark, "dark"}})
            for (const auto &[fg, bg] : Theme::textPairs())
                QTest::addRow("%s: %s on %s", name, qPrintable(fg), qPrintable(bg))
                    << int(scheme) << fg << bg;
    }
    void contrast() {
        QFETCH(int, scheme);
        QFETCH(QString, foreground);
        QFETCH(QString, background);
        const Theme theme = Theme::of(Theme::Scheme(scheme));
        QVERIFY(theme.colour(foreground).isValid() && theme.colour(background).isValid());
        const double ratio = Theme::contrast(theme.colour(foreground), theme.colour(background));
        QVERIFY2(ratio >= 4.5, qPrintable(QString::number(ratio, 'f', 2)));
    }

    // Where the window opens for where it was: a monitor unplugged brings it to the primary
    // screen, whole.
    void placement_data() {
        QTest::addColumn<QRect>("saved");
        QTest::addColumn<QRect>("opens");
        const QRect centred(QPoint(360, 190), QSize(1200, 700));
        QTest::newRow("where it was") << QRect(100, 80, 900, 600) << QRect(100, 80, 900, 600);
        QTest::newRow("on the second screen")
            << QRect(2100, 100, 800, 600) << QRect(2100, 100, 800, 600);
        QTest::newRow("partly off, still to be grasped")
            << QRect(-700, 50, 900, 600) << QRect(-700, 50, 900, 600);
        QTest::newRow("on a monitor unplugged")
            << QRect(4200, 100, 900, 600) << QRect(510, 240, 900, 600);
        QTest::newRow("title bar above every screen")
            << QRect(100, -500, 900, 400) << QRect(510, 340, 900, 400);
        QTest::newRow("larger than the screen")
            << QRect(5000, 0, 2500, 1500) << QRect(0, 0, 1920, 1080);
        QTest::newRow("never saved") << QRect() << centred;
    }
    void placement() {
        QFETCH(QRect, saved);
        QFETCH(QRect, opens);
        const QRect primary(0, 0, 1920, 1080);
        QCOMPARE(WindowPlacement::place(saved, {primary, QRect(1920, 0, 1280, 1024)}, primary,
                                        QSize(1200, 700)),
                 opens);
        QCOMPARE(WindowPlacement::fromText(WindowPlacement::toText(saved)), saved);
    }

    // 置顶, 透明度, 精简, zoom, theme and place are kept in the settings file and come back at
    // the next start; each mode keeps its own size. Read as a screen reader reads the window.
    void keptAcrossRestarts() {
        Session session(QStringList{});
        QVERIFY(session.ready());
        auto *window = session.window.get();
        QVERIFY(!(window->windowFlags() & Qt::WindowStaysOnTopHint));
        session.click("onTopButton");
        QVERIFY(window->windowFlags() & Qt::WindowStaysOnTopHint);
        QTRY_VERIFY(window->isVisible());
        window->activateWindow(); // (the window's own keys)
        QVERIFY(QTest::qWaitForWindowActive(window));
        for (int i = 0; i < 3; ++i) // fainter by three steps, larger by two
            QTest::keyClick(window, Qt::Key_Down, Qt::ControlModifier | Qt::ShiftModifier);
        QTest::keyClick(window, Qt::Key_Equal, Qt::ControlModifier);
        QTest::keyClick(window, Qt::Key_Equal, Qt::ControlModifier);
        QCOMPARE(qRound(window->windowOpacity() * 100), 70);
        const int zoomed = session.widget<QTextEdit>("answerView")->font().pixelSize();
        window->resize(1280, 672);
        QTRY_COMPARE(window->size(), QSize(1280, 672));
        // 精简: the question, its answer and the status line with its meter, nothing else.
        session.click("compactButton");
        for (const auto &[name, shown] : {std::pair{"controlBar", false},
                                          {"questionList", false},
                                          {"retryButton", false},
                                          {"answerTitle", true},
                                          {"answerView", true},
                                          {"statusLabel", true},
                                          {"levelMeter", true},
                                          {"compactButton", true}})
            QVERIFY2(session.widget<QWidget>(name)->isVisible() == shown, name);
        QVERIFY(session.widget<QTextEdit>("answerView")->font().pixelSize() > zoomed);
        window->resize(500, 420);
        QTRY_COMPARE(window->size(), QSize(500, 420));
        QTest::qWait(700); // (the place is kept half a second after a move)
        Settings::store(Settings::UiTheme, QStringLiteral("dark"));
        window->close();

        MainWindow restarted;
        restarted.setApplication(session.app.get());
        restarted.show();
        QVERIFY(QTest::qWaitForWindowExposed(&restarted));
        restarted.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&restarted));
        QVERIFY(restarted.windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(qRound(restarted.windowOpacity() * 100), 70);
        if (QGuiApplication::platformName() == QLatin1String("xcb")) { // as the desktop sees it
            QProcess xprop;
            xprop.start("xprop", {"-id", QString::number(restarted.winId()), "_NET_WM_STATE",
                                  "_NET_WM_WINDOW_OPACITY"});
            QVERIFY(xprop.waitForFinished(5000));
            const QString properties = QString::fromLatin1(xprop.readAllStandardOutput());
            const double opacity =
                properties.section("_NET_WM_WINDOW_OPACITY(CARDINAL) = ", 1).toDouble() /
                0xffffffffu;
            QVERIFY2(properties.contains("_NET_WM_STATE_ABOVE") && qAbs(opacity - 0.7) < 0.01,
                     qPrintable(properties));
        }
        QVERIFY(!restarted.findChild<QWidget *>("controlBar")->isVisible());
        QCOMPARE(restarted.size(), QSize(500, 420));
        QVERIFY(restarted.palette().color(QPalette::Window).lightness() < 80); // dark
        restarted.findChild<QPushButton *>("compactButton")->click();
        QCOMPARE(restarted.size(), QSize(1280, 672)); // the normal mode's own size
        auto *answer = restarted.findChild<QTextEdit *>("answerView");
        QCOMPARE(answer->font().pixelSize(), zoomed);
        QTest::keyClick(&restarted, Qt::Key_0, Qt::ControlModifier);
        QVERIFY(answer->font().pixelSize() < zoomed);
        Settings::store(Settings::UiTheme, QStringLiteral("light"));
    }

    // A label whose text changes says that text first; a fixed word describes it.
    void heardByAScreenReader() {
        Session session({QStringLiteral("什么是多态？")});
        QVERIFY(session.startAndWaitForSession());
        auto *status = session.widget<QLabel>("statusLabel");
        QCOMPARE(spoken(status), QStringLiteral("正在监听"));
        QVERIFY(session.askByVoice());
        QVERIFY(session.waitForAnswers(1));
        QTRY_COMPARE(spoken(session.widget<QLabel>("answerTitle")), "Q1: 什么是多态？");
        QVERIFY(spoken(session.widget<QLabel>("timingLabel")).contains(QStringLiteral("完成")));
        session.click("stopButton");
        QCOMPARE(spoken(status), QStringLiteral("已停止"));
    }
};

QTEST_MAIN(TestWindowLook)
#include "tst_windowlook.moc"
