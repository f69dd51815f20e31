// The registrar component: runs registry scripts that describe keys and
// values under a registry root, to register a component or to remove its
// registration. DllRegisterServer and DllUnregisterServer create it with
// CoCreateInstance, add the "Module" replacement and run the script resource
// "REGISTRY" 102 of the library.
//
// Script language. After %NAME% replacements (names compared without regard
// to case, %% for one percent sign, an unknown name an error), the text is a
// sequence of tokens separated by white space; a '...' string is one token
// ('' inside it stands for one quote). Each root (HKCR or HKCU, or their long
// names; the registry here holds no other roots) is followed by a block
// "{ ... }". In a block, each key
// is an optional flag (NoRemove, ForceRemove, Delete), its name, an optional
// "= s 'text'" / "= d 'number'" / "= b 'hex'" default value, and an optional
// block of subkeys; "val Name = s|d|b '...'" sets a named value of the
// enclosing key. A "{" opens a block only when white space follows it, so
// "{5A1C...}" is a key name.
//
// Register mode creates the keys and values, deleting a ForceRemove key's
// whole tree first and a Delete key instead of writing it. Unregister mode
// visits children first and deletes each key that is not NoRemove and has no
// subkeys left (its values go with it), ignoring failures; as with the
// system's registrar, a ForceRemove key is then treated like any other, and
// a "val" value of a key that stays is left in place. A run is one registry
// transaction: on any
// error nothing it wrote remains.
//
// A registrar object is used by one thread at a time; its reference count is
// atomic. CoCreateInstance may be called from any thread.
#ifndef VELQUOR_PLATFORM_REGISTRAR_H_
#define VELQUOR_PLATFORM_REGISTRAR_H_

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "velquor/unknwn.h"

inline constexpr CLSID CLSID_Registrar = {
    0x44EC053A, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};
inline constexpr IID IID_IRegistrar = {
    0x44EC053B, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};

#if !defined(_WIN32)
constexpr DWORD CLSCTX_INPROC_SERVER = 1;
#endif

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

struct IRegistrarBase : IUnknown {
  // Adds replacement `key` (used as %key% in scripts) standing for `item`.
  virtual HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
  // Forgets every replacement added.
  virtual HRESULT STDMETHODCALLTYPE ClearReplacements() = 0;
};

// Every operation returns S_OK, DISP_E_EXCEPTION for a script error, E_POINTER
// for a null text, or the failure of finding or reading the script.
struct IRegistrar : IRegistrarBase {
  // Runs resource `id` ("#102" or a name) of `type` from binary `res_file`.
  virtual HRESULT STDMETHODCALLTYPE ResourceRegisterSz(LPCOLESTR res_file, LPCOLESTR id,
                                                       LPCOLESTR type) = 0;
  virtual HRESULT STDMETHODCALLTYPE ResourceUnregisterSz(LPCOLESTR res_file, LPCOLESTR id,
                                                         LPCOLESTR type) = 0;
  // Runs the script held in text file `file`.
  virtual HRESULT STDMETHODCALLTYPE FileRegister(LPCOLESTR file) = 0;
  virtual HRESULT STDMETHODCALLTYPE FileUnregister(LPCOLESTR file) = 0;
  // Runs the script `data`.
  virtual HRESULT STDMETHODCALLTYPE StringRegister(LPCOLESTR data) = 0;
  virtual HRESULT STDMETHODCALLTYPE StringUnregister(LPCOLESTR data) = 0;
  // Runs resource number `id` of `type` from binary `res_file`. The binary
  // must be the one this registrar is linked into (the resources of other
  // binaries cannot be reached): else HRESULT of ERROR_MOD_NOT_FOUND.
  virtual HRESULT STDMETHODCALLTYPE ResourceRegister(LPCOLESTR res_file, UINT id,
                                                     LPCOLESTR type) = 0;
  virtual HRESULT STDMETHODCALLTYPE ResourceUnregister(LPCOLESTR res_file, UINT id,
                                                       LPCOLESTR type) = 0;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// On Windows the system's registrar component does the work, created through
// the system's CoCreateInstance; what follows is the stand-in.
#if !defined(_WIN32)
// Creates an object of class `clsid` asking for `riid`. Only the registrar
// class is known, in-process: REGDB_E_CLASSNOTREG for other classes or
// contexts without CLSCTX_INPROC_SERVER, CLASS_E_NOAGGREGATION with an outer
// object, E_NOINTERFACE for an interface it lacks, E_POINTER for null `ppv`.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv);

namespace velquor {

// Named texts for %NAME% in a script, names compared without regard to ASCII
// case. A later Add of the same name replaces the earlier text.
class ReplacementMap {
 public:
  void Add(const std::string& name, const std::string& value);
  void Clear() { entries_.clear(); }
  // The text for `name`, or null when there is none.
  const std::string* Find(const std::string& name) const;

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

// Expands the replacements of `script` into `out`. False (with *error set) on
// an unknown name or a '%' without its closing '%'.
bool ExpandReplacements(const std::string& script, const ReplacementMap& replacements,
                        std::string* out, std::string* error);

// One key of a parsed script.
struct RegistrarValue {
  std::string name;  // "" for the key's default value
  char kind = 's';   // 's' text, 'd' number, 'b' bytes
  std::string data;  // the text, or the bytes (4 little-endian bytes for 'd')
};
enum class RegistrarFlag { kNone, kNoRemove, kForceRemove, kDelete };
struct RegistrarKey {
  std::string name;
  RegistrarFlag flag = RegistrarFlag::kNone;
  bool has_default = false;
  RegistrarValue default_value;
  std::vector<RegistrarValue> values;
  std::vector<RegistrarKey> subkeys;
};
struct RegistrarRoot {
  std::string name;  // canonical: "HKCR", "HKCU", "HKLM" or "HKU"
  std::vector<RegistrarKey> keys;
};

// Parses an expanded script. Pure: touches nothing. False (with *error
// naming the problem and the token) on a syntax error.
bool ParseRegistrarScript(const std::string& text, std::vector<RegistrarRoot>* roots,
                          std::string* error);

// Expands, parses and applies `script` in one registry transaction. S_OK, or
// DISP_E_EXCEPTION for a script error, or the result code of a registry
// failure; on any failure the registry is as it was before the run.
HRESULT RunRegistrarScript(const std::string& script, const ReplacementMap& replacements,
                           bool register_mode);

}  // namespace velquor

#endif  // !_WIN32

#endif  // VELQUOR_PLATFORM_REGISTRAR_H_
