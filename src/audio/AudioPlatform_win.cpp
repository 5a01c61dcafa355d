#include "AudioPlatform.h"
#include "Log.h"
#include "WasapiDecisions.h"

#include <initguid.h>

#include <audioclient.h>
#include <audiopolicy.h>
#include <endpointvolume.h>
#include <functiondiscoverykeys_devpkey.h>
#include <ksmedia.h>
#include <mmdeviceapi.h>
#include <mmsystem.h>
#include <objbase.h>
#include <windows.h>

#if defined(__MINGW32__) && !defined(__IAudioMeterInformation_INTERFACE_DEFINED__)
// mingw-w64's endpointvolume.h names the peak meter only; the Windows SDK's defines it so.
MIDL_INTERFACE("C02216F6-8C67-4B5B-9D00-D008E73E0064")
IAudioMeterInformation : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE GetPeakValue(float *peak) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMeteringChannelCount(UINT * count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetChannelsPeakValues(UINT32 count, float *peaks) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD * mask) = 0;
};
__CRT_UUID_DECL(IAudioMeterInformation, 0xc02216f6, 0x8c67, 0x4b5b, 0x9d, 0x00, 0xd0, 0x08, 0xe7,
                0x3e, 0x00, 0x64)
#endif

#include <atomic>
#include <cwchar>
#include <vector>

namespace Kelvane {

namespace {

// Owns one COM reference.
template <typename T> class ComRef {
public:
    ComRef() = default;
    ~ComRef() { reset(); }
    ComRef(const ComRef &) = delete;
    ComRef &operator=(const ComRef &) = delete;

    T *get() const { return ptr; }
    T *operator->() const { return ptr; }
    T **put() {
        reset();
        return &ptr;
    }
    void reset() {
        if (ptr) {
            ptr->Release();
            ptr = nullptr;
        }
    }

private:
    T *ptr = nullptr;
};

// Owns the mix format block, which Core Audio allocates with CoTaskMemAlloc.
class MixFormatBlock {
public:
    MixFormatBlock() = default;
    ~MixFormatBlock() { reset(); }
    MixFormatBlock(const MixFormatBlock &) = delete;
    MixFormatBlock &operator=(const MixFormatBlock &) = delete;

    WAVEFORMATEX *get() const { return format; }
    WAVEFORMATEX **put() {
        reset();
        return &format;
    }
    void reset() {
        if (format) {
            CoTaskMemFree(format);
            format = nullptr;
        }
    }

private:
    WAVEFORMATEX *format = nullptr;
};

// Notes a change of the default render device for the console role, the device loopback
// capture follows, and the chosen device becoming active again. Core Audio calls it on a
// thread of its own.
class DefaultDeviceWatcher final : public IMMNotificationClient {
public:
    DefaultDeviceWatcher(std::wstring chosen, Wasapi::Role role)
        : chosenId(std::move(chosen))
        , followed(role) {}

    std::atomic<bool> changed{false};
    std::atomic<bool> chosenBack{false};

    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMNotificationClient)) {
            AddRef();
            *object = static_cast<IMMNotificationClient *>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override {
        if (Wasapi::defaultChangeMoves(Wasapi::Flow(flow), Wasapi::Role(role), followed))
            changed.store(true);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR id, DWORD state) override {
        if (state == DEVICE_STATE_ACTIVE && isChosen(id))
            chosenBack.store(true);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR id) override {
        if (isChosen(id))
            chosenBack.store(true);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
        return S_OK;
    }

private:
    bool isChosen(LPCWSTR id) const { return id && !chosenId.empty() && chosenId == id; }

    const std::wstring chosenId;
    const Wasapi::Role followed;
    std::atomic<ULONG> references{1};
};

#ifndef PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION
#define PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION 0x4 // Windows 11 SDK
#endif

// Keeps the system timer at 1 ms while capturing, so the 10 ms poll really takes about 10 ms
// (the default 15.6 ms tick stretches every silence threshold by half). Windows 11 ignores the
// request for a minimised or covered window unless the process opts out of that throttling;
// the silence is counted by elapsed time besides (SilenceClock), so a late poll still counts
// real milliseconds.
class TimerResolution {
public:
    void request() {
        if (!active) {
            PROCESS_POWER_THROTTLING_STATE state{};
            state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
            state.ControlMask = PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
            state.StateMask = 0; // not throttled: the resolution asked for is honoured
            SetProcessInformation(GetCurrentProcess(), ProcessPowerThrottling, &state,
                                  sizeof state);
            active = timeBeginPeriod(1) == TIMERR_NOERROR;
        }
    }
    void release() {
        if (active)
            timeEndPeriod(1);
        active = false;
    }
    ~TimerResolution() { release(); }

private:
    bool active = false;
};

std::string toUtf8(LPCWSTR text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return std::string();
    std::vector<char> utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
    return std::string(utf8.data());
}

std::wstring toWide(const std::string &text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::vector<wchar_t> wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), length);
    return std::wstring(wide.data());
}

// Owns a string Core Audio allocated with CoTaskMemAlloc.
class CoString {
public:
    ~CoString() { CoTaskMemFree(text); }
    LPWSTR *put() { return &text; }
    LPCWSTR get() const { return text; }

private:
    LPWSTR text = nullptr;
};

std::string friendlyName(IMMDevice *device) {
    ComRef<IPropertyStore> store;
    if (FAILED(device->OpenPropertyStore(STGM_READ, store.put())))
        return std::string();
    PROPVARIANT value;
    PropVariantInit(&value);
    std::string name;
    if (SUCCEEDED(store->GetValue(PKEY_Device_FriendlyName, &value)) && value.vt == VT_LPWSTR &&
        value.pwszVal)
        name = toUtf8(value.pwszVal);
    PropVariantClear(&value);
    return name;
}

// The program behind an audio session: its executable's file name.
std::string programOf(DWORD processId) {
    if (processId == 0)
        return std::string(); // the system's own sounds
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process)
        return std::string();
    wchar_t path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    const bool named = QueryFullProcessImageNameW(process, 0, path, &size) != 0;
    CloseHandle(process);
    if (!named)
        return std::string();
    const wchar_t *file = wcsrchr(path, L'\\');
    return toUtf8(file ? file + 1 : path);
}

std::vector<Wasapi::SessionReading> sessionsOf(IMMDevice *endpoint) {
    std::vector<Wasapi::SessionReading> readings;
    ComRef<IAudioSessionManager2> manager;
    ComRef<IAudioSessionEnumerator> sessions;
    int count = 0;
    if (FAILED(endpoint->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr,
                                  reinterpret_cast<void **>(manager.put()))) ||
        FAILED(manager->GetSessionEnumerator(sessions.put())) || FAILED(sessions->GetCount(&count)))
        return readings;
    for (int i = 0; i < count; ++i) {
        ComRef<IAudioSessionControl> control;
        ComRef<IAudioSessionControl2> control2;
        ComRef<IAudioMeterInformation> meter;
        AudioSessionState state = AudioSessionStateInactive;
        DWORD processId = 0;
        Wasapi::SessionReading reading;
        if (FAILED(sessions->GetSession(i, control.put())) || FAILED(control->GetState(&state)))
            continue;
        reading.active = state == AudioSessionStateActive;
        if (SUCCEEDED(control->QueryInterface(__uuidof(IAudioSessionControl2),
                                              reinterpret_cast<void **>(control2.put()))) &&
            SUCCEEDED(control2->GetProcessId(&processId)))
            reading.program = programOf(processId);
        if (SUCCEEDED(control->QueryInterface(__uuidof(IAudioMeterInformation),
                                              reinterpret_cast<void **>(meter.put()))))
            meter->GetPeakValue(&reading.peak);
        readings.push_back(reading);
    }
    return readings;
}

class CoreAudioPlatform final : public AudioPlatform {
public:
    explicit CoreAudioPlatform(std::string deviceId = std::string())
        : chosenDevice(std::move(deviceId)) {}
    ~CoreAudioPlatform() override { releaseAll(); }

    std::string name() const override { return "WASAPI"; }

    PlatformResult initializeCom() override {
        return CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }

    void uninitializeCom() override { CoUninitialize(); }

    PlatformResult createEnumerator() override {
        const HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                            __uuidof(IMMDeviceEnumerator),
                                            reinterpret_cast<void **>(enumerator.put()));
        if (SUCCEEDED(hr)) {
            *watcher.put() =
                new DefaultDeviceWatcher(toWide(chosenDevice), Wasapi::followedRole(chosenDevice));
            if (FAILED(enumerator->RegisterEndpointNotificationCallback(watcher.get())))
                watcher.reset(); // capture still works; it just does not follow the default
        }
        return hr;
    }

    PlatformResult getDefaultEndpoint(DeviceRole role) override {
        if (followsCommunications())
            return enumerator->GetDefaultAudioEndpoint(eRender, eCommunications, device.put());
        if (!chosenDevice.empty() && !fellBack) {
            const bool found =
                SUCCEEDED(enumerator->GetDevice(toWide(chosenDevice).c_str(), device.put()));
            DWORD state = 0;
            if (found && FAILED(device->GetState(&state)))
                state = 0;
            if (Wasapi::useChosenDevice(found, state))
                return S_OK;
            fellBack = true; // gone, or there but not playing: the default it is
        }
        return defaultEndpoint(role);
    }

    PlatformResult getFriendlyName(std::string &name) override {
        CoString id;
        if (SUCCEEDED(device->GetId(id.put())))
            recordedId = id.get(); // (plain text: the capture thread compares with it)
        name = friendlyName(device.get());
        return name.empty() ? E_FAIL : S_OK;
    }

    PlatformResult activateClient() override {
        HRESULT hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                      reinterpret_cast<void **>(audioClient.put()));
        if (FAILED(hr) && !chosenDevice.empty() && !fellBack && !followsCommunications()) {
            // The chosen device refuses: capture the default one rather than nothing.
            fellBack = true;
            if (SUCCEEDED(defaultEndpoint(DeviceRole::Console)))
                hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                      reinterpret_cast<void **>(audioClient.put()));
        }
        return hr;
    }

    PlatformResult getMixFormat(MixFormat &format) override {
        const HRESULT hr = audioClient->GetMixFormat(mixFormat.put());
        if (FAILED(hr))
            return hr;
        const WAVEFORMATEX *mix = mixFormat.get();
        bool subFloat = false;
        bool subPcm = false;
        if (mix->wFormatTag == WAVE_FORMAT_EXTENSIBLE && mix->cbSize >= 22) {
            const auto *extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE *>(mix);
            subFloat = IsEqualGUID(extensible->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
            subPcm = IsEqualGUID(extensible->SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
        }
        samples = Wasapi::samplesOf(mix->wFormatTag, mix->wBitsPerSample, subFloat, subPcm);
        if (samples == Wasapi::Samples::Unsupported)
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        // What leaves this layer is always 32-bit float; integer formats are converted here.
        channels = mix->nChannels;
        format.sampleRate = mix->nSamplesPerSec;
        format.channels = mix->nChannels;
        format.bitsPerSample = 32;
        format.blockAlign = 4u * mix->nChannels;
        return hr;
    }

    PlatformResult initializeLoopback(const MixFormat &) override {
        constexpr REFERENCE_TIME kOneSecond = 10000000;
        return audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK,
                                       kOneSecond, 0, mixFormat.get(), nullptr);
    }

    PlatformResult getCaptureService() override {
        return audioClient->GetService(__uuidof(IAudioCaptureClient),
                                       reinterpret_cast<void **>(captureClient.put()));
    }

    PlatformResult start() override {
        timer.request();
        return audioClient->Start();
    }
    PlatformResult stop() override {
        timer.release();
        return audioClient->Stop();
    }

    bool defaultDeviceChanged() override {
        if (!watcher.get())
            return false;
        return ((chosenDevice.empty() || fellBack || followsCommunications()) &&
                watcher->changed.load()) ||
               (fellBack && watcher->chosenBack.load());
    }

    // The capture thread uses these interfaces: it joins the multithreaded apartment (the GUI
    // thread is Qt's single-threaded one).
    void captureThreadStarted() override {
        threadCom = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    }
    void captureThreadEnding() override {
        if (threadCom)
            CoUninitialize();
        threadCom = false;
    }
    bool fellBackToDefault() const override { return fellBack; }

    // Each active render endpoint's audio sessions: nothing is captured. Called on the capture
    // thread, so its objects are made here: a COM object belongs to the apartment that made it.
    std::vector<PlayingDevice> playingDevices() override {
        std::vector<PlayingDevice> playing;
        ComRef<IMMDeviceEnumerator> devices;
        ComRef<IMMDeviceCollection> collection;
        UINT count = 0;
        if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                    __uuidof(IMMDeviceEnumerator),
                                    reinterpret_cast<void **>(devices.put()))) ||
            FAILED(devices->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, collection.put())) ||
            FAILED(collection->GetCount(&count)))
            return playing;
        for (UINT i = 0; i < count; ++i) {
            ComRef<IMMDevice> endpoint;
            CoString id;
            if (FAILED(collection->Item(i, endpoint.put())) || FAILED(endpoint->GetId(id.put())))
                continue;
            const Wasapi::EndpointVerdict verdict =
                Wasapi::endpointPlaying(sessionsOf(endpoint.get()));
            if (verdict.playing)
                playing.push_back({toUtf8(id.get()), friendlyName(endpoint.get()), verdict.program,
                                   recordedId == id.get()});
        }
        return playing;
    }

    PlatformResult nextPacketSize(uint32_t &frames) override {
        UINT32 size = 0;
        const HRESULT hr = captureClient->GetNextPacketSize(&size);
        frames = size;
        return hr;
    }

    PlatformResult getBuffer(const uint8_t *&data, uint32_t &frames) override {
        BYTE *buffer = nullptr;
        UINT32 count = 0;
        DWORD flags = 0;
        const HRESULT hr = captureClient->GetBuffer(&buffer, &count, &flags, nullptr, nullptr);
        data = buffer;
        frames = count;
        if (FAILED(hr) || count == 0)
            return hr;
        const Wasapi::PacketFlags packet = Wasapi::packetFlags(flags);
        if (packet.discontinuity)
            Log::out("[AudioCapture] Data discontinuity: a glitch in the captured audio");
        const size_t values = size_t(count) * channels;
        if (packet.silent) {
            converted.assign(values, 0.0f); // the buffer's bytes are undefined then
        } else if (samples != Wasapi::Samples::Float32) {
            converted.resize(values);
            Wasapi::toFloat(buffer, values, samples, converted.data());
        } else {
            return hr;
        }
        data = reinterpret_cast<const uint8_t *>(converted.data());
        return hr;
    }

    PlatformResult releaseBuffer(uint32_t frames) override {
        return captureClient->ReleaseBuffer(frames);
    }

    void releaseAll() override {
        timer.release();
        mixFormat.reset();
        captureClient.reset();
        audioClient.reset();
        device.reset();
        if (enumerator.get() && watcher.get())
            enumerator->UnregisterEndpointNotificationCallback(watcher.get());
        watcher.reset();
        enumerator.reset();
    }

private:
    bool followsCommunications() const { return chosenDevice == Wasapi::kCommunicationsDevice; }
    HRESULT defaultEndpoint(DeviceRole role) {
        return enumerator->GetDefaultAudioEndpoint(
            eRender, role == DeviceRole::Multimedia ? eMultimedia : eConsole, device.put());
    }

    std::string chosenDevice; // empty: follow the default render device
    std::wstring recordedId;  // the endpoint opened
    bool fellBack = false;
    bool threadCom = false;
    Wasapi::Samples samples = Wasapi::Samples::Float32;
    uint32_t channels = 0;
    std::vector<float> converted;
    TimerResolution timer;
    ComRef<DefaultDeviceWatcher> watcher;
    ComRef<IMMDeviceEnumerator> enumerator;
    ComRef<IMMDevice> device;
    ComRef<IAudioClient> audioClient;
    ComRef<IAudioCaptureClient> captureClient;
    MixFormatBlock mixFormat;
};

} // namespace

std::unique_ptr<AudioPlatform> createAudioPlatform(const std::string &deviceId) {
    return std::make_unique<CoreAudioPlatform>(deviceId);
}

std::vector<OutputDevice> listOutputDevices() {
    // A meeting program in a call often plays on the communications device (a headset)
    // while the console default goes silent.
    std::vector<OutputDevice> devices{{Wasapi::kCommunicationsDevice, "跟随默认通信设备"}};
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        ComRef<IMMDeviceEnumerator> enumerator;
        ComRef<IMMDeviceCollection> collection;
        UINT count = 0;
        if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                       __uuidof(IMMDeviceEnumerator),
                                       reinterpret_cast<void **>(enumerator.put()))) &&
            SUCCEEDED(
                enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, collection.put())) &&
            SUCCEEDED(collection->GetCount(&count))) {
            for (UINT i = 0; i < count; ++i) {
                ComRef<IMMDevice> device;
                CoString id;
                if (SUCCEEDED(collection->Item(i, device.put())) &&
                    SUCCEEDED(device->GetId(id.put())))
                    devices.push_back({toUtf8(id.get()), friendlyName(device.get())});
            }
        }
    }
    {
        CoreAudioPlatform sessions; // (in the apartment made above)
        for (const PlayingDevice &playing : sessions.playingDevices())
            for (OutputDevice &device : devices)
                device.playing = device.playing || device.id == playing.id;
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    return devices;
}

} // namespace Kelvane
