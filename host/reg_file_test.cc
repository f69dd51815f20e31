#include "reg_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/testing_registry.h"

namespace velquor::host {
namespace {

std::vector<RegFileKey> MustParse(const std::string& text) {
  std::vector<RegFileKey> keys;
  RegFileError error;
  EXPECT_TRUE(ParseRegFile(text, &keys, &error)) << "line " << error.line << ": " << error.message;
  return keys;
}

TEST(RegFileParse, ValueForms) {
  std::vector<RegFileKey> keys = MustParse(
      "REGEDIT4\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_CURRENT_USER\\Software\\A]\r\n"
      "\"text\"=\"a \\\"q\\\" \\\\ b\"\r\n"
      "@=\"\"\r\n"
      "\"num\"=dword:0000002A\r\n"
      "\"short\"=dword:ff\r\n"
      "\"bin\"=hex:00,ff, 1\r\n"
      "\"none\"=hex:\r\n"
      "\"multi\"=hex(7):61,00,\\\r\n"
      "   62,00,00\r\n"
      "\"gone\"=-\r\n"
      "[-HKCR\\CLSID\\{x}]\n");
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].root, HKEY_CURRENT_USER);
  EXPECT_EQ(keys[0].path, "Software\\A");
  EXPECT_EQ(keys[0].line, 4);
  struct Expected {
    const char* name;
    DWORD type;
    std::string data;
    bool remove;
    int line;
  } expected[] = {
      {"text", REG_SZ, std::string("a \"q\" \\ b\0", 10), false, 5},
      {"", REG_SZ, std::string("\0", 1), false, 6},
      {"num", REG_DWORD, std::string("\x2a\0\0\0", 4), false, 7},
      {"short", REG_DWORD, std::string("\xff\0\0\0", 4), false, 8},
      {"bin", REG_BINARY, std::string("\0\xff\x01", 3), false, 9},
      {"none", REG_BINARY, "", false, 10},
      {"multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5), false, 11},
      {"gone", REG_NONE, "", true, 13},
  };
  ASSERT_EQ(keys[0].values.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const RegFileValue& v = keys[0].values[i];
    EXPECT_EQ(v.name, expected[i].name) << i;
    EXPECT_EQ(v.remove, expected[i].remove) << i;
    EXPECT_EQ(v.line, expected[i].line) << i;
    if (!v.remove) {
      EXPECT_EQ(v.type, expected[i].type) << i;
      EXPECT_EQ(v.data, expected[i].data) << i;
    }
  }
  EXPECT_TRUE(keys[1].remove);
  EXPECT_EQ(keys[1].root, HKEY_CLASSES_ROOT);
  EXPECT_EQ(keys[1].path, "CLSID\\{x}");
}

TEST(RegFileParse, BadLinesAreReportedWithTheirNumber) {
  struct Case {
    std::string text;
    int line;
    std::string message;
  } cases[] = {
      {"", 1, "not a REGEDIT4 file: the first line must be REGEDIT4"},
      {"Windows Registry Editor Version 5.00\n", 1,
       "not a REGEDIT4 file: the first line must be REGEDIT4"},
      {"REGEDIT4\n\"a\"=\"b\"\n", 2, "value before any [key] line"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n", 2,
       "unknown root 'HKEY_LOCAL_MACHINE' (expected HKEY_CURRENT_USER or HKEY_CLASSES_ROOT)"},
      {"REGEDIT4\n[HKCU\\X\n", 2, "key line without its closing ]"},
      {"REGEDIT4\n[-HKEY_CURRENT_USER]\n", 2, "a root cannot be deleted"},
      {"REGEDIT4\n[HKCU\\X]\n\"a\"=\"C:\\dir\"\n", 3,
       "bad escape in quoted text (only \\\\ and \\\" are allowed)"},
      {"REGEDIT4\n[HKCU\\X]\n\"a=\"b\"\n", 3, "expected = after the name"},
      {"REGEDIT4\n[HKCU\\X]\n\"a\"=\"b\n", 3, "quoted text without its closing quote"},
      {"REGEDIT4\n[HKCU\\X]\n\"a\"=\"b\" junk\n", 3, "unexpected text after the quoted value"},
      {"REGEDIT4\n[HKCU\\X]\n\"a\"=dword:123456789\n", 3, "dword: needs 1 to 8 hex digits"},
      {"REGEDIT4\n[HKCU\\X]\n\"a\"=dword:12g\n", 3, "bad hex digit in dword value"},
      {"REGEDIT4\n[HKCU\\X]\n\"a\"=hex:01,\\\n  0x2\n\"b\"=-\n", 3, "bad byte '0x2' in hex list"},
      {"REGEDIT4\n[HKCU\\X]\n\"a\"=hex:01,,02\n", 3, "bad byte '' in hex list"},
      {"REGEDIT4\n[HKCU\\X]\n\"a\"=hex(q):01\n", 3, "bad hex digit in hex(N) type"},
      {"REGEDIT4\n[HKCU\\X]\n\"a\"=word:1\n", 3,
       "unknown value data (expected \"text\", dword:, hex:, hex(N): or -)"},
      {"REGEDIT4\n[-HKCU\\X]\n\"a\"=-\n", 3, "value under a key being deleted"},
      {"REGEDIT4\n[HKCU\\X]\nplain\n", 3,
       "expected a [key], a \"name\"= or @= value, or a ; comment"},
      {"REGEDIT4\n[HKCU\\" + std::string(256, 'k') + "]\n", 2, "key name longer than 255 bytes"},
      {[] {
         std::string text = "REGEDIT4\n[HKCU";
         for (int i = 0; i < 513; ++i) text += "\\k";
         return text + "]\n";
       }(),
       2, "key more than 512 levels deep"},
      {"REGEDIT4\n[HKCU\\A]\n[-HKCU\\A\\" + std::string(3, '\0') + "\\]\n", 3,
       "key name holds a zero byte"},
  };
  for (const Case& c : cases) {
    std::vector<RegFileKey> keys;
    RegFileError error;
    EXPECT_FALSE(ParseRegFile(c.text, &keys, &error)) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_EQ(error.message, c.message) << c.text;
  }
}

TEST(RegFileFormat, ChoosesTheFormByTypeAndData) {
  RegFileKey key;
  key.path = "S\\K";
  auto add = [&](const char* name, DWORD type, const std::string& data) {
    RegFileValue v;
    v.name = name;
    v.type = type;
    v.data = data;
    key.values.push_back(v);
  };
  add("", REG_SZ, std::string("d\0", 2));
  add("q\"\\", REG_SZ, std::string("x\"y\0", 4));
  add("two zeros", REG_SZ, std::string("ab\0\0", 4));
  add("no zero", REG_SZ, "ab");
  add("line", REG_SZ, std::string("a\nb\0", 4));
  add("n", REG_DWORD, std::string("\x78\x56\x34\x12", 4));
  add("short dword", REG_DWORD, "\x01");
  add("b", REG_BINARY, std::string("\0\x10", 2));
  add("e", REG_EXPAND_SZ, std::string("%A%\0", 4));
  EXPECT_EQ(FormatRegFile({key}),
            "REGEDIT4\n"
            "\n"
            "[HKEY_CURRENT_USER\\S\\K]\n"
            "@=\"d\"\n"
            "\"q\\\"\\\\\"=\"x\\\"y\"\n"
            "\"two zeros\"=hex(1):61,62,00,00\n"
            "\"no zero\"=hex(1):61,62\n"
            "\"line\"=hex(1):61,0a,62,00\n"
            "\"n\"=dword:12345678\n"
            "\"short dword\"=hex(4):01\n"
            "\"b\"=hex:00,10\n"
            "\"e\"=hex(2):25,41,25,00\n"
            "\n");
}

TEST(RegFileFormat, LongByteListsAreContinuedAndParseBack) {
  RegFileKey key;
  key.root = HKEY_CLASSES_ROOT;
  key.path = "K";
  RegFileValue v;
  v.name = "blob";
  v.type = REG_BINARY;
  for (int i = 0; i < 100; ++i) v.data.push_back(static_cast<char>(i * 7));
  key.values.push_back(v);
  std::string text = FormatRegFile({key});
  size_t start = 0;
  int lines = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    EXPECT_LE(end - start, 77u) << text;
    start = end + 1;
    ++lines;
  }
  EXPECT_EQ(lines, 9) << text;
  std::vector<RegFileKey> back = MustParse(text);
  ASSERT_EQ(back.size(), 1u);
  ASSERT_EQ(back[0].values.size(), 1u);
  EXPECT_EQ(back[0].values[0].data, v.data);
  EXPECT_EQ(FormatRegFile(back), text);
}

class RegFileRegistryTest : public TempProfileTest {
 protected:
  std::string Export() {
    std::vector<RegFileKey> keys;
    std::vector<std::string> skipped;
    std::string error;
    EXPECT_TRUE(ReadRegistry(&keys, &skipped, &error)) << error;
    return FormatRegFile(keys);
  }
  void Import(const std::string& text) {
    std::vector<RegFileKey> keys = MustParse(text);
    RegFileError error;
    EXPECT_TRUE(ApplyRegFile(keys, &error)) << error.line << ": " << error.message;
  }
};

TEST_F(RegFileRegistryTest, RoundTripGivesTheSameTextTwice) {
  Import(
      "REGEDIT4\n"
      "[HKEY_CLASSES_ROOT\\Zed]\n"
      "@=\"root default\"\n"
      "[HKCU\\b\\inner]\n"
      "\"x\"=hex(0):\n"
      "[HKCU\\A B]\n"
      "\"Z\"=\"1\"\n"
      "\"a\"=hex(1):31,32\n"
      "\"m\"=dword:00000001\n"
      "[HKCU]\n"
      "\"top\"=\"t\"\n");
  std::string first = Export();
  EXPECT_EQ(first,
            "REGEDIT4\n\n"
            "[HKEY_CURRENT_USER]\n\"top\"=\"t\"\n\n"
            "[HKEY_CURRENT_USER\\A B]\n\"a\"=hex(1):31,32\n\"m\"=dword:00000001\n"
            "\"Z\"=\"1\"\n\n"
            "[HKEY_CURRENT_USER\\b]\n\n"
            "[HKEY_CURRENT_USER\\b\\inner]\n\"x\"=hex(0):\n\n"
            "[HKEY_CLASSES_ROOT\\Zed]\n@=\"root default\"\n\n");
  Import(first);
  EXPECT_EQ(Export(), first);
}

TEST_F(RegFileRegistryTest, DeletionsAndAllOrNothing) {
  Import(
      "REGEDIT4\n[HKCU\\T\\Deep\\Deeper]\n\"v\"=\"1\"\n[HKCU\\T]\n\"keep\"=\"k\"\n"
      "\"drop\"=\"d\"\n");
  Import("REGEDIT4\n[-HKCU\\T\\Deep]\n[HKCU\\T]\n\"drop\"=-\n\"never\"=-\n[-HKCU\\Absent]\n");
  EXPECT_EQ(Export(), "REGEDIT4\n\n[HKEY_CURRENT_USER\\T]\n\"keep\"=\"k\"\n\n");

  // A write the registry refuses (a value name it cannot hold) undoes the
  // whole import, including the keys made before it.
  RegFileKey made;
  made.path = "New";
  RegFileKey bad;
  bad.path = "T";
  RegFileValue v;
  v.line = 7;
  v.name = std::string(20000, 'n');
  v.type = REG_SZ;
  bad.values.push_back(v);
  RegFileError error;
  EXPECT_FALSE(ApplyRegFile({made, bad}, &error));
  EXPECT_EQ(error.line, 7);
  EXPECT_EQ(error.message, "cannot write the value: invalid name");
  EXPECT_EQ(Export(), "REGEDIT4\n\n[HKEY_CURRENT_USER\\T]\n\"keep\"=\"k\"\n\n");
}

}  // namespace
}  // namespace velquor::host
