#include "Log.h"

#include <iostream>
#include <mutex>

namespace Kelvane {
namespace Log {

namespace {

std::mutex &lineMutex() {
    static std::mutex mutex;
    return mutex;
}

Sink &currentSink() {
    static Sink sink;
    return sink;
}

void write(Stream stream, const std::string &line) {
    std::lock_guard<std::mutex> lock(lineMutex());
    if (const Sink &sink = currentSink()) {
        sink(stream, line);
        return;
    }
    (stream == Stream::Out ? std::cout : std::cerr) << line << std::endl;
}

} // namespace

Sink setSink(Sink sink) {
    std::lock_guard<std::mutex> lock(lineMutex());
    std::swap(currentSink(), sink);
    return sink;
}

void writeOut(const std::string &line) {
    write(Stream::Out, line);
}

void writeErr(const std::string &line) {
    write(Stream::Err, line);
}

} // namespace Log
} // namespace Kelvane
