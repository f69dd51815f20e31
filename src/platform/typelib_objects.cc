#include "platform/typelib_objects.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/ascii.h"
#include "platform/codepage.h"
#include "platform/module.h"
#include "platform/resources.h"
#include "platform/typelib.h"
#include "platform/typelib_text.h"

namespace velquor {
namespace {

constexpr long kMaxFile = 1 << 20;
constexpr INT IMPLTYPEFLAG_FDEFAULT = 1;

class TypeLib;

class TypeInfo final : public ITypeInfo {
 public:
  TypeInfo(TypeLib* lib, UINT index) : lib_(lib), index_(index) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** attr) override {
    if (attr != nullptr) *attr = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** comp) override {
    if (comp != nullptr) *comp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT, FUNCDESC** desc) override {
    if (desc == nullptr) return E_INVALIDARG;
    *desc = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;  // the described types add no members
  }
  HRESULT STDMETHODCALLTYPE GetVarDesc(UINT, VARDESC** desc) override {
    if (desc == nullptr) return E_INVALIDARG;
    *desc = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetNames(MEMBERID, BSTR* names, UINT, UINT* count) override {
    if (names == nullptr || count == nullptr) return E_INVALIDARG;
    *count = 0;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* ref) override;
  HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* flags) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    if (count > 0 && (names == nullptr || ids == nullptr)) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(PVOID instance, MEMBERID, WORD, DISPPARAMS*, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    if (instance == nullptr) return E_INVALIDARG;
    return DISP_E_MEMBERNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc,
                                             DWORD* help_context, BSTR* help_file) override;
  HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR* dll_name, BSTR* name,
                                        WORD* ordinal) override {
    if (dll_name != nullptr) *dll_name = nullptr;
    if (name != nullptr) *name = nullptr;
    if (ordinal != nullptr) *ordinal = 0;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID* address) override {
    if (address != nullptr) *address = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, PVOID* object) override {
    if (object == nullptr) return E_INVALIDARG;
    *object = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR* mops) override {
    if (mops == nullptr) return E_INVALIDARG;
    *mops = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** lib, UINT* index) override;
  void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR*) override {}
  void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC*) override {}
  void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC*) override {}

  const TypeDesc& Desc() const;

 private:
  TypeLib* lib_;
  UINT index_;
  std::atomic<ULONG> count_{0};
};

class TypeLib final : public ITypeLib {
 public:
  explicit TypeLib(LibDesc desc) : desc_(std::move(desc)) {
    for (UINT i = 0; i < desc_.types.size(); ++i) {
      infos_.push_back(std::make_unique<TypeInfo>(this, i));
    }
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_ITypeLib)) {
      return E_NOINTERFACE;
    }
    AddRef();
    *ppv = static_cast<ITypeLib*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG count = --count_;
    if (count == 0) delete this;
    return count;
  }

  UINT STDMETHODCALLTYPE GetTypeInfoCount() override { return static_cast<UINT>(infos_.size()); }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** info) override {
    if (info == nullptr) return E_INVALIDARG;
    *info = nullptr;
    if (index >= infos_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *info = HandOut(index);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* kind) override {
    if (kind == nullptr) return E_INVALIDARG;
    if (index >= infos_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *kind = desc_.types[index].kind;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) override {
    if (info == nullptr) return E_INVALIDARG;
    *info = nullptr;
    for (UINT i = 0; i < desc_.types.size(); ++i) {
      if (IsEqualGUID(desc_.types[i].guid, guid)) {
        *info = HandOut(i);
        return S_OK;
      }
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** attr) override {
    if (attr == nullptr) return E_INVALIDARG;
    *attr = new (std::nothrow)
        TLIBATTR{desc_.guid, desc_.lcid, desc_.syskind, desc_.major, desc_.minor, desc_.lib_flags};
    return *attr != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** comp) override {
    if (comp != nullptr) *comp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* name, BSTR* doc, DWORD* help_context,
                                             BSTR* help_file) override {
    if (index < -1 || (index >= 0 && static_cast<std::size_t>(index) >= infos_.size())) {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    const std::string& n =
        index < 0 ? desc_.name : desc_.types[static_cast<std::size_t>(index)].name;
    const std::string& d =
        index < 0 ? desc_.help : desc_.types[static_cast<std::size_t>(index)].help;
    return Document(n, d, name, doc, help_context, help_file);
  }
  HRESULT STDMETHODCALLTYPE IsName(LPOLESTR name, ULONG, BOOL* found) override {
    if (name == nullptr || found == nullptr) return E_INVALIDARG;
    const std::string wanted = AnsiFromWide(name);
    *found = AsciiEqualsNoCase(wanted, desc_.name) ? 1 : 0;
    for (const TypeDesc& type : desc_.types) {
      if (AsciiEqualsNoCase(wanted, type.name)) *found = 1;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE FindName(LPOLESTR name, ULONG, ITypeInfo** infos, MEMBERID* ids,
                                     USHORT* found) override {
    if (name == nullptr || infos == nullptr || ids == nullptr || found == nullptr || *found == 0) {
      return E_INVALIDARG;
    }
    const std::string wanted = AnsiFromWide(name);
    USHORT n = 0;
    for (UINT i = 0; i < desc_.types.size() && n < *found; ++i) {
      if (AsciiEqualsNoCase(wanted, desc_.types[i].name)) {
        infos[n] = HandOut(i);
        ids[n] = MEMBERID_NIL;
        ++n;
      }
    }
    *found = n;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* attr) override { delete attr; }

  const LibDesc& Desc() const { return desc_; }

  static HRESULT Document(const std::string& n, const std::string& d, BSTR* name, BSTR* doc,
                          DWORD* help_context, BSTR* help_file) {
    if (name != nullptr) *name = SysAllocString(WideFromAnsi(n).c_str());
    if (doc != nullptr) *doc = SysAllocString(WideFromAnsi(d).c_str());
    if (help_context != nullptr) *help_context = 0;
    if (help_file != nullptr) *help_file = nullptr;
    if ((name != nullptr && *name == nullptr) || (doc != nullptr && *doc == nullptr)) {
      if (name != nullptr) {
        SysFreeString(*name);
        *name = nullptr;
      }
      if (doc != nullptr) {
        SysFreeString(*doc);
        *doc = nullptr;
      }
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  ITypeInfo* HandOut(UINT index) {
    TypeInfo* info = infos_[index].get();
    info->AddRef();
    return info;
  }

 private:
  std::atomic<ULONG> count_{0};
  LibDesc desc_;
  std::vector<std::unique_ptr<TypeInfo>> infos_;
};

HRESULT TypeInfo::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_ITypeInfo)) {
    return E_NOINTERFACE;
  }
  AddRef();
  *ppv = static_cast<ITypeInfo*>(this);
  return S_OK;
}

// A type information object in use keeps its library alive: the first
// reference takes one on the library, the last gives it back.
ULONG TypeInfo::AddRef() {
  const ULONG count = ++count_;
  if (count == 1) lib_->AddRef();
  return count;
}

ULONG TypeInfo::Release() {
  const ULONG count = --count_;
  if (count == 0) lib_->Release();
  return count;
}

const TypeDesc& TypeInfo::Desc() const { return lib_->Desc().types[index_]; }

HRESULT TypeInfo::GetRefTypeOfImplType(UINT index, HREFTYPE* ref) {
  if (ref == nullptr) return E_INVALIDARG;
  const TypeDesc& desc = Desc();
  const std::string& target = desc.kind == TKIND_COCLASS ? desc.default_iface : desc.inherits;
  const int found = index == 0 ? FindType(lib_->Desc(), target) : -1;
  if (found < 0) return TYPE_E_ELEMENTNOTFOUND;
  *ref = static_cast<HREFTYPE>(found);
  return S_OK;
}

HRESULT TypeInfo::GetImplTypeFlags(UINT index, INT* flags) {
  if (flags == nullptr) return E_INVALIDARG;
  if (Desc().kind != TKIND_COCLASS || index != 0) return TYPE_E_ELEMENTNOTFOUND;
  *flags = IMPLTYPEFLAG_FDEFAULT;
  return S_OK;
}

HRESULT TypeInfo::GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* help_context,
                                   BSTR* help_file) {
  if (memid != MEMBERID_NIL) return TYPE_E_ELEMENTNOTFOUND;
  return TypeLib::Document(Desc().name, Desc().help, name, doc, help_context, help_file);
}

HRESULT TypeInfo::GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) {
  if (info == nullptr) return E_INVALIDARG;
  *info = nullptr;
  if (ref >= lib_->GetTypeInfoCount()) return TYPE_E_ELEMENTNOTFOUND;
  *info = lib_->HandOut(ref);
  return S_OK;
}

HRESULT TypeInfo::GetContainingTypeLib(ITypeLib** lib, UINT* index) {
  if (lib == nullptr) return E_INVALIDARG;
  lib_->AddRef();
  *lib = lib_;
  if (index != nullptr) *index = index_;
  return S_OK;
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         AsciiEqualsNoCase(text.substr(text.size() - tail.size()), tail);
}

HRESULT LoadFromFile(const std::string& path, ITypeLib** lib) {
  FILE* f = std::fopen(path.c_str(), "rbe");
  if (f == nullptr) return TYPE_E_CANTLOADLIBRARY;
  std::string text;
  char buffer[4096];
  std::size_t n = 0;
  bool ok = true;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    text.append(buffer, n);
    if (text.size() > static_cast<std::size_t>(kMaxFile)) {
      ok = false;
      break;
    }
  }
  if (std::ferror(f)) ok = false;
  std::fclose(f);
  if (!ok) return TYPE_E_CANTLOADLIBRARY;
  return LoadTypeLibFromText(text, lib);
}

}  // namespace

const LibDesc* DescriptionOf(ITypeLib* lib) {
  auto* ours = dynamic_cast<TypeLib*>(lib);
  return ours == nullptr ? nullptr : &ours->Desc();
}

HRESULT LoadTypeLibFromText(const std::string& text, ITypeLib** lib) {
  if (lib == nullptr) return E_POINTER;
  *lib = nullptr;
  LibDesc desc;
  if (!ParseTypeLibText(text, &desc)) return TYPE_E_CANTLOADLIBRARY;
  auto* loaded = new (std::nothrow) TypeLib(std::move(desc));
  if (loaded == nullptr) return E_OUTOFMEMORY;
  loaded->AddRef();
  *lib = loaded;
  return S_OK;
}

}  // namespace velquor

using velquor::AnsiFromWide;

using velquor::AnsiFromWide;

HRESULT LoadTypeLib(LPCOLESTR file, ITypeLib** lib) {
  if (lib == nullptr) return E_POINTER;
  *lib = nullptr;
  if (file == nullptr) return E_POINTER;
  const std::string path = AnsiFromWide(file);
  const void* self = reinterpret_cast<const void*>(&LoadTypeLib);
  if (velquor::PathNamesModuleOf(path, self)) {
    const HMODULE module = velquor::ModuleOfAddress(self);
    HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(1), "TYPELIB");
    const void* data = res != nullptr ? LockResource(LoadResource(module, res)) : nullptr;
    if (data == nullptr) return TYPE_E_CANTLOADLIBRARY;
    return velquor::LoadTypeLibFromText(
        std::string(static_cast<const char*>(data), SizeofResource(module, res)), lib);
  }
  if (velquor::EndsWithNoCase(path, ".tlb")) return velquor::LoadFromFile(path, lib);
  return TYPE_E_CANTLOADLIBRARY;
}
