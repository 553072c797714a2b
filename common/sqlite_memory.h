// SQLite's memory, counted by the program's own allocator: a total for the process, and
// accounts that hold the memory of one connection to a bound.
//
// The allocator is installed at program start, before the library is initialised, and
// with the library's own statistics off: those take one process-wide mutex on every
// allocation of every connection, which queues all threads that read tiles behind each
// other. The counts here are per thread and take no lock. At the same moment large blocks
// are set to go back to the system when freed.
#pragma once

#include <atomic>
#include <cstdint>

// Net bytes the library holds in the whole process (allocated less freed), or -1 when
// the counting allocator could not be installed.
int64_t SqliteMemoryHeld();

// The memory of one connection with its bound. While a thread is charged to an account
// (ChargeScope), every allocation and free the library makes on it moves the account,
// and an allocation that would take it past its bound fails as out of memory. A
// connection whose every use (open, statements, close) runs charged to its account has
// all it holds counted there.
class MemoryAccount {
 public:
  explicit MemoryAccount(int64_t limit) : limit_(limit) {}
  MemoryAccount(const MemoryAccount &) = delete;
  MemoryAccount &operator=(const MemoryAccount &) = delete;
  int64_t held() const { return held_.load(std::memory_order_relaxed); }
  int64_t limit() const { return limit_; }

 private:
  friend struct AccountAccess;
  std::atomic<int64_t> held_{0};
  const int64_t limit_;
};

// Charges the calling thread's library allocations to an account for its scope (null:
// to none). Scopes nest; the inner one holds until it ends.
class ChargeScope {
 public:
  explicit ChargeScope(MemoryAccount *account);
  ~ChargeScope();
  ChargeScope(const ChargeScope &) = delete;
  ChargeScope &operator=(const ChargeScope &) = delete;

 private:
  MemoryAccount *previous_;
};
