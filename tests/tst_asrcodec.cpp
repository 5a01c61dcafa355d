#include "ASRClient.h"
#include "AsrFrameCodec.h"
#include "AsrWire.h"
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

    void serverFrames_data() {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("json"); // what reaches the session; empty for nothing
        QTest::addColumn<bool>("last");
        const QByteArray result = R"({"result":{"text":"你好"}})";
        QTest::newRow("gzip result")
            << AsrWire::serverFrame(9, 0, 0, result) << QString(result) << false;
        QTest::newRow("sequence and last flag")
            << AsrWire::serverFrame(9, 3, 7, result) << QString(result) << true;
        QTest::newRow("plain result")
            << AsrWire::serverFrame(9, 1, 2, result, 0, false) << QString(result) << false;
        QByteArray wrongSize = AsrWire::serverFrame(9, 0, 0, result, 0, false);
        wrongSize[7] = char(0x7f);
        QTest::newRow("size field ignored") << wrongSize << QString(result) << false;
        QTest::newRow("error frame, gzip")
            << AsrWire::serverFrame(15, 0, 0, R"({"error":"timeout"})", 45000081) << QString()
            << false;
        QTest::newRow("error frame, plain")
            << AsrWire::serverFrame(15, 0, 0, R"({"error":"x"})", 45000001, false) << QString()
            << false;
        QTest::newRow("too short") << QByteArray("\x11\x90\x11", 3) << QString() << false;
        QTest::newRow("header beyond the message")
            << QByteArray("\x1f\x91\x10\x00\x00", 5) << QString() << false;
        QByteArray damaged = AsrWire::serverFrame(9, 0, 0, result, 0, false);
        damaged[2] = char(0x11); // says gzip, is not
        QTest::newRow("damaged gzip") << damaged << QString() << false;
        QByteArray unserialised = AsrWire::serverFrame(9, 0, 0, result);
        unserialised[2] = char(0x01);
        QTest::newRow("no serialization") << unserialised << QString() << false;
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
