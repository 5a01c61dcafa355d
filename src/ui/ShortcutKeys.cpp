#include "ShortcutKeys.h"

#include <QStringList>

namespace Kelvane::ShortcutKeys {

namespace {

// X11's core masks.
constexpr uint32_t kShift = 1u << 0, kLock = 1u << 1, kControl = 1u << 2, kMod1 = 1u << 3,
                   kMod2 = 1u << 4, kMod4 = 1u << 6;

struct Named {
    Qt::Key key;
    uint32_t keysym;
    uint32_t virtualKey;
    const char *portalName;
};

// Keys beyond letters, digits, function keys and printable ASCII.
const Named kNamed[] = {
    {Qt::Key_Return, 0xff0d, 0x0d, "Return"},
    {Qt::Key_Enter, 0xff8d, 0x0d, "KP_Enter"},
    {Qt::Key_Space, 0x20, 0x20, "space"},
    {Qt::Key_Tab, 0xff09, 0x09, "Tab"},
    {Qt::Key_Backspace, 0xff08, 0x08, "BackSpace"},
    {Qt::Key_Insert, 0xff63, 0x2d, "Insert"},
    {Qt::Key_Delete, 0xffff, 0x2e, "Delete"},
    {Qt::Key_Home, 0xff50, 0x24, "Home"},
    {Qt::Key_End, 0xff57, 0x23, "End"},
    {Qt::Key_PageUp, 0xff55, 0x21, "Page_Up"},
    {Qt::Key_PageDown, 0xff56, 0x22, "Page_Down"},
    {Qt::Key_Left, 0xff51, 0x25, "Left"},
    {Qt::Key_Up, 0xff52, 0x26, "Up"},
    {Qt::Key_Right, 0xff53, 0x27, "Right"},
    {Qt::Key_Down, 0xff54, 0x28, "Down"},
    {Qt::Key_Pause, 0xff13, 0x13, "Pause"},
};

const Named *named(Qt::Key key) {
    for (const Named &entry : kNamed)
        if (entry.key == key)
            return &entry;
    return nullptr;
}

bool letter(Qt::Key key) {
    return key >= Qt::Key_A && key <= Qt::Key_Z;
}

bool digit(Qt::Key key) {
    return key >= Qt::Key_0 && key <= Qt::Key_9;
}

bool functionKey(Qt::Key key) {
    return key >= Qt::Key_F1 && key <= Qt::Key_F24;
}

} // namespace

Native x11(const QKeyCombination &keys) {
    const Qt::Key key = keys.key();
    Native native;
    if (letter(key))
        native.key = uint32_t('a' + (key - Qt::Key_A)); // the key's own (unshifted) symbol
    else if (functionKey(key))
        native.key = 0xffbe + uint32_t(key - Qt::Key_F1);
    else if (const Named *entry = named(key))
        native.key = entry->keysym;
    else if (key > Qt::Key_Space && key <= Qt::Key_AsciiTilde)
        native.key = uint32_t(key); // Latin-1 keysyms are the characters themselves
    const Qt::KeyboardModifiers modifiers = keys.keyboardModifiers();
    native.modifiers = (modifiers & Qt::ShiftModifier ? kShift : 0) |
                       (modifiers & Qt::ControlModifier ? kControl : 0) |
                       (modifiers & Qt::AltModifier ? kMod1 : 0) |
                       (modifiers & Qt::MetaModifier ? kMod4 : 0);
    return native;
}

std::vector<uint32_t> x11LockVariants() {
    return {0, kLock, kMod2, kLock | kMod2};
}

uint32_t x11WithoutLocks(uint32_t state) {
    return state & (kShift | kControl | kMod1 | kMod4);
}

Native windows(const QKeyCombination &keys) {
    const Qt::Key key = keys.key();
    Native native;
    if (letter(key) || digit(key))
        native.key = uint32_t(key); // 'A'-'Z' and '0'-'9' are their own virtual keys
    else if (functionKey(key))
        native.key = 0x70 + uint32_t(key - Qt::Key_F1);
    else if (const Named *entry = named(key))
        native.key = entry->virtualKey;
    const Qt::KeyboardModifiers modifiers = keys.keyboardModifiers();
    native.modifiers = 0x4000 /* MOD_NOREPEAT */ | (modifiers & Qt::AltModifier ? 0x1 : 0) |
                       (modifiers & Qt::ControlModifier ? 0x2 : 0) |
                       (modifiers & Qt::ShiftModifier ? 0x4 : 0) |
                       (modifiers & Qt::MetaModifier ? 0x8 : 0);
    return native;
}

QString portalTrigger(const QKeyCombination &keys) {
    const Qt::Key key = keys.key();
    QString name;
    if (letter(key))
        name = QChar(u'a' + (key - Qt::Key_A));
    else if (digit(key))
        name = QChar(u'0' + (key - Qt::Key_0));
    else if (functionKey(key))
        name = QStringLiteral("F%1").arg(key - Qt::Key_F1 + 1);
    else if (const Named *entry = named(key))
        name = QString::fromLatin1(entry->portalName);
    if (name.isEmpty())
        return QString();
    QStringList parts;
    const Qt::KeyboardModifiers modifiers = keys.keyboardModifiers();
    for (const auto &[modifier, word] : {std::pair{Qt::ControlModifier, "CTRL"},
                                         {Qt::AltModifier, "ALT"},
                                         {Qt::ShiftModifier, "SHIFT"},
                                         {Qt::MetaModifier, "LOGO"}})
        if (modifiers & modifier)
            parts << QString::fromLatin1(word);
    parts << name;
    return parts.join(QLatin1Char('+'));
}

} // namespace Kelvane::ShortcutKeys
