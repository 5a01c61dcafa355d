#include "PlayingHint.h"

#include <algorithm>

namespace Kelvane {

PlayingHint::Decision PlayingHint::observe(qint64 quietForMs,
                                           const std::vector<PlayingDevice> &playing,
                                           bool followAutomatically) {
    Decision decision;
    const auto other = std::find_if(playing.begin(), playing.end(),
                                    [](const PlayingDevice &device) { return !device.recorded; });
    if (other == playing.end()) {
        streak = 0;
        return decision;
    }
    streak = other->id == playingElsewhere ? streak + 1 : 1;
    playingElsewhere = other->id;
    // Silence in an interview is normal; sound elsewhere while the recorded device is silent
    // is not, when it lasts.
    if (quietForMs < kQuietMs || streak < kChecksInARow)
        return decision;
    decision.elsewhere = *other;
    // Never away from a device that plays: its sound may only be quiet for a while.
    const bool recordedPlays =
        std::any_of(playing.begin(), playing.end(),
                    [](const PlayingDevice &device) { return device.recorded; });
    decision.follow = followAutomatically && !recordedPlays;
    return decision;
}

QString PlayingHint::text(const PlayingDevice &device) {
    const QString name = QString::fromStdString(device.name.empty() ? device.id : device.name);
    QString text = QStringLiteral("会议声音在「%1」上播放").arg(name);
    if (!device.program.empty())
        text += QStringLiteral("（%1）").arg(QString::fromStdString(device.program));
    return text;
}

} // namespace Kelvane
