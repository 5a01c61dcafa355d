// One received binary message, frame part and JSON part, with the session before and after
// its initialisation answer.

#include "ASRClient.h"
#include "FuzzSupport.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    FuzzSupport::initialize(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    Kelvane::ASRClient client;
    client.onResult = [](const QString &text, bool) {
        if (text.isEmpty())
            std::abort(); // results are never empty
    };
    if (data[0] & 1) {
        // A ready session: an empty JSON object answers the initialisation.
        client.handleServerResponse(QByteArray("\x11\x90\x10\x00\x00\x00\x00\x02{}", 10));
        if (!client.isSessionReady())
            std::abort();
    }
    const QByteArray message(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    client.handleServerResponse(message);
    client.handleServerResponse(message); // the same frame again, on the state it left
    return 0;
}
