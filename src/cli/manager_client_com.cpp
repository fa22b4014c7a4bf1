// The manager reached through COM: the out-of-process server MerelSMSManager.exe, started by
// COM on the first request. Each call runs on a worker thread so that it can be given up after
// the timeout; the server's own words on a failure come from the exception record of
// IDispatch::Invoke.
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#undef SendMessage

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "MerelSMSManager.h"
#include "base/narrow.h"
#include "cli/call_timeout.h"
#include "cli/failure.h"
#include "cli/platform.h"
#include "interface/description.h"
#include "interface/hresult_text.h"
#include "interface/server_times.h"

namespace merel::cli {

namespace {

constexpr HRESULT kRpcTimeout = kRPC_E_TIMEOUT;
constexpr HRESULT kRpcCallTimeout = hresult::kRpcCallFailed;

// A BSTR that a callee fills, freed with its holder.
class Bstr {
  public:
    Bstr() = default;
    ~Bstr() { SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
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

// The place of the argument that the type library declares [out, retval], which IDispatch
// gives as the call's result rather than among the arguments: the last one of these three
// methods, none of the others.
std::optional<std::size_t> RetvalOf(wire::Slot slot) {
    switch (slot) {
        case wire::Slot::kGetDetectedCOMPortsOnHost:
        case wire::Slot::kSendConfirmed:
        case wire::Slot::kCheckModem:
            return wire::Method(slot).arguments.size() - 1;
        default:
            return std::nullopt;
    }
}

// The strings of a SAFEARRAY of BSTR in a variant; none for anything else.
std::vector<std::u16string> StringsOf(const VARIANT& list) {
    std::vector<std::u16string> strings;
    if (V_VT(&list) != (VT_ARRAY | VT_BSTR) || !V_ARRAY(&list)) return strings;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(V_ARRAY(&list), 1, &lower);
    SafeArrayGetUBound(V_ARRAY(&list), 1, &upper);
    for (LONG i = lower; i <= upper; ++i) {
        Bstr text;
        if (SUCCEEDED(SafeArrayGetElement(V_ARRAY(&list), &i, text.Out()))) {
            strings.push_back(text.Text());
        }
    }
    return strings;
}

// A call through IDispatch::Invoke, made from the interface description: the dispatch
// identifier and each argument's automation type come from there. Calls are late bound because
// the exception record of a failed Invoke carries the server's text to every client, while the
// error object of a call through the table of methods does not cross processes under Wine.
class DispatchCall {
  public:
    explicit DispatchCall(wire::Slot slot)
        : method_(wire::Method(slot)),
          result_index_(RetvalOf(slot)),
          values_(method_.arguments.size()) {
        VariantInit(&result_);
        for (std::size_t i = 0; i < values_.size(); ++i) {
            VariantInit(&values_[i]);
            const wire::ArgumentDescription& arg = method_.arguments[i];
            // An out-argument's storage, empty and typed, for the server to fill.
            if (arg.direction == wire::Direction::kOut) V_VT(&values_[i]) = Type(arg);
        }
    }
    ~DispatchCall() {
        for (VARIANT& value : values_) VariantClear(&value);
        VariantClear(&result_);
    }
    DispatchCall(const DispatchCall&) = delete;
    DispatchCall& operator=(const DispatchCall&) = delete;

    // In-arguments, by their place in the description, converted to the type described there.
    void In(std::size_t i, const std::u16string& text) {
        VARIANT given;
        VariantInit(&given);
        V_VT(&given) = VT_BSTR;
        V_BSTR(&given) = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                           static_cast<UINT>(text.size()));
        Set(i, given);
        VariantClear(&given);
    }
    void In(std::size_t i, std::int32_t number) {
        VARIANT given;
        VariantInit(&given);
        V_VT(&given) = VT_I4;
        V_I4(&given) = number;
        Set(i, given);
    }

    // Makes the call; on a failure, `text` gets the server's words from the exception record.
    HRESULT Invoke(IDispatch* dispatch, std::string& text) {
        if (FAILED(prepared_)) return prepared_;
        // IDispatch takes the arguments last first; out-arguments go by reference to their
        // storage. The retval comes back as the call's result.
        std::vector<VARIANTARG> args;
        for (std::size_t i = values_.size(); i-- > 0;) {
            const wire::ArgumentDescription& arg = method_.arguments[i];
            if (i == result_index_) continue;
            VARIANTARG passed;
            VariantInit(&passed);
            if (arg.direction == wire::Direction::kIn) {
                passed = values_[i];
            } else {
                V_VT(&passed) = static_cast<VARTYPE>(VT_BYREF | V_VT(&values_[i]));
                V_BYREF(&passed) = &V_BYREF(&values_[i]);  // the union, whatever its type
            }
            args.push_back(passed);
        }
        DISPPARAMS params{args.empty() ? nullptr : args.data(), nullptr,
                          static_cast<UINT>(args.size()), 0};
        EXCEPINFO exception{};
        UINT argumentError = 0;
        HRESULT hr =
            dispatch->Invoke(method_.dispId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                             &params, &result_, &exception, &argumentError);
        if (hr == kDISP_E_EXCEPTION) {
            if (exception.pfnDeferredFillIn) exception.pfnDeferredFillIn(&exception);
            if (FAILED(exception.scode)) hr = exception.scode;
            if (exception.bstrDescription) {
                text = Utf16ToUtf8(
                    std::u16string(reinterpret_cast<const char16_t*>(exception.bstrDescription),
                                   SysStringLen(exception.bstrDescription)));
            }
        }
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
        return hr;
    }

    // An out-argument by its place in the description, in the type the caller keeps it in.
    template <class Number>
    Number Out(std::size_t i, VARTYPE type) const {
        VARIANT converted;
        VariantInit(&converted);
        // The source is only read: the conversion goes to another variant.
        VARIANT* source = const_cast<VARIANT*>(&values_[i]);
        if (FAILED(VariantChangeType(&converted, source, 0, type))) return Number{};
        switch (type) {
            case VT_I1:
                return static_cast<Number>(V_I1(&converted));
            case VT_I2:
                return static_cast<Number>(V_I2(&converted));
            default:
                return static_cast<Number>(V_I4(&converted));
        }
    }
    std::u16string OutText(std::size_t i) const {
        const VARIANT& value = values_[i];
        if (V_VT(&value) != VT_BSTR || !V_BSTR(&value)) return {};
        return std::u16string(reinterpret_cast<const char16_t*>(V_BSTR(&value)),
                              SysStringLen(V_BSTR(&value)));
    }
    const VARIANT& Result() const { return result_; }
    // The retval as a long, or `otherwise` when it is not a number.
    std::int32_t ResultLong(std::int32_t otherwise) const {
        VARIANT converted;
        VariantInit(&converted);
        VARIANT* source = const_cast<VARIANT*>(&result_);  // only read
        if (FAILED(VariantChangeType(&converted, source, 0, VT_I4))) return otherwise;
        return V_I4(&converted);
    }

  private:
    // The automation type of a described argument: strings are BSTRs, the integers keep their
    // width and sign, and an array of strings is a SAFEARRAY of BSTRs.
    static VARTYPE Type(const wire::ArgumentDescription& arg) {
        const std::string_view type = arg.type;
        if (type == "s") return VT_BSTR;
        if (type == "y") return VT_I1;  // a char in the type library
        if (type == "n") return VT_I2;
        if (type == "u") return VT_UI4;
        if (type == "as") return VT_ARRAY | VT_BSTR;
        return VT_I4;
    }
    void Set(std::size_t i, VARIANT& given) {
        const HRESULT hr = VariantChangeType(&values_[i], &given, 0, Type(method_.arguments[i]));
        if (FAILED(hr) && SUCCEEDED(prepared_)) prepared_ = hr;  // a value out of range
    }

    const wire::MethodDescription& method_;
    std::optional<std::size_t> result_index_;
    std::vector<VARIANT> values_;  // in the description's order; never resized
    VARIANT result_;
    HRESULT prepared_ = kS_OK;
};

struct Nothing {};

// What creating the object gives when the server that took the request was ending.
bool ServerWasEnding(HRESULT hr) {
    return hr == kCO_E_SERVER_STOPPING || hr == hresult::kRpcCallFailed ||
           hr == kRPC_E_DISCONNECTED || hr == hresult::kRpcServerUnavailable;
}
constexpr int kCreateAttempts = 3;

class ComManagerClient : public ManagerClient {
  public:
    explicit ComManagerClient(const ConnectOptions& options)
        : timeout_(WorkerWait(options.timeoutSeconds)) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        // A server that is ending after its idle time can take the request and then go away;
        // COM starts a new one for the next request.
        for (int attempt = 1;; ++attempt) {
            created_ = CoCreateInstance(CLSID_SMSMgr, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                        reinterpret_cast<void**>(&manager_));
            if (!FAILED(created_) || attempt == kCreateAttempts || !ServerWasEnding(created_)) {
                break;
            }
            std::this_thread::sleep_for(kServerExitPause);
        }
        if (FAILED(created_)) manager_ = nullptr;
    }
    // COM is left initialised: a call given up on may still be running on its thread.
    ~ComManagerClient() override {
        if (manager_) manager_->Release();
    }

    HRESULT SendTextMessage(const std::u16string& number, const std::u16string& text,
                            std::int32_t flags) override {
        return Send(wire::Slot::kSendTextMessage, number, text, flags);
    }
    HRESULT SetSettings(const Settings& s) override {
        Nothing none;
        return Call<Nothing>(
            none, wire::Slot::kSetSettings,
            [&s](DispatchCall& call) {
                call.In(0, s.port);
                const std::int32_t numbers[] = {s.baudrate,    s.dataBits,  s.parity,
                                                s.stopBits,    s.handshake, s.readTimeout,
                                                s.characterSet};
                for (std::size_t i = 0; i < std::size(numbers); ++i) call.In(i + 1, numbers[i]);
            },
            [](const DispatchCall&, Nothing&) {});
    }
    HRESULT GetSettings(Settings& settings) override {
        return Call<Settings>(
            settings, wire::Slot::kGetSettings, [](DispatchCall&) {},
            [](const DispatchCall& call, Settings& s) {
                s.port = call.OutText(0);
                s.baudrate = call.Out<std::int32_t>(1, VT_I4);
                std::int16_t* shorts[] = {&s.dataBits,  &s.parity,      &s.stopBits,
                                          &s.handshake, &s.readTimeout, &s.characterSet};
                for (std::size_t i = 0; i < std::size(shorts); ++i)
                    *shorts[i] = call.Out<std::int16_t>(i + 2, VT_I2);
            });
    }
    HRESULT SendPDUMessage(const std::u16string& number, const std::u16string& text) override {
        return Send(wire::Slot::kSendPDUMessage, number, text);
    }
    HRESULT GetSMSManagerStatus(Status& status) override {
        return Call<Status>(
            status, wire::Slot::kGetSMSManagerStatus, [](DispatchCall&) {},
            [](const DispatchCall& call, Status& s) {
                s = {call.Out<std::int8_t>(0, VT_I1), call.Out<std::int8_t>(1, VT_I1),
                     call.Out<std::int8_t>(2, VT_I1), call.Out<std::int8_t>(3, VT_I1)};
            });
    }
    HRESULT SendMessage(const std::u16string& number, const std::u16string& text) override {
        return Send(wire::Slot::kSendMessage, number, text);
    }
    HRESULT GetDetectedCOMPortsOnHost(std::vector<std::u16string>& ports) override {
        return Call<std::vector<std::u16string>>(
            ports, wire::Slot::kGetDetectedCOMPortsOnHost, [](DispatchCall&) {},
            [](const DispatchCall& call, std::vector<std::u16string>& names) {
                names = StringsOf(call.Result());
            });
    }
    HRESULT TestPort() override {
        Nothing none;
        return Call<Nothing>(
            none, wire::Slot::kTestPort, [](DispatchCall&) {},
            [](const DispatchCall&, Nothing&) {});
    }
    HRESULT Init() override {
        Nothing none;
        return Call<Nothing>(
            none, wire::Slot::kInit, [](DispatchCall&) {}, [](const DispatchCall&, Nothing&) {});
    }
    // The modem's warnings and transcript stay on the server: COM gives only the reference.
    HRESULT SendConfirmed(const std::u16string& number, const std::u16string& text,
                          std::int16_t mode, SendReport& report) override {
        report = {};
        return Call<SendReport>(
            report, wire::Slot::kSendConfirmed,
            [&](DispatchCall& call) {
                call.In(0, number);
                call.In(1, text);
                call.In(2, mode);
            },
            [](const DispatchCall& call, SendReport& r) { r.reference = call.ResultLong(-1); });
    }
    HRESULT CheckModem(std::vector<std::u16string>& lines) override {
        lines.clear();
        return Call<std::vector<std::u16string>>(
            lines, wire::Slot::kCheckModem, [](DispatchCall&) {},
            [](const DispatchCall& call, std::vector<std::u16string>& out) {
                out = StringsOf(call.Result());
            });
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

    // The arguments are made here, on the caller's thread; the worker owns them from then on,
    // as it may outlive a call given up on. The results are read on the worker.
    template <class Out>
    HRESULT Call(Out& out, wire::Slot slot, const std::function<void(DispatchCall&)>& fill,
                 std::function<void(const DispatchCall&, Out&)> read) {
        lastError_.clear();
        if (!manager_) return Fail(created_, "cannot create the SMSMgr object");
        auto call = std::make_shared<DispatchCall>(slot);
        fill(*call);
        auto shared = std::make_shared<Shared<Out>>();
        shared->out = out;
        manager_->AddRef();
        std::thread([shared, call, read = std::move(read), m = manager_] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            Out result = shared->out;
            std::string text;
            const HRESULT hr = call->Invoke(m, text);
            if (SUCCEEDED(hr)) read(*call, result);
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
        const auto finished = [&] { return shared->finished; };
        if (!timeout_) {
            shared->done.wait(lock, finished);
        } else if (!shared->done.wait_for(lock, *timeout_, finished)) {
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

    // The three sends: a number and a text, and for SendTextMessage the flags.
    HRESULT Send(wire::Slot slot, const std::u16string& number, const std::u16string& text,
                 std::optional<std::int32_t> flags = std::nullopt) {
        Nothing none;
        return Call<Nothing>(
            none, slot,
            [&](DispatchCall& call) {
                call.In(0, number);
                call.In(1, text);
                if (flags) call.In(2, *flags);
            },
            [](const DispatchCall&, Nothing&) {});
    }

    HRESULT Fail(HRESULT hr, const std::string& what) {
        lastError_ = wire::FormatHResult(hr) + ": " + what;
        if (what.find(SystemMessage(hr)) == std::string::npos) {
            lastError_ += " (" + SystemMessage(hr) + ")";
        }
        return hr;
    }

    std::optional<std::chrono::steady_clock::duration> timeout_;  // none: no limit
    IDispatch* manager_ = nullptr;
    HRESULT created_ = kE_FAIL;
    std::string lastError_;
};

}  // namespace

// A COM class has one server: there is one service per machine, the plain one.
bool ListInstances(const ConnectOptions&, std::vector<std::string>& instances, std::string&) {
    instances.assign(1, std::string());
    return true;
}

std::unique_ptr<ManagerClient> ConnectToManager(const ConnectOptions& options) {
    return std::make_unique<ComManagerClient>(options);
}

}  // namespace merel::cli
