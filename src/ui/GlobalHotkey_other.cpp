#include "GlobalHotkey.h"

namespace Kelvane {

struct GlobalHotkey::Native {};

GlobalHotkey::GlobalHotkey(QObject *parent)
    : QObject(parent) {}

GlobalHotkey::~GlobalHotkey() = default;

bool GlobalHotkey::setShortcut(const QKeySequence &) {
    return false;
}

} // namespace Kelvane
