// The manager reached through COM: the out-of-process server MerelSMSManager.exe, started by
// COM on the first request. Each call runs on a worker thread so that it can be given up after
// the timeout; the server's own words on a failure come from its error object.
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#undef SendMessage

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "MerelSMSManager.h"
#include "base/narrow.h"
#include "cli/failure.h"
#include "interface/hresult_text.h"
#include "cli/platform.h"

namespace merel::cli {

namespace {

constexpr HRESULT kRpcTimeout = kRPC_E_TIMEOUT;
constexpr HRESULT kRpcCallTimeout = hresult::kRpcCallFailed;

class Bstr {
  public:
    explicit Bstr(const std::u16string& text)
        : value_(SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                   static_cast<UINT>(text.size()))) {}
    Bstr() = default;
    ~Bstr() { SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return value_; }
    BSTR* Out() { return &value_; }
    std::u16string Text() const {
        return value_
                   ? std::u16string(reinterpret_cast<const char16_t*>(value_), SysStringLen(value_))
                   : std::u16string();
    }

  private:
    BSTR value_ = nullptr;
};

// The system's words for a code, without the line end it adds.
std::string SystemMessage(HRESULT hr) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::u16string text;
    if (length && buffer) text.assign(reinterpret_cast<const char16_t*>(buffer), length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' ')) {
        text.pop_back();
    }
    return text.empty() ? "unknown error" : Utf16ToUtf8(text);
}

// The server's description of the failure just seen on this thread, when it gives one.
std::string ServerErrorText(ISMSMgr* manager) {
    ISupportErrorInfo* support = nullptr;
    if (FAILED(manager->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support))))
        return {};
    const bool supported = support->InterfaceSupportsErrorInfo(IID_ISMSMgr) == S_OK;
    support->Release();
    IErrorInfo* info = nullptr;
    if (!supported || GetErrorInfo(0, &info) != S_OK || !info) return {};
    Bstr description;
    info->GetDescription(description.Out());
    info->Release();
    return Utf16ToUtf8(description.Text());
}

struct Nothing {};

class ComManagerClient : public ManagerClient {
  public:
    explicit ComManagerClient(const ConnectOptions& options)
        : timeout_(std::chrono::duration<double>(options.timeoutSeconds)) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        created_ = CoCreateInstance(CLSID_SMSMgr, nullptr, CLSCTX_LOCAL_SERVER, IID_ISMSMgr,
                                    reinterpret_cast<void**>(&manager_));
        if (FAILED(created_)) manager_ = nullptr;
    }
    // COM is left initialised: a call given up on may still be running on its thread.
    ~ComManagerClient() override {
        if (manager_) manager_->Release();
    }

    HRESULT SendTextMessage(const std::u16string& number, const std::u16string& text,
                            std::int32_t flags) override {
        Nothing none;
        return Call<Nothing>(none, [=](ISMSMgr* m, Nothing&) {
            return m->SendTextMessage(Bstr(number), Bstr(text), flags);
        });
    }
    HRESULT SetSettings(const Settings& s) override {
        Nothing none;
        return Call<Nothing>(none, [=](ISMSMgr* m, Nothing&) {
            return m->SetSettings(Bstr(s.port), s.baudrate, s.dataBits, s.parity, s.stopBits,
                                  s.handshake, s.readTimeout, s.characterSet);
        });
    }
    HRESULT GetSettings(Settings& settings) override {
        return Call<Settings>(settings, [](ISMSMgr* m, Settings& s) {
            Bstr port;
            LONG baud = 0;
            const HRESULT hr =
                m->GetSettings(port.Out(), &baud, &s.dataBits, &s.parity, &s.stopBits, &s.handshake,
                               &s.readTimeout, &s.characterSet);
            s.port = port.Text();
            s.baudrate = static_cast<std::int32_t>(baud);
            return hr;
        });
    }
    HRESULT SendPDUMessage(const std::u16string& number, const std::u16string& text) override {
        Nothing none;
        return Call<Nothing>(none, [=](ISMSMgr* m, Nothing&) {
            return m->SendPDUMessage(Bstr(number), Bstr(text));
        });
    }
    HRESULT GetSMSManagerStatus(Status& status) override {
        return Call<Status>(status, [](ISMSMgr* m, Status& s) {
            char flags[4] = {};
            const HRESULT hr = m->GetSMSManagerStatus(&flags[0], &flags[1], &flags[2], &flags[3]);
            s = {flags[0], flags[1], flags[2], flags[3]};
            return hr;
        });
    }
    HRESULT SendMessage(const std::u16string& number, const std::u16string& text) override {
        Nothing none;
        return Call<Nothing>(
            none, [=](ISMSMgr* m, Nothing&) { return m->SendMessage(Bstr(number), Bstr(text)); });
    }
    HRESULT GetDetectedCOMPortsOnHost(std::vector<std::u16string>& ports) override {
        return Call<std::vector<std::u16string>>(ports, [](ISMSMgr* m, auto& names) {
            UINT count = 0;
            VARIANT list;
            VariantInit(&list);
            const HRESULT hr = m->GetDetectedCOMPortsOnHost(&count, &list);
            names.clear();
            if (SUCCEEDED(hr) && V_VT(&list) == (VT_ARRAY | VT_BSTR) && V_ARRAY(&list)) {
                LONG lower = 0, upper = -1;
                SafeArrayGetLBound(V_ARRAY(&list), 1, &lower);
                SafeArrayGetUBound(V_ARRAY(&list), 1, &upper);
                for (LONG i = lower; i <= upper; ++i) {
                    Bstr name;
                    if (SUCCEEDED(SafeArrayGetElement(V_ARRAY(&list), &i, name.Out()))) {
                        names.push_back(name.Text());
                    }
                }
            }
            VariantClear(&list);
            return hr;
        });
    }
    HRESULT TestPort() override {
        Nothing none;
        return Call<Nothing>(none, [](ISMSMgr* m, Nothing&) { return m->TestPort(); });
    }
    HRESULT Init() override {
        Nothing none;
        return Call<Nothing>(none, [](ISMSMgr* m, Nothing&) { return m->Init(); });
    }

    std::string LastErrorText() const override { return lastError_; }

  private:
    // What a worker shares with the caller, kept alive by whichever of them ends last.
    template <class Out>
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        HRESULT hr = kE_FAIL;
        Out out{};
        std::string text;
    };

    template <class Out>
    HRESULT Call(Out& out, std::function<HRESULT(ISMSMgr*, Out&)> body) {
        lastError_.clear();
        if (!manager_) return Fail(created_, "cannot create the SMSMgr object");
        auto shared = std::make_shared<Shared<Out>>();
        shared->out = out;
        manager_->AddRef();
        std::thread([shared, body = std::move(body), m = manager_] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            Out result = shared->out;
            const HRESULT hr = body(m, result);
            std::string text = FAILED(hr) ? ServerErrorText(m) : std::string();
            m->Release();
            CoUninitialize();
            std::lock_guard lock(shared->mutex);
            shared->hr = hr;
            shared->out = std::move(result);
            shared->text = std::move(text);
            shared->finished = true;
            shared->done.notify_all();
        }).detach();

        std::unique_lock lock(shared->mutex);
        if (!shared->done.wait_for(lock, timeout_, [&] { return shared->finished; })) {
            return Fail(kCallTimedOut, "no answer from the server in time");
        }
        out = shared->out;
        HRESULT hr = shared->hr;
        if (hr == kRpcTimeout || hr == kRpcCallTimeout) hr = kCallTimedOut;
        if (!FAILED(hr)) return hr;
        if (shared->text.empty()) return Fail(hr, SystemMessage(hr));
        lastError_ = shared->text.starts_with("0x") ? shared->text
                                                    : wire::FormatHResult(hr) + ": " + shared->text;
        return hr;
    }

    HRESULT Fail(HRESULT hr, const std::string& what) {
        lastError_ = wire::FormatHResult(hr) + ": " + what;
        if (what.find(SystemMessage(hr)) == std::string::npos) {
            lastError_ += " (" + SystemMessage(hr) + ")";
        }
        return hr;
    }

    std::chrono::duration<double> timeout_;
    ISMSMgr* manager_ = nullptr;
    HRESULT created_ = kE_FAIL;
    std::string lastError_;
};

}  // namespace

std::unique_ptr<ManagerClient> ConnectToManager(const ConnectOptions& options) {
    return std::make_unique<ComManagerClient>(options);
}

}  // namespace merel::cli
