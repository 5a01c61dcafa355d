#include "AudioPlatform.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace Kelvane {

namespace {

// PulseAudio error numbers, dressed as failure codes so they print like HRESULTs.
PlatformResult pulseFailure(int paError) {
    if (paError <= 0)
        paError = PA_ERR_UNKNOWN;
    return static_cast<PlatformResult>(0x8A550000u | (static_cast<uint32_t>(paError) & 0xFFFFu));
}

// The longest any call waits for the sound server: a hung server must not freeze the window
// (which opens capture) or the exit (which closes it).
constexpr pa_usec_t kServerWaitUs = 2 * PA_USEC_PER_SEC;

class MainloopLock {
public:
    explicit MainloopLock(pa_threaded_mainloop *locked)
        : loop(locked) {
        pa_threaded_mainloop_lock(loop);
    }
    ~MainloopLock() { pa_threaded_mainloop_unlock(loop); }
    MainloopLock(const MainloopLock &) = delete;
    MainloopLock &operator=(const MainloopLock &) = delete;

private:
    pa_threaded_mainloop *loop;
};

// Captures the monitor of one sink, named explicitly: the chosen sink, or the default one.
// Aliases such as @DEFAULT_MONITOR@ are not resolved by every server (PipeWire's links such a
// stream to the default source, a microphone), and a server may move a stream to any source
// when its sink goes away; so the stream may not be moved, and every change of the sink to
// record (a new default, the chosen sink back) ends the capture for the owner to re-open.
// PulseAudio hands out reads of any size, so reads are collected and handed out as packets of
// exactly 10 ms, the period the capture logic counts in.
class PulseAudioPlatform final : public AudioPlatform {
public:
    explicit PulseAudioPlatform(std::string sink = std::string())
        : chosenSink(std::move(sink)) {}
    ~PulseAudioPlatform() override {
        releaseAll();
        uninitializeCom();
    }

    std::string name() const override { return "PulseAudio"; }

    PlatformResult initializeCom() override {
        if (mainloop)
            return kPlatformOk;
        mainloop = pa_threaded_mainloop_new();
        if (!mainloop)
            return pulseFailure(PA_ERR_INTERNAL);
        if (pa_threaded_mainloop_start(mainloop) < 0) {
            pa_threaded_mainloop_free(mainloop);
            mainloop = nullptr;
            return pulseFailure(PA_ERR_INTERNAL);
        }
        return kPlatformOk;
    }

    void uninitializeCom() override {
        if (!mainloop)
            return;
        pa_threaded_mainloop_stop(mainloop);
        pa_threaded_mainloop_free(mainloop);
        mainloop = nullptr;
    }

    PlatformResult createEnumerator() override {
        if (!mainloop)
            return pulseFailure(PA_ERR_BADSTATE);
        MainloopLock lock(mainloop);
        context = pa_context_new(pa_threaded_mainloop_get_api(mainloop), "Kelvane");
        if (!context)
            return pulseFailure(PA_ERR_INTERNAL);
        pa_context_set_state_callback(context, &PulseAudioPlatform::signalLoop, this);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return pulseFailure(pa_context_errno(context));
        const bool settled = waitUntil([this] {
            return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) ||
                   pa_context_get_state(context) == PA_CONTEXT_READY;
        });
        if (!settled)
            return pulseFailure(PA_ERR_TIMEOUT);
        if (pa_context_get_state(context) != PA_CONTEXT_READY)
            return pulseFailure(pa_context_errno(context));
        return kPlatformOk;
    }

    PlatformResult getDefaultEndpoint(DeviceRole) override {
        if (!context)
            return pulseFailure(PA_ERR_BADSTATE);
        MainloopLock lock(mainloop);
        defaultSinkName.clear();
        if (!runOperation(
                pa_context_get_server_info(context, &PulseAudioPlatform::onServerInfo, this)))
            return pulseFailure(pa_context_errno(context));
        sinkFound = false;
        if (!chosenSink.empty()) {
            runOperation(pa_context_get_sink_info_by_name(context, chosenSink.c_str(),
                                                          &PulseAudioPlatform::onSinkInfo, this));
            fellBack = !sinkFound; // gone: the default it is, until it comes back
        }
        if (!sinkFound) {
            if (defaultSinkName.empty())
                return pulseFailure(PA_ERR_NOENTITY);
            if (!runOperation(pa_context_get_sink_info_by_name(
                    context, defaultSinkName.c_str(), &PulseAudioPlatform::onSinkInfo, this)))
                return pulseFailure(pa_context_errno(context));
            if (!sinkFound)
                return pulseFailure(PA_ERR_NOENTITY);
        }
        if (monitorName.empty())
            return pulseFailure(PA_ERR_NOENTITY);
        // Hear when the sink to record becomes another one; best effort.
        pa_context_set_subscribe_callback(context, &PulseAudioPlatform::onServerEvent, this);
        if (pa_operation *op =
                pa_context_subscribe(context,
                                     static_cast<pa_subscription_mask_t>(
                                         PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK),
                                     nullptr, nullptr))
            pa_operation_unref(op);
        return kPlatformOk;
    }

    PlatformResult getFriendlyName(std::string &name) override {
        if (!sinkFound || sinkDescription.empty())
            return pulseFailure(PA_ERR_NODATA);
        name = sinkDescription;
        return kPlatformOk;
    }

    PlatformResult activateClient() override {
        if (!sinkFound)
            return pulseFailure(PA_ERR_BADSTATE);
        MainloopLock lock(mainloop);
        captureSpec.format = PA_SAMPLE_FLOAT32LE;
        captureSpec.rate = sinkSpec.rate;
        captureSpec.channels = sinkSpec.channels;
        stream = pa_stream_new(context, "Kelvane loopback", &captureSpec,
                               pa_channel_map_valid(&sinkMap) ? &sinkMap : nullptr);
        if (!stream)
            return pulseFailure(pa_context_errno(context));
        pa_stream_set_state_callback(stream, &PulseAudioPlatform::signalLoop, this);
        pa_stream_set_read_callback(stream, &PulseAudioPlatform::onReadable, this);
        return kPlatformOk;
    }

    PlatformResult getMixFormat(MixFormat &format) override {
        if (!stream)
            return pulseFailure(PA_ERR_BADSTATE);
        format.sampleRate = captureSpec.rate;
        format.channels = captureSpec.channels;
        format.bitsPerSample = 32;
        format.blockAlign = 4u * captureSpec.channels;
        bytesPerFrame = format.blockAlign;
        packetFrames = captureSpec.rate / 100;
        return kPlatformOk;
    }

    // 10 ms pieces while listening closely; 100 ms while resting.
    void setResting(bool resting) override {
        if (!stream || fragmentBytes == 0)
            return;
        MainloopLock lock(mainloop);
        pa_buffer_attr attr;
        std::memset(&attr, 0xff, sizeof attr);
        attr.maxlength = fragmentBytes * 100; // one second
        attr.fragsize = fragmentBytes * (resting ? 10 : 1);
        if (pa_operation *operation = pa_stream_set_buffer_attr(stream, &attr, nullptr, nullptr))
            pa_operation_unref(operation);
    }

    PlatformResult initializeLoopback(const MixFormat &format) override {
        if (!stream)
            return pulseFailure(PA_ERR_BADSTATE);
        MainloopLock lock(mainloop);
        pa_buffer_attr attr;
        std::memset(&attr, 0xff, sizeof attr);                       // (uint32_t)-1: server default
        attr.maxlength = format.sampleRate * format.blockAlign;      // one second
        attr.fragsize = format.sampleRate / 100 * format.blockAlign; // 10 ms
        fragmentBytes = attr.fragsize;
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(stream, monitorName.c_str(), &attr, flags) < 0)
            return pulseFailure(pa_context_errno(context));
        const bool settled = waitUntil([this] {
            const pa_stream_state_t state = pa_stream_get_state(stream);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        });
        if (!settled)
            return pulseFailure(PA_ERR_TIMEOUT);
        if (pa_stream_get_state(stream) != PA_STREAM_READY)
            return pulseFailure(pa_context_errno(context));
        // Only a sink's monitor is playback; anything else (a microphone) is refused.
        const char *source = pa_stream_get_device_name(stream);
        if (!source || monitorName != source)
            return pulseFailure(PA_ERR_NOENTITY);
        sourceIsMonitor = false;
        runOperation(pa_context_get_source_info_by_name(context, source,
                                                        &PulseAudioPlatform::onSourceInfo, this));
        if (!sourceIsMonitor)
            return pulseFailure(PA_ERR_NOENTITY);
        pa_stream_set_moved_callback(stream, &PulseAudioPlatform::onMoved, this);
        return kPlatformOk;
    }

    PlatformResult getCaptureService() override {
        if (!stream)
            return pulseFailure(PA_ERR_BADSTATE);
        MainloopLock lock(mainloop);
        return pa_stream_get_state(stream) == PA_STREAM_READY ? kPlatformOk
                                                              : pulseFailure(PA_ERR_BADSTATE);
    }

    PlatformResult start() override {
        pending.clear();
        pendingOffset = 0;
        return cork(false);
    }

    PlatformResult stop() override { return cork(true); }

    PlatformResult nextPacketSize(uint32_t &frames) override {
        frames = 0;
        if (!stream)
            return pulseFailure(PA_ERR_BADSTATE);
        MainloopLock lock(mainloop);
        if (pa_context_get_state(context) != PA_CONTEXT_READY ||
            pa_stream_get_state(stream) != PA_STREAM_READY)
            return pulseFailure(PA_ERR_CONNECTIONTERMINATED);
        // Moved although it may not be: whatever it records now is not the sink it was for.
        const char *source = pa_stream_get_device_name(stream);
        if (moved.load() || !source || monitorName != source)
            return kPlatformDeviceInvalidated;

        for (;;) {
            const size_t readable = pa_stream_readable_size(stream);
            if (readable == static_cast<size_t>(-1))
                return pulseFailure(pa_context_errno(context));
            if (readable == 0)
                break;
            const void *data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0)
                return pulseFailure(pa_context_errno(context));
            if (bytes == 0)
                break;
            if (data) {
                const auto *begin = static_cast<const uint8_t *>(data);
                pending.insert(pending.end(), begin, begin + bytes);
            } else {
                pending.insert(pending.end(), bytes, 0); // a hole in the stream reads as silence
            }
            pa_stream_drop(stream);
        }

        if (pending.size() - pendingOffset >= static_cast<size_t>(packetFrames) * bytesPerFrame)
            frames = packetFrames;
        return kPlatformOk;
    }

    PlatformResult getBuffer(const uint8_t *&data, uint32_t &frames) override {
        const size_t packetBytes = static_cast<size_t>(packetFrames) * bytesPerFrame;
        if (packetBytes == 0 || pending.size() - pendingOffset < packetBytes) {
            data = nullptr;
            frames = 0;
            return kPlatformOk;
        }
        data = pending.data() + pendingOffset;
        frames = packetFrames;
        return kPlatformOk;
    }

    PlatformResult releaseBuffer(uint32_t frames) override {
        pendingOffset += static_cast<size_t>(frames) * bytesPerFrame;
        if (pendingOffset >= pending.size()) {
            pending.clear();
            pendingOffset = 0;
        } else if (pendingOffset > 64 * 1024) {
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(pendingOffset));
            pendingOffset = 0;
        }
        return kPlatformOk;
    }

    bool defaultDeviceChanged() override { return deviceChanged.load(); }
    bool fellBackToDefault() const override { return fellBack; }

    std::vector<OutputDevice> listSinks() {
        std::vector<OutputDevice> sinks;
        if (platformFailed(initializeCom()) || platformFailed(createEnumerator()))
            return sinks;
        const std::vector<PlayingDevice> playing = playingDevices();
        MainloopLock lock(mainloop);
        listing = &sinks;
        runOperation(
            pa_context_get_sink_info_list(context, &PulseAudioPlatform::onSinkListed, this));
        listing = nullptr;
        for (OutputDevice &sink : sinks)
            sink.playing = std::any_of(playing.begin(), playing.end(),
                                       [&sink](const PlayingDevice &p) { return p.id == sink.id; });
        return sinks;
    }

    // A sink plays while a stream plays to it (uncorked): one introspection of the streams on
    // the capture's own connection, and one of the sinks for their names.
    std::vector<PlayingDevice> playingDevices() override {
        if (!context)
            return {};
        MainloopLock lock(mainloop);
        std::vector<OutputDevice> sinks;
        std::map<uint32_t, std::string> programs; // sink index: a program playing there
        listing = &sinks;
        sinkIndexes.clear();
        streamsListing = &programs;
        const bool listed =
            runOperation(pa_context_get_sink_input_info_list(
                context, &PulseAudioPlatform::onStreamListed, this)) &&
            (programs.empty() || runOperation(pa_context_get_sink_info_list(
                                     context, &PulseAudioPlatform::onSinkListed, this)));
        listing = nullptr;
        streamsListing = nullptr;
        std::vector<PlayingDevice> playing;
        for (size_t i = 0; listed && i < sinks.size(); ++i) {
            const auto program = programs.find(sinkIndexes[i]);
            if (program != programs.end())
                playing.push_back(
                    {sinks[i].id, sinks[i].name, program->second, sinks[i].id == sinkName});
        }
        return playing;
    }

    void releaseAll() override {
        if (!mainloop)
            return;
        MainloopLock lock(mainloop);
        if (stream) {
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_set_read_callback(stream, nullptr, nullptr);
            pa_stream_set_moved_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
            stream = nullptr;
        }
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_set_subscribe_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
        }
    }

private:
    static void signalLoop(pa_context *, void *self) {
        pa_threaded_mainloop_signal(static_cast<PulseAudioPlatform *>(self)->mainloop, 0);
    }
    static void signalLoop(pa_stream *, void *self) {
        pa_threaded_mainloop_signal(static_cast<PulseAudioPlatform *>(self)->mainloop, 0);
    }
    static void onReadable(pa_stream *, size_t, void *) {}

    static void onServerInfo(pa_context *, const pa_server_info *info, void *userdata) {
        auto *self = static_cast<PulseAudioPlatform *>(userdata);
        if (info && info->default_sink_name)
            self->defaultSinkName = info->default_sink_name;
        pa_threaded_mainloop_signal(self->mainloop, 0);
    }

    // On the mainloop thread: a server change may be a new default sink, a new sink may be the
    // chosen one back.
    static void onServerEvent(pa_context *context, pa_subscription_event_type_t, uint32_t,
                              void *self) {
        if (pa_operation *op =
                pa_context_get_server_info(context, &PulseAudioPlatform::onServerChange, self))
            pa_operation_unref(op);
    }
    static void onServerChange(pa_context *context, const pa_server_info *info, void *userdata) {
        auto *self = static_cast<PulseAudioPlatform *>(userdata);
        const std::string now = info && info->default_sink_name ? info->default_sink_name : "";
        if (self->followsDefault() && !now.empty() && now != self->sinkName)
            self->deviceChanged.store(true);
        if (self->fellBack)
            if (pa_operation *op = pa_context_get_sink_info_by_name(
                    context, self->chosenSink.c_str(), &PulseAudioPlatform::onChosenBack, self))
                pa_operation_unref(op);
    }
    static void onChosenBack(pa_context *, const pa_sink_info *info, int eol, void *userdata) {
        if (eol == 0 && info)
            static_cast<PulseAudioPlatform *>(userdata)->deviceChanged.store(true);
    }
    static void onMoved(pa_stream *, void *userdata) {
        static_cast<PulseAudioPlatform *>(userdata)->moved.store(true);
    }
    static void onSourceInfo(pa_context *, const pa_source_info *info, int eol, void *userdata) {
        auto *self = static_cast<PulseAudioPlatform *>(userdata);
        if (eol == 0 && info)
            self->sourceIsMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
        pa_threaded_mainloop_signal(self->mainloop, 0);
    }

    static void onSinkListed(pa_context *, const pa_sink_info *info, int eol, void *userdata) {
        auto *self = static_cast<PulseAudioPlatform *>(userdata);
        if (eol == 0 && info && self->listing) {
            self->listing->push_back(
                {info->name ? info->name : "", info->description ? info->description : ""});
            self->sinkIndexes.push_back(info->index);
        }
        pa_threaded_mainloop_signal(self->mainloop, 0);
    }
    static void onStreamListed(pa_context *, const pa_sink_input_info *info, int eol,
                               void *userdata) {
        auto *self = static_cast<PulseAudioPlatform *>(userdata);
        if (eol == 0 && info && !info->corked && self->streamsListing) {
            const char *program = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME);
            self->streamsListing->emplace(info->sink, program ? program : "");
        }
        pa_threaded_mainloop_signal(self->mainloop, 0);
    }

    static void onSinkInfo(pa_context *, const pa_sink_info *info, int eol, void *userdata) {
        auto *self = static_cast<PulseAudioPlatform *>(userdata);
        if (eol == 0 && info) {
            self->sinkFound = true;
            self->sinkName = info->name ? info->name : "";
            self->monitorName = info->monitor_source_name ? info->monitor_source_name : "";
            self->sinkDescription = info->description ? info->description : "";
            self->sinkSpec = info->sample_spec;
            self->sinkMap = info->channel_map;
        }
        pa_threaded_mainloop_signal(self->mainloop, 0);
    }

    static void onSuccess(pa_stream *, int, void *self) {
        pa_threaded_mainloop_signal(static_cast<PulseAudioPlatform *>(self)->mainloop, 0);
    }

    // Waits, with the mainloop locked, for an operation to complete.
    bool runOperation(pa_operation *operation) {
        if (!operation)
            return false;
        waitUntil(
            [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
            pa_operation_cancel(operation); // its callback is not called after this
        const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
        pa_operation_unref(operation);
        return done;
    }

    // Waits, with the mainloop locked, until done() or the server wait is over; a timer on the
    // mainloop wakes the wait when nothing else does.
    template <typename Done> bool waitUntil(Done done) {
        if (done())
            return true;
        const pa_usec_t deadline = pa_rtclock_now() + kServerWaitUs;
        pa_time_event *timer = nullptr;
        if (context)
            timer = pa_context_rttime_new(context, deadline, &PulseAudioPlatform::onTimer, this);
        bool result = true;
        while (!done()) {
            if (pa_rtclock_now() >= deadline) {
                result = false;
                break;
            }
            pa_threaded_mainloop_wait(mainloop);
        }
        if (timer)
            pa_threaded_mainloop_get_api(mainloop)->time_free(timer);
        return result;
    }
    static void onTimer(pa_mainloop_api *, pa_time_event *, const struct timeval *, void *self) {
        pa_threaded_mainloop_signal(static_cast<PulseAudioPlatform *>(self)->mainloop, 0);
    }

    PlatformResult cork(bool paused) {
        if (!stream)
            return pulseFailure(PA_ERR_BADSTATE);
        MainloopLock lock(mainloop);
        if (pa_stream_get_state(stream) != PA_STREAM_READY)
            return pulseFailure(PA_ERR_BADSTATE);
        if (!runOperation(
                pa_stream_cork(stream, paused ? 1 : 0, &PulseAudioPlatform::onSuccess, this)))
            return pulseFailure(pa_context_errno(context));
        if (!paused)
            runOperation(pa_stream_flush(stream, &PulseAudioPlatform::onSuccess, this));
        return kPlatformOk;
    }

    bool followsDefault() const { return chosenSink.empty() || fellBack; }

    std::string chosenSink; // empty: follow the default sink
    bool fellBack = false;
    std::string monitorName;
    std::vector<OutputDevice> *listing = nullptr;
    std::vector<uint32_t> sinkIndexes; // of the sinks listed, in order
    std::map<uint32_t, std::string> *streamsListing = nullptr;
    pa_threaded_mainloop *mainloop = nullptr;
    pa_context *context = nullptr;
    pa_stream *stream = nullptr;
    std::string defaultSinkName;
    std::string sinkName; // the sink whose monitor is recorded
    std::atomic<bool> deviceChanged{false};
    std::atomic<bool> moved{false};
    bool sourceIsMonitor = false;
    bool sinkFound = false;
    std::string sinkDescription;
    pa_sample_spec sinkSpec{};
    pa_channel_map sinkMap{};
    pa_sample_spec captureSpec{};
    uint32_t bytesPerFrame = 0;
    uint32_t packetFrames = 0;
    uint32_t fragmentBytes = 0; // the 10 ms the stream was connected with
    std::vector<uint8_t> pending;
    size_t pendingOffset = 0;
};

} // namespace

std::unique_ptr<AudioPlatform> createAudioPlatform(const std::string &deviceId) {
    return std::make_unique<PulseAudioPlatform>(deviceId);
}

std::vector<OutputDevice> listOutputDevices() {
    return PulseAudioPlatform().listSinks();
}

} // namespace Kelvane
