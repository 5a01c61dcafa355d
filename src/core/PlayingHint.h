#pragma once

#include "AudioPlatform.h"

#include <QString>
#include <QtGlobal>

#include <optional>
#include <vector>

namespace Kelvane {

// Where the meeting plays when the recorded device is silent: a meeting program may play the
// interviewer on a headset chosen inside it while the recorded default stays quiet. Plain and
// synchronous: the listener asks once a second.
class PlayingHint {
public:
    // Quiet this long on the recorded device before another one playing is named.
    static constexpr qint64 kQuietMs = 5000;

    struct Decision {
        std::optional<PlayingDevice> elsewhere; // the device to name; none: no hint
        bool follow = false;                    // record it from now on, without asking
    };
    // quietForMs: since the recorded device last delivered sound above its noise floor.
    static Decision decide(qint64 quietForMs, const std::vector<PlayingDevice> &playing,
                           bool followAutomatically);
    // "会议声音在「USB Audio」上播放（腾讯会议）"
    static QString text(const PlayingDevice &device);
};

} // namespace Kelvane
