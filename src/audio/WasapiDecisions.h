#pragma once

namespace Kelvane::Wasapi {

// The Windows capture layer's decisions that need no COM, kept apart so that every platform's
// tests run them. The enumerations carry Core Audio's own values (EDataFlow, ERole).
enum class Flow { Render = 0, Capture = 1, All = 2 };
enum class Role { Console = 0, Multimedia = 1, Communications = 2 };

// Whether a default-device notification moves the device that loopback capture follows: the
// default render (playback) device of the followed role. Capture devices are microphones.
bool defaultChangeMoves(Flow flow, Role role, Role followed);

} // namespace Kelvane::Wasapi
