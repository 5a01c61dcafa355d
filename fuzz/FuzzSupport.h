#pragma once

#include <QCoreApplication>

#include <iostream>
#include <streambuf>

// Shared set-up of the fuzz targets: a Qt application object and silenced log streams.
namespace FuzzSupport {

class NullBuffer : public std::streambuf {
protected:
    int overflow(int ch) override { return ch; }
    std::streamsize xsputn(const char *, std::streamsize n) override { return n; }
};

inline void initialize(int *argc, char ***argv) {
    static NullBuffer sink;
    static QCoreApplication app(*argc, *argv);
    std::cout.rdbuf(&sink);
    std::cerr.rdbuf(&sink);
}

} // namespace FuzzSupport
