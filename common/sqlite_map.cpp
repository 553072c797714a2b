// The library's maps of database files, and the SIGBUS handler that keeps a file cut short
// under one of them from ending the process.
#include "common/sqlite_map.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <mutex>

namespace {

// The maps the library holds now. Written under mapLock when the library maps or unmaps
// (when a connection opens, grows or closes its map); the signal handler reads the ends
// and marks a map damaged without a lock. An address range is taken as a map only while
// both ends are set.
//
// Connections to the same file that ask for the same map share one (each connection
// otherwise maps the file for itself: the pages are the kernel's one copy either way, but
// each map has page tables of its own, up to 4 MiB for 2 GiB read). A damaged map is not
// handed out again.
struct Region {
  std::atomic<uintptr_t> start{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> damaged{false};
  // Under mapLock only.
  dev_t dev = 0;
  ino_t ino = 0;
  int prot = 0, flags = 0;
  int users = 0;
};
constexpr int kRegions = 1024;  // more than the connections that can be open at once
Region regions[kRegions];
std::mutex mapLock;
bool shareMaps = false;  // set once at start: only where a map is grown by moving it whole

std::atomic<bool> guarded{false};
std::atomic<uint64_t> faults{0};
struct sigaction previous {};
long pageSize = 4096;

Region *Record(void *p, size_t len) {
  const uintptr_t s = reinterpret_cast<uintptr_t>(p);
  for (Region &r : regions) {
    if (r.start.load(std::memory_order_relaxed) != 0) continue;
    r.damaged.store(false, std::memory_order_relaxed);
    r.users = 1;
    r.dev = 0;
    r.ino = 0;
    r.start.store(s, std::memory_order_relaxed);
    r.end.store(s + len, std::memory_order_release);
    return &r;
  }
  return nullptr;
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

Region *Recorded(uintptr_t a) {
  for (Region &r : regions) {
    const uintptr_t e = r.end.load(std::memory_order_acquire), s = r.start.load(std::memory_order_relaxed);
    if (s != 0 && s <= a && a < e) return &r;
  }
  return nullptr;
}

// The recorded map that is exactly [p, p+len), or null.
Region *Whole(void *p, size_t len) {
  const uintptr_t s = reinterpret_cast<uintptr_t>(p);
  for (Region &r : regions)
    if (r.start.load(std::memory_order_relaxed) == s && s != 0 && r.end.load(std::memory_order_relaxed) == s + len)
      return &r;
  return nullptr;
}

// The library's system calls for its maps, replaced. A map that cannot be recorded is
// not made: the library then reads that file without one.
void *GuardedMmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
  std::lock_guard<std::mutex> lk(mapLock);
  struct stat st {};
  const bool shareable = shareMaps && !addr && off == 0 && fstat(fd, &st) == 0;
  if (shareable) {
    for (Region &r : regions) {
      const uintptr_t s = r.start.load(std::memory_order_relaxed);
      if (s != 0 && r.users > 0 && r.dev == st.st_dev && r.ino == st.st_ino && r.prot == prot && r.flags == flags &&
          r.end.load(std::memory_order_relaxed) - s == len && !r.damaged.load(std::memory_order_relaxed)) {
        ++r.users;
        return reinterpret_cast<void *>(s);
      }
    }
  }
  void *p = mmap(addr, len, prot, flags, fd, off);
  if (p == MAP_FAILED) return p;
  Region *r = Record(p, len);
  if (!r) {
    munmap(p, len);
    errno = ENOMEM;
    return MAP_FAILED;
  }
  if (shareable) {
    r->dev = st.st_dev;
    r->ino = st.st_ino;
    r->prot = prot;
    r->flags = flags;
  }
  return p;
}

int GuardedMunmap(void *p, size_t len) {
  std::lock_guard<std::mutex> lk(mapLock);
  if (Region *r = Whole(p, len); r && --r->users > 0) return 0;
  // Never a part of a map another connection uses (the library does not unmap parts where
  // maps are shared).
  if (Region *r = Recorded(reinterpret_cast<uintptr_t>(p)); r && r->users > 1) {
    errno = EINVAL;
    return -1;
  }
  Forget(p, len);
  return munmap(p, len);
}

void *GuardedMremap(void *old, size_t oldLen, size_t newLen, int flags, ...) {
  std::lock_guard<std::mutex> lk(mapLock);
  // A map another connection uses stays as it is: the library then unmaps its share and
  // reads that file without a map.
  if (Region *r = Whole(old, oldLen); r && r->users > 1) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
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
  if (Region *r = Recorded(a)) {
    r->damaged.store(true, std::memory_order_relaxed);
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
  shareMaps = vfs->xGetSystemCall(vfs, "mremap") != nullptr;
  if (ok && shareMaps) ok = Replace(vfs, "mremap", reinterpret_cast<sqlite3_syscall_ptr>(GuardedMremap));
  if (!ok) {
    for (const char *name : {"mmap", "munmap", "mremap"})
      if (vfs->xGetSystemCall(vfs, name)) vfs->xSetSystemCall(vfs, name, nullptr);
    sigaction(SIGBUS, &previous, nullptr);
    shareMaps = false;
    return;
  }
  guarded = true;
}

bool LibraryMapsGuarded() { return guarded.load(std::memory_order_relaxed); }

uint64_t LibraryMapFaults() { return faults.load(std::memory_order_seq_cst); }
