#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Kelvane {

// What is left of one server-sent-event stream between reads: the text of an unfinished line
// and the bytes of a UTF-8 character cut off at the end of the last read.
class EventStreamBuffer {
public:
    // Adds one read and returns its complete lines, empty ones included. partCount receives
    // the number of parts the buffered text split into, the held-back unfinished line included.
    QStringList takeLines(const QByteArray &read, int &partCount);

    const QString &pendingLine() const { return buffer; }
    // A line this long without its end is no event stream: the request is given up.
    static constexpr qsizetype kMaxLineLength = 1024 * 1024;
    bool lineTooLong() const { return buffer.size() > kMaxLineLength; }

private:
    QString buffer;
    QByteArray undecodedTail;
};

struct EventLine {
    enum Kind { Ignored, Done, Fragment, Reasoning };
    Kind kind = Ignored;
    QString text;
};

// Interprets one non-empty line of a chat-completion stream, logging as it goes: the end
// marker, a content fragment, or nothing of interest (comments, other fields, bad JSON).
EventLine interpretEventLine(const QString &line, int lineNumber, const void *replyAddress);

// Splits off the bytes of a UTF-8 sequence that is cut short at the end of data; returns them
// and leaves only complete sequences (or invalid bytes, which decode as usual) in data.
QByteArray takeIncompleteUtf8Tail(QByteArray &data);

} // namespace Kelvane
