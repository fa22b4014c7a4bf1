// Where the service writes the record of each call: the journal, with its structured fields, or
// where no journal listens (a container, a test's private bus), a line on standard error that
// carries the same fields.
#pragma once

#include "host/common/call_record.h"

namespace merel::dbus {

// Never fails the call it records: a record that cannot be written is lost, not the call.
void WriteCallRecord(const host::CallRecord& record) noexcept;

}  // namespace merel::dbus
