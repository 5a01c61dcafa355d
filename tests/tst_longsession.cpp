#include "Application.h"
#include "LocalAsrServer.h"
#include "ScriptedAudioPlatform.h"

#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <QtTest>

#include <cmath>
#include <iostream>

using namespace Kelvane;
using KelvaneTest::LocalAsrServer;
using KelvaneTest::ScriptedAudioPlatform;

namespace {

class NullBuffer : public std::streambuf {
protected:
    int overflow(int ch) override { return ch; }
    std::streamsize xsputn(const char *, std::streamsize n) override { return n; }
};

long residentKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// Waits for a condition in a real event loop, checking it every millisecond: the fixed steps
// of QTRY_* would dominate a run of 720 cycles, and only a running loop releases the replies
// the chat client hands to deleteLater, as the program's own loop does.
template <typename Condition> bool waitFor(Condition condition, int timeoutMs = 20000) {
    if (condition())
        return true;
    QEventLoop loop;
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&]() {
        if (condition() || elapsed.elapsed() > timeoutMs)
            loop.quit();
    });
    poll.start();
    loop.exec();
    return condition();
}

} // namespace

// Two hours of simulated capture through the controller's audio path as fast as it runs:
// 720 questions of 5 s of speech and 5 s of quiet, 720,000 buffers of 10 ms.
class TestLongSession : public QObject {
    Q_OBJECT

private slots:
    void twoHoursOfCapture() {
        const int cycles = qEnvironmentVariableIntValue("KELVANE_SOAK_CYCLES") > 0
                               ? qEnvironmentVariableIntValue("KELVANE_SOAK_CYCLES")
                               : 720;
        NullBuffer sink;
        std::streambuf *oldOut = std::cout.rdbuf(&sink);
        std::streambuf *oldErr = std::cerr.rdbuf(&sink);

        LocalAsrServer asrServer;
        asrServer.keepAudio = false;
        QVERIFY(asrServer.listen());
        qputenv("KELVANE_ASR_URL", asrServer.url().toUtf8());
        // The chat stand-in runs in a process of its own, so only the program's memory is
        // measured here.
        QProcess chat;
        chat.start(qEnvironmentVariable("KELVANE_BIN_DIR") + "/kelvane-standin-chat",
                   {"--interval", "0"});
        QVERIFY(chat.waitForStarted());
        QByteArray banner;
        QVERIFY(waitFor([&]() { return (banner += chat.readAllStandardOutput()).contains('\n'); }));
        const QByteArray port = banner.mid(banner.lastIndexOf(' ') + 1).trimmed();
        qputenv("KELVANE_LLM_URL", "http://127.0.0.1:" + port + "/v1/chat/completions");

        auto script = std::make_shared<ScriptedAudioPlatform::Script>();
        Application app([script]() { return std::make_unique<ScriptedAudioPlatform>(script); });
        QVERIFY(app.initialize());
        int results = 0;
        int questions = 0;
        QString lastQuestion;
        connect(&app, &Application::asrResult, this, [&results]() { ++results; });
        connect(&app, &Application::newQuestionStarted, this, [&](int, const QString &question) {
            ++questions;
            lastQuestion = question;
        });

        app.startListening();
        QTRY_VERIFY_WITH_TIMEOUT(asrServer.audioBytes > 0, 10000);

        std::vector<float> speech(960);
        for (size_t i = 0; i < 480; ++i)
            speech[2 * i] = speech[2 * i + 1] = float(0.5 * std::sin(double(i) * 0.06));
        const std::vector<float> quiet(960, 0.0f);

        long baselineKb = 0;
        QElapsedTimer clock;
        clock.start();
        for (int cycle = 1; cycle <= cycles; ++cycle) {
            const QString text = QStringLiteral("第%1个问题是什么？").arg(cycle);
            asrServer.sendToClient(LocalAsrServer::resultFrame(
                QString(R"({"result":{"text":"%1"}})").arg(text).toUtf8()));
            QVERIFY(waitFor([&]() { return results == cycle; }));
            for (int half = 0; half < 2; ++half) {
                for (int i = 0; i < 500; ++i)
                    script->queuePacket(half == 0 ? speech : quiet);
                QVERIFY(waitFor([&]() { return script->queued() == 0; }));
            }
            QVERIFY(waitFor([&]() { return questions == cycle; }));
            QCOMPARE(lastQuestion, text);
            if (cycle % 100 == 0)
                qInfo("after %d questions: resident %ld kB", cycle, residentKb());
            if (cycle == 20)
                baselineKb = residentKb();
        }
        const qint64 elapsed = clock.elapsed();
        QTest::qWait(200);
        const long endKb = residentKb();
        app.stopListening();
        chat.kill();
        chat.waitForFinished();
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);

        const int buffers = script->callCount(ScriptedAudioPlatform::Step::GetBuffer);
        qInfo("%d questions, %d device buffers in %lld ms; resident %ld kB after 20 questions, "
              "%ld kB at the end (growth %ld kB)",
              questions, buffers, elapsed, baselineKb, endKb, endKb - baselineKb);
        QCOMPARE(questions, cycles);
        QVERIFY(buffers >= cycles * 1000);
#if defined(__SANITIZE_ADDRESS__)
        // The sanitizer keeps freed memory in quarantine: resident size says nothing here.
        qInfo("built with AddressSanitizer: the memory budget is checked in the plain build");
#else
        if (cycles >= 720)
            QVERIFY2(endKb - baselineKb < 5 * 1024, "resident memory grew by 5 MB or more");
#endif
    }
};

QTEST_GUILESS_MAIN(TestLongSession)
#include "tst_longsession.moc"
