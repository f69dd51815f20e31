#include "platform/typelib.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/codepage.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "platform/resources.h"
#include "platform/testing_registry.h"
#include "velquor/velquor.h"

namespace velquor {
namespace {

constexpr char kLibid[] = "{5A1C7E22-0B4D-4E62-8F93-2C6B0D1E7A45}";
constexpr char kIid[] = "{5A1C7E31-0B4D-4E62-8F93-2C6B0D1E7A45}";

std::string OwnPath() {
  return ModuleFileName(ModuleOfAddress(reinterpret_cast<const void*>(&OwnPath)));
}

std::string EmbeddedText() {
  HRSRC res = FindResourceA(nullptr, MAKEINTRESOURCEA(1), "TYPELIB");
  if (res == nullptr) return std::string();
  return std::string(static_cast<const char*>(LockResource(LoadResource(nullptr, res))),
                     SizeofResource(nullptr, res));
}

HRESULT Load(const std::string& path, ITypeLib** lib) {
  return LoadTypeLib(WideFromAnsi(path).c_str(), lib);
}

std::string Take(BSTR text) {
  std::string out = AnsiFromWide(text);
  SysFreeString(text);
  return out;
}

class TypeLibTest : public TempProfileTest {
 protected:
  std::string WriteTlb(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
};

TEST_F(TypeLibTest, LoadsFromOwnBinaryAndFromATlbFile) {
  for (const std::string& path : {OwnPath(), WriteTlb("velquor.TLB", EmbeddedText())}) {
    ITypeLib* lib = nullptr;
    ASSERT_EQ(Load(path, &lib), S_OK) << path;
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_NUBRIXLib));
    EXPECT_EQ(attr->lcid, 0x0409u);
    EXPECT_EQ(attr->syskind, SYS_WIN32);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    EXPECT_EQ(attr->wLibFlags, 0);
    lib->ReleaseTLibAttr(attr);

    ASSERT_EQ(lib->GetTypeInfoCount(), 2u);
    struct Row {
      INT index;
      const char* name;
      const char* doc;
      TYPEKIND kind;
    };
    const Row rows[] = {{-1, "NUBRIXLib", "nubrix 1.0 Type Library", 0},
                        {0, "IIENubrix", "IIENubrix Interface", TKIND_DISPATCH},
                        {1, "IENubrix", "IENubrix Class", TKIND_COCLASS}};
    for (const Row& row : rows) {
      BSTR name = nullptr;
      BSTR doc = nullptr;
      DWORD context = 99;
      BSTR help_file = reinterpret_cast<BSTR>(1);
      ASSERT_EQ(lib->GetDocumentation(row.index, &name, &doc, &context, &help_file), S_OK);
      EXPECT_EQ(Take(name), row.name);
      EXPECT_EQ(Take(doc), row.doc);
      EXPECT_EQ(context, 0u);
      EXPECT_EQ(help_file, nullptr);
      if (row.index >= 0) {
        TYPEKIND kind = -1;
        ASSERT_EQ(lib->GetTypeInfoType(static_cast<UINT>(row.index), &kind), S_OK);
        EXPECT_EQ(kind, row.kind) << row.name;
      }
    }
    EXPECT_EQ(lib->GetDocumentation(2, nullptr, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(lib->GetTypeInfo(2, &info), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(lib->GetTypeInfoOfGuid(IID_IDispatch, &info), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(lib->Release(), 0u);
  }
}

TEST_F(TypeLibTest, AnythingElseCannotBeLoaded) {
  const std::string good = EmbeddedText();
  auto without = [&good](const std::string& line) {
    std::string text = good;
    const std::size_t at = text.find(line);
    return at == std::string::npos ? std::string("missing: ") + line : text.erase(at, line.size());
  };
  auto replaced = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    const std::size_t at = text.find(from);
    return at == std::string::npos ? std::string("missing: ") + from
                                   : text.replace(at, from.size(), to);
  };
  const std::string bad[] = {
      "",
      "VELQUOR-TYPELIB 2\nlibrary X\n  uuid {5A1C7E22-0B4D-4E62-8F93-2C6B0D1E7A45}\n"
      "  version 1.0\nend\n",
      good.substr(0, good.size() / 2),  // cut short
      without("end\n"),                 // no end marker
      good + "library Again\n",         // text after the end
      without("  uuid {5A1C7E22-0B4D-4E62-8F93-2C6B0D1E7A45}\n"),
      replaced("version 1.0", "version 1"),
      replaced("version 1.0", "version 70000.0"),
      replaced("{5A1C7E31-0B4D-4E62-8F93-2C6B0D1E7A45}", "{5A1C7E31-0B4D-4E62-8F93-2C6B0D1E7A4}"),
      replaced("default IIENubrix", "default Missing"),
      replaced("inherits IDispatch", "inherits IENubrix"),
      replaced("flags creatable", "flags creatable shiny"),
      replaced("\"IIENubrix Interface\"", "\"IIENubrix \"Interface\""),
      replaced("  syskind win32", "  syskind win32\n  syskind win32"),
      replaced("lcid 0x0409", "colour blue"),
      replaced("coclass IENubrix", "coclass IIENubrix"),
      std::string("VELQUOR-TYPELIB 1\n\0library X\n", 27),
  };
  for (const std::string& text : bad) {
    ITypeLib* lib = reinterpret_cast<ITypeLib*>(1);
    EXPECT_EQ(LoadTypeLibFromText(text, &lib), TYPE_E_CANTLOADLIBRARY) << text;
    EXPECT_EQ(lib, nullptr);
  }
  ITypeLib* lib = reinterpret_cast<ITypeLib*>(1);
  EXPECT_EQ(Load(WriteTlb("broken.tlb", bad[3]), &lib), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(lib, nullptr);
  EXPECT_EQ(Load(dir_ + "/absent.tlb", &lib), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(Load(dir_, &lib), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(Load("/bin/sh", &lib), TYPE_E_CANTLOADLIBRARY);  // another binary
  EXPECT_EQ(Load(WriteTlb("velquor.txt", good), &lib), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(LoadTypeLib(u"x.tlb", nullptr), E_POINTER);
}

TEST_F(TypeLibTest, TypeInfoAnswersNoMembersAndKeepsItsLibraryAlive) {
  ITypeLib* lib = nullptr;
  ASSERT_EQ(Load(OwnPath(), &lib), S_OK);
  ITypeInfo* info = nullptr;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(IID_IIENubrix, &info), S_OK);
  EXPECT_EQ(lib->Release(), 1u);  // the type information holds the last one

  EXPECT_EQ(info->AddRef(), 2u);
  EXPECT_EQ(info->Release(), 1u);
  OLECHAR first[] = u"Start";
  OLECHAR second[] = u"QueryInterface";
  LPOLESTR names[] = {first, second};
  MEMBERID ids[2] = {7, 7};
  EXPECT_EQ(info->GetIDsOfNames(names, 2, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);
  int object = 0;
  DISPPARAMS params = {nullptr, nullptr, 0, 0};
  EXPECT_EQ(info->Invoke(&object, 1, 1, &params, nullptr, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(info->Invoke(&object, DISPID_UNKNOWN, 1, &params, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);

  BSTR name = nullptr;
  ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(SysStringLen(name), 9u);
  EXPECT_EQ(Take(name), "IIENubrix");
  EXPECT_EQ(info->GetDocumentation(0, &name, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);

  ITypeLib* container = nullptr;
  UINT index = 9;
  ASSERT_EQ(info->GetContainingTypeLib(&container, &index), S_OK);
  EXPECT_EQ(index, 0u);
  EXPECT_EQ(container->GetTypeInfoCount(), 2u);
  ITypeInfo* coclass = nullptr;
  ASSERT_EQ(container->GetTypeInfo(1, &coclass), S_OK);
  HREFTYPE ref = 0;
  ASSERT_EQ(coclass->GetRefTypeOfImplType(0, &ref), S_OK);
  ITypeInfo* iface = nullptr;
  ASSERT_EQ(coclass->GetRefTypeInfo(ref, &iface), S_OK);
  EXPECT_EQ(iface, info);
  INT flags = 0;
  EXPECT_EQ(coclass->GetImplTypeFlags(0, &flags), S_OK);
  EXPECT_EQ(flags, 1);
  EXPECT_EQ(iface->Release(), 1u);
  EXPECT_EQ(coclass->Release(), 0u);
  EXPECT_EQ(container->Release(), 1u);
  EXPECT_EQ(info->Release(), 0u);  // frees the library too (the sanitizer checks)
}

TEST_F(TypeLibTest, RegisterWritesExactlyTheLibraryAndInterfaceKeys) {
  ITypeLib* lib = nullptr;
  ASSERT_EQ(Load(OwnPath(), &lib), S_OK);
  ASSERT_EQ(RegisterTypeLib(lib, u"/opt/v/libvelquor.so", u"/opt/v/"), S_OK);
  const std::string t = std::string("TypeLib\\") + kLibid;
  const std::string i = std::string("Interface\\") + kIid;
  EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT),
            "Interface\n" + i + "\n" + i + " [@] = 1:IIENubrix\n" + i + "\\ProxyStubClsid32\n" + i +
                "\\ProxyStubClsid32 [@] = 1:{00020424-0000-0000-C000-000000000046}\n" + i +
                "\\TypeLib\n" + i + "\\TypeLib [@] = 1:" + kLibid + "\n" + i +
                "\\TypeLib [Version] = 1:1.0\n" + "TypeLib\n" + t + "\n" + t + "\\1.0\n" + t +
                "\\1.0 [@] = 1:nubrix 1.0 Type Library\n" + t + "\\1.0\\409\n" + t +
                "\\1.0\\409\\win32\n" + t + "\\1.0\\409\\win32 [@] = 1:/opt/v/libvelquor.so\n" + t +
                "\\1.0\\FLAGS\n" + t + "\\1.0\\FLAGS [@] = 1:0\n" + t + "\\1.0\\HELPDIR\n" + t +
                "\\1.0\\HELPDIR [@] = 1:/opt/v/\n");
  EXPECT_EQ(RegisterTypeLib(nullptr, u"/x", nullptr), E_INVALIDARG);
  EXPECT_EQ(RegisterTypeLib(lib, nullptr, nullptr), E_INVALIDARG);

  ASSERT_EQ(UnRegisterTypeLib(LIBID_NUBRIXLib, 1, 0, 0x0409, SYS_WIN32), S_OK);
  EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT), "Interface\nTypeLib\n");
  EXPECT_EQ(UnRegisterTypeLib(LIBID_NUBRIXLib, 1, 0, 0x0409, SYS_WIN32), TYPE_E_LIBNOTREGISTERED);
  EXPECT_EQ(lib->Release(), 0u);
}

TEST_F(TypeLibTest, LoadRegisteredFindsTheVersionAndFallsBackToLocaleZero) {
  ITypeLib* lib = reinterpret_cast<ITypeLib*>(1);
  EXPECT_EQ(LoadRegTypeLib(LIBID_NUBRIXLib, 1, 0, 0x0409, &lib), TYPE_E_LIBNOTREGISTERED);
  EXPECT_EQ(lib, nullptr);

  ITypeLib* loaded = nullptr;
  ASSERT_EQ(Load(OwnPath(), &loaded), S_OK);
  ASSERT_EQ(RegisterTypeLib(loaded, WideFromAnsi(OwnPath()).c_str(), u""), S_OK);
  loaded->Release();

  ASSERT_EQ(LoadRegTypeLib(LIBID_NUBRIXLib, 1, 0, 0x0409, &lib), S_OK);
  lib->Release();
  // Another locale of the same language does not match "409"; neither 0x407
  // nor its language 7 nor locale 0 is registered.
  EXPECT_EQ(LoadRegTypeLib(LIBID_NUBRIXLib, 1, 0, 0x0407, &lib), TYPE_E_LIBNOTREGISTERED);
  EXPECT_EQ(LoadRegTypeLib(LIBID_NUBRIXLib, 2, 0, 0x0409, &lib), TYPE_E_LIBNOTREGISTERED);
  EXPECT_EQ(LoadRegTypeLib(LIBID_NUBRIXLib, 1, 1, 0x0409, &lib), TYPE_E_LIBNOTREGISTERED);
  EXPECT_EQ(LoadRegTypeLib(IID_IIENubrix, 1, 0, 0x0409, &lib), TYPE_E_LIBNOTREGISTERED);

  // A registration for locale 0 serves every locale.
  const std::string tlb = WriteTlb("neutral.tlb", EmbeddedText());
  HKEY key = nullptr;
  const std::string path = std::string("TypeLib\\") + kLibid + "\\1.0\\0\\win32";
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(tlb.c_str()),
                           static_cast<DWORD>(tlb.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(LoadRegTypeLib(LIBID_NUBRIXLib, 1, 0, 0x0407, &lib), S_OK);
  lib->Release();

  // A registration whose file is gone gives the loader's failure.
  std::remove(tlb.c_str());
  EXPECT_EQ(LoadRegTypeLib(LIBID_NUBRIXLib, 1, 0, 0x0407, &lib), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(LoadRegTypeLib(LIBID_NUBRIXLib, 1, 0, 0x0409, nullptr), E_POINTER);
}

TEST(TypeLibGuidTest, TextFormRoundTrips) {
  EXPECT_EQ(GuidToString(LIBID_NUBRIXLib), kLibid);
  GUID guid{};
  ASSERT_TRUE(ParseGuid("5a1c7e31-0b4d-4e62-8f93-2c6b0d1e7a45", &guid));
  EXPECT_TRUE(IsEqualGUID(guid, IID_IIENubrix));
  EXPECT_FALSE(ParseGuid("{5A1C7E31-0B4D-4E62-8F93-2C6B0D1E7A45", &guid));
  EXPECT_FALSE(ParseGuid("{5A1C7E31-0B4D-4E62-8F93+2C6B0D1E7A45}", &guid));
  EXPECT_FALSE(ParseGuid("{5A1C7E31-0B4D-4E62-8F93-2C6B0D1E7A4G}", &guid));
}

}  // namespace
}  // namespace velquor
