// The application object: the library's start-up when a process loads it
// and its shut-down when the process unloads it. Linked into libvelquor.so
// only; there a constructor function runs start-up once the library's static
// data exists (every process-wide object is constinit) and a destructor
// function runs shut-down before that data is torn down.
//
// Threading: both run on the thread that loads or unloads the library, while
// no filter object exists. They take no lock of their own.
#ifndef VELQUOR_SERVER_APPLICATION_H_
#define VELQUOR_SERVER_APPLICATION_H_

#include "platform/resources.h"
#include "velquor/types.h"

namespace velquor {

class Application {
 public:
  // Starts the module with the library's object map and `instance`, then
  // loads the user rules of the "InstallDir" setting and adds the built-in
  // rules. Always S_OK: a missing setting or rules file only means no user
  // rules.
  static HRESULT Startup(HINSTANCE instance);

  // Shuts the module down, then closes the registry so that the library
  // leaves nothing open behind it.
  static void Shutdown();
};

}  // namespace velquor

#endif  // VELQUOR_SERVER_APPLICATION_H_
