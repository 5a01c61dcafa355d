// A chat reply's bytes cut into reads at chosen places: the fragments and end markers
// delivered must equal those of the same bytes read whole (the UTF-8 hold-back included).
// Input: one byte N, then N cut lengths (one byte each), then the stream bytes.

#include "EventStream.h"
#include "FuzzSupport.h"

#include <QStringList>

#include <cstdint>
#include <cstdlib>

namespace {

struct Delivered {
    QStringList fragments;
    int done = 0;
    QString pending;
};

Delivered readInPieces(const QByteArray &stream, const QList<int> &cuts) {
    Delivered out;
    Kelvane::EventStreamBuffer buffer;
    qsizetype offset = 0;
    auto feed = [&](const QByteArray &piece) {
        int parts = 0;
        int number = 0;
        for (const QString &line : buffer.takeLines(piece, parts)) {
            ++number;
            if (line.isEmpty())
                continue;
            const Kelvane::EventLine event = Kelvane::interpretEventLine(line, number, nullptr);
            if (event.kind == Kelvane::EventLine::Done)
                ++out.done;
            else if (event.kind == Kelvane::EventLine::Fragment)
                out.fragments.append(event.text);
        }
    };
    for (int cut : cuts) {
        const qsizetype length = qMin<qsizetype>(cut, stream.size() - offset);
        feed(stream.mid(offset, length));
        offset += length;
    }
    feed(stream.mid(offset));
    out.pending = buffer.pendingLine();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    FuzzSupport::initialize(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const size_t cutCount = data[0];
    if (size < 1 + cutCount)
        return 0;
    QList<int> cuts;
    for (size_t i = 0; i < cutCount; ++i)
        cuts.append(data[1 + i]);
    const QByteArray stream(reinterpret_cast<const char *>(data + 1 + cutCount),
                            qsizetype(size - 1 - cutCount));

    const Delivered whole = readInPieces(stream, {});
    const Delivered pieces = readInPieces(stream, cuts);
    if (whole.fragments != pieces.fragments || whole.done != pieces.done)
        std::abort();
    // An unfinished last line may differ only by a character whose bytes are still held back.
    if (!pieces.pending.isEmpty() && !whole.pending.startsWith(pieces.pending))
        std::abort();
    return 0;
}
