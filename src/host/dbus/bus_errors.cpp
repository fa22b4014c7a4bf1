#include "host/dbus/bus_errors.h"

#include <cerrno>

#include "host/common/failure_text.h"
#include "interface/error_names.h"
#include "interface/hresult_text.h"

namespace merel::dbus {

int SetHResultError(sd_bus_error* error, HRESULT hr) {
    return SetHResultError(error, hr, wire::BareFailureText(hr));
}

int SetHResultError(sd_bus_error* error, HRESULT hr, const std::string& message) {
    const std::string name = wire::HResultErrorName(hr);
    const int r = sd_bus_error_set(error, name.c_str(), message.c_str());
    // sd_bus_error_set returns a negative errno for a name it knows nothing about; keep the
    // handler's result negative in every case so that the error is what gets sent.
    return r < 0 ? r : -EIO;
}

int ReplyHResultError(sd_bus_message* call, HRESULT hr) {
    return ReplyHResultError(call, hr, wire::BareFailureText(hr));
}

int ReplyHResultError(sd_bus_message* call, HRESULT hr, const std::string& message) {
    sd_bus_error error{};  // the empty error, as SD_BUS_ERROR_NULL spells it in C
    SetHResultError(&error, hr, message);
    const int r = sd_bus_reply_method_error(call, &error);
    sd_bus_error_free(&error);
    return r;
}

int ReplyFailure(sd_bus_message* call, const Failure& failure) {
    return ReplyHResultError(
        call, failure.hr, host::FailureText(sd_bus_message_get_member(call), failure.hr, failure));
}

}  // namespace merel::dbus
