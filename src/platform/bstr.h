// Text strings handed across automation interfaces (BSTR): a 32-bit byte
// count, the UTF-16 units and a zero unit, the handle pointing at the first
// unit, as the original platform lays them out. The type information objects
// hand them out from GetDocumentation; the receiver frees them.
//
// Safe on any thread; a string belongs to whoever holds it.
#ifndef VELQUOR_PLATFORM_BSTR_H_
#define VELQUOR_PLATFORM_BSTR_H_

#include "velquor/oaidl.h"

// A new string holding `text` up to its zero unit; null for a null `text` or
// when memory runs out.
BSTR SysAllocString(const OLECHAR* text);
// Frees a string of SysAllocString; null is allowed.
void SysFreeString(BSTR text);
// The number of units of `text`, without the zero unit; 0 for null.
UINT SysStringLen(BSTR text);

#endif  // VELQUOR_PLATFORM_BSTR_H_
