#!/usr/bin/python3
"""Sends one SMS through MerelSMSManager on the session bus (Debian: python3-dbus).

usage: send.py NUMBER TEXT [PORT]   (PORT: store it first, in PDU mode, as on a fresh install)
"""
import sys

import dbus

number, text = sys.argv[1], sys.argv[2]
port = sys.argv[3] if len(sys.argv) > 3 else None

bus = dbus.SessionBus()
mgr = dbus.Interface(bus.get_object("MerelSMSManager.SMSMgr", "/SMSMgr"),
                     "MerelSMSManagerLib.ISMSMgr")
try:
    if port:
        try:
            mgr.Init()  # the first time there is no SMSMgr.ini yet (0x80070002)
        except dbus.DBusException:
            pass
        mgr.SetSettings(port, 460800, 8, 0, 0, 1, 0, 1)  # character set 1: PDU mode
        mgr.Init()
    # The service ends 5 s after its last client and forgets its Init: make it again if so.
    loaded, log_open, port_open, configured = mgr.GetSMSManagerStatus()
    if not (loaded or configured):
        mgr.Init()
    # Calls wait their turn behind other clients' sends (about 6 s each): allow for them.
    mgr.SendMessage(number, text, timeout=600)
except dbus.DBusException as e:
    sys.exit(f"send failed: {e.get_dbus_message()}")  # "0x80070002: cannot open port ..."
print(f"sent to {number}")
