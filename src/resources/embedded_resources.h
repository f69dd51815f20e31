// The library's resources (string table, registry script, type library,
// version information), compiled in byte for byte from the files of this
// folder. Read only through the resource stand-ins of src/platform/; the
// table is constant data, safe to read from any thread.
#ifndef VELQUOR_RESOURCES_EMBEDDED_RESOURCES_H_
#define VELQUOR_RESOURCES_EMBEDDED_RESOURCES_H_

#include <cstddef>
#include <cstdint>

namespace velquor {

struct EmbeddedResource {
  const char* type;  // "STRING" for string table entries, else the type name
  uint32_t id;
  const unsigned char* data;  // followed by one extra zero byte
  std::size_t size;           // without that extra byte
};

// Ends with an entry whose type is null.
extern const EmbeddedResource kEmbeddedResources[];
extern const std::size_t kEmbeddedResourceCount;

}  // namespace velquor

#endif  // VELQUOR_RESOURCES_EMBEDDED_RESOURCES_H_
