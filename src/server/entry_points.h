// The library's object map and the four exported entry points (declared for
// hosts in velquor/velquor.h). The map has one entry, the filter class
// IENubrix, then the end marker; the application object hands it to the
// module at start-up.
//
// Threading: the entry points may be called from any thread once the module
// is started; the map's cached class object is guarded by the module.
#ifndef VELQUOR_SERVER_ENTRY_POINTS_H_
#define VELQUOR_SERVER_ENTRY_POINTS_H_

#include "server/server_module.h"
#include "velquor/velquor.h"

namespace velquor {

// The library's object map (process-wide, constinit).
ObjectMapEntry* LibraryObjectMap();

}  // namespace velquor

#endif  // VELQUOR_SERVER_ENTRY_POINTS_H_
