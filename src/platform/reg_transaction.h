// A registry write transaction of the calling thread that ends with its
// scope: Commit() makes every write since the start land at once; leaving
// the scope without a commit rolls them back. Used by the registrar, the type
// library registration and the host's all-or-nothing writes.
//
// Transactions do not nest. Started inside another transaction of the same
// thread, the object owns nothing: the outer owner decides what is kept, so
// Commit() answers ERROR_SUCCESS and the scope rolls nothing back. Callers
// that need a transaction of their own check owned().
//
// Threading: one object per thread, used only on the thread that made it.
//
// The transactions are the Linux registry stand-in's; on Windows the system
// registry offers none here, and nothing there uses this class.
#ifndef VELQUOR_PLATFORM_REG_TRANSACTION_H_
#define VELQUOR_PLATFORM_REG_TRANSACTION_H_

#include "platform/registry.h"

#if !defined(_WIN32)
namespace velquor {

class ScopedRegTransaction {
 public:
  ScopedRegTransaction() : begin_status_(RegBeginTransaction()) {}
  ~ScopedRegTransaction() {
    if (owned()) RegRollbackTransaction();
  }
  ScopedRegTransaction(const ScopedRegTransaction&) = delete;
  ScopedRegTransaction& operator=(const ScopedRegTransaction&) = delete;

  // True while this object holds a transaction it began and has not ended.
  bool owned() const { return begin_status_ == ERROR_SUCCESS && !ended_; }

  // Why the transaction could not begin (ERROR_INVALID_PARAMETER inside
  // another one, or the store's failure); ERROR_SUCCESS when it began.
  LSTATUS begin_status() const { return begin_status_; }

  // Commits an owned transaction; a failed commit keeps nothing and yields
  // the failure. ERROR_SUCCESS when the object owns none.
  LSTATUS Commit() {
    if (!owned()) return ERROR_SUCCESS;
    ended_ = true;
    return RegCommitTransaction();
  }

 private:
  const LSTATUS begin_status_;
  bool ended_ = false;
};

}  // namespace velquor
#endif  // !_WIN32

#endif  // VELQUOR_PLATFORM_REG_TRANSACTION_H_
