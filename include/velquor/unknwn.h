// The base object contracts: IUnknown and IClassFactory, as structs of pure
// virtual functions in the published slot order. They have no virtual
// destructor, so under the Itanium ABI their vtables have the component
// layout and a pointer to one can cross the library boundary.
#ifndef VELQUOR_UNKNWN_H_
#define VELQUOR_UNKNWN_H_

#include "velquor/types.h"

#if defined(_WIN32)
#include <unknwn.h>
#else
inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

struct IClassFactory : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#endif  // _WIN32

#endif  // VELQUOR_UNKNWN_H_
