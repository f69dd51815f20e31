// A process-wide object that is constant-initialised and never destroyed.
// A library whose host exits without unloading it runs its shut-down after
// the process's static destructors, and a host's threads may still call it
// meanwhile: state they can reach must outlive both. Whoever owns such an
// object releases what it holds at shut-down instead (clear(), swap with an
// empty one), so that unloading the library leaves nothing behind.
#ifndef VELQUOR_PLATFORM_NEVER_DESTROYED_H_
#define VELQUOR_PLATFORM_NEVER_DESTROYED_H_

namespace velquor {

template <typename T>
union NeverDestroyed {
  constexpr NeverDestroyed() : value() {}
  ~NeverDestroyed() {}
  NeverDestroyed(const NeverDestroyed&) = delete;
  NeverDestroyed& operator=(const NeverDestroyed&) = delete;

  T value;
};

}  // namespace velquor

#endif  // VELQUOR_PLATFORM_NEVER_DESTROYED_H_
