// kelvane-standin-asr: a local stand-in for the streaming recognition service.

#include "StandinAsrServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <iostream>

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Stand-in for the streaming recognition service: reveals a question script line by line, "
        "one line per speech segment in the received audio.");
    parser.addHelpOption();
    parser.addOptions({
        {"port", "Port to listen on (0: any).", "port", "0"},
        {"script", "Text file with one question per line.", "file"},
        {"refuse", "Refuse every upgrade with this HTTP status.", "status"},
        {"drop-after", "Abort the connection after this many audio frames.", "frames"},
        {"stall-after", "Stop answering after this many audio frames.", "frames"},
        {"garbage", "Answer audio with frames that are not the protocol."},
        {"refuse-session", "Answer the session request with this error code.", "code"},
        {"handshake-delay", "Answer the upgrade only after this many ms.", "ms", "0"},
        {"settle-ms", "Quiet after which the whole sentence is recognised.", "ms", "200"},
    });
    parser.process(app);

    StandinAsrServer::Options options;
    options.port = quint16(parser.value("port").toUInt());
    options.refuseStatus = parser.value("refuse").toInt();
    options.dropAfterFrames = parser.value("drop-after").toInt();
    options.stallAfterFrames = parser.value("stall-after").toInt();
    options.garbage = parser.isSet("garbage");
    options.refuseSessionCode = parser.value("refuse-session").toInt();
    options.handshakeDelayMs = parser.value("handshake-delay").toInt();
    options.settleMs = parser.value("settle-ms").toInt();
    if (parser.isSet("script")) {
        QFile file(parser.value("script"));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            std::cerr << "[standin-asr] cannot read " << parser.value("script").toStdString()
                      << std::endl;
            return 2;
        }
        for (const QByteArray &line : file.readAll().split('\n'))
            if (!line.trimmed().isEmpty())
                options.script.append(QString::fromUtf8(line.trimmed()));
    }

    StandinAsrServer server(options);
    if (!server.listen()) {
        std::cerr << "[standin-asr] cannot listen on port " << options.port << std::endl;
        return 1;
    }
    std::cout << "[standin-asr] Listening on port " << server.port() << std::endl;
    return app.exec();
}
