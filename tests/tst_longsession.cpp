#include "Application.h"
#include "ScriptedAudioPlatform.h"
#include "StandinAsrServer.h"
#include "TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QtTest>

using namespace Kelvane;
using KelvaneTest::ScriptedAudioPlatform;

// Two hours of interview as fast as the controller runs: 720 questions of 5 s of speech and
// 5 s of quiet, 720,000 buffers of 10 ms, through the recogniser stand-in; memory must not grow.
class TestLongSession : public QObject {
    Q_OBJECT

    static long residentKb() {
        QFile status(QStringLiteral("/proc/self/status"));
        status.open(QIODevice::ReadOnly);
        const QByteArray text = status.readAll();
        return text.mid(text.indexOf("VmRSS:") + 6).trimmed().split(' ').first().toLong();
    }

private slots:
    void twoHoursOfCapture() {
        const int cycles = qEnvironmentVariableIntValue("KELVANE_SOAK_CYCLES") > 0
                               ? qEnvironmentVariableIntValue("KELVANE_SOAK_CYCLES")
                               : 720;
        const Log::Sink previous = Log::setSink([](Log::Stream, const std::string &) {});
        StandinAsrServer::Options options;
        options.quiet = true;
        for (int i = 1; i <= cycles; ++i)
            options.script.append(QStringLiteral("第%1个问题是什么？").arg(i));
        StandinAsrServer asr(options);
        asr.keepAudio = false;
        QVERIFY(asr.listen());
        qputenv("KELVANE_ASR_URL", asr.url().toUtf8());
        // The chat stand-in runs in a process of its own: only the program's memory counts.
        QProcess chat;
        chat.start(qEnvironmentVariable("KELVANE_BIN_DIR") + "/kelvane-standin-chat",
                   {"--interval", "0"});
        QVERIFY(QTest::qWaitFor([&] { return chat.canReadLine(); }, 10000));
        const QByteArray banner = chat.readLine().trimmed();
        qputenv("KELVANE_LLM_URL", "http://127.0.0.1:" + banner.mid(banner.lastIndexOf(' ') + 1) +
                                       "/v1/chat/completions");

        auto script = std::make_shared<ScriptedAudioPlatform::Script>();
        Application app([script]() { return std::make_unique<ScriptedAudioPlatform>(script); });
        QVERIFY(app.initialize());
        QStringList questions;
        int sentences = 0;
        connect(&app, &Application::newQuestionStarted, this,
                [&](int, const QString &question) { questions.append(question); });
        connect(&app, &Application::asrResult, this,
                [&](const QString &, bool isFinal) { sentences += isFinal ? 1 : 0; });
        // Buffers arrive far faster than in real time: a long threshold leaves the recogniser
        // time to answer before the pause ends.
        app.setSilenceThreshold(3000);
        QSignalSpy streaming(&asr, &StandinAsrServer::audioReceived);
        app.startListening();
        QVERIFY(streaming.wait(10000));

        long baselineKb = 0;
        for (int cycle = 1; cycle <= cycles; ++cycle) {
            script->queuePacket(ScriptedAudioPlatform::loudPacket(), 500);
            script->queuePacket(std::vector<float>(960, 0.0f), 120);
            QVERIFY(QTest::qWaitFor([&] { return sentences >= cycle; }, 30000));
            script->queuePacket(std::vector<float>(960, 0.0f), 380);
            QVERIFY(QTest::qWaitFor([&] { return questions.size() == cycle; }, 30000));
            QCOMPARE(questions.last(), options.script[cycle - 1]);
            baselineKb = cycle == 20 ? residentKb() : baselineKb;
        }
        QTest::qWait(200);
        const long growthKb = residentKb() - baselineKb;
        app.stopListening();
        chat.kill();
        chat.waitForFinished();
        Log::setSink(previous);
        qInfo("%d questions; resident memory grew %ld kB after the 20th", cycles, growthKb);
#if !defined(__SANITIZE_ADDRESS__) // the sanitizer's quarantine makes resident size meaningless
        QVERIFY2(cycles < 720 || growthKb < 5 * 1024, "resident memory grew by 5 MB or more");
#endif
    }
};

QTEST_GUILESS_MAIN(TestLongSession)
#include "tst_longsession.moc"
