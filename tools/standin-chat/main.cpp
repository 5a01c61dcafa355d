// kelvane-standin-chat: a local stand-in for an OpenAI-compatible chat-completion service.

#include "StandinChatServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <iostream>

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Stand-in for the chat-completion service (streaming).");
    parser.addHelpOption();
    parser.addOptions({
        {"port", "Port to listen on (0: any).", "port", "0"},
        {"key", "The only API key accepted (default: any).", "key"},
        {"interval", "Milliseconds between content deltas.", "ms", "20"},
        {"refuse", "Answer every request with this HTTP status.", "status"},
        {"drop-after", "Close the connection after this many deltas.", "deltas"},
        {"stall-after", "Stop sending after this many deltas.", "deltas"},
        {"garbage", "Send lines that are not JSON between the deltas."},
        {"no-done", "End every stream without the [DONE] line."},
        {"reasoning", "Milliseconds of reasoning_content deltas before the answer.", "ms", "0"},
        {"first-delay", "Milliseconds to hold back the first content delta.", "ms", "0"},
        {"timing", "Log every request and delta with the wall clock (ms)."},
    });
    parser.process(app);

    StandinChatServer::Options options;
    options.port = quint16(parser.value("port").toUInt());
    options.apiKey = parser.value("key");
    options.deltaIntervalMs = parser.value("interval").toInt();
    options.refuseStatus = parser.value("refuse").toInt();
    options.dropAfterDeltas = parser.value("drop-after").toInt();
    options.stallAfterDeltas = parser.value("stall-after").toInt();
    options.garbage = parser.isSet("garbage");
    options.noDone = parser.isSet("no-done");
    options.reasoningMs = parser.value("reasoning").toInt();
    options.firstDeltaDelayMs = parser.value("first-delay").toInt();
    options.timing = parser.isSet("timing");

    StandinChatServer server(options);
    if (!server.listen()) {
        std::cerr << "[standin-chat] cannot listen on port " << options.port << std::endl;
        return 1;
    }
    std::cout << "[standin-chat] Listening on port " << server.port() << std::endl;
    return app.exec();
}
