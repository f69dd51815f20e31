// Small helpers shared by the subcommands of `velquor`: error lines on
// stderr, help detection and number parsing. Single-threaded use.
#ifndef VELQUOR_HOST_CLI_H_
#define VELQUOR_HOST_CLI_H_

#include <cstdint>
#include <string>

namespace velquor::host {

// Prints "velquor: <message>" and a line end on stderr.
void PrintError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// `path` as a shell takes it: the library's own joins use "\\" (as in
// "DIR\\MYRULES.TXT"), which is a separator for the library and "/" here.
std::string ShellPath(const std::string& path);

// True when any argument is "-h" or "--help".
bool WantsHelp(int argc, char** argv);

// Parses a whole unsigned 32-bit decimal number; false on anything else
// (empty, sign, other characters, beyond 4294967295).
bool ParseUint32(const std::string& text, uint32_t* value);

}  // namespace velquor::host

#endif  // VELQUOR_HOST_CLI_H_
