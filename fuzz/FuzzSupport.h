#pragma once

#include "Log.h"

#include <QCoreApplication>

// Shared set-up of the fuzz targets: a Qt application object and a log that goes nowhere.
namespace FuzzSupport {

inline void initialize(int *argc, char ***argv) {
    static QCoreApplication app(*argc, *argv);
    Kelvane::Log::setSink([](Kelvane::Log::Stream, const std::string &) {});
}

} // namespace FuzzSupport
