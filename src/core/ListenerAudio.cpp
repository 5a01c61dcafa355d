#include "Listener.h"

#include "Log.h"
#include "SpeechFrames.h"
#include "VAD.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

// The listener's capture-thread half: each buffer's conversion, loudness, silence count,
// packets to the recogniser and level.
namespace Kelvane {

namespace {

// Counts every capture buffer handled in the process, whichever listener handles it.
std::atomic<int> energyLogCounter{0};
// The level meter moves every this many buffers (50 ms).
constexpr int kBuffersPerLevel = 5;
constexpr size_t kVadFrameSamples = 160;

} // namespace

void Listener::onAudioData(const uint8_t *data, size_t size, int sampleRate, int channels) {
    const auto frame = speechFrames->convert(reinterpret_cast<const float *>(data),
                                             size / sizeof(float), sampleRate, channels);
    const std::vector<int16_t> &mono = frame.samples;
    const int logIndex = energyLogCounter.fetch_add(1) + 1;
    // Where this buffer begins on the session's timeline: the session counts only the audio it
    // was sent.
    const int session = asrClient && asrClient->isStreaming() ? asrClient->sessionSerial() : 0;
    if (session != audioSession) {
        audioSession = session;
        sessionSamples = 0;
        packets.clear(); // (nothing of the last session goes to the head of this one)
    }

    // A buffer too short to yield a 16 kHz sample carries no loudness at all; counting it
    // would count it as sound.
    if (frame.measured) {
        const bool loud = loudnessGate.isSound(frame.energy);
        int silentBuffers = 0;
        int earlyPoint = 0;
        bool atEarlyPoint = false;
        bool resumed = false;
        {
            std::lock_guard<std::mutex> lock(detectorMutex);
            resumed = loud && detector.silentBuffers() > 0;
            handOver(detector.onBuffer(loud, session, sessionSamples / 16));
            silentBuffers = detector.silentBuffers();
            resting = detector.resting();
            earlyPoint = detector.earlyPoint();
        }
        // A pause begins: a packet ends exactly at its early point, so that the recogniser has
        // heard the pause up to it when the early request leaves.
        if (loud)
            packets.clearTarget();
        else if (silentBuffers == 1 && earlyPoint > 0)
            packets.endPacketIn(size_t(earlyPoint) * mono.size());
        sendAudio(mono);
        {
            // (the packet that ends at the point has just left with this buffer)
            std::lock_guard<std::mutex> lock(detectorMutex);
            atEarlyPoint = detector.earlyPointReached();
        }
        if (loud)
            lastLoudAt.store(QDateTime::currentMSecsSinceEpoch());
        reportLevel(frame.energy);
        if (resumed)
            emit speechResumed();
        if (atEarlyPoint)
            emit earlyPointReached();

        if (logIndex % 50 == 0) {
            const size_t measured = std::min(mono.size(), SpeechFrames::kEnergyWindow);
            const auto [minimum, maximum] =
                std::minmax_element(mono.begin(), mono.begin() + std::ptrdiff_t(measured));
            const auto nonZero =
                std::count_if(mono.begin(), mono.begin() + std::ptrdiff_t(measured),
                              [](int16_t sample) { return sample != 0; });
            Log::out("[Audio] Energy: ", frame.energy, loud ? " (有声音)" : " (静音或低音量)",
                     ", SilentFrames: ", silentBuffers, ", Range: [", *minimum, ", ", *maximum, "]",
                     ", NonZero: ", nonZero, "/", measured);
        }
    } else {
        sendAudio(mono);
    }
    for (size_t k = 0; (k + 1) * kVadFrameSamples <= mono.size(); ++k)
        vad->process(mono.data() + k * kVadFrameSamples, kVadFrameSamples);
}

// A question or remark the pause ended, to this object's thread.
void Listener::handOver(const QuestionDetector::Ended &ended) {
    if (ended.isEmpty())
        return;
    speechEndedAt.store(lastLoudAt.load() - ended.tailMs);
    if (ended.remark) {
        emit remarkHeard(ended.text, ended.span);
        return;
    }
    triggeredAt.store(QDateTime::currentMSecsSinceEpoch());
    emit triggerLLMRequest(ended.text, ended.span);
}

// Returns whether a packet left with this buffer.
bool Listener::sendAudio(const std::vector<int16_t> &mono) {
    if (!asrClient || !asrClient->isStreaming()) {
        // No session to hear it: dropped, not queued, and nothing stale waits for the next one.
        droppedBuffers.fetch_add(1);
        packets.clear();
        return false;
    }
    sessionSamples += qint64(mono.size());
    const int sent = packets.add(mono, [this](const int16_t *samples, size_t count) {
        asrClient->sendAudio(reinterpret_cast<const char *>(samples), count * sizeof(int16_t));
    });
    if (sent > 0)
        audioSentSinceFrame.store(true);
    return sent > 0;
}

// The meter shows -60 dBFS to full scale, the range in which playback is heard at all.
int Listener::levelPercent(double energy) {
    if (!(energy > 0.0))
        return 0;
    const double dbfs = 20.0 * std::log10(energy / 100.0);
    return std::clamp(int(std::lround((dbfs + 60.0) * 100.0 / 60.0)), 0, 100);
}

void Listener::reportLevel(double energy) {
    levelPeak = std::max(levelPeak, float(energy));
    if (++levelBuffers < kBuffersPerLevel)
        return;
    // (silence is said once, not twenty times a second)
    const int percent = levelPercent(levelPeak);
    if (percent != levelShown)
        emit inputLevel(percent);
    levelShown = percent;
    levelPeak = 0.0f;
    levelBuffers = 0;
}

} // namespace Kelvane
