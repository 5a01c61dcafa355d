#pragma once

#include "AudioPlatform.h"

#include <QString>
#include <QtGlobal>

#include <optional>
#include <vector>

namespace Kelvane {

// Where the meeting plays when the recorded device is silent: a meeting program may play the
// interviewer on a headset chosen inside it while the recorded default stays quiet. A device
// counts only when it played at several checks in a row: a notification's sound on other
// speakers lasts a second or two. Plain and synchronous: the listener asks once a second.
class PlayingHint {
public:
    // Quiet this long on the recorded device before another one playing is named.
    static constexpr qint64 kQuietMs = 5000;
    static constexpr int kChecksInARow = 3;

    struct Decision {
        std::optional<PlayingDevice> elsewhere; // the device to name; none: no hint
        bool follow = false;                    // record it from now on, without asking
    };
    // One check. quietForMs: since the recorded device last delivered sound above its noise
    // floor.
    Decision observe(qint64 quietForMs, const std::vector<PlayingDevice> &playing,
                     bool followAutomatically);
    void reset() { streak = 0; }
    // "会议声音在「USB Audio」上播放（腾讯会议）"
    static QString text(const PlayingDevice &device);

private:
    std::string playingElsewhere; // the device other than the recorded one that played last
    int streak = 0;               // at how many checks in a row
};

} // namespace Kelvane
