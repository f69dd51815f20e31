// Unregistration shapes on which our registrar and the system's registrar
// component must agree: a script is registered, other programs then add keys
// and values of their own, the script is unregistered, and what is left of
// HKEY_CLASSES_ROOT is compared as a DumpTree text. Test code only; the
// Linux registrar test and the Windows platform test run the same table.
#ifndef VELQUOR_PLATFORM_REGISTRAR_CASES_H_
#define VELQUOR_PLATFORM_REGISTRAR_CASES_H_

namespace velquor::test {

struct ForeignValue {
  const char* key;   // below HKEY_CLASSES_ROOT
  const char* name;  // null: the key's default value
  const char* text;
};

struct UnregisterCase {
  const char* label;
  const char* script;
  ForeignValue foreign[2];  // added after registration; key null: none
  const char* left;         // DumpTree(HKEY_CLASSES_ROOT) after unregistration
};

inline constexpr UnregisterCase kUnregisterCases[] = {
    {"a key another program extended stays, with its default value",
     "HKCR { Cls = s 'c' { Inproc = s 'm' } }",
     {{"Cls\\Implemented Categories\\Cat", nullptr, "theirs"}, {nullptr, nullptr, nullptr}},
     "Cls\nCls [@] = 1:c\nCls\\Implemented Categories\n"
     "Cls\\Implemented Categories\\Cat\nCls\\Implemented Categories\\Cat [@] = 1:theirs\n"},
    {"a value another program added goes with its key",
     "HKCR { Cls = s 'c' }",
     {{"Cls", "Extra", "theirs"}, {nullptr, nullptr, nullptr}},
     ""},
    {"NoRemove keeps the key and what others put there, and removes the script's children",
     "HKCR { NoRemove Shared { Own = s 'o' } }",
     {{"Shared\\Theirs", nullptr, "t"}, {nullptr, nullptr, nullptr}},
     "Shared\nShared\\Theirs\nShared\\Theirs [@] = 1:t\n"},
    {"a val value of a key that stays is left in place",
     "HKCR { NoRemove Keep { val V = s 'v' } }",
     {{"Keep", "W", "w"}, {nullptr, nullptr, nullptr}},
     "Keep\nKeep [V] = 1:v\nKeep [W] = 1:w\n"},
    {"ForceRemove means nothing at unregistration: keys with subkeys stay",
     "HKCR { NoRemove Outer { ForceRemove Inner { Leaf } } }",
     {{"Outer\\Inner\\Leaf\\Deep", nullptr, "d"}, {"Outer\\Side", nullptr, "s"}},
     "Outer\nOuter\\Inner\nOuter\\Inner\\Leaf\nOuter\\Inner\\Leaf\\Deep\n"
     "Outer\\Inner\\Leaf\\Deep [@] = 1:d\nOuter\\Side\nOuter\\Side [@] = 1:s\n"},
};

}  // namespace velquor::test

#endif  // VELQUOR_PLATFORM_REGISTRAR_CASES_H_
