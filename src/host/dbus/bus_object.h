// The manager object on the bus: the method table of MerelSMSManagerLib.ISMSMgr, the argument
// conversion between D-Bus and the manager (UTF-8 strings become UTF-16 and back), the error
// replies, and introspection data that carries the dispatch identifiers.
#pragma once

#include <functional>

#include <systemd/sd-bus.h>

#include "manager/sms_mgr.h"

namespace merel::dbus {

class SmsMgrBusObject {
  public:
    // Runs at the start of every call of one of the nine methods, with the call's message,
    // after the bus library has checked its signature.
    using CallObserver = std::function<void(sd_bus_message* call)>;

    SmsMgrBusObject(CSMSMgr& manager, CallObserver onCall);
    ~SmsMgrBusObject();
    SmsMgrBusObject(const SmsMgrBusObject&) = delete;
    SmsMgrBusObject& operator=(const SmsMgrBusObject&) = delete;

    // Serves the object at its path on the bus. Returns 0 or a negative errno.
    int Publish(sd_bus* bus);

    // The method table, for checking it against the interface description.
    static const sd_bus_vtable* MethodTable();

    CSMSMgr& manager;
    CallObserver onCall;

  private:
    sd_bus_slot* methodsSlot_ = nullptr;
    sd_bus_slot* introspectSlot_ = nullptr;
};

}  // namespace merel::dbus
