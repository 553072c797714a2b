// The library's maps of database files, and the SIGBUS handler that keeps a file cut short
// under one of them from ending the process.
#include "common/sqlite_map.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <mutex>

namespace {

// The maps the library holds now. Written under mapLock when the library maps or unmaps
// (when a connection opens, grows or closes its map); read without a lock by the signal
// handler. An address range is taken as a map only while both ends are set.
struct Region {
  std::atomic<uintptr_t> start{0};
  std::atomic<uintptr_t> end{0};
};
constexpr int kRegions = 1024;  // more than the connections that can be open at once
Region regions[kRegions];
std::mutex mapLock;

std::atomic<bool> guarded{false};
std::atomic<uint64_t> faults{0};
struct sigaction previous {};
long pageSize = 4096;

bool Record(void *p, size_t len) {
  const uintptr_t s = reinterpret_cast<uintptr_t>(p);
  for (Region &r : regions) {
    if (r.start.load(std::memory_order_relaxed) != 0) continue;
    r.start.store(s, std::memory_order_relaxed);
    r.end.store(s + len, std::memory_order_release);
    return true;
  }
  return false;
}

// Forgets what of the range [p, p+len) was recorded: a map unmapped whole or its tail.
void Forget(void *p, size_t len) {
  const uintptr_t s = reinterpret_cast<uintptr_t>(p), e = s + len;
  for (Region &r : regions) {
    const uintptr_t rs = r.start.load(std::memory_order_relaxed), re = r.end.load(std::memory_order_relaxed);
    if (rs == 0 || e <= rs || re <= s) continue;
    if (s <= rs) {
      r.end.store(0, std::memory_order_relaxed);
      r.start.store(0, std::memory_order_release);
    } else {
      r.end.store(s, std::memory_order_release);
    }
  }
}

bool Recorded(uintptr_t a) {
  for (const Region &r : regions) {
    const uintptr_t e = r.end.load(std::memory_order_acquire), s = r.start.load(std::memory_order_relaxed);
    if (s != 0 && s <= a && a < e) return true;
  }
  return false;
}

// The library's system calls for its maps, replaced. A map that cannot be recorded is
// not made: the library then reads that file without one.
void *GuardedMmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
  std::lock_guard<std::mutex> lk(mapLock);
  void *p = mmap(addr, len, prot, flags, fd, off);
  if (p != MAP_FAILED && !Record(p, len)) {
    munmap(p, len);
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return p;
}

int GuardedMunmap(void *p, size_t len) {
  std::lock_guard<std::mutex> lk(mapLock);
  Forget(p, len);
  return munmap(p, len);
}

void *GuardedMremap(void *old, size_t oldLen, size_t newLen, int flags, ...) {
  std::lock_guard<std::mutex> lk(mapLock);
  // The library only ever lets a map move, never names where it goes.
  void *p = mremap(old, oldLen, newLen, flags & MREMAP_MAYMOVE);
  if (p == MAP_FAILED) return p;
  Forget(old, oldLen);
  if (!Record(p, newLen)) {
    munmap(p, newLen);
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return p;
}

// A read past the end of a mapped file: the missing page becomes a page of zeros and the
// read is repeated on it. The count moves first, so that a reader that meets the zeros
// finds it moved. Any other SIGBUS goes where it went before.
void OnSigbus(int sig, siginfo_t *info, void *context) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(info->si_addr);
  if (Recorded(a)) {
    faults.fetch_add(1, std::memory_order_seq_cst);
    void *page = reinterpret_cast<void *>(a & ~static_cast<uintptr_t>(pageSize - 1));
    if (mmap(page, static_cast<size_t>(pageSize), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED)
      return;
  }
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(sig, info, context);
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(sig);
  } else {
    // Back to the default: the faulting access repeats and ends the process as it would have.
    signal(SIGBUS, SIG_DFL);
  }
}

bool Replace(sqlite3_vfs *vfs, const char *name, sqlite3_syscall_ptr f) {
  return vfs->iVersion >= 3 && vfs->xSetSystemCall && vfs->xGetSystemCall(vfs, name) &&
         vfs->xSetSystemCall(vfs, name, f) == SQLITE_OK;
}

}  // namespace

void GuardLibraryMaps() {
  sqlite3_vfs *vfs = sqlite3_vfs_find(nullptr);
  if (!vfs) return;
  pageSize = sysconf(_SC_PAGESIZE);
  struct sigaction sa {};
  sa.sa_sigaction = OnSigbus;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGBUS, &sa, &previous) != 0) return;
  // All three or none: a map made by one call must be forgotten by the other.
  bool ok = Replace(vfs, "mmap", reinterpret_cast<sqlite3_syscall_ptr>(GuardedMmap)) &&
            Replace(vfs, "munmap", reinterpret_cast<sqlite3_syscall_ptr>(GuardedMunmap));
  if (ok && vfs->xGetSystemCall(vfs, "mremap"))
    ok = Replace(vfs, "mremap", reinterpret_cast<sqlite3_syscall_ptr>(GuardedMremap));
  if (!ok) {
    for (const char *name : {"mmap", "munmap", "mremap"})
      if (vfs->xGetSystemCall(vfs, name)) vfs->xSetSystemCall(vfs, name, nullptr);
    sigaction(SIGBUS, &previous, nullptr);
    return;
  }
  guarded = true;
}

bool LibraryMapsGuarded() { return guarded.load(std::memory_order_relaxed); }

uint64_t LibraryMapFaults() { return faults.load(std::memory_order_seq_cst); }
