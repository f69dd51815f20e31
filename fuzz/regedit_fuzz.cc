// Fuzz target: the REGEDIT4 importer of `velquor reg import`, and the round
// trip through `velquor reg export`.
//
// The input is the file. Properties beyond no crash and no hang: an import
// that fails leaves the (empty) registry empty; after an import succeeds, its
// export parses, imports into an empty registry and exports again to the
// same text, and when the export left nothing out the registry it rebuilds
// is the one imported, key for key and byte for byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "reg_file.h"

namespace velquor::fuzz {
namespace {

// The registry as a REGEDIT4 text, and whether some name could not be
// written in it.
std::string Export(bool* complete) {
  std::vector<host::RegFileKey> keys;
  std::vector<std::string> skipped;
  std::string error;
  if (!host::ReadRegistry(&keys, &skipped, &error)) Fail("the registry cannot be read", error);
  *complete = skipped.empty();
  return host::FormatRegFile(keys);
}

// One input through the target's properties.
void TestInput(const uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<host::RegFileKey> keys;
  host::RegFileError error;
  if (!host::ParseRegFile(text, &keys, &error)) return;

  EmptyRegistry();
  if (!host::ApplyRegFile(keys, &error)) {
    const std::string left = DumpRegistry();
    if (!left.empty()) Fail("a failed import left keys behind", left);
    return;
  }
  const std::string imported = DumpRegistry();
  bool complete = false;
  const std::string exported = Export(&complete);

  std::vector<host::RegFileKey> again;
  if (!host::ParseRegFile(exported, &again, &error)) {
    Fail("an export does not parse: line " + std::to_string(error.line) + ": " + error.message,
         exported);
  }
  EmptyRegistry();
  if (!host::ApplyRegFile(again, &error)) {
    Fail("an export does not import: line " + std::to_string(error.line) + ": " + error.message,
         exported);
  }
  bool complete_again = false;
  const std::string reexported = Export(&complete_again);
  if (reexported != exported) {
    Fail("export, import, export changed the text", exported + "----\n" + reexported);
  }
  if (complete && DumpRegistry() != imported) {
    Fail("import, export, import changed the registry", imported + "----\n" + DumpRegistry());
  }
  EmptyRegistry();
}

}  // namespace
}  // namespace velquor::fuzz

VELQUOR_FUZZ_TARGET_IN_PRIVATE_PROFILE(velquor::fuzz::TestInput)
