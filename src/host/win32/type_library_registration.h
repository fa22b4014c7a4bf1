// Registration of the type library that the executable carries, for clients of either bitness.
#pragma once

#include "host/win32/com_headers.h"

namespace merel::host {

// Registers the library (as RegisterTypeLib does) and mirrors its entries for the other
// bitness: the other platform's path entries and the interface keys in the other registry view.
HRESULT RegisterTypeLibrary();
// Removes all of it again, leaving no key of the library in either view.
HRESULT UnregisterTypeLibrary();

}  // namespace merel::host
