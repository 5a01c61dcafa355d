#include "AudioPlatform.h"
#include "WasapiDecisions.h"

#include <initguid.h>

#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <mmdeviceapi.h>
#include <mmsystem.h>
#include <objbase.h>
#include <windows.h>

#include <atomic>
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
    explicit DefaultDeviceWatcher(std::wstring chosenId)
        : chosenId(std::move(chosenId)) {}

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
        if (Wasapi::defaultChangeMoves(Wasapi::Flow(flow), Wasapi::Role(role),
                                       Wasapi::Role::Console))
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
    std::atomic<ULONG> references{1};
};

// Keeps the system timer at 1 ms while capturing, so the 10 ms poll really takes about 10 ms
// (the default 15.6 ms tick stretches every silence threshold by half).
class TimerResolution {
public:
    void request() {
        if (!active)
            active = timeBeginPeriod(1) == TIMERR_NOERROR;
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

class CoreAudioPlatform final : public AudioPlatform {
public:
    explicit CoreAudioPlatform(std::string chosenDevice = std::string())
        : chosenDevice(std::move(chosenDevice)) {}
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
            *watcher.put() = new DefaultDeviceWatcher(toWide(chosenDevice));
            if (FAILED(enumerator->RegisterEndpointNotificationCallback(watcher.get())))
                watcher.reset(); // capture still works; it just does not follow the default
        }
        return hr;
    }

    PlatformResult getDefaultEndpoint(DeviceRole role) override {
        if (!chosenDevice.empty() && !fellBack) {
            if (SUCCEEDED(enumerator->GetDevice(toWide(chosenDevice).c_str(), device.put())))
                return S_OK;
            fellBack = true; // gone: the default it is
        }
        return enumerator->GetDefaultAudioEndpoint(
            eRender, role == DeviceRole::Multimedia ? eMultimedia : eConsole, device.put());
    }

    PlatformResult getFriendlyName(std::string &name) override {
        name = friendlyName(device.get());
        return name.empty() ? E_FAIL : S_OK;
    }

    PlatformResult activateClient() override {
        return device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                reinterpret_cast<void **>(audioClient.put()));
    }

    PlatformResult getMixFormat(MixFormat &format) override {
        const HRESULT hr = audioClient->GetMixFormat(mixFormat.put());
        if (FAILED(hr))
            return hr;
        format.sampleRate = mixFormat.get()->nSamplesPerSec;
        format.channels = mixFormat.get()->nChannels;
        format.bitsPerSample = mixFormat.get()->wBitsPerSample;
        format.blockAlign = mixFormat.get()->nBlockAlign;
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
        return ((chosenDevice.empty() || fellBack) && watcher->changed.load()) ||
               (fellBack && watcher->chosenBack.load());
    }
    bool fellBackToDefault() const override { return fellBack; }

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
    std::string chosenDevice; // empty: follow the default render device
    bool fellBack = false;
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
    std::vector<OutputDevice> devices;
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
    if (SUCCEEDED(com))
        CoUninitialize();
    return devices;
}

} // namespace Kelvane
