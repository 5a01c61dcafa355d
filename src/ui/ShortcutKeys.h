#pragma once

#include <QKeySequence>
#include <QString>

#include <cstdint>
#include <vector>

namespace Kelvane {

// How a key sequence is named to each platform's shortcut facility. Plain functions: the
// Windows names are plain numbers here, so every platform's mapping is tested on any.
namespace ShortcutKeys {

// A key with its modifiers as the platform names them; key 0 when it has no name there.
struct Native {
    uint32_t key = 0;
    uint32_t modifiers = 0;
};

// X11: the keysym and the core modifier mask (Shift, Control, Mod1 for Alt, Mod4 for Super).
Native x11(const QKeyCombination &keys);
// The masks a passive grab must cover besides: Caps Lock and Num Lock, on or off.
std::vector<uint32_t> x11LockVariants();
// The modifiers of a key event without the locks, to compare with a grab's.
uint32_t x11WithoutLocks(uint32_t state);
// Windows: the virtual-key code and RegisterHotKey's MOD_ flags (with MOD_NOREPEAT).
Native windows(const QKeyCombination &keys);
// The desktop portal's trigger, as the XDG shortcuts format writes it ("CTRL+ALT+SHIFT+s").
QString portalTrigger(const QKeyCombination &keys);

} // namespace ShortcutKeys

} // namespace Kelvane
