// The type library and type information objects that LoadTypeLib hands out,
// built from a parsed description. Private to the platform layer: the
// registration asks here what only our own objects know.
//
// The objects are immutable once built and count references atomically.
#ifndef VELQUOR_PLATFORM_TYPELIB_OBJECTS_H_
#define VELQUOR_PLATFORM_TYPELIB_OBJECTS_H_

#include "platform/typelib_text.h"
#include "velquor/oaidl.h"

namespace velquor {

// The description a library of ours was built from, valid while `lib` is
// held; null for any other implementation of ITypeLib.
const LibDesc* DescriptionOf(ITypeLib* lib);

}  // namespace velquor

#endif  // VELQUOR_PLATFORM_TYPELIB_OBJECTS_H_
