#include "host/win32/event_log_win32.h"

#include "base/narrow.h"
#include "host/win32/com_headers.h"
#include "host/win32/event_log_entry.h"
#include "event_messages.h"  // generated from event_messages.mc

namespace merel::host {

static_assert(MEREL_EVENT_CALL_SUCCEEDED == kEventCallSucceeded);
static_assert(MEREL_EVENT_SENT_UNCONFIRMED == kEventSentUnconfirmed);
static_assert(MEREL_EVENT_CALL_FAILED == kEventCallFailed);
static_assert(static_cast<WORD>(EventType::kError) == EVENTLOG_ERROR_TYPE);
static_assert(static_cast<WORD>(EventType::kWarning) == EVENTLOG_WARNING_TYPE);
static_assert(static_cast<WORD>(EventType::kInformation) == EVENTLOG_INFORMATION_TYPE);

namespace {

// A handle closed when it goes out of scope.
class Token {
  public:
    ~Token() {
        if (handle_ != nullptr) CloseHandle(handle_);
    }
    HANDLE* put() { return &handle_; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_ = nullptr;
};

// The source, registered on first use and kept for the life of the process; null when the
// system refused it, and then every entry is skipped.
HANDLE EventSource() {
    static const HANDLE source = [] {
        const std::u16string name = Utf8ToUtf16(kRecordSource);
        return RegisterEventSourceW(nullptr, AsWide(name.c_str()));
    }();
    return source;
}

Caller AccountOf(HANDLE token) {
    Caller caller;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) return caller;
    std::vector<std::uint8_t> buffer(size);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return caller;
    PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    if (!IsValidSid(sid)) return caller;
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    caller.sid.assign(bytes, bytes + GetLengthSid(sid));

    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        return caller;
    }
    std::u16string account = AsUtf16(domain);
    if (!account.empty()) account.push_back(u'\\');
    account.append(AsUtf16(name));
    caller.account = Utf16ToUtf8(account);
    return caller;
}

}  // namespace

Caller CallingClient() {
    if (FAILED(CoImpersonateClient())) return {};
    Token token;
    // As the process, not the client: the client's token may not let the server read it.
    const BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put());
    CoRevertToSelf();
    if (!opened) return {};
    try {
        return AccountOf(token.get());
    } catch (...) {
        return {};
    }
}

void WriteToEventLog(const CallRecord& record, const Caller& caller) noexcept {
    try {
        const HANDLE source = EventSource();
        if (source == nullptr) return;
        const EventLogEntry entry = EventLogEntryOf(record);
        const wchar_t* strings[] = {AsWide(entry.message.c_str()), AsWide(entry.details.c_str())};
        PSID sid = caller.sid.empty() ? nullptr : const_cast<std::uint8_t*>(caller.sid.data());
        ReportEventW(source, static_cast<WORD>(entry.type), 0, entry.eventId, sid, 2, 0, strings,
                     nullptr);
    } catch (...) {
        // No memory for the entry: the call's result stands without it.
    }
}

}  // namespace merel::host
