// Identifiers as text: the registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
// used for class, interface and type library keys. Callers: the type library
// service and its registration, the registrar's tests. Pure functions, safe on
// any thread.
#ifndef VELQUOR_PLATFORM_GUID_TEXT_H_
#define VELQUOR_PLATFORM_GUID_TEXT_H_

#include <string>

#include "velquor/types.h"

namespace velquor {

// `guid` in registry form, upper-case hexadecimal digits, with braces.
std::string GuidToString(const GUID& guid);

// Parses the registry form (braces optional, digits in either case). False,
// with `*guid` untouched, for anything else.
bool ParseGuid(const std::string& text, GUID* guid);

}  // namespace velquor

#endif  // VELQUOR_PLATFORM_GUID_TEXT_H_
