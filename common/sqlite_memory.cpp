// The library's allocator wrapped: per-thread tallies for the process total, and the
// account a thread is charged to.
#include "common/sqlite_memory.h"

#include <malloc.h>
#include <sqlite3.h>

#include <mutex>
#include <utility>

#include "common/sqlite_map.h"

struct AccountAccess {
  static std::atomic<int64_t> &held(MemoryAccount &a) { return a.held_; }
  static int64_t limit(const MemoryAccount &a) { return a.limit_; }
};

namespace {

sqlite3_mem_methods libraryMemory;
bool installed = false;

// One thread's net bytes. Only its own thread writes it; the total reads it from any
// thread. Constant-initialised and trivially destroyed, so that it can be used at any
// moment of the thread's life, also while other thread objects are destroyed.
struct ThreadTally {
  std::atomic<int64_t> held{0};
  ThreadTally *next = nullptr;
  ThreadTally *prev = nullptr;
  bool listed = false;
  bool retired = false;  // the thread is ending: its counts go straight to the total
};

std::mutex tallyLock;  // guards the list and its links
ThreadTally *tallies = nullptr;
std::atomic<int64_t> retiredHeld{0};  // what ended threads left, and what they move at their end

thread_local ThreadTally tally;
thread_local MemoryAccount *charged = nullptr;

// The last large block the thread freed, kept for its next large allocation. Every tile
// and every long value allocates one and frees it when its statement is reset; past the
// allocator's per-thread cache (1 KiB) such a block takes a lock of the allocator's, which
// once there are more threads than it has arenas (eight per core) is shared with others.
// Kept while the thread is listed, given back when it retires.
constexpr int64_t kKeptMin = 1024, kKeptMax = 128 * 1024;
struct KeptBlock {
  void *p = nullptr;
  int64_t size = 0;
};
thread_local KeptBlock kept;

// Takes the thread's tally off the list when the thread ends.
struct TallyRetirer {
  ~TallyRetirer() {
    std::lock_guard<std::mutex> lk(tallyLock);
    if (!tally.listed) return;
    if (tally.prev) tally.prev->next = tally.next;
    else tallies = tally.next;
    if (tally.next) tally.next->prev = tally.prev;
    tally.listed = false;
    tally.retired = true;
    retiredHeld.fetch_add(tally.held.load(std::memory_order_relaxed), std::memory_order_relaxed);
    tally.held.store(0, std::memory_order_relaxed);
    if (kept.p) libraryMemory.xFree(kept.p);
    kept = {};
  }
};

void List() {
  thread_local TallyRetirer retirer;
  (void)retirer;
  std::lock_guard<std::mutex> lk(tallyLock);
  tally.next = tallies;
  if (tallies) tallies->prev = &tally;
  tallies = &tally;
  tally.listed = true;
}

void Count(int64_t bytes) {
  if (tally.retired) {
    retiredHeld.fetch_add(bytes, std::memory_order_relaxed);
    return;
  }
  if (!tally.listed) List();
  tally.held.store(tally.held.load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
}

// False when the charged account has no room for grow more bytes.
bool AccountRoom(int64_t grow) {
  MemoryAccount *a = charged;
  return !a || grow <= 0 || AccountAccess::held(*a).load(std::memory_order_relaxed) + grow <= AccountAccess::limit(*a);
}

void Charge(int64_t bytes) {
  if (MemoryAccount *a = charged) AccountAccess::held(*a).fetch_add(bytes, std::memory_order_relaxed);
}

// The kept block when it holds n bytes, else null. Not for a charged thread: its account
// counts what it asks for, not a larger block.
void *TakeKept(int n) {
  if (n < kKeptMin || !kept.p || n > kept.size || charged) return nullptr;
  void *p = kept.p;
  kept = {};
  return p;
}

void *CountedMalloc(int n) {
  void *p = TakeKept(n);
  if (!p && !AccountRoom(libraryMemory.xRoundup(n))) return nullptr;
  if (!p) p = libraryMemory.xMalloc(n);
  if (p) {
    const int64_t size = libraryMemory.xSize(p);
    Count(size);
    Charge(size);
  }
  return p;
}

void CountedFree(void *p) {
  if (!p) return;
  const int64_t size = libraryMemory.xSize(p);
  Count(-size);
  Charge(-size);
  // Of this block and the one kept, the larger is kept.
  if (size >= kKeptMin && size <= kKeptMax && size > kept.size && tally.listed && !tally.retired) {
    std::swap(p, kept.p);
    kept.size = size;
    if (!p) return;
  }
  libraryMemory.xFree(p);
}

void *CountedRealloc(void *p, int n) {
  const int64_t old = p ? libraryMemory.xSize(p) : 0;
  if (!AccountRoom(libraryMemory.xRoundup(n) - old)) return nullptr;
  void *q = libraryMemory.xRealloc(p, n);
  if (q) {
    const int64_t grown = libraryMemory.xSize(q) - old;
    Count(grown);
    Charge(grown);
  }
  return q;
}

bool InstallCountedAllocator() {
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  if (sqlite3_config(SQLITE_CONFIG_GETMALLOC, &libraryMemory) != SQLITE_OK || !libraryMemory.xMalloc) return false;
  sqlite3_mem_methods counted = libraryMemory;
  counted.xMalloc = CountedMalloc;
  counted.xFree = CountedFree;
  counted.xRealloc = CountedRealloc;
  return sqlite3_config(SQLITE_CONFIG_MALLOC, &counted) == SQLITE_OK;
}

// The library takes its configuration only before it starts, so this runs at program
// start. Should it be too late, nothing is counted or bounded and everything else works.
// The map guard comes after it: installing it starts the library.
[[maybe_unused]] const bool countedAllocator = [] {
  // Blocks of a megabyte and more (large answers and the values they are built from) go
  // back to the system when freed. Left to itself the C library raises that threshold
  // after the first such free, and then every connection thread's arena keeps the largest
  // blocks it ever held.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  installed = InstallCountedAllocator();
  GuardLibraryMaps();
  return installed;
}();

}  // namespace

int64_t SqliteMemoryHeld() {
  if (!installed) return -1;
  std::lock_guard<std::mutex> lk(tallyLock);
  int64_t total = retiredHeld.load(std::memory_order_relaxed);
  for (const ThreadTally *t = tallies; t; t = t->next) total += t->held.load(std::memory_order_relaxed);
  return total;
}

ChargeScope::ChargeScope(MemoryAccount *account) : previous_(charged) { charged = account; }

ChargeScope::~ChargeScope() { charged = previous_; }
