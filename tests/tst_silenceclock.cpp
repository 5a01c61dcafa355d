#include "SilenceClock.h"

#include <QtTest>

#include <vector>

using Kelvane::SilenceClock;

namespace {

struct Arrival {
    int atMs; // when the device has it waiting
    uint32_t frames;
};
using Arrivals = std::vector<Arrival>;

// The capture loop at 48 kHz: a poll every 10 ms (plus the scheduler's lateness) drains what
// arrived, or asks the clock for silence. Returns the polls (ms) at which silence came, one
// entry per block.
std::vector<int> silenceAt(const Arrivals &arrivals, int untilMs, int pollLatenessMs = 0) {
    SilenceClock clock(48000, 480, SilenceClock::kDefaultToleranceUs);
    clock.restart(0);
    std::vector<int> blocks;
    size_t next = 0;
    const int period = pollLatenessMs < 0 ? 16 : 10;
    for (int poll = period; poll <= untilMs; poll += period) {
        const int now = pollLatenessMs < 0 ? poll - poll / 160 * 4 // 15.6 ms on average
                                           : poll + (poll / 10 % 3 == 0 ? pollLatenessMs : 0);
        bool drained = false;
        for (; next < arrivals.size() && arrivals[next].atMs <= now; ++next) {
            clock.delivered(arrivals[next].frames, int64_t(now) * 1000);
            drained = true;
        }
        if (!drained)
            for (int due = clock.silentBlocksDue(int64_t(now) * 1000); due > 0; --due)
                blocks.push_back(now);
    }
    return blocks;
}

// Fragments of the given size, one per fragment time, each late by a repeating jitter.
Arrivals fragments(int fromMs, int untilMs, uint32_t frames, std::vector<int> jitterMs = {0}) {
    Arrivals result;
    const double period = frames / 48.0;
    int k = 0;
    for (double t = fromMs + period; t <= untilMs; t += period, ++k)
        result.push_back({int(t) + jitterMs[size_t(k) % jitterMs.size()], frames});
    return result;
}

} // namespace

Q_DECLARE_METATYPE(Arrivals)

class TestSilenceClock : public QObject {
    Q_OBJECT

private slots:
    void silence_data() {
        QTest::addColumn<Arrivals>("arrivals");
        QTest::addColumn<int>("pollLateness");
        QTest::addColumn<int>("minBlocks");
        QTest::addColumn<int>("maxBlocks");
        QTest::addColumn<int>("firstAfterMs"); // no silence before this poll
        const Arrivals steady = fragments(0, 2000, 480);
        QTest::newRow("10 ms packets on time") << steady << 0 << 0 << 0 << 0;
        QTest::newRow("polls late by 4 ms") << steady << 4 << 0 << 0 << 0;
        // PipeWire's quantum: 1024 frames every 21.3 ms, so half the polls find nothing.
        QTest::newRow("21 ms fragments") << fragments(0, 2000, 1024) << 0 << 0 << 0 << 0;
        QTest::newRow("fragments jittered up to 25 ms")
            << fragments(0, 2000, 1024, {0, 25, 3, 17, 0, 9}) << 3 << 0 << 0 << 0;
        QTest::newRow("32 ms fragments") << fragments(0, 2000, 1536) << 0 << 0 << 0 << 0;
        // A device that delivers nothing at all: real time, after the tolerance.
        QTest::newRow("idle for a second") << Arrivals{} << 0 << 95 << 97 << 50;
        QTest::newRow("idle, polls late") << Arrivals{} << 6 << 95 << 98 << 50;
        // A throttled timer (Windows' 15.6 ms tick) still counts real milliseconds.
        QTest::newRow("idle, polls every 15.6 ms") << Arrivals{} << -1 << 91 << 96 << 45;
        // Playback stops after 500 ms: silence from 40 ms after the last packet, in real time.
        QTest::newRow("playback stops") << fragments(0, 500, 480) << 0 << 45 << 47 << 550;
        // Speech resumes after an idle spell: silence only inside the spell.
        QTest::newRow("idle, then the device resumes")
            << fragments(500, 1000, 1024, {0, 20, 5}) << 0 << 46 << 49 << 50;
        // A backlog of half a second arrives at once (the thread was held up), then nothing.
        Arrivals burst = fragments(0, 100, 480);
        burst.push_back({110, 24000});
        QTest::newRow("a burst, then idle") << burst << 0 << 79 << 83 << 150;
    }
    void silence() {
        QFETCH(Arrivals, arrivals);
        QFETCH(int, pollLateness);
        QFETCH(int, minBlocks);
        QFETCH(int, maxBlocks);
        QFETCH(int, firstAfterMs);
        const int until = arrivals.empty() ? 1000 : 1000 + (minBlocks ? 0 : 1000);
        const std::vector<int> blocks = silenceAt(arrivals, until, pollLateness);
        QVERIFY2(int(blocks.size()) >= minBlocks && int(blocks.size()) <= maxBlocks,
                 qPrintable(QString::number(blocks.size())));
        if (!blocks.empty())
            QVERIFY2(blocks.front() >= firstAfterMs, qPrintable(QString::number(blocks.front())));
        // Idle spells end where the device resumes: no silence after the last arrival.
        if (!blocks.empty() && !arrivals.empty() && arrivals.back().atMs > 500 &&
            arrivals.front().atMs >= 500)
            QVERIFY(blocks.back() <= arrivals.front().atMs + 10);
    }
};

QTEST_APPLESS_MAIN(TestSilenceClock)
#include "tst_silenceclock.moc"
