#include "platform/registrar.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/error_info.h"
#include "platform/module.h"
#include "platform/registrar_cases.h"
#include "platform/registry.h"
#include "platform/resources.h"
#include "platform/testing_profile.h"
#include "platform/testing_registry.h"

namespace velquor {
namespace {

constexpr char kClsid[] = "{5A1C7E32-0B4D-4E62-8F93-2C6B0D1E7A45}";

std::string OwnPath() {
  return ModuleFileName(ModuleOfAddress(reinterpret_cast<const void*>(&OwnPath)));
}

std::string RegistryScript() {
  HRSRC res = FindResourceA(nullptr, MAKEINTRESOURCEA(102), "REGISTRY");
  if (res == nullptr) return std::string();
  return std::string(static_cast<const char*>(LockResource(LoadResource(nullptr, res))),
                     SizeofResource(nullptr, res));
}

// Creates the registrar through CoCreateInstance, as the server does.
IRegistrar* CreateRegistrar() {
  IRegistrar* registrar = nullptr;
  const HRESULT hr = CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IRegistrar, reinterpret_cast<void**>(&registrar));
  EXPECT_EQ(hr, S_OK);
  return registrar;
}

void WriteKey(const std::string& path, const char* name, const std::string& value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST(RegistryScriptTest, ResourceHoldsTheScriptByteForByte) {
  const char* lines[][2] = {
      {"", "HKCR"},
      {"", "{"},
      {"\t", "IENubrix.IENubrix.1 = s 'IEVelquor Filter'"},
      {"\t", "{"},
      {"\t\t", "CLSID = s '{5A1C7E32-0B4D-4E62-8F93-2C6B0D1E7A45}'"},
      {"\t", "}"},
      {"\t", "IENubrix.IENubrix = s 'IEVelquor Filter'"},
      {"\t", "{"},
      {"\t\t", "CurVer = s 'IEVelquor.IEVelquor.1'"},
      {"\t", "}"},
      {"\t", "NoRemove CLSID"},
      {"\t", "{"},
      {"\t\t", "ForceRemove {5A1C7E32-0B4D-4E62-8F93-2C6B0D1E7A45} = s 'IEVelquor Filter'"},
      {"\t\t", "{"},
      {"\t\t\t", "ProgID = s 'IEVelquor.IEVelquor.1'"},
      {"\t\t\t", "VersionIndependentProgID = s 'IEVelquor.IEVelquor'"},
      {"\t\t\t", "ForceRemove 'Programmable'"},
      {"\t\t\t", "InprocServer32 = s '%MODULE%'"},
      {"\t\t\t", "{"},
      {"\t\t\t\t", "val ThreadingModel = s 'Apartment'"},
      {"\t\t\t", "}"},
      {"\t\t", "}"},
      {"\t", "}"},
      {"", "}"},
  };
  std::string expected;
  for (const auto& line : lines) expected += std::string(line[0]) + line[1] + "\r\n";
  const std::string script = RegistryScript();
  EXPECT_EQ(script.size(), 531u);
  EXPECT_EQ(script, expected);
}

TEST(RegistryScriptTest, VersionResourceNamesTheRelease) {
  // Found both by its type name and by the platform's numeric version type.
  HRSRC by_name = FindResourceA(nullptr, MAKEINTRESOURCEA(1), "VERSION");
  ASSERT_NE(by_name, nullptr);
  EXPECT_EQ(FindResourceA(nullptr, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16)), by_name);
  const std::string text(static_cast<const char*>(LockResource(LoadResource(nullptr, by_name))),
                         SizeofResource(nullptr, by_name));
  for (const char* line :
       {"FILEVERSION 1,0,2,0\n", "PRODUCTVERSION 1,0,2,0\n", "BLOCK \"040904b0\"\n",
        "  FileVersion \"1.02\"\n", "  ProductVersion \"1.02\"\n", "  InternalName \"VELQUOR\"\n",
        "  OriginalFilename \"VELQUOR.DLL\"\n", "  ProductName \"Velquor\"\n",
        "  FileDescription \"Velquor DLL to integrate with Internet Explorer.\"\n",
        "Translation 0x0409 1200\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "in:\n" << text;
  }
}

class RegistrarTest : public TempProfileTest {};

TEST_F(RegistrarTest, RealScriptRegistersExactlyTheClassKeysAndUnregistersKeepingClsid) {
  IRegistrar* registrar = CreateRegistrar();
  ASSERT_NE(registrar, nullptr);
  const std::string module = OwnPath();
  ASSERT_EQ(registrar->AddReplacement(u"Module", WideFromAnsi(module).c_str()), S_OK);
  const std::u16string file = WideFromAnsi(module);
  ASSERT_EQ(registrar->ResourceRegister(file.c_str(), 102, u"REGISTRY"), S_OK);

  const std::string c = std::string("CLSID\\") + kClsid;
  const std::string expected = "CLSID\n" + c + "\n" + c + " [@] = 1:IEVelquor Filter\n" + c +
                               "\\InprocServer32\n" + c + "\\InprocServer32 [@] = 1:" + module +
                               "\n" + c + "\\InprocServer32 [ThreadingModel] = 1:Apartment\n" + c +
                               "\\ProgID\n" + c + "\\ProgID [@] = 1:IEVelquor.IEVelquor.1\n" + c +
                               "\\Programmable\n" + c + "\\VersionIndependentProgID\n" + c +
                               "\\VersionIndependentProgID [@] = 1:IEVelquor.IEVelquor\n" +
                               "IENubrix.IENubrix\n"
                               "IENubrix.IENubrix [@] = 1:IEVelquor Filter\n"
                               "IENubrix.IENubrix\\CurVer\n"
                               "IENubrix.IENubrix\\CurVer [@] = 1:IEVelquor.IEVelquor.1\n"
                               "IENubrix.IENubrix.1\n"
                               "IENubrix.IENubrix.1 [@] = 1:IEVelquor Filter\n"
                               "IENubrix.IENubrix.1\\CLSID\n"
                               "IENubrix.IENubrix.1\\CLSID [@] = 1:" +
                               kClsid + "\n";
  EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT), expected);

  // Registering again gives the same tree.
  ASSERT_EQ(registrar->ResourceRegister(file.c_str(), 102, u"REGISTRY"), S_OK);
  EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT), expected);

  ASSERT_EQ(registrar->ResourceUnregister(file.c_str(), 102, u"REGISTRY"), S_OK);
  EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT), "CLSID\n");
  EXPECT_EQ(registrar->Release(), 0u);
}

TEST_F(RegistrarTest, ForceRemoveDeletesTheOldTreeFirst) {
  const std::string c = std::string("CLSID\\") + kClsid;
  WriteKey(c + "\\Old\\Deeper", nullptr, "stale");
  WriteKey(c + "\\InprocServer32", "Stale", "x");
  WriteKey("CLSID\\{Other}", nullptr, "kept");
  ReplacementMap map;
  map.Add("MODULE", "/lib/v.so");
  ASSERT_EQ(RunRegistrarScript(RegistryScript(), map, true), S_OK);
  const std::string dump = DumpTree(HKEY_CLASSES_ROOT);
  EXPECT_EQ(dump.find("Old"), std::string::npos) << dump;
  EXPECT_EQ(dump.find("Stale"), std::string::npos) << dump;
  EXPECT_NE(dump.find("CLSID\\{Other} [@] = 1:kept\n"), std::string::npos) << dump;

  // Unregistering leaves another class under the NoRemove key alone.
  ASSERT_EQ(RunRegistrarScript(RegistryScript(), map, false), S_OK);
  EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT),
            "CLSID\n"
            "CLSID\\{Other}\n"
            "CLSID\\{Other} [@] = 1:kept\n");
}

TEST_F(RegistrarTest, ScriptErrorLeavesTheRegistryAsItWas) {
  WriteKey("Keep\\Child", nullptr, "old");
  const std::string before = DumpTree(HKEY_CLASSES_ROOT);
  const char* bad[] = {
      // The error comes after keys that a run would already have written.
      "HKCR { New = s 'x' ForceRemove Keep = s 'y' Broken = q 'z' }",
      "HKCR { New = s 'x' ForceRemove Keep { Sub = s 'y' } } HKLM { A }",
      "HKCR { New = s 'x' { Inner = s 'unclosed }",
      "HKCR { New = s 'x' ForceRemove Keep = d 'twelve' }",
      "HKCR { New = s '%NOSUCH%' }",
  };
  for (const char* script : bad) {
    EXPECT_EQ(RunRegistrarScript(script, ReplacementMap(), true), DISP_E_EXCEPTION) << script;
    EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT), before) << script;
  }
}

TEST_F(RegistrarTest, ReplacementsPercentSignsAndQuotes) {
  ReplacementMap map;
  map.Add("Module", "/home/o'neil/lib 1/v.so");
  map.Add("NAME", "first");
  map.Add("name", "second");  // same name in another case replaces it
  ASSERT_EQ(RunRegistrarScript("HKCR { A = s '%module%' { val P = s '100%% %NAME%' } "
                               "%Name% = d '4294967295' B = b '00ff10' C = d '-1' }",
                               map, true),
            S_OK);
  EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT),
            "A\n"
            "A [@] = 1:/home/o'neil/lib 1/v.so\n"
            "A [P] = 1:100% second\n"
            "B\n"
            "B [@] = 3:00ff10\n"
            "C\n"
            "C [@] = 4:ffffffff\n"
            "second\n"
            "second [@] = 4:ffffffff\n");
  std::string out;
  std::string error;
  EXPECT_FALSE(ExpandReplacements("x %Unknown% y", map, &out, &error));
  EXPECT_EQ(error, "unknown replacement '%Unknown%'");
  EXPECT_FALSE(ExpandReplacements("50% off", map, &out, &error));
  EXPECT_TRUE(ExpandReplacements("'%%' %%", map, &out, &error));
  EXPECT_EQ(out, "'%' %");
}

TEST_F(RegistrarTest, BraceOpensABlockOnlyBeforeWhiteSpace) {
  ASSERT_EQ(RunRegistrarScript("HKCR\r\n{\r\n\tNoRemove Classes\r\n\t{\r\n\t\t{AB-CD} = s 'id'\r\n"
                               "\t\t{EF}\r\n\t}\r\n}\r\n",
                               ReplacementMap(), true),
            S_OK);
  EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT),
            "Classes\n"
            "Classes\\{AB-CD}\n"
            "Classes\\{AB-CD} [@] = 1:id\n"
            "Classes\\{EF}\n");
  // "{" glued to the next word is a key name, not a block: the key then has
  // no block, and the stray "}" closes the root early.
  EXPECT_EQ(RunRegistrarScript("HKCR { Key {Sub } }", ReplacementMap(), true), DISP_E_EXCEPTION);
}

TEST_F(RegistrarTest, UnregisterRemovesChildrenFirstAndKeepsForeignSubkeys) {
  const char* script =
      "HKCR { Top { Mid { Leaf = s 'x' } val V = s 'v' } NoRemove Shared { Own } "
      "Delete Gone }";
  ASSERT_EQ(RunRegistrarScript(script, ReplacementMap(), true), S_OK);
  WriteKey("Top\\Foreign", nullptr, "theirs");
  ASSERT_EQ(RunRegistrarScript(script, ReplacementMap(), false), S_OK);
  // Top keeps its foreign subkey, so it stays, with the value it declared.
  EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT),
            "Shared\n"
            "Top\n"
            "Top [V] = 1:v\n"
            "Top\\Foreign\n"
            "Top\\Foreign [@] = 1:theirs\n");
  // Unregistering what is not there is not an error.
  ASSERT_EQ(RunRegistrarScript(script, ReplacementMap(), false), S_OK);
}

// The same table runs through the system's registrar on Windows.
TEST(RegistrarShapesTest, UnregistrationAgreesWithTheSystemRegistrar) {
  for (const test::UnregisterCase& c : test::kUnregisterCases) {
    TempProfile profile;
    ASSERT_TRUE(profile.Create()) << "cannot make a temporary directory";
    EXPECT_EQ(RunRegistrarScript(c.script, ReplacementMap(), true), S_OK) << c.label;
    for (const test::ForeignValue& v : c.foreign) {
      if (v.key != nullptr) WriteKey(v.key, v.name, v.text);
    }
    EXPECT_EQ(RunRegistrarScript(c.script, ReplacementMap(), false), S_OK) << c.label;
    EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT), c.left) << c.label;
    profile.Remove();
  }
}

TEST_F(RegistrarTest, DeleteFlagRemovesAKeyAtRegistration) {
  WriteKey("Obsolete\\Deep", nullptr, "x");
  ASSERT_EQ(RunRegistrarScript("HKCR { Delete Obsolete Fresh }", ReplacementMap(), true), S_OK);
  EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT), "Fresh\n");
}

TEST(RegistrarParseTest, SyntaxTable) {
  struct Row {
    const char* script;
    bool ok;
    const char* error;
  };
  const Row rows[] = {
      {"", true, ""},
      {"HKEY_CLASSES_ROOT { A } hkcu { B }", true, ""},
      {"HKCR { 'Quoted Name' = s 'it''s' }", true, ""},
      {"HKCR", false, "expected '{' after 'HKCR'"},
      {"HKCR {", false, "unexpected end of script, expected '}'"},
      {"HKCR { A = s }", false, "expected a value before '}'"},
      {"HKCR { A = s", false, "unexpected end of script, expected a value"},
      {"HKCR { A = s 'x }", false, "unclosed quoted string"},
      {"HKCR { A = z 'x' }", false, "unknown value type 'z'"},
      {"HKCR { A = b 'abc' }", false, "bad hex bytes 'abc'"},
      {"HKCR { A = d '4294967296' }", false, "bad number '4294967296'"},
      {"HKCR { val A = s 'x' }", false, "'val' outside a key"},
      {"HKCR { { } }", false, "'{' without a key name"},
      {"HKLM { A }", false, "unknown root key 'HKLM'"},
      {"HKCR { A } }", false, "unknown root key '}'"},
      {"HKCR { A B = s 'x' 'y' }", true, ""},
  };
  for (const Row& row : rows) {
    std::vector<RegistrarRoot> roots;
    std::string error;
    EXPECT_EQ(ParseRegistrarScript(row.script, &roots, &error), row.ok) << row.script;
    EXPECT_EQ(error, row.error) << row.script;
  }
  std::string deep = "HKCR { ";
  for (int i = 0; i < 200; ++i) deep += "K { ";
  std::vector<RegistrarRoot> roots;
  std::string error;
  EXPECT_FALSE(ParseRegistrarScript(deep, &roots, &error));
  EXPECT_EQ(error, "keys nested too deeply");
}

TEST_F(RegistrarTest, ObjectContractsAndResourceLookup) {
  void* ppv = reinterpret_cast<void*>(1);
  EXPECT_EQ(CoCreateInstance(IID_IUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar, &ppv),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(ppv, nullptr);
  EXPECT_EQ(CoCreateInstance(CLSID_Registrar, nullptr, 4, IID_IRegistrar, &ppv),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(CLSID_Registrar, nullptr, 1, IID_IClassFactory, &ppv), E_NOINTERFACE);
  EXPECT_EQ(ppv, nullptr);
  EXPECT_EQ(CoCreateInstance(CLSID_Registrar, nullptr, 1, IID_IRegistrar, nullptr), E_POINTER);

  IRegistrar* registrar = CreateRegistrar();
  ASSERT_NE(registrar, nullptr);
  IUnknown* unknown = nullptr;
  ASSERT_EQ(registrar->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  EXPECT_EQ(unknown->Release(), 1u);

  const std::u16string own = WideFromAnsi(OwnPath());
  // Another binary's resources cannot be reached.
  EXPECT_EQ(registrar->ResourceRegister(u"/bin/sh", 102, u"REGISTRY"),
            HresultFromWin32(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(registrar->ResourceRegister(own.c_str(), 999, u"REGISTRY"),
            HresultFromWin32(ERROR_RESOURCE_NAME_NOT_FOUND));
  // Without the "Module" replacement the script cannot be expanded.
  EXPECT_EQ(registrar->ResourceRegister(own.c_str(), 102, u"REGISTRY"), DISP_E_EXCEPTION);
  EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT), "");
  ASSERT_EQ(registrar->AddReplacement(u"MODULE", u"/x.so"), S_OK);
  EXPECT_EQ(registrar->ResourceRegisterSz(own.c_str(), u"#102", u"registry"), S_OK);
  EXPECT_EQ(registrar->ResourceUnregisterSz(own.c_str(), u"#102", u"REGISTRY"), S_OK);
  EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT), "CLSID\n");
  ASSERT_EQ(registrar->ClearReplacements(), S_OK);
  EXPECT_EQ(registrar->StringRegister(u"HKCR { S = s '%MODULE%' }"), DISP_E_EXCEPTION);

  const std::string file = dir_ + "/script.rgs";
  std::ofstream(file) << "HKCU { Software { FromFile = s 'yes' } }";
  EXPECT_EQ(registrar->FileRegister(WideFromAnsi(file).c_str()), S_OK);
  EXPECT_EQ(DumpTree(HKEY_CURRENT_USER),
            "Software\n"
            "Software\\FromFile\n"
            "Software\\FromFile [@] = 1:yes\n");
  EXPECT_EQ(registrar->FileUnregister(WideFromAnsi(file).c_str()), S_OK);
  EXPECT_EQ(DumpTree(HKEY_CURRENT_USER), "");
  EXPECT_EQ(registrar->FileRegister(u"/nonexistent/script.rgs"),
            HresultFromWin32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(registrar->Release(), 0u);
}

}  // namespace
}  // namespace velquor
