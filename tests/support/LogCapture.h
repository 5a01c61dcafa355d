#pragma once

#include <QString>
#include <QStringList>

#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>

namespace KelvaneTest {

// A stream buffer that collects text and may be read while another thread writes.
class LockedStringBuf : public std::streambuf {
public:
    QString text() const {
        std::lock_guard<std::mutex> lock(mutex);
        return QString::fromStdString(collected);
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        collected.clear();
    }

protected:
    int overflow(int ch) override {
        if (ch != traits_type::eof()) {
            std::lock_guard<std::mutex> lock(mutex);
            collected.push_back(static_cast<char>(ch));
        }
        return ch;
    }
    std::streamsize xsputn(const char *s, std::streamsize n) override {
        std::lock_guard<std::mutex> lock(mutex);
        collected.append(s, static_cast<size_t>(n));
        return n;
    }

private:
    mutable std::mutex mutex;
    std::string collected;
};

// Redirects standard output and standard error for its lifetime. Create it before any thread
// that logs starts, and destroy it after they stopped.
class LogCapture {
public:
    LogCapture()
        : oldOut(std::cout.rdbuf(&outBuf))
        , oldErr(std::cerr.rdbuf(&errBuf)) {}
    ~LogCapture() {
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QString out() const { return outBuf.text(); }
    QString err() const { return errBuf.text(); }
    QStringList outLines() const { return splitLines(out()); }
    QStringList errLines() const { return splitLines(err()); }
    void clear() {
        outBuf.clear();
        errBuf.clear();
    }
    int countOut(const QString &needle) const { return out().count(needle); }
    int countErr(const QString &needle) const { return err().count(needle); }

    static QStringList splitLines(const QString &text) {
        QStringList lines = text.split(QLatin1Char('\n'));
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

private:
    LockedStringBuf outBuf;
    LockedStringBuf errBuf;
    std::streambuf *oldOut;
    std::streambuf *oldErr;
};

} // namespace KelvaneTest
