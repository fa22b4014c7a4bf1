#!/bin/sh
# Sends one SMS through MerelSMSManager on the session bus with busctl.
# usage: send-busctl.sh NUMBER TEXT [PORT]   (PORT: store it first, in PDU mode)
B="MerelSMSManager.SMSMgr /SMSMgr MerelSMSManagerLib.ISMSMgr"
if [ -n "$3" ]; then
    busctl --user call $B Init 2>/dev/null   # the first time: no SMSMgr.ini yet (0x80070002)
    busctl --user call $B SetSettings sinnnnnn "$3" 115200 8 0 0 1 0 1 || exit 1
fi
# Init again each time: the service forgets it 5 s after its last client.
busctl --user call $B Init || exit 1
# A send waits behind other clients' sends (about 6 s each): allow for them.
busctl --user --timeout=600 call $B SendMessage ss "$1" "$2" || exit 1
busctl --user call $B GetSMSManagerStatus
