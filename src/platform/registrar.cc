#include "platform/registrar.h"

#include <atomic>
#include <cstdio>
#include <new>

#include "platform/ascii.h"
#include "platform/codepage.h"
#include "platform/error_info.h"
#include "platform/module.h"
#include "platform/reg_transaction.h"
#include "platform/registry.h"
#include "platform/resources.h"

namespace velquor {
namespace {

// Deeper nesting than any real script; bounds the parser's recursion.
constexpr int kMaxDepth = 64;
// Larger script files are refused rather than read into memory.
constexpr long kMaxScriptFile = 1 << 20;

bool EqualsNoCase(const std::string& a, const char* b) { return velquor::AsciiEqualsNoCase(a, b); }

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// ---------------------------------------------------------------------------
// Tokens: white-space separated words, or '...' strings with '' for a quote.

struct Token {
  std::string text;
  bool quoted = false;
};

class Tokenizer {
 public:
  explicit Tokenizer(const std::string& text) : text_(text) {}

  // False at the end of the text; *error is set for an unclosed string.
  bool Next(Token* token, std::string* error) {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
    if (pos_ >= text_.size()) return false;
    token->text.clear();
    token->quoted = false;
    if (text_[pos_] == '\'') {
      token->quoted = true;
      ++pos_;
      for (;;) {
        if (pos_ >= text_.size()) {
          *error = "unclosed quoted string";
          return false;
        }
        const char c = text_[pos_++];
        if (c == '\'') {
          if (pos_ < text_.size() && text_[pos_] == '\'') {
            token->text.push_back('\'');
            ++pos_;
            continue;
          }
          break;
        }
        token->text.push_back(c);
      }
      return true;
    }
    while (pos_ < text_.size() && !IsSpace(text_[pos_])) token->text.push_back(text_[pos_++]);
    return true;
  }

 private:
  const std::string& text_;
  std::size_t pos_ = 0;
};

// A one-token look-ahead over the tokenizer.
class TokenStream {
 public:
  explicit TokenStream(const std::string& text) : tokenizer_(text) { Advance(); }

  bool AtEnd() const { return !has_; }
  const Token& Peek() const { return current_; }
  bool Failed() const { return !error_.empty(); }
  const std::string& Error() const { return error_; }

  // Takes the current token; false (with an error) at the end.
  bool Take(Token* token, const char* what) {
    if (!has_) {
      if (error_.empty()) error_ = std::string("unexpected end of script, expected ") + what;
      return false;
    }
    *token = current_;
    Advance();
    return true;
  }

  // True when the current token is the unquoted word `word` (any case).
  bool IsWord(const char* word) const {
    return has_ && !current_.quoted && EqualsNoCase(current_.text, word);
  }
  bool IsSymbol(const char* symbol) const {
    return has_ && !current_.quoted && current_.text == symbol;
  }

  void Fail(const std::string& message) {
    if (error_.empty()) error_ = message;
  }

 private:
  void Advance() { has_ = tokenizer_.Next(&current_, &error_); }

  Tokenizer tokenizer_;
  Token current_;
  bool has_ = false;
  std::string error_;
};

// ---------------------------------------------------------------------------
// Parser.

bool ParseNumber(const std::string& text, std::string* bytes) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  if (i >= text.size()) return false;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > 0xFFFFFFFFu) return false;
  }
  if (negative && value > 0x80000000u) return false;
  const uint32_t number = negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(value))
                                   : static_cast<uint32_t>(value);
  bytes->clear();
  for (int shift = 0; shift < 32; shift += 8) {
    bytes->push_back(static_cast<char>((number >> shift) & 0xFFu));
  }
  return true;
}

bool ParseHex(const std::string& text, std::string* bytes) {
  if (text.size() % 2 != 0) return false;
  bytes->clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = AsciiHexDigit(text[i]);
    const int lo = AsciiHexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes->push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

// "= type 'value'" after a key or value name.
bool ParseAssignment(TokenStream* in, RegistrarValue* value) {
  Token token;
  if (!in->Take(&token, "'='")) return false;
  if (token.quoted || token.text != "=") {
    in->Fail("expected '=' before '" + token.text + "'");
    return false;
  }
  Token kind;
  if (!in->Take(&kind, "a value type")) return false;
  Token data;
  if (!in->Take(&data, "a value")) return false;
  if (!data.quoted && (data.text == "{" || data.text == "}")) {
    in->Fail("expected a value before '" + data.text + "'");
    return false;
  }
  if (kind.quoted || kind.text.size() != 1) {
    in->Fail("unknown value type '" + kind.text + "'");
    return false;
  }
  value->kind = AsciiUpper(kind.text[0]) == 'S'   ? 's'
                : AsciiUpper(kind.text[0]) == 'D' ? 'd'
                : AsciiUpper(kind.text[0]) == 'B' ? 'b'
                                                  : '?';
  switch (value->kind) {
    case 's':
      value->data = data.text;
      return true;
    case 'd':
      if (ParseNumber(data.text, &value->data)) return true;
      in->Fail("bad number '" + data.text + "'");
      return false;
    case 'b':
      if (ParseHex(data.text, &value->data)) return true;
      in->Fail("bad hex bytes '" + data.text + "'");
      return false;
    default:
      in->Fail("unknown value type '" + kind.text + "'");
      return false;
  }
}

bool ParseKeys(TokenStream* in, std::vector<RegistrarKey>* keys,
               std::vector<RegistrarValue>* values, int depth);

// "{ keys }" after a key; the opening brace has been seen, not taken.
bool ParseBlock(TokenStream* in, std::vector<RegistrarKey>* keys,
                std::vector<RegistrarValue>* values, int depth) {
  Token token;
  in->Take(&token, "'{'");
  if (depth >= kMaxDepth) {
    in->Fail("keys nested too deeply");
    return false;
  }
  if (!ParseKeys(in, keys, values, depth + 1)) return false;
  if (!in->Take(&token, "'}'")) return false;  // ParseKeys stops only at '}'
  return true;
}

// Keys and "val" entries up to the closing brace (not taken). `values` is
// null at the root, where "val" has no key to belong to.
bool ParseKeys(TokenStream* in, std::vector<RegistrarKey>* keys,
               std::vector<RegistrarValue>* values, int depth) {
  for (;;) {
    if (in->Failed()) return false;
    if (in->AtEnd()) {
      in->Fail("unexpected end of script, expected '}'");
      return false;
    }
    if (in->IsSymbol("}")) return true;
    if (in->IsSymbol("{")) {
      in->Fail("'{' without a key name");
      return false;
    }
    Token token;
    if (in->IsWord("val")) {
      in->Take(&token, "val");
      if (values == nullptr) {
        in->Fail("'val' outside a key");
        return false;
      }
      RegistrarValue value;
      if (!in->Take(&token, "a value name")) return false;
      value.name = token.text;
      if (!ParseAssignment(in, &value)) return false;
      values->push_back(std::move(value));
      continue;
    }
    RegistrarKey key;
    if (in->IsWord("NoRemove")) {
      key.flag = RegistrarFlag::kNoRemove;
    } else if (in->IsWord("ForceRemove")) {
      key.flag = RegistrarFlag::kForceRemove;
    } else if (in->IsWord("Delete")) {
      key.flag = RegistrarFlag::kDelete;
    }
    if (key.flag != RegistrarFlag::kNone) in->Take(&token, "a flag");
    if (!in->Take(&token, "a key name")) return false;
    if (!token.quoted && (token.text == "{" || token.text == "}" || token.text == "=")) {
      in->Fail("expected a key name before '" + token.text + "'");
      return false;
    }
    if (token.text.empty()) {
      in->Fail("empty key name");
      return false;
    }
    key.name = token.text;
    if (in->IsSymbol("=")) {
      key.has_default = true;
      if (!ParseAssignment(in, &key.default_value)) return false;
    }
    if (in->IsSymbol("{")) {
      if (!ParseBlock(in, &key.subkeys, &key.values, depth)) return false;
    }
    keys->push_back(std::move(key));
  }
}

const char* CanonicalRoot(const std::string& name) {
  if (EqualsNoCase(name, "HKCR") || EqualsNoCase(name, "HKEY_CLASSES_ROOT")) return "HKCR";
  if (EqualsNoCase(name, "HKCU") || EqualsNoCase(name, "HKEY_CURRENT_USER")) return "HKCU";
  return nullptr;
}

// ---------------------------------------------------------------------------
// Applying a parsed script to the registry.

// Deletes `name` below `parent` with everything beneath it. A missing key is
// not an error.
LSTATUS DeleteTree(HKEY parent, const std::string& name) {
  const LSTATUS status = RegDeleteTreeA(parent, name.c_str());
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

LSTATUS SetValue(HKEY key, const RegistrarValue& value) {
  DWORD type = REG_SZ;
  std::string bytes = value.data;
  if (value.kind == 's') {
    bytes.push_back('\0');
  } else if (value.kind == 'd') {
    type = REG_DWORD;
  } else {
    type = REG_BINARY;
  }
  return RegSetValueExA(key, value.name.empty() ? nullptr : value.name.c_str(), 0, type,
                        reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
}

LSTATUS RegisterKeys(HKEY parent, const std::vector<RegistrarKey>& keys) {
  for (const RegistrarKey& key : keys) {
    if (key.flag == RegistrarFlag::kDelete || key.flag == RegistrarFlag::kForceRemove) {
      const LSTATUS status = DeleteTree(parent, key.name);
      if (status != ERROR_SUCCESS) return status;
      if (key.flag == RegistrarFlag::kDelete) continue;
    }
    ScopedKey handle;
    LSTATUS status = RegCreateKeyExA(parent, key.name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                     nullptr, handle.Out(), nullptr);
    if (status != ERROR_SUCCESS) return status;
    if (key.has_default) {
      status = SetValue(handle.get(), key.default_value);
      if (status != ERROR_SUCCESS) return status;
    }
    for (const RegistrarValue& value : key.values) {
      status = SetValue(handle.get(), value);
      if (status != ERROR_SUCCESS) return status;
    }
    status = RegisterKeys(handle.get(), key.subkeys);
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

bool HasSubkeys(HKEY key) {
  char name[1024];
  DWORD size = sizeof name;
  return RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr) !=
         ERROR_NO_MORE_ITEMS;
}

// Failures are ignored: whatever can be removed is.
void UnregisterKeys(HKEY parent, const std::vector<RegistrarKey>& keys) {
  for (const RegistrarKey& key : keys) {
    if (key.flag == RegistrarFlag::kDelete) continue;
    bool remove = false;
    {
      ScopedKey handle;
      if (RegOpenKeyExA(parent, key.name.c_str(), 0, KEY_ALL_ACCESS, handle.Out()) !=
          ERROR_SUCCESS) {
        continue;
      }
      UnregisterKeys(handle.get(), key.subkeys);
      remove = key.flag != RegistrarFlag::kNoRemove && !HasSubkeys(handle.get());
    }
    if (remove) RegDeleteKeyA(parent, key.name.c_str());
  }
}

HRESULT FromStatus(LSTATUS status) { return HresultFromWin32(static_cast<DWORD>(status)); }

// The bytes of resource `id` of `type` in the binary `file`, which must be
// the binary this code is linked into.
HRESULT LoadScriptResource(LPCOLESTR file, LPCSTR id, LPCOLESTR type, std::string* script) {
  if (file == nullptr || type == nullptr) return E_POINTER;
  if (!PathNamesModuleOf(AnsiFromWide(file), reinterpret_cast<const void*>(&LoadScriptResource))) {
    return HresultFromWin32(ERROR_MOD_NOT_FOUND);
  }
  const HMODULE module = ModuleOfAddress(reinterpret_cast<const void*>(&LoadScriptResource));
  const std::string type_name = AnsiFromWide(type);
  HRSRC res = FindResourceA(module, id, type_name.c_str());
  if (res == nullptr) return HresultFromWin32(ERROR_RESOURCE_NAME_NOT_FOUND);
  const void* data = LockResource(LoadResource(module, res));
  if (data == nullptr) return HresultFromWin32(ERROR_RESOURCE_NAME_NOT_FOUND);
  script->assign(static_cast<const char*>(data), SizeofResource(module, res));
  return S_OK;
}

HRESULT LoadScriptFile(LPCOLESTR file, std::string* script) {
  if (file == nullptr) return E_POINTER;
  const std::string path = AnsiFromWide(file);
  FILE* f = std::fopen(path.c_str(), "rbe");
  if (f == nullptr) return HresultFromWin32(ERROR_FILE_NOT_FOUND);
  script->clear();
  char buffer[4096];
  std::size_t n = 0;
  HRESULT hr = S_OK;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    script->append(buffer, n);
    if (script->size() > static_cast<std::size_t>(kMaxScriptFile)) {
      hr = HresultFromWin32(ERROR_INVALID_PARAMETER);
      break;
    }
  }
  if (hr == S_OK && std::ferror(f)) hr = E_FAIL;
  std::fclose(f);
  return hr;
}

// ---------------------------------------------------------------------------
// The registrar object.

class Registrar final : public IRegistrar {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IRegistrar)) {
      return E_NOINTERFACE;
    }
    AddRef();
    *ppv = static_cast<IRegistrar*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG count = --count_;
    if (count == 0) delete this;
    return count;
  }

  HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) override {
    if (key == nullptr || item == nullptr) return E_POINTER;
    replacements_.Add(AnsiFromWide(key), AnsiFromWide(item));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ClearReplacements() override {
    replacements_.Clear();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE ResourceRegisterSz(LPCOLESTR res_file, LPCOLESTR id,
                                               LPCOLESTR type) override {
    return RunNamedResource(res_file, id, type, true);
  }
  HRESULT STDMETHODCALLTYPE ResourceUnregisterSz(LPCOLESTR res_file, LPCOLESTR id,
                                                 LPCOLESTR type) override {
    return RunNamedResource(res_file, id, type, false);
  }
  HRESULT STDMETHODCALLTYPE FileRegister(LPCOLESTR file) override { return RunFile(file, true); }
  HRESULT STDMETHODCALLTYPE FileUnregister(LPCOLESTR file) override { return RunFile(file, false); }
  HRESULT STDMETHODCALLTYPE StringRegister(LPCOLESTR data) override {
    if (data == nullptr) return E_POINTER;
    return RunRegistrarScript(AnsiFromWide(data), replacements_, true);
  }
  HRESULT STDMETHODCALLTYPE StringUnregister(LPCOLESTR data) override {
    if (data == nullptr) return E_POINTER;
    return RunRegistrarScript(AnsiFromWide(data), replacements_, false);
  }
  HRESULT STDMETHODCALLTYPE ResourceRegister(LPCOLESTR res_file, UINT id, LPCOLESTR type) override {
    return RunResource(res_file, MAKEINTRESOURCEA(id), id, type, true);
  }
  HRESULT STDMETHODCALLTYPE ResourceUnregister(LPCOLESTR res_file, UINT id,
                                               LPCOLESTR type) override {
    return RunResource(res_file, MAKEINTRESOURCEA(id), id, type, false);
  }

 private:
  HRESULT RunResource(LPCOLESTR res_file, LPCSTR name, UINT id, LPCOLESTR type,
                      bool register_mode) {
    if (id > 0xFFFF) return HresultFromWin32(ERROR_RESOURCE_NAME_NOT_FOUND);
    std::string script;
    const HRESULT hr = LoadScriptResource(res_file, name, type, &script);
    if (FAILED(hr)) return hr;
    return RunRegistrarScript(script, replacements_, register_mode);
  }
  HRESULT RunNamedResource(LPCOLESTR res_file, LPCOLESTR id, LPCOLESTR type, bool register_mode) {
    if (id == nullptr) return E_POINTER;
    const std::string name = AnsiFromWide(id);
    std::string script;
    const HRESULT hr = LoadScriptResource(res_file, name.c_str(), type, &script);
    if (FAILED(hr)) return hr;
    return RunRegistrarScript(script, replacements_, register_mode);
  }
  HRESULT RunFile(LPCOLESTR file, bool register_mode) {
    std::string script;
    const HRESULT hr = LoadScriptFile(file, &script);
    if (FAILED(hr)) return hr;
    return RunRegistrarScript(script, replacements_, register_mode);
  }

  std::atomic<ULONG> count_{0};
  ReplacementMap replacements_;
};

}  // namespace

void ReplacementMap::Add(const std::string& name, const std::string& value) {
  for (auto& entry : entries_) {
    if (entry.first.size() == name.size() && EqualsNoCase(entry.first, name.c_str())) {
      entry.second = value;
      return;
    }
  }
  entries_.emplace_back(name, value);
}

const std::string* ReplacementMap::Find(const std::string& name) const {
  for (const auto& entry : entries_) {
    if (entry.first.size() == name.size() && EqualsNoCase(entry.first, name.c_str())) {
      return &entry.second;
    }
  }
  return nullptr;
}

bool ExpandReplacements(const std::string& script, const ReplacementMap& replacements,
                        std::string* out, std::string* error) {
  out->clear();
  // Tracks strings as the tokenizer will see them: a quote opens one only at
  // the start of a token, and '' inside one is a quote, not its end.
  bool in_string = false;
  for (std::size_t i = 0; i < script.size(); ++i) {
    const char c = script[i];
    if (c == '\'') {
      if (in_string) {
        if (i + 1 < script.size() && script[i + 1] == '\'') {
          out->append("''");
          ++i;
          continue;
        }
        in_string = false;
      } else if (out->empty() || IsSpace(out->back())) {
        in_string = true;
      }
    }
    if (c != '%') {
      out->push_back(c);
      continue;
    }
    const std::size_t end = script.find('%', i + 1);
    if (end == std::string::npos) {
      *error = "'%' without a closing '%'";
      return false;
    }
    if (end == i + 1) {
      out->push_back('%');
    } else {
      const std::string name = script.substr(i + 1, end - i - 1);
      const std::string* value = replacements.Find(name);
      if (value == nullptr) {
        *error = "unknown replacement '%" + name + "%'";
        return false;
      }
      // A quote in the value (a path such as /home/o'neil/...) must not end
      // the string it is put into.
      for (const char v : *value) {
        if (v == '\'' && in_string) out->push_back('\'');
        out->push_back(v);
      }
    }
    i = end;
  }
  return true;
}

bool ParseRegistrarScript(const std::string& text, std::vector<RegistrarRoot>* roots,
                          std::string* error) {
  roots->clear();
  TokenStream in(text);
  while (!in.AtEnd() && !in.Failed()) {
    Token token;
    in.Take(&token, "a root key");
    const char* root = token.quoted ? nullptr : CanonicalRoot(token.text);
    if (root == nullptr) {
      in.Fail("unknown root key '" + token.text + "'");
      break;
    }
    RegistrarRoot parsed;
    parsed.name = root;
    if (!in.IsSymbol("{")) {
      in.Fail("expected '{' after '" + token.text + "'");
      break;
    }
    if (!ParseBlock(&in, &parsed.keys, nullptr, 0)) break;
    roots->push_back(std::move(parsed));
  }
  if (in.Failed()) {
    *error = in.Error();
    roots->clear();
    return false;
  }
  return true;
}

HRESULT RunRegistrarScript(const std::string& script, const ReplacementMap& replacements,
                           bool register_mode) {
  std::string text;
  std::string error;
  std::vector<RegistrarRoot> roots;
  if (!ExpandReplacements(script, replacements, &text, &error) ||
      !ParseRegistrarScript(text, &roots, &error)) {
    return DISP_E_EXCEPTION;
  }
  // Inside a caller's transaction the caller decides what is kept.
  ScopedRegTransaction transaction;
  LSTATUS status = ERROR_SUCCESS;
  for (const RegistrarRoot& root : roots) {
    const HKEY hkey = root.name == "HKCR" ? HKEY_CLASSES_ROOT : HKEY_CURRENT_USER;
    if (register_mode) {
      status = RegisterKeys(hkey, root.keys);
      if (status != ERROR_SUCCESS) break;
    } else {
      UnregisterKeys(hkey, root.keys);
    }
  }
  if (status == ERROR_SUCCESS) status = transaction.Commit();
  return FromStatus(status);
}

}  // namespace velquor

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualGUID(clsid, CLSID_Registrar) || (context & CLSCTX_INPROC_SERVER) == 0) {
    return REGDB_E_CLASSNOTREG;
  }
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  auto* registrar = new (std::nothrow) velquor::Registrar();
  if (registrar == nullptr) return E_OUTOFMEMORY;
  registrar->AddRef();
  const HRESULT hr = registrar->QueryInterface(riid, ppv);
  registrar->Release();
  return hr;
}
