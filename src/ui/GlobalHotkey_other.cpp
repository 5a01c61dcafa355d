#include "GlobalHotkey.h"

namespace Kelvane {

struct GlobalHotkey::Native {};

GlobalHotkey::GlobalHotkey(QWidget *window)
    : QObject(window) {}

GlobalHotkey::~GlobalHotkey() = default;

bool GlobalHotkey::setShortcut(const QKeySequence &) {
    return false;
}

} // namespace Kelvane
