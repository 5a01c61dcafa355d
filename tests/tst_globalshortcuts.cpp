#include "GlobalShortcuts.h"
#include "Session.h"
#include "ShortcutKeys.h"

#include <QDialog>
#include <QGuiApplication>
#include <QProcess>
#include <QtTest>

using namespace Kelvane;
using KelvaneTest::Session;

// Shortcuts that reach Kelvane from whatever program has the focus.
class TestGlobalShortcuts : public QObject {
    Q_OBJECT

    static void xdotool(const QStringList &arguments) {
        QCOMPARE(QProcess::execute(QStringLiteral("xdotool"), arguments), 0);
    }

private slots:
    // Each platform's name of a key sequence.
    void keys_data() {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<uint>("keysym");
        QTest::addColumn<uint>("x11Mask");
        QTest::addColumn<uint>("virtualKey");
        QTest::addColumn<uint>("windowsMods");
        QTest::addColumn<QString>("portal");
        QTest::newRow("letter") << "Ctrl+Alt+Shift+S" << 0x73u << 0xdu << 0x53u << 0x4007u
                                << "CTRL+ALT+SHIFT+s";
        QTest::newRow("return") << "Ctrl+Alt+Return" << 0xff0du << 0xcu << 0x0du << 0x4003u
                                << "CTRL+ALT+Return";
        QTest::newRow("function key, Super")
            << "Meta+F9" << 0xffc6u << 0x40u << 0x78u << 0x4008u << "LOGO+F9";
        QTest::newRow("digit") << "Alt+7" << 0x37u << 0x8u << 0x37u << 0x4001u << "ALT+7";
        QTest::newRow("page down")
            << "Ctrl+PgDown" << 0xff56u << 0x4u << 0x22u << 0x4002u << "CTRL+Page_Down";
        QTest::newRow("no name") << "Ctrl+Alt+Media Play" << 0u << 0xcu << 0u << 0x4003u << "";
    }
    void keys() {
        QFETCH(QString, keys);
        QFETCH(uint, keysym);
        QFETCH(uint, x11Mask);
        QFETCH(uint, virtualKey);
        QFETCH(uint, windowsMods);
        QFETCH(QString, portal);
        const QKeyCombination combination = QKeySequence(keys, QKeySequence::PortableText)[0];
        QCOMPARE(ShortcutKeys::x11(combination).key, keysym);
        QCOMPARE(ShortcutKeys::x11(combination).modifiers, x11Mask);
        QCOMPARE(ShortcutKeys::windows(combination).key, virtualKey);
        QCOMPARE(ShortcutKeys::windows(combination).modifiers, windowsMods);
        QCOMPARE(ShortcutKeys::portalTrigger(combination), portal);
        // A key pressed with Caps Lock or Num Lock on is still the shortcut.
        for (const uint32_t lock : ShortcutKeys::x11LockVariants())
            QCOMPARE(ShortcutKeys::x11WithoutLocks(ShortcutKeys::x11(combination).modifiers | lock),
                     ShortcutKeys::x11(combination).modifiers);
    }

    // On an X server, with another program focused: the keys of the settings skip and merge;
    // one that another program holds is said so in 设置, and does not stop the others.
    void fromAnotherProgram() {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs an X server (tests/under-xvfb.sh)");
        // Another program holding 立即回答's keys: a second Kelvane of another configuration.
        QTemporaryDir other;
        QDir(other.path()).mkpath("config/Kelvane");
        QFile conf(other.filePath("config/Kelvane/Kelvane.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write("[ui]\nskipHotkey=Ctrl+Alt+F11\nmergeHotkey=Ctrl+Alt+F12\n");
        conf.close();
        QProcess holder;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", other.filePath("config"));
        environment.insert("XDG_RUNTIME_DIR", other.path());
        holder.setProcessEnvironment(environment);
        holder.start(qEnvironmentVariable("KELVANE_BIN_DIR") + "/kelvane");
        QByteArray holderLog;
        QTRY_VERIFY_WITH_TIMEOUT(
            (holderLog += holder.readAllStandardOutput()).contains("initialized successfully"),
            15000);
        QProcess meeting; // the program the user is in
        meeting.start("xmessage", {"-name", "meeting", "会议"});

        Session session(QStringList{});
        QSignalSpy results(session.app.get(), &Application::asrResult);
        QVERIFY(session.startAndWaitForSession());
        QString statuses;
        QTimer::singleShot(300, this, [&]() {
            QWidget *dialog = QApplication::activeModalWidget();
            for (const char *name :
                 {"answerNowHotkeyStatus", "skipHotkeyStatus", "mergeHotkeyStatus"})
                statuses += dialog->findChild<QLabel *>(name)->accessibleName() + "|";
            static_cast<QDialog *>(dialog)->reject();
        });
        session.click("settingsButton");
        QCOMPARE(statuses, "未能注册：已被其他程序占用|已生效|已生效|");

        const QString window = [] {
            QProcess search;
            search.start("xdotool", {"search", "--sync", "--classname", "meeting"});
            search.waitForFinished(10000);
            return QString::fromUtf8(search.readAllStandardOutput()).split('\n').value(0);
        }();
        xdotool({"windowfocus", "--sync", window});
        QTRY_VERIFY(!session.window->isActiveWindow());
        for (const QString &said :
             {QStringLiteral("什么是Java中的"), QStringLiteral("什么是Java中的垃圾回收机制？")}) {
            session.recognise(said);
            QVERIFY(results.wait(5000));
            QVERIFY(session.askByVoice());
        }
        xdotool({"key", "ctrl+alt+shift+m"}); // 合并
        QTRY_COMPARE(session.list()->count(), 1);
        QCOMPARE(session.question(0), "Q1: 什么是Java中的垃圾回收机制？");
        xdotool({"key", "Num_Lock"});         // (on: the key still reaches Kelvane)
        xdotool({"key", "ctrl+alt+shift+s"}); // 跳过
        QTRY_COMPARE(session.list()->count(), 0);
        xdotool({"key", "Num_Lock"});
        QVERIFY(!session.window->isActiveWindow());
        meeting.kill();
        holder.terminate();
        QVERIFY(holder.waitForFinished(10000));
    }
};

QTEST_MAIN(TestGlobalShortcuts)
#include "tst_globalshortcuts.moc"
