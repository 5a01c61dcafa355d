#include "ASRClient.h"
#include "AsrFrameCodec.h"
#include "LocalAsrServer.h"
#include "LogCapture.h"

#include <QtTest>

using namespace Kelvane;
using KelvaneTest::LocalAsrServer;
using KelvaneTest::LogCapture;

namespace {

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

} // namespace

class TestAsrCodec : public QObject {
    Q_OBJECT

private slots:
    // Runs first: the frame-logging counter belongs to the whole process.
    void audioFramesByteForByte() {
        LogCapture log;
        const QByteArray pcm(6400, '\x5a');
        const QByteArray frame =
            AsrCodec::buildAudioFrame(pcm.constData(), size_t(pcm.size()), false);
        QCOMPARE(frame.left(8), bytes({0x11, 0x20, 0x00, 0x00, 0x00, 0x00, 0x19, 0x00}));
        QCOMPARE(frame.mid(8), pcm);
        AsrCodec::buildAudioFrame(pcm.constData(), 2, false);
        AsrCodec::buildAudioFrame(pcm.constData(), 2, false);
        AsrCodec::buildAudioFrame(pcm.constData(), 2, false); // the fourth: not logged
        QCOMPARE(log.countOut("[ASRClient] Audio message header (isLast=0): 0x11 0x20 0x00 0x00"),
                 3);
        QVERIFY(log.out().startsWith("[ASRClient] Audio message header (isLast=0): 0x11 0x20 0x00 "
                                     "0x00 (payload size: 6400 bytes)\n"));

        const QByteArray last = AsrCodec::buildAudioFrame(nullptr, 0, true);
        QCOMPARE(last, bytes({0x11, 0x22, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
        QVERIFY(log.out().endsWith("[ASRClient] Audio message header (isLast=1): 0x11 0x22 0x00 "
                                   "0x00 (payload size: 0 bytes)\n"));
    }

    void fullClientRequest() {
        LogCapture log;
        ASRClient client;
        const QByteArray frame = client.buildFullClientRequest();
        QCOMPARE(frame.left(4), bytes({0x11, 0x10, 0x11, 0x00}));
        const quint32 size = (quint32(uchar(frame[4])) << 24) | (quint32(uchar(frame[5])) << 16) |
                             (quint32(uchar(frame[6])) << 8) | quint32(uchar(frame[7]));
        QCOMPARE(qsizetype(size), frame.size() - 8);
        const QByteArray json =
            R"({"audio":{"bits":16,"channel":1,"format":"pcm","rate":16000},"request":{"enable_ddc":true,"enable_itn":true,"enable_nonstream":false,"enable_punc":true,"model_name":"streaming","show_utterances":true},"user":{"uid":"cpp_user"}})";
        QCOMPARE(LocalAsrServer::gunzip(frame.mid(8)), json);
        QVERIFY(log.out().contains("[ASRClient] Param JSON: " + json + "\n"));
    }

    void gzipRoundTripAndDamage() {
        LogCapture log;
        QByteArray text;
        for (int i = 0; i < 5000; ++i)
            text += QByteArray::number(i * 7919 % 1000) + "语音";
        const QByteArray packed = AsrCodec::gzipCompress(text);
        QVERIFY(packed.size() < text.size());
        QCOMPARE(LocalAsrServer::gunzip(packed), text); // a standard gzip stream
        QCOMPARE(AsrCodec::gzipDecompress(packed), text);
        QCOMPARE(AsrCodec::gzipDecompress(packed + "trailing junk"), text);
        QCOMPARE(AsrCodec::gzipCompress(QByteArray()).isEmpty(), false);
        QCOMPARE(AsrCodec::gzipDecompress(AsrCodec::gzipCompress(QByteArray())), QByteArray());
        QCOMPARE(log.err(), QString());

        QCOMPARE(AsrCodec::gzipDecompress(packed.left(packed.size() / 2)), QByteArray());
        QCOMPARE(AsrCodec::gzipDecompress("not gzip at all"), QByteArray());
        QCOMPARE(log.countErr("[ASRClient] GZIP decompression failed\n"), 2);
    }

    void shortAndOddFrames() {
        {
            LogCapture log;
            const auto payload = AsrCodec::decodeServerFrame(bytes({0x11, 0x90, 0x11}));
            QVERIFY(!payload.hasJson);
            QCOMPARE(log.errLines(), QStringList{"[ASRClient] Response too short: 3 bytes"});
            QCOMPARE(log.out(), QString());
        }
        {
            // Flags 3: a sequence number and the last-packet flag.
            LogCapture log;
            const auto payload = AsrCodec::decodeServerFrame(
                LocalAsrServer::serverFrame(9, 3, R"({"result":{}})", true, 7));
            QVERIFY(payload.hasJson);
            QVERIFY(payload.isLastPackage);
            QCOMPARE(payload.jsonText, QStringLiteral(R"({"result":{}})"));
            QCOMPARE(
                log.outLines(),
                (QStringList{"[ASRClient] Response: headerLen=4, messageType=9, flags=3, "
                             "serial=1, compress=1",
                             "[ASRClient] Sequence: 7", "[ASRClient] Last package flag detected",
                             QString("[ASRClient] Payload length: %1")
                                 .arg(LocalAsrServer::gzip(R"({"result":{}})").size())}));
        }
        {
            // A header length beyond the message.
            LogCapture log;
            QVERIFY(!AsrCodec::decodeServerFrame(bytes({0x1f, 0x90, 0x10, 0x00, 0x00})).hasJson);
            QVERIFY(log.out().endsWith("[ASRClient] No payload\n"));
            QVERIFY(!AsrCodec::decodeServerFrame(bytes({0x1f, 0x91, 0x10, 0x00, 0x00})).hasJson);
            QVERIFY(log.err().endsWith("[ASRClient] Message too short for sequence\n"));
        }
        {
            // An error frame of exactly header + 8 bytes.
            LogCapture log;
            const QByteArray frame =
                bytes({0x11, 0xf0, 0x10, 0x00, 0x02, 0xae, 0xa5, 0x41, 0x00, 0x00, 0x00, 0x00});
            QVERIFY(!AsrCodec::decodeServerFrame(frame).hasJson);
            QCOMPARE(log.errLines(), QStringList{"[ASRClient] Server error: code=45000001"});
            QVERIFY(log.out().endsWith("[ASRClient] No payload\n"));
        }
    }

    void payloadRules() {
        LogCapture log;
        // Size field disagreeing with the real length changes nothing.
        QByteArray frame = LocalAsrServer::serverFrame(9, 0, R"({"a":1})", false);
        frame[7] = char(0x7f);
        auto payload = AsrCodec::decodeServerFrame(frame);
        QVERIFY(payload.hasJson);
        QCOMPARE(payload.jsonText, QStringLiteral(R"({"a":1})"));

        // A gzip payload whose serialization is none is unpacked and then dropped.
        frame = LocalAsrServer::serverFrame(9, 0, R"({"a":1})", true);
        frame[2] = char(0x01);
        QVERIFY(!AsrCodec::decodeServerFrame(frame).hasJson);

        // Other message types carry no fields before the payload.
        frame = bytes({0x11, 0x40, 0x10, 0x00}) + R"({"b":2})";
        payload = AsrCodec::decodeServerFrame(frame);
        QCOMPARE(payload.jsonText, QStringLiteral(R"({"b":2})"));

        // Damaged gzip: the zlib line, nothing handed on.
        frame = LocalAsrServer::serverFrame(9, 0, R"({"a":1})", false);
        frame[2] = char(0x11);
        QVERIFY(!AsrCodec::decodeServerFrame(frame).hasJson);
        QVERIFY(log.err().contains("[ASRClient] GZIP decompression failed\n"));
    }

    void errorFramesNeverReachTheSession() {
        LogCapture log;
        const QByteArray text =
            R"({"error":"[Timeout waiting next packet] waiting next packet timeout"})";
        for (bool gzipped : {false, true}) {
            log.clear();
            const QByteArray frame = LocalAsrServer::serverFrame(15, 0, text, gzipped, 0, 45000081);
            const auto payload = AsrCodec::decodeServerFrame(frame);
            QVERIFY(!payload.hasJson);
            QCOMPARE(log.errLines(), (QStringList{"[ASRClient] Server error: code=45000081",
                                                  "[ASRClient] Server error payload: " + text}));
        }
    }
};

QTEST_GUILESS_MAIN(TestAsrCodec)
#include "tst_asrcodec.moc"
