#pragma once

#include "Log.h"

// The benchmarks measure work, not the terminal: the log goes nowhere.
class SilencedLog {
public:
    SilencedLog()
        : previous(Kelvane::Log::setSink([](Kelvane::Log::Stream, const std::string &) {})) {}
    ~SilencedLog() { Kelvane::Log::setSink(previous); }

private:
    Kelvane::Log::Sink previous;
};
