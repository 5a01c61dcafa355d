#include "EventStream.h"

#include "Log.h"

#include <nlohmann/json.hpp>

namespace Kelvane {

using json = nlohmann::json;

namespace {

int utf8SequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    if (lead >= 0xE0)
        return lead <= 0xEF ? 3 : 0;
    if (lead >= 0xC2)
        return 2;
    return 0;
}

} // namespace

QByteArray takeIncompleteUtf8Tail(QByteArray &data) {
    const qsizetype size = data.size();
    // A sequence is at most 4 bytes, so only the last 3 can start an unfinished one.
    for (qsizetype back = 1; back <= 3 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(data[size - back]);
        if ((byte & 0xC0) == 0x80)
            continue; // continuation byte: keep looking for the lead
        const int length = utf8SequenceLength(byte);
        if (length > back) {
            QByteArray tail = data.right(back);
            data.chop(back);
            return tail;
        }
        break;
    }
    return {};
}

QStringList EventStreamBuffer::takeLines(const QByteArray &read, int &partCount) {
    // A character split between two reads is decoded once its last byte has arrived.
    QByteArray bytes = undecodedTail + read;
    undecodedTail = takeIncompleteUtf8Tail(bytes);
    const QString text = QString::fromUtf8(bytes);

    // Only the new text is searched: a long unfinished line is never scanned again.
    const qsizetype lastNewline = text.lastIndexOf(QLatin1Char('\n'));
    if (lastNewline < 0) {
        buffer.append(text);
        partCount = 1;
        return {};
    }
    QStringList lines = (buffer + text.left(lastNewline)).split(QLatin1Char('\n'));
    buffer = text.mid(lastNewline + 1);
    partCount = int(lines.size()) + 1;
    return lines;
}

EventLine interpretEventLine(const QString &line, int lineNumber, const void *replyAddress) {
    Log::out("[LLMClient] Line ", lineNumber, ": ", line.left(50));
    // (the space after the colon is optional)
    if (!line.startsWith(QLatin1String("data:"))) {
        Log::out("[LLMClient] Line does not start with 'data:'");
        return {};
    }
    const QString payload = line.mid(5).trimmed();
    if (payload == QLatin1String("[DONE]")) {
        Log::out("[LLMClient] Reply ", replyAddress, " stream completed");
        return {EventLine::Done, QString()};
    }

    try {
        const json chunk = json::parse(payload.toStdString());
        if (!chunk.is_object() || !chunk.contains("choices"))
            return {};
        const json &choices = chunk["choices"];
        if (choices.empty())
            return {};
        const json &first = choices[0];
        if (!first.is_object())
            return {};
        const auto delta = first.find("delta");
        if (delta == first.end() || !delta->is_object())
            return {};
        const auto content = delta->find("content");
        if (content == delta->end() || content->is_null()) {
            // Reasoning models think aloud first; the answer comes as content later.
            const auto reasoning = delta->find("reasoning_content");
            if (reasoning != delta->end() && reasoning->is_string() &&
                !reasoning->get<std::string>().empty())
                return {EventLine::Reasoning, QString()};
            return {};
        }
        const QString text = QString::fromStdString(content->get<std::string>());
        Log::out("[LLMClient] Content: ", text);
        if (text.isEmpty())
            return {};
        return {EventLine::Fragment, text};
    } catch (const json::exception &error) {
        Log::err("[LLMClient] JSON parse error: ", error.what());
        Log::err("[LLMClient] Data: ", payload);
        return {};
    }
}

} // namespace Kelvane
