// The process-wide holder of the filter class's type information: the
// IIENubrix interface identifier, the type library identifier and version
// 1.0, the cached ITypeInfo (none at first) and the count of filter objects
// that use it. Filter objects join at construction, leave at destruction,
// and ask it for the type information behind their automation operations.
//
// Threading: every operation runs under the module's type-information lock,
// so the module must be started. The holder is constinit.
#ifndef VELQUOR_SERVER_TYPE_INFO_HOLDER_H_
#define VELQUOR_SERVER_TYPE_INFO_HOLDER_H_

#include "velquor/oaidl.h"

namespace velquor {

// One more filter object uses the holder.
void AddTypeInfoUser();

// One filter object fewer; when none is left the cached type information is
// released and forgotten, so the next request loads it again.
void ReleaseTypeInfoUser();

// The type information of IIENubrix with one reference added. Loads the
// registered type library (1.0, locale `lcid`) at the first request and
// caches the result; later callers get that one whatever their locale. On
// failure *info is null and the loader's or lookup's failure is returned.
HRESULT GetNubrixTypeInfo(LCID lcid, ITypeInfo** info);

// For tests: the number of users and whether type information is cached.
LONG TypeInfoUserCount();
bool TypeInfoCached();

}  // namespace velquor

#endif  // VELQUOR_SERVER_TYPE_INFO_HOLDER_H_
