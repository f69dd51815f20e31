// The aggregate form of the filter class, made when the class object is
// given a controlling outer object. The aggregate's own IUnknown (the
// non-delegating one, handed to the outer object) counts its own references;
// the contained filter object's four entry points delegate QueryInterface,
// AddRef and Release to the outer object. The object map's instance
// creator lives here too, since it makes either form.
//
// Threading: as the filter object (apartment model, plain count). The
// aggregate holds one library lock while it lives.
#ifndef VELQUOR_SERVER_NUBRIX_AGGREGATE_H_
#define VELQUOR_SERVER_NUBRIX_AGGREGATE_H_

#include "server/nubrix_filter.h"

namespace velquor {

class NubrixAggregate final : public IUnknown {
 public:
  NubrixAggregate(const NubrixAggregate&) = delete;
  NubrixAggregate& operator=(const NubrixAggregate&) = delete;

  // IUnknown: this object with its own count; any other interface from the
  // contained object's table, the reference going to the outer object.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  // At 0 the aggregate and its contained object are destroyed.
  ULONG STDMETHODCALLTYPE Release() override;

  // For tests: the contained filter object.
  NubrixFilter& contained() { return contained_; }

 private:
  friend HRESULT CreateFilterAggregate(IUnknown* outer, REFIID riid, void** ppv);

  explicit NubrixAggregate(IUnknown* outer);
  ~NubrixAggregate() = default;

  ULONG ref_ = 0;
  NubrixFilter contained_;
};

// Creates an aggregate controlled by `outer` and asks its own QueryInterface
// for `riid` (the class object allows only IUnknown). E_POINTER for a null
// place, E_OUTOFMEMORY when allocation fails; on a refusal the aggregate is
// destroyed again and the counts are as they were.
HRESULT CreateFilterAggregate(IUnknown* outer, REFIID riid, void** ppv);

// The instance creator of the object map. Without an outer object it makes a
// plain filter object, with one an aggregate, and asks it for `riid`.
// E_POINTER for a null place; E_OUTOFMEMORY when allocation fails; a refused
// interface destroys the new object and returns E_NOINTERFACE, leaving the
// library lock count and the holder's user count as they were.
HRESULT CreateFilterInstance(IUnknown* outer, REFIID riid, void** ppv);

}  // namespace velquor

#endif  // VELQUOR_SERVER_NUBRIX_AGGREGATE_H_
