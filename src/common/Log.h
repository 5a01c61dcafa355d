#pragma once

#include <functional>
#include <sstream>
#include <string>

namespace Kelvane {
namespace Log {

namespace detail {

struct Fallback {};
struct Bytes : Fallback {};
struct Text : Bytes {};

// Qt strings (anything with toUtf8) go out as UTF-8.
template <typename T>
auto append(std::ostringstream &line, const T &value, Text) -> decltype(value.toUtf8(), void()) {
    const auto utf8 = value.toUtf8();
    line.write(utf8.constData(), utf8.size());
}

// Byte arrays go out as raw bytes.
template <typename T>
auto append(std::ostringstream &line, const T &value, Bytes)
    -> decltype(value.constData(), value.size(), void()) {
    line.write(reinterpret_cast<const char *>(value.constData()),
               static_cast<std::streamsize>(value.size()));
}

template <typename T> void append(std::ostringstream &line, const T &value, Fallback) {
    line << value;
}

} // namespace detail

enum class Stream { Out, Err };

// Receives every finished line (without its newline). Calls are serialised under one mutex,
// so lines from the capture thread never interleave with lines from the GUI thread.
using Sink = std::function<void(Stream stream, const std::string &line)>;

// Replaces where lines go (tests, benchmarks and fuzz targets keep or drop them); an empty
// sink restores standard output and standard error. Returns the sink it replaced.
Sink setSink(Sink sink);

// A URL's user info and key-like query values ("key=", "api_key=", "token=", ...) become
// "****": a key carried in a URL never reaches a log line or the window. Every line is masked.
std::string maskUrlSecrets(const std::string &text);

void writeOut(const std::string &line);
void writeErr(const std::string &line);

template <typename... Args> std::string compose(const Args &...args) {
    std::ostringstream line;
    (detail::append(line, args, detail::Text{}), ...);
    return line.str();
}

// One line on standard output.
template <typename... Args> void out(const Args &...args) {
    writeOut(compose(args...));
}

// One line on standard error.
template <typename... Args> void err(const Args &...args) {
    writeErr(compose(args...));
}

// Whether every frame on the wire is logged: the recogniser's exchange is ten frames a second
// each way, a stream of writes on a laptop's battery, so only with KELVANE_LOG_FRAMES set.
bool framesLogged();

// One line on standard output about a single frame, when frames are logged.
template <typename... Args> void frame(const Args &...args) {
    if (framesLogged())
        writeOut(compose(args...));
}

} // namespace Log
} // namespace Kelvane
