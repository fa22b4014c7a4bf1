// The manager object on the bus: the method tables of MerelSMSManagerLib.ISMSMgr and ISMSMgr2,
// the argument conversion between D-Bus and the manager (UTF-8 strings become UTF-16 and back),
// the error replies, the report signal of a confirmed send, and introspection data that carries
// the dispatch identifiers.
#pragma once

#include <array>
#include <cstddef>
#include <functional>

#include <systemd/sd-bus.h>

#include "host/common/call_record.h"
#include "manager/sms_mgr.h"

namespace merel::dbus {

class SmsMgrBusObject {
  public:
    // One call of the methods, split where the threads meet: `run` carries it out on the
    // manager, on the thread that owns the manager; `reply` answers it from the result, on the
    // bus thread, and returns 0 or a negative errno. Both run either within the dispatch or
    // after the method handler has returned; then the message must be kept referenced until
    // `reply` has run. A `quick` call only reads the manager's memory and never blocks.
    struct MethodCall {
        std::function<HRESULT(CSMSMgr&)> run;
        std::function<int(sd_bus_message* call, HRESULT hr)> reply;
        bool quick = false;
    };
    // Takes every call of the methods once the bus library has checked its signature and
    // its arguments have been read. Returns what the method handler returns to the library:
    // 1 when the call has been answered or will be, a negative errno for the library to answer.
    using Dispatch = std::function<int(sd_bus_message* call, MethodCall method)>;

    // Takes the record of every call that sends or changes something, on the manager's thread
    // right after the call; no record is made without it.
    using Record = std::function<void(const host::CallRecord&)>;

    explicit SmsMgrBusObject(Dispatch dispatch, Record record = {});
    ~SmsMgrBusObject();
    SmsMgrBusObject(const SmsMgrBusObject&) = delete;
    SmsMgrBusObject& operator=(const SmsMgrBusObject&) = delete;

    // Serves the object at its path on the bus. Returns 0 or a negative errno.
    int Publish(sd_bus* bus);

    // The method table of the interface at `interface` in wire::Interfaces(), for checking it
    // against the interface description.
    static const sd_bus_vtable* MethodTable(std::size_t interface);

    Dispatch dispatch;
    Record record;

  private:
    std::array<sd_bus_slot*, 2> methodsSlots_{};  // one per interface
    sd_bus_slot* introspectSlot_ = nullptr;
};

}  // namespace merel::dbus
