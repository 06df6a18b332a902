// The reader vendor's library sdtapi.dll, which the desktop shell calls once
// at exit through its export number 1 when the library is present.
#pragma once

namespace talvex::platform::win32 {

// Calls export 1 of sdtapi.dll with (0, a 16-byte scratch buffer, 0) and
// ignores its result; does nothing when the library or the export is missing.
// Returns whether the call was made.
bool CallVendorExit();

}  // namespace talvex::platform::win32
