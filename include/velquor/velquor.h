// Everything a host needs to load the Velquor filter as a browser's
// URL-loading layer does: the class and interface identifiers of the filter
// class and the four entry points that libvelquor.so exports.
//
// A host loads the library (dlopen), looks up DllGetClassObject, asks it for
// IClassFactory, creates one filter object per HTML download asking for
// IInternetProtocol, starts it with a PROTOCOLFILTERDATA whose pProtocol is
// the protocol beneath, and reads the filtered page through Read until Read
// returns S_FALSE with nothing handed out. examples/minimal_host.cc shows it.
//
// Which calls a host may make from which threads:
// - Loading and unloading the library (dlopen, dlclose) run start-up and
//   shut-down: no other thread may be inside the library or hold any of its
//   objects then. Unload only after DllCanUnloadNow answered S_OK and while
//   no thread can call it again.
// - The four entry points may be called from any thread, also from several
//   at once; the store serialises the writes of registrations.
// - The class object (IClassFactory) may be used from any thread, also from
//   several at once: CreateInstance, LockServer, AddRef and Release.
// - A filter object is apartment-threaded: every call on it, through any of
//   its interfaces and including AddRef and Release, comes from one thread at
//   a time, normally the thread that created it; its reference count is not
//   atomic. It calls the inner protocol and the sink on the thread that called
//   it. Different filter objects may filter on different threads at the same
//   time: the totals and the remembered advertisement link they share are
//   kept safely, and no increment is lost.
#ifndef VELQUOR_VELQUOR_H_
#define VELQUOR_VELQUOR_H_

#include "velquor/oaidl.h"
#include "velquor/types.h"
#include "velquor/unknwn.h"
#include "velquor/urlmon.h"

// The filter class IENubrix.
inline constexpr CLSID CLSID_IENubrix = {
    0x5A1C7E32, 0x0B4D, 0x4E62, {0x8F, 0x93, 0x2C, 0x6B, 0x0D, 0x1E, 0x7A, 0x45}};
// Its dual interface IIENubrix.
inline constexpr IID IID_IIENubrix = {
    0x5A1C7E31, 0x0B4D, 0x4E62, {0x8F, 0x93, 0x2C, 0x6B, 0x0D, 0x1E, 0x7A, 0x45}};
// Its type library NUBRIXLib, version 1.0.
inline constexpr GUID LIBID_NUBRIXLib = {
    0x5A1C7E22, 0x0B4D, 0x4E62, {0x8F, 0x93, 0x2C, 0x6B, 0x0D, 0x1E, 0x7A, 0x45}};

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

// The filter class's dual interface: IDispatch with no members of its own,
// answered from the registered type library.
struct IIENubrix : IDispatch {};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

extern "C" {
// Signatures of the exported entry points, for dlsym.
typedef HRESULT(STDAPICALLTYPE* DllGetClassObjectFn)(REFCLSID clsid, REFIID riid, void** ppv);
typedef HRESULT(STDAPICALLTYPE* DllCanUnloadNowFn)();
typedef HRESULT(STDAPICALLTYPE* DllRegisterServerFn)();
typedef HRESULT(STDAPICALLTYPE* DllUnregisterServerFn)();

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
HRESULT STDAPICALLTYPE DllCanUnloadNow();
HRESULT STDAPICALLTYPE DllRegisterServer();
HRESULT STDAPICALLTYPE DllUnregisterServer();
}

#endif  // VELQUOR_VELQUOR_H_
