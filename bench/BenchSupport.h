#pragma once

#include <iostream>
#include <streambuf>

// The benchmarks measure work, not the terminal: the log goes nowhere.
class SilencedLog {
public:
    SilencedLog()
        : oldOut(std::cout.rdbuf(&sink))
        , oldErr(std::cerr.rdbuf(&sink)) {}
    ~SilencedLog() {
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);
    }

private:
    class NullBuffer : public std::streambuf {
    protected:
        int overflow(int ch) override { return ch; }
        std::streamsize xsputn(const char *, std::streamsize n) override { return n; }
    } sink;
    std::streambuf *oldOut;
    std::streambuf *oldErr;
};
