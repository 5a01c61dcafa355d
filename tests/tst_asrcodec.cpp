#include "ASRClient.h"
#include "AsrFrameCodec.h"
#include "AsrWire.h"
#include "AudioPackets.h"
#include "TestSupport.h"

#include <QtTest>

using namespace Kelvane;

class TestAsrCodec : public QObject {
    Q_OBJECT

    KelvaneTest::LogLines log;

private slots:
    void gzip() {
        QByteArray text;
        for (int i = 0; i < 5000; ++i)
            text += QByteArray::number(i * 7919 % 1000) + "语音";
        const QByteArray packed = AsrCodec::gzipCompress(text);
        QVERIFY(packed.size() < text.size());
        QCOMPARE(AsrWire::gunzip(packed), text);
        QCOMPARE(AsrCodec::gzipDecompress(AsrWire::gzip(text)), text);
        QCOMPARE(AsrCodec::gzipDecompress(AsrCodec::gzipCompress(QByteArray())), QByteArray());
        QCOMPARE(AsrCodec::gzipDecompress(packed.left(packed.size() / 2)), QByteArray());
        QCOMPARE(AsrCodec::gzipDecompress("not gzip at all"), QByteArray());
        // A small payload that would inflate past the limit is refused, not inflated.
        const QByteArray bomb = AsrWire::gzip(QByteArray(AsrCodec::kMaxInflatedBytes + 1, '\0'));
        QVERIFY(bomb.size() < 64 * 1024);
        QCOMPARE(AsrCodec::gzipDecompress(bomb), QByteArray());
    }

    // 100 ms packets whatever the capture buffers (10 ms, odd sizes, several packets at once);
    // asked to, a packet ends exactly at a point, those before it 80 to 120 ms.
    void audioPackets() {
        using Kelvane::AudioPackets;
        for (const auto &[buffer, buffers, target] : {std::tuple{160, 25, 0},
                                                      {441, 10, 0},
                                                      {5000, 1, 0},
                                                      {0, 3, 0},
                                                      {160, 200, 1000},
                                                      {160, 200, 2000},
                                                      {160, 200, 3000},
                                                      {160, 200, 4500},
                                                      {160, 200, 16000}}) {
            AudioPackets cutter;
            cutter.add(std::vector<int16_t>(target ? 700 : 0), nullptr); // (less than a packet)
            if (target)
                cutter.endPacketIn(size_t(target));
            size_t sent = 0;
            bool ended = target == 0;
            for (int i = 0; i < buffers; ++i)
                cutter.add(std::vector<int16_t>(size_t(buffer)), [&](const int16_t *, size_t n) {
                    QVERIFY(target
                                ? n >= AudioPackets::kMinSamples && n <= AudioPackets::kMaxSamples
                                : n == AudioPackets::kPacketSamples);
                    sent += n;
                    ended = ended || sent == size_t(700 + target);
                });
            QVERIFY2(ended, qPrintable(QString::number(target)));
            QCOMPARE(sent + cutter.pendingSamples(), size_t(buffer * buffers + (target ? 700 : 0)));
        }
    }

    void serverFrames_data() {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("json"); // what reaches the session; empty for nothing
        QTest::addColumn<bool>("last");
        const QByteArray result = R"({"result":{"text":"你好"}})";
        const auto row = [](const char *name, const QByteArray &frame, const QString &json,
                            bool last = false) { QTest::newRow(name) << frame << json << last; };
        const auto patched = [&result](int at, char byte, bool gzip) {
            QByteArray frame = AsrWire::serverFrame(9, 0, 0, result, 0, gzip);
            frame[at] = byte;
            return frame;
        };
        row("gzip result", AsrWire::serverFrame(9, 0, 0, result), result);
        row("sequence and last flag", AsrWire::serverFrame(9, 3, 7, result), result, true);
        row("plain result", AsrWire::serverFrame(9, 1, 2, result, 0, false), result);
        row("size field ignored", patched(7, 0x7f, false), result);
        row("error frame, gzip", AsrWire::serverFrame(15, 0, 0, R"({"error":"t"})", 45000081), "");
        row("error frame, plain", AsrWire::serverFrame(15, 0, 0, "{}", 45000001, false), "");
        row("too short", QByteArray("\x11\x90\x11", 3), "");
        row("header beyond the message", QByteArray("\x1f\x91\x10\x00\x00", 5), "");
        row("damaged gzip", patched(2, 0x11, false), ""); // says gzip, is not
        row("no serialization", patched(2, 0x01, true), "");
    }
    void serverFrames() {
        QFETCH(QByteArray, frame);
        QFETCH(QString, json);
        QFETCH(bool, last);
        const auto payload = AsrCodec::decodeServerFrame(frame);
        QCOMPARE(payload.hasJson, !json.isEmpty());
        QCOMPARE(payload.jsonText, json);
        QCOMPARE(payload.isLastPackage, last);
    }
};

QTEST_GUILESS_MAIN(TestAsrCodec)
#include "tst_asrcodec.moc"
