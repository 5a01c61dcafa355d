#include "CommandChannel.h"
#include "TestSupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace Kelvane;

// Commands to the running Kelvane from another kelvane process, the real program against a
// server in this process: handed over and answered, nobody there, a socket a crashed run left.
class TestCommands : public QObject {
    Q_OBJECT

    QTemporaryDir runtime; // this user's runtime folder, private to the test

    // Runs kelvane with the arguments; returns its exit code and puts its error line in `err`.
    int kelvane(const QStringList &arguments, QString *err = nullptr) {
        QProcess process;
        process.setProgram(qEnvironmentVariable("KELVANE_BIN_DIR") + QStringLiteral("/kelvane"));
        process.setArguments(arguments);
        process.start();
        // The server is in this process: its event loop must run while the client waits.
        if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000))
            process.kill();
        if (err)
            *err = QString::fromUtf8(process.readAllStandardError()).trimmed();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

private slots:
    void initTestCase() {
        QVERIFY(runtime.isValid());
        qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", runtime.filePath("config").toUtf8());
    }

    void delivered_data() {
        QTest::addColumn<QString>("state"); // of the socket before the server starts
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("action");
        QTest::newRow("skip") << "" << QStringList{"--skip"} << "skip";
        QTest::newRow("merge") << "" << QStringList{"--merge"} << "merge";
        QTest::newRow("answer now") << "" << QStringList{"--answer-now"} << "answer-now";
        QTest::newRow("a second plain start shows the window") << "" << QStringList{} << "show";
        QTest::newRow("a socket left by a crashed run")
            << "stale" << QStringList{"--show"} << "show";
    }
    void delivered() {
        QFETCH(QString, state);
        QFETCH(QStringList, arguments);
        QFETCH(QString, action);
        if (state == "stale") { // bound, and nobody listens: what a killed process leaves
            KELVANE_REQUIRE_TOOLS("python3");
            QCOMPARE(
                QProcess::execute("python3", {"-c",
                                              "import socket,sys; socket.socket(socket.AF_UNIX)"
                                              ".bind(sys.argv[1])",
                                              commandServerName()}),
                0);
            QVERIFY(QFile::exists(commandServerName()));
        }
        KelvaneTest::LogLines quiet;
        QStringList carried;
        CommandServer server([&](const QString &what) {
            carried << what;
            return true;
        });
        QVERIFY(server.listen());
        QCOMPARE(kelvane(arguments), 0);
        QCOMPARE(carried, QStringList{action});
    }

    void noneRunning() {
        QString err;
        QCOMPARE(kelvane({"--skip"}, &err), 2);
        QVERIFY2(err.contains(QStringLiteral("没有在运行")) && !err.contains('\n'),
                 qPrintable(err));
    }
};

QTEST_GUILESS_MAIN(TestCommands)
#include "tst_commands.moc"
