#include "server/application.h"

#include "platform/module.h"
#include "platform/registry.h"
#include "rules/user_rules.h"
#include "server/entry_points.h"
#include "server/server_module.h"
#include "settings/store.h"

namespace velquor {

HRESULT Application::Startup(HINSTANCE instance) {
  ModuleStartup(LibraryObjectMap(), instance);
  LoadAllRules(RulesPathForInstallDir(ReadTextSetting(kInstallDir, "")));
  return S_OK;
}

void Application::Shutdown() {
  ModuleShutdown();
  CloseRegistry();
}

}  // namespace velquor

#ifndef VELQUOR_APPLICATION_NO_ATTACH
namespace {

// Any address inside this library names it as a module.
constexpr char kModuleAnchor = 0;

// The process-attach and process-detach notifications of this library.
__attribute__((constructor)) void OnLibraryAttach() {
  velquor::Application::Startup(velquor::ModuleOfAddress(&kModuleAnchor));
}

__attribute__((destructor)) void OnLibraryDetach() { velquor::Application::Shutdown(); }

}  // namespace
#endif
