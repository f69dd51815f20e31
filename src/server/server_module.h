// The library module record: the one record per process of the in-process
// server, holding the object map (the creatable classes), the library lock
// count that decides whether the library may be unloaded, and the two module
// locks (type information, object map). The application object starts the
// module when the library is loaded and shuts it down at unload; the entry
// points, the class object and the filter objects use it in between.
//
// Threading: the lock count changes only by atomic increments and
// decrements; the cached class object is created under the object-map lock;
// start-up and shut-down run on the loading thread while no filter object
// lives. The record is constinit, so it exists before any start-up code runs.
#ifndef VELQUOR_SERVER_SERVER_MODULE_H_
#define VELQUOR_SERVER_SERVER_MODULE_H_

#include "platform/resources.h"
#include "platform/sync.h"
#include "velquor/unknwn.h"

namespace velquor {

// Creates an instance of a class: outer object or null, interface, place.
using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);
// Creates a class object that hands out instances through `creator`.
using ClassObjectCreator = HRESULT (*)(InstanceCreator creator, REFIID riid, void** ppv);
// Runs the class's registry script in register (true) or unregister mode.
using RegistryUpdater = HRESULT (*)(bool register_mode);

// One creatable class. A map ends with an entry whose clsid is null.
struct ObjectMapEntry {
  const CLSID* clsid;
  RegistryUpdater update_registry;
  ClassObjectCreator create_class_object;
  InstanceCreator create_instance;
  IUnknown* class_object;  // cached; null until first asked for
};

struct ModuleRecord {
  HINSTANCE instance;
  HINSTANCE resource_instance;  // where the registry script comes from
  HINSTANCE typelib_instance;   // where the type library comes from
  ObjectMapEntry* object_map;
  LONG volatile lock_count;
  CRITICAL_SECTION typeinfo_lock;
  CRITICAL_SECTION object_map_lock;
  bool started;
};

// The process's module record.
ModuleRecord& Module();

// Lock count 0, records the map and the instance handle (all three handles),
// creates the module's locks. Always S_OK.
HRESULT ModuleStartup(ObjectMapEntry* object_map, HINSTANCE instance);

// Releases the cache's reference to every cached class object and clears the
// entries, then deletes the locks. Does nothing when the module is not
// started.
void ModuleShutdown();

// Atomic +1 / -1 of the library lock count; returns the new count.
LONG LockModule();
LONG UnlockModule();
LONG ModuleLockCount();

// DllGetClassObject: the cached class object of `clsid` (created at the first
// request, once even when threads race) asked for `riid`. E_POINTER for a
// null place, CLASS_E_CLASSNOTAVAILABLE for an unknown class (place null).
HRESULT ModuleGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);

// S_OK when the lock count is 0, else S_FALSE.
HRESULT ModuleCanUnloadNow();

}  // namespace velquor

#endif  // VELQUOR_SERVER_SERVER_MODULE_H_
