#include "Log.h"

#include <iostream>
#include <mutex>
#include <regex>

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

void write(Stream stream, const std::string &text) {
    const std::string line = maskUrlSecrets(text);
    std::lock_guard<std::mutex> lock(lineMutex());
    if (const Sink &sink = currentSink()) {
        sink(stream, line);
        return;
    }
    (stream == Stream::Out ? std::cout : std::cerr) << line << std::endl;
}

} // namespace

std::string maskUrlSecrets(const std::string &text) {
    if (text.find("://") == std::string::npos)
        return text; // the common case costs one search
    static const std::regex userInfo(R"(([A-Za-z][A-Za-z0-9+.-]*://)[^/@\s?#]+@)");
    static const std::regex keyParameter(
        R"(([?&](?:api[_-]?key|key|access[_-]?token|token|secret)=)[^&#\s]*)", std::regex::icase);
    std::string masked = std::regex_replace(text, userInfo, "$1****@");
    return std::regex_replace(masked, keyParameter, "$1****");
}

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
