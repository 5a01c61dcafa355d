#include "ListeningSupervisor.h"
#include "PlayingHint.h"

#include <QtTest>

#include <functional>

using Kelvane::ListeningSupervisor;
using Next = ListeningSupervisor::Next;

// Listening's supervision as a table of event scripts: each script is a list of events
// ("fail:HTTP", "refuse:CODE", "error:CODE", "ready@MS", "end@MS", "stall@MS", "text",
// "lost", "nodevice", "device", "fallback"); the row says the status at the end and what the
// last decision was.
class TestListeningSupervisor : public QObject {
    Q_OBJECT

private slots:
    void events_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("next"); // of the last event that decided something
        QTest::addColumn<int>("delayMs");
        const auto row = [](const char *name, const char *script, const char *status,
                            Next next = Next::Nothing, int delayMs = 0) {
            QTest::newRow(name) << QString(script) << QString(status) << int(next) << delayMs;
        };
        // Reconnecting: the status says why, and which attempt comes next.
        const auto retry = [](const char *name, const char *script, const char *why, int attempt,
                              int delayMs) {
            QTest::newRow(name) << QString(script)
                                << QStringLiteral("%1，正在重连（第 %2 次）").arg(why).arg(attempt)
                                << int(Next::Reconnect) << delayMs;
        };
        row("connecting", "", "正在连接识别服务…");
        row("handshake 401 stops", "fail:401", "识别服务拒绝连接（HTTP 401）", Next::Stop);
        retry("handshake 503 retries", "fail:503", "识别服务拒绝连接（HTTP 503）", 1, 500);
        retry("delays double", "fail:0 fail:0 fail:0 fail:0", "识别服务无法连接", 4, 4000);
        retry("delays stop at 15 s", "fail:0 fail:0 fail:0 fail:0 fail:0 fail:0 fail:0 fail:0",
              "识别服务无法连接", 8, 15000);
        retry("a drop while streaming", "ready@0 end@5000", "识别服务连接中断", 1, 500);
        // Accepted, then dropped at once, again and again: the delay keeps growing.
        retry("accepted and dropped at once",
              "ready@0 end@100 ready@700 end@800 ready@2000 end@2100", "识别服务连接中断", 3, 2000);
        retry("a session that streamed 30 s starts afresh",
              "fail:0 fail:0 fail:0 ready@10000 end@40000", "识别服务连接中断", 1, 500);
        retry("text back starts afresh", "fail:0 fail:0 fail:0 ready@10000 text end@11000",
              "识别服务连接中断", 1, 500);
        retry("ready alone does not", "fail:0 fail:0 ready@10000 end@11000", "识别服务连接中断", 3,
              2000);
        row("request refused stops", "refuse:45000030", "识别服务拒绝会话（45000030）", Next::Stop);
        retry("idle timeout refusal retries", "refuse:45000081", "识别服务拒绝会话（45000081）", 1,
              500);
        retry("server busy retries", "refuse:55000031", "识别服务拒绝会话（55000031）", 1, 500);
        retry("unknown code retries", "refuse:-1", "识别服务拒绝会话（-1）", 1, 500);
        retry("error frame in the session", "ready@0 error:45000081", "识别服务出错（45000081）", 1,
              500);
        // The error already said why the connection ends: its end changes nothing.
        row("error, then the end", "ready@0 error:55000000 end@10",
            "识别服务出错（55000000），正在重连（第 1 次）");
        retry("silent service", "ready@0 stall@10000", "识别服务无响应", 1, 500);
        row("stall before streaming is no stall", "stall@10000", "正在连接识别服务…");
        row("device lost shows over streaming", "ready@0 lost", "音频设备丢失，正在重新打开");
        row("no device", "ready@0 nodevice", "音频设备不可用，正在重试");
        row("device back", "ready@0 nodevice device", "正在监听");
        row("a refusal shows over a device problem", "nodevice fail:401",
            "识别服务拒绝连接（HTTP 401）", Next::Stop);
    }
    void events() {
        QFETCH(QString, script);
        QFETCH(QString, status);
        QFETCH(int, next);
        QFETCH(int, delayMs);
        ListeningSupervisor supervisor;
        supervisor.start();
        ListeningSupervisor::Decision last;
        using Event = std::function<void(qint64)>;
        const QHash<QString, Event> events{
            {"fail", [&](qint64 v) { last = supervisor.connectionFailed(int(v), "detail"); }},
            {"refuse", [&](qint64 v) { last = supervisor.sessionRefused(int(v), "detail"); }},
            {"error", [&](qint64 v) { last = supervisor.serviceError(quint32(v), "detail"); }},
            {"end", [&](qint64 v) { last = supervisor.sessionEnded(v); }},
            {"stall", [&](qint64 v) { last = supervisor.sessionStalled(v); }},
            {"ready", [&](qint64 v) { supervisor.sessionReady(v); }},
            {"text", [&](qint64) { supervisor.textArrived(); }},
            {"lost", [&](qint64) { supervisor.captureLost(0x88890004u); }},
            {"nodevice", [&](qint64) { supervisor.captureUnavailable(); }},
            {"device", [&](qint64) { supervisor.captureRunning(false); }},
        };
        for (const QString &event : script.split(' ', Qt::SkipEmptyParts)) {
            const QStringList parts = event.split(QRegularExpression("[:@]"));
            QVERIFY2(events.contains(parts[0]), qPrintable(event));
            events[parts[0]](parts.value(1).toLongLong());
        }
        QCOMPARE(supervisor.status().text, status);
        QCOMPARE(int(last.next), next);
        QCOMPARE(last.delayMs, delayMs);
    }

    // What the tooltip says: the service's own words, the credentials hint, the device.
    void details() {
        ListeningSupervisor supervisor;
        supervisor.start();
        supervisor.connectionFailed(401, "Unhandled http status code: 401");
        QVERIFY(supervisor.status().detail.contains("401"));
        QVERIFY(supervisor.status().detail.contains("App ID"));
        supervisor.start();
        supervisor.sessionReady(0);
        supervisor.serviceError(55000000, "server busy");
        QCOMPARE(supervisor.status().detail, QStringLiteral("server busy"));
        supervisor.start();
        supervisor.sessionReady(0);
        supervisor.captureRunning(true);
        QVERIFY(supervisor.status().detail.contains("默认输出"));
        supervisor.captureLost(0x88890004u);
        QCOMPARE(supervisor.status().detail, QStringLiteral("0x88890004"));
        supervisor.captureUnavailable(0x8889000au); // a device held in exclusive mode
        QVERIFY(supervisor.status().detail.contains(QStringLiteral("0x8889000a")));
    }

    // Another device named only after 5 s without sound on the recorded one and three checks
    // in a row of it playing (a notification plays for a second or two), followed by itself
    // only when asked to and never away from a recorded device that plays.
    void playingElsewhere() {
        using Kelvane::PlayingDevice;
        using Kelvane::PlayingHint;
        const PlayingDevice usb{"usb", "USB Audio", "wemeet", false};
        const PlayingDevice recorded{"default", "Speakers", "", true};
        using Checks = std::vector<std::vector<PlayingDevice>>;
        for (const auto &[quietMs, checks, automatic, named, follow] :
             {std::tuple{4000, Checks{{usb}, {usb}, {usb}}, true, "", false},
              {6000, Checks{{}, {}, {}}, true, "", false},
              {6000, Checks{{recorded}, {recorded}, {recorded}}, true, "", false},
              {6000, Checks{{usb}, {usb}, {usb}}, false, "usb", false},
              {6000, Checks{{recorded, usb}, {recorded, usb}, {recorded, usb}}, true, "usb", false},
              {6000, Checks{{usb}, {usb}, {usb}}, true, "usb", true},
              {6000, Checks{{usb}, {usb}}, true, "", false},               // a notification
              {6000, Checks{{usb}, {usb}, {}, {usb}}, true, "", false}}) { // not in a row
            PlayingHint hint;
            PlayingHint::Decision decision;
            for (const auto &playing : checks)
                decision = hint.observe(quietMs, playing, automatic);
            QCOMPARE(decision.elsewhere ? decision.elsewhere->id : std::string(),
                     std::string(named));
            QCOMPARE(decision.follow, follow);
        }
        QCOMPARE(PlayingHint::text(usb), QStringLiteral("会议声音在「USB Audio」上播放（wemeet）"));
    }
};

QTEST_APPLESS_MAIN(TestListeningSupervisor)
#include "tst_listeningsupervisor.moc"
