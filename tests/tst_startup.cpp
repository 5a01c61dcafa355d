#include "Application.h"
#include "LocalChatServer.h"
#include "LogCapture.h"
#include "ScriptedAudioPlatform.h"

#include <QProcess>
#include <QThread>
#include <QtTest>

#include <thread>

using namespace Kelvane;
using KelvaneTest::LogCapture;
using KelvaneTest::ScriptedAudioPlatform;

class TestStartup : public QObject {
    Q_OBJECT

private:
    KelvaneTest::LocalChatServer chatServer;

    QString binary() const { return qEnvironmentVariable("KELVANE_BIN_DIR") + "/kelvane"; }

    QProcessEnvironment programEnvironment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        // No sound server: capture fails to initialise and the program carries on.
        env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:/nonexistent/kelvane"));
        env.remove(QStringLiteral("KELVANE_LLM_URL"));
        return env;
    }

private slots:
    void initTestCase() {
        QVERIFY(chatServer.listen());
        qputenv("KELVANE_LLM_URL", chatServer.url().toUtf8());
    }

    void programStartsAndEndsOnSigterm() {
        QProcess process;
        process.setProcessEnvironment(programEnvironment());
        process.start(binary(), {});
        QVERIFY(process.waitForStarted());
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput())
                                     .contains("Application initialized successfully"),
                                 30000);

        process.terminate(); // SIGTERM
        QVERIFY(process.waitForFinished(30000));
        out += process.readAllStandardOutput();
        const QByteArray err = process.readAllStandardError();
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);

        const QList<QByteArray> lines = out.split('\n');
        QVERIFY(lines.size() >= 5);
        QCOMPARE(lines[0], QByteArray("=== Kelvane - AI Interview Assistant ==="));
        QCOMPARE(lines[1], QByteArray("Version 1.0.0"));
        QCOMPARE(lines[2], QByteArray("========================================="));
        QCOMPARE(lines[3], QByteArray("[Application] Initializing..."));
        const int initialized = int(lines.indexOf("Application initialized successfully"));
        QVERIFY(initialized > 3);
        QVERIFY(err.contains("[Application] Failed to initialize audio capture"));
        QVERIFY(!out.contains("[Application] Components initialized"));
    }

    void builtInSettingsCanComeFromTheEnvironment() {
        LogCapture log;
        qputenv("KELVANE_LLM_MODEL", "local-model");
        qputenv("KELVANE_ASR_APP_ID", "");
        {
            Application app([]() {
                return std::make_unique<ScriptedAudioPlatform>(
                    std::make_shared<ScriptedAudioPlatform::Script>());
            });
        }
        qunsetenv("KELVANE_LLM_MODEL");
        QVERIFY(log.out().contains("[Application] Using KELVANE_LLM_MODEL from the environment\n"));
        QVERIFY(log.out().contains("[Application] Using KELVANE_LLM_URL from the environment\n"));
        QVERIFY(!log.out().contains("KELVANE_ASR_APP_ID"));
        QVERIFY(!log.out().contains("local-model"));
    }

    void triggerFromAnotherThreadRunsOnTheGuiThreadInOrder() {
        LogCapture log;
        Application app([]() {
            return std::make_unique<ScriptedAudioPlatform>(
                std::make_shared<ScriptedAudioPlatform::Script>());
        });
        QVERIFY(app.initialize());

        QStringList questions;
        QList<int> ids;
        QList<QThread *> threads;
        connect(
            &app, &Application::newQuestionStarted, this,
            [&](int id, const QString &question) {
                ids.append(id);
                questions.append(question);
                threads.append(QThread::currentThread());
            },
            Qt::DirectConnection);

        std::thread emitter([&app]() {
            for (int i = 1; i <= 5; ++i)
                emit app.triggerLLMRequest(QStringLiteral("问题%1").arg(i));
        });
        emitter.join();
        QVERIFY(questions.isEmpty()); // nothing runs until the event loop delivers
        QTRY_COMPARE(questions.size(), 5);
        QCOMPARE(questions, (QStringList{"问题1", "问题2", "问题3", "问题4", "问题5"}));
        QCOMPARE(ids, (QList<int>{1, 2, 3, 4, 5}));
        for (QThread *thread : threads)
            QCOMPARE(thread, QThread::currentThread());
        QTest::qWait(50);
        QCOMPARE(questions.size(), 5);
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
