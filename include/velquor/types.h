// Basic types of the component ABI, with the widths of the original 32-bit
// platform. Hosts and the library compile against these; they never use C++
// `long`, whose width differs between platforms.
#ifndef VELQUOR_TYPES_H_
#define VELQUOR_TYPES_H_

#if defined(_WIN32)
// On Windows every type, identifier and result code comes from the system's
// own headers (WCHAR is wchar_t there, and calls use the platform's
// convention), so the same source compiles against them.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <objbase.h>
#else
#include <cstdint>
#include <cstring>

// Calling-convention markers of the original platform. The Itanium ABI has
// one convention, so they expand to nothing.
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE

typedef int32_t HRESULT;
typedef int32_t LONG;
typedef int32_t DISPID;
typedef int32_t MEMBERID;
typedef int32_t BOOL;
typedef int32_t INT;
typedef int32_t SCODE;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef uint32_t LCID;
typedef uint32_t HREFTYPE;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint8_t BYTE;
typedef char16_t WCHAR;
typedef char16_t OLECHAR;
typedef OLECHAR* LPOLESTR;
// A wide text literal of the platform's OLECHAR type.
#define OLESTR(text) u##text
typedef const OLECHAR* LPCOLESTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef void* PVOID;
typedef OLECHAR* BSTR;
typedef uintptr_t HANDLE_PTR;
typedef int64_t LARGE_INTEGER;
typedef uint64_t ULARGE_INTEGER;

// A 16-byte identifier; two identifiers are equal when all 16 bytes are.
struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

// Result codes. The unsigned literals are the published bit patterns.
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_PENDING = static_cast<HRESULT>(0x8000000Au);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
constexpr HRESULT INET_E_DEFAULT_ACTION = static_cast<HRESULT>(0x800C0011u);
constexpr HRESULT INET_E_QUERYOPTION_UNKNOWN = static_cast<HRESULT>(0x800C0013u);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003u);
constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006u);
constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009u);
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = static_cast<HRESULT>(0x8002801Du);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = static_cast<HRESULT>(0x8002802Bu);
constexpr HRESULT TYPE_E_CANTLOADLIBRARY = static_cast<HRESULT>(0x80029C4Au);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);

constexpr DISPID DISPID_UNKNOWN = -1;

#endif  // _WIN32

#endif  // VELQUOR_TYPES_H_
