#include "AudioPlatform.h"

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
// capture follows. Core Audio calls it on a thread of its own.
class DefaultDeviceWatcher final : public IMMNotificationClient {
public:
    std::atomic<bool> changed{false};

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
        if (flow == eRender && role == eConsole)
            changed.store(true);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
        return S_OK;
    }

private:
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

class CoreAudioPlatform final : public AudioPlatform {
public:
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
            *watcher.put() = new DefaultDeviceWatcher();
            if (FAILED(enumerator->RegisterEndpointNotificationCallback(watcher.get())))
                watcher.reset(); // capture still works; it just does not follow the default
        }
        return hr;
    }

    PlatformResult getDefaultEndpoint(DeviceRole role) override {
        return enumerator->GetDefaultAudioEndpoint(
            eRender, role == DeviceRole::Multimedia ? eMultimedia : eConsole, device.put());
    }

    PlatformResult getFriendlyName(std::string &name) override {
        ComRef<IPropertyStore> store;
        HRESULT hr = device->OpenPropertyStore(STGM_READ, store.put());
        if (FAILED(hr))
            return hr;
        PROPVARIANT value;
        PropVariantInit(&value);
        hr = store->GetValue(PKEY_Device_FriendlyName, &value);
        if (SUCCEEDED(hr) && value.vt == VT_LPWSTR && value.pwszVal) {
            const int length =
                WideCharToMultiByte(CP_UTF8, 0, value.pwszVal, -1, nullptr, 0, nullptr, nullptr);
            if (length > 0) {
                std::vector<char> utf8(static_cast<size_t>(length), '\0');
                WideCharToMultiByte(CP_UTF8, 0, value.pwszVal, -1, utf8.data(), length, nullptr,
                                    nullptr);
                name.assign(utf8.data());
            }
        }
        PropVariantClear(&value);
        return hr;
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

    bool defaultDeviceChanged() override { return watcher.get() && watcher->changed.load(); }

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
    TimerResolution timer;
    ComRef<DefaultDeviceWatcher> watcher;
    ComRef<IMMDeviceEnumerator> enumerator;
    ComRef<IMMDevice> device;
    ComRef<IAudioClient> audioClient;
    ComRef<IAudioCaptureClient> captureClient;
    MixFormatBlock mixFormat;
};

} // namespace

std::unique_ptr<AudioPlatform> createDefaultAudioPlatform() {
    return std::make_unique<CoreAudioPlatform>();
}

} // namespace Kelvane
