// The class object of the filter class: the IClassFactory that the object
// map caches and DllGetClassObject hands out. It creates filter objects
// through the instance creator stored in it, and holds one library lock while
// anything outside the library holds it (count 2 or more; the cache's own
// reference is the first).
//
// Threading: any thread. Each count change and the test that follows it is
// one step under the object's own lock; destruction and the lowering of the
// library lock count happen after that lock is left.
#ifndef VELQUOR_SERVER_CLASS_FACTORY_H_
#define VELQUOR_SERVER_CLASS_FACTORY_H_

#include "server/server_module.h"
#include "velquor/unknwn.h"

namespace velquor {

class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(InstanceCreator creator);
  ClassFactory(const ClassFactory&) = delete;
  ClassFactory& operator=(const ClassFactory&) = delete;

  // IUnknown and IClassFactory answer for themselves; anything else
  // E_NOINTERFACE with the place null.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  // Count + 1; reaching exactly 2 takes a library lock.
  ULONG STDMETHODCALLTYPE AddRef() override;
  // Count - 1; at 0 the object is destroyed, at 1 the library lock is given
  // back.
  ULONG STDMETHODCALLTYPE Release() override;
  // Refuses an outer object with any interface but IUnknown
  // (CLASS_E_NOAGGREGATION); otherwise the instance creator's result.
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  // True: library lock count + 1; false: - 1. Always S_OK.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  ~ClassFactory();

  LONG volatile ref_ = 0;
  CRITICAL_SECTION lock_;
  InstanceCreator creator_;
};

// The object map's class-object creator: a new class object with `creator`,
// asked for `riid`. E_OUTOFMEMORY when it cannot be allocated; a refused
// interface destroys it again and returns the failure.
HRESULT CreateClassFactory(InstanceCreator creator, REFIID riid, void** ppv);

}  // namespace velquor

#endif  // VELQUOR_SERVER_CLASS_FACTORY_H_
