// The shared file "registry.serial": the change serial that lets every
// process keep unchanged values cached, and the live totals that an
// increment changes with one atomic operation instead of a commit.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/registry_internal.h"

namespace velquor::registry_internal {

constinit std::atomic<uint64_t*> g_serial{nullptr};
constinit std::atomic<bool> g_serial_writable{false};
constinit size_t g_map_size = 0;
constinit std::atomic<LiveTable*> g_live{nullptr};
constinit std::atomic<bool> g_live_writable{false};

// Maps the serial file; with `create`, makes it first. Returns the mapping or
// null. Safe to call from several threads: the first mapping wins. A file of
// the current layout is mapped whole, with its live totals; a file of the
// older, serial-only layout (or one cut short) is mapped for its serial alone,
// and the totals then go straight to the database.
uint64_t* MapSerial(bool create) {
  uint64_t* mapped = g_serial.load(std::memory_order_acquire);
  if (mapped && (!create || g_serial_writable.load(std::memory_order_acquire))) return mapped;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    ResolveLocked();
    path = TextsLocked().serial_file;
  }
  if (path.empty()) return nullptr;
  int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd = open(path.c_str(), flags, 0600);
  bool writable = fd >= 0;
  if (fd < 0 && !create) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return nullptr;
  }
  size_t file_size = static_cast<size_t>(st.st_size);
  // An empty (new) file, or one too short even for the serial, gets the
  // current layout; zeroes are a valid starting state of every field.
  if (file_size < kSerialFileSize && writable && ftruncate(fd, kLiveFileSize) == 0)
    file_size = kLiveFileSize;
  if (file_size < kSerialFileSize) {
    close(fd);
    return nullptr;
  }
  size_t map_size = file_size >= kLiveFileSize ? kLiveFileSize : kSerialFileSize;
  void* p =
      mmap(nullptr, map_size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return nullptr;
  LiveTable* live = nullptr;
  if (map_size == kLiveFileSize) {
    live = static_cast<LiveTable*>(p);
    std::atomic_ref<uint64_t> magic(live->magic);
    uint64_t seen = magic.load(std::memory_order_acquire);
    if (seen == 0 && writable) {
      magic.compare_exchange_strong(seen, kLiveMagic, std::memory_order_acq_rel,
                                    std::memory_order_acquire);
      seen = magic.load(std::memory_order_acquire);
    }
    if (seen != kLiveMagic) live = nullptr;  // a layout this build does not know
  }
  std::lock_guard<std::mutex> lock(g_mu);
  uint64_t* current = g_serial.load(std::memory_order_acquire);
  if (current && (g_serial_writable.load() || !writable)) {
    munmap(p, map_size);
    return current;
  }
  // A read-only mapping that another thread may still be reading is left in
  // place rather than unmapped under it; this happens at most once.
  g_map_size = map_size;
  g_live_writable.store(writable && live, std::memory_order_release);
  g_live.store(live, std::memory_order_release);
  g_serial_writable.store(writable, std::memory_order_release);
  g_serial.store(static_cast<uint64_t*>(p), std::memory_order_release);
  return static_cast<uint64_t*>(p);
}

// Marks a write as in flight: moves the serial to a new odd number. Called
// while holding the database's write lock.
uint64_t SerialBeginWrite(uint64_t* serial) {
  std::atomic_ref<uint64_t> s(*serial);
  uint64_t old = s.load(std::memory_order_acquire);
  uint64_t mark;
  do {
    mark = (old & 1) ? old + 2 : old + 1;
  } while (
      !s.compare_exchange_weak(old, mark, std::memory_order_acq_rel, std::memory_order_acquire));
  return mark;
}

// Marks the write finished after its commit or rollback. When a later writer
// has already moved the serial on, that writer finishes it instead.
void SerialEndWrite(uint64_t* serial, uint64_t mark) {
  std::atomic_ref<uint64_t> s(*serial);
  uint64_t expected = mark;
  s.compare_exchange_strong(expected, mark + 1, std::memory_order_acq_rel,
                            std::memory_order_acquire);
}

// The slot key of value `name` of the key `base_path` + `subkey` (either may
// be empty) of root `root` (0: classes, 1: current user): path parts joined by
// one "\", letters in lower case. False when it is too long for a slot.
bool MakeLiveKey(int root, const char* base_path, const char* subkey, const char* name,
                 LiveKey* out) {
  size_t n = 0;
  auto put = [&n, out](char c) {
    if (n >= kLiveKeyBytes) return false;
    out->bytes[n++] = c;
    return true;
  };
  if (!put(root ? '1' : '0')) return false;
  bool any = false;
  for (const char* source : {base_path, subkey}) {
    const char* p = source ? source : "";
    while (*p) {
      while (*p == '\\') ++p;
      if (!*p) break;
      if (any && !put('\\')) return false;
      for (; *p && *p != '\\'; ++p)
        if (!put(AsciiLower(*p))) return false;
      any = true;
    }
  }
  if (!put('\0')) return false;
  for (const char* p = name ? name : ""; *p; ++p)
    if (!put(AsciiLower(*p))) return false;
  out->length = n;
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(out->bytes[i]);
    h *= 1099511628211ull;
  }
  out->hash = h ? h : 1;
  return true;
}

uint32_t LiveBindings(LiveTable* t) {
  uint32_t n = std::atomic_ref<uint32_t>(t->bindings).load(std::memory_order_acquire);
  return n > kLiveSlotCount ? static_cast<uint32_t>(kLiveSlotCount) : n;
}

// The slot bound to `key`, or -1.
int FindLiveSlot(LiveTable* t, const LiveKey& key) {
  uint32_t n = LiveBindings(t);
  for (uint32_t i = 0; i < n; ++i) {
    LiveSlot& s = t->slots[i];
    if (std::atomic_ref<uint64_t>(s.hash).load(std::memory_order_acquire) != key.hash) continue;
    if (s.key_length == key.length && std::memcmp(s.key, key.bytes, key.length) == 0)
      return static_cast<int>(i);
  }
  return -1;
}

// The slot bound to `key`, binding the next free one; -1 when the table is
// full. Under the database's write lock.
int BindLiveSlot(LiveTable* t, const LiveKey& key) {
  int found = FindLiveSlot(t, key);
  if (found >= 0) return found;
  std::atomic_ref<uint32_t> bindings(t->bindings);
  uint32_t i = bindings.load(std::memory_order_acquire);
  if (i >= kLiveSlotCount) return -1;
  LiveSlot& s = t->slots[i];
  // A binder that died before counting its slot may have left it half made.
  std::atomic_ref<uint64_t>(s.word).store(0, std::memory_order_relaxed);
  std::atomic_ref<uint64_t>(s.flushed).store(0, std::memory_order_relaxed);
  std::memcpy(s.key, key.bytes, key.length);
  s.key_length = static_cast<uint16_t>(key.length);
  std::atomic_ref<uint64_t>(s.hash).store(key.hash, std::memory_order_release);
  bindings.store(i + 1, std::memory_order_release);
  return static_cast<int>(i);
}

uint64_t LiveWord(LiveTable* t, size_t i) {
  return std::atomic_ref<uint64_t>(t->slots[i].word).load(std::memory_order_acquire);
}

// The value of slot `i` when it is live.
bool LiveValue(LiveTable* t, size_t i, uint32_t* value) {
  uint64_t w = LiveWord(t, i);
  if (!(w & kLiveBit)) return false;
  *value = static_cast<uint32_t>(w);
  return true;
}

// Adds `delta` to slot `i` while it is live, and of `generation` when that
// is given; false when it is not (any more). `counted_in` gets the
// generation of the word counted in.
bool AddLive(LiveTable* t, size_t i, uint32_t delta, const uint64_t* generation, uint32_t* value,
             uint64_t* counted_in) {
  std::atomic_ref<uint64_t> word(t->slots[i].word);
  uint64_t w = word.load(std::memory_order_acquire);
  while ((w & kLiveBit) && (!generation || (w >> kGenerationShift) == *generation)) {
    uint32_t next = static_cast<uint32_t>(w) + delta;
    if (word.compare_exchange_weak(w, (w & ~uint64_t{0xFFFFFFFFu}) | next,
                                   std::memory_order_acq_rel, std::memory_order_acquire)) {
      if (value) *value = next;
      if (counted_in) *counted_in = w >> kGenerationShift;
      return true;
    }
  }
  return false;
}

bool IncrementLive(LiveTable* t, size_t i, uint32_t* value) {
  return AddLive(t, i, 1u, nullptr, value);
}

void LiveBytes(uint32_t v, BYTE out[4]) {
  out[0] = static_cast<BYTE>(v);
  out[1] = static_cast<BYTE>(v >> 8);
  out[2] = static_cast<BYTE>(v >> 16);
  out[3] = static_cast<BYTE>(v >> 24);
}

}  // namespace velquor::registry_internal
