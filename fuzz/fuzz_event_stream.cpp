// A chat reply's bytes cut into reads at chosen places must give the same fragments and end
// markers as the same bytes read whole (the UTF-8 hold-back included), and a bounded pending
// line. Input: one byte N, then N cut lengths (one byte each), then the stream bytes.

#include "EventStream.h"
#include "FuzzSupport.h"

#include <cstdint>
#include <cstdlib>

namespace {

QStringList readInPieces(const QByteArray &stream, const QList<int> &cuts, QString &pending) {
    Kelvane::EventStreamBuffer buffer;
    QStringList events; // fragments, and "\n" for each end marker
    qsizetype offset = 0;
    for (int i = 0; i <= cuts.size(); ++i) {
        const qsizetype length = i < cuts.size() ? qMin<qsizetype>(cuts[i], stream.size() - offset)
                                                 : stream.size() - offset;
        int parts = 0;
        for (const QString &line : buffer.takeLines(stream.mid(offset, length), parts)) {
            const Kelvane::EventLine event = Kelvane::interpretEventLine(line, 0, nullptr);
            if (event.kind == Kelvane::EventLine::Done)
                events.append(QStringLiteral("\n"));
            else if (event.kind == Kelvane::EventLine::Fragment)
                events.append(event.text);
        }
        offset += length;
    }
    pending = buffer.pendingLine();
    return events;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    FuzzSupport::initialize(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size < 1 + size_t(data[0]))
        return 0;
    QList<int> cuts;
    for (size_t i = 0; i < data[0]; ++i)
        cuts.append(data[1 + i]);
    const QByteArray stream(reinterpret_cast<const char *>(data + 1 + data[0]),
                            qsizetype(size - 1 - data[0]));
    QString wholePending;
    QString piecesPending;
    if (readInPieces(stream, {}, wholePending) != readInPieces(stream, cuts, piecesPending))
        std::abort();
    // An unfinished last line may differ only by a character whose bytes are still held back.
    if (!piecesPending.isEmpty() && !wholePending.startsWith(piecesPending))
        std::abort();
    return 0;
}
