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
} // namespace

void writeOut(const std::string &line) {
    std::lock_guard<std::mutex> lock(lineMutex());
    std::cout << line << std::endl;
}

void writeErr(const std::string &line) {
    std::lock_guard<std::mutex> lock(lineMutex());
    std::cerr << line << std::endl;
}

} // namespace Log
} // namespace Kelvane
