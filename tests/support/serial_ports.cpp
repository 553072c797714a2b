// Pseudo-terminal pairs, socat pairs, the test's serial port list and a sentence recorder.
#include "tests/support/serial_ports.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/fd.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "tests/support/testing.h"

extern char **environ;

namespace fs = std::filesystem;

namespace testing_support {

namespace {

const char *const kPortListKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
// A port name with no device behind it: its reader ends at once.
const char *const kNoPort = "marolin-test-no-such-port";

void MakeRaw(int fd) {
  termios t;
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
}

// Hive-file escaping of one field.
std::string HiveField(const std::string &s) {
  std::string out;
  char hex[4];
  for (unsigned char c : s) {
    if (c == '%' || c < 0x20 || c == 0x7f) {
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pseudo-terminal");
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname failed");
  slavePath_ = name;
  slaveFd_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slaveFd_ < 0) throw std::runtime_error("slave does not open");
  MakeRaw(slaveFd_);
}

PtyPair::~PtyPair() {
  closeMaster();
  if (slaveFd_ >= 0) close(slaveFd_);
}

bool PtyPair::write(const std::string &bytes) { return master_ >= 0 && WriteAll(master_, bytes.data(), bytes.size()); }

void PtyPair::closeMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

SocatPair::SocatPair(const std::string &folder) {
  fs::create_directories(folder);
  std::string nearLink = folder + "/near";
  std::string farLink = folder + "/far";
  std::string a = "PTY,raw,echo=0,link=" + nearLink;
  std::string b = "PTY,raw,echo=0,link=" + farLink;
  const char *argv[] = {"socat", a.c_str(), b.c_str(), nullptr};
  if (posix_spawnp(&pid_, "socat", nullptr, nullptr, const_cast<char *const *>(argv), environ) != 0) {
    pid_ = -1;
    return;
  }
  WaitUntil([&] {
    std::error_code ec;
    return fs::exists(nearLink, ec) && fs::exists(farLink, ec);
  }, 10000);
  std::error_code ec;
  nearPath_ = fs::read_symlink(nearLink, ec).string();
  if (ec) return;
  // The far end stays open for the pair's whole life: socat ends the pair once a side
  // has been opened and closed again.
  farFd_ = open(farLink.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (farFd_ >= 0) MakeRaw(farFd_);
}

SocatPair::~SocatPair() { stop(); }

std::string SocatPair::portName() const {
  return nearPath_.rfind("/dev/", 0) == 0 ? nearPath_.substr(5) : nearPath_;
}

bool SocatPair::write(const std::string &bytes) { return farFd_ >= 0 && WriteAll(farFd_, bytes.data(), bytes.size()); }

void SocatPair::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (farFd_ >= 0) close(farFd_);
  farFd_ = -1;
}

void WriteSerialPortList(const std::vector<std::pair<std::string, std::string>> &ports) {
  std::vector<std::string> supplied;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPortListKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    for (unsigned long i = 0;; ++i) {
      char name[1024];
      unsigned long nameLen = sizeof name;
      long rc = RegEnumValueA(key, i, name, &nameLen, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      if (rc == ERROR_SUCCESS) supplied.emplace_back(name, nameLen);
    }
    RegCloseKey(key);
  }
  const char *config = std::getenv("XDG_CONFIG_HOME");
  if (!config) throw std::runtime_error("XDG_CONFIG_HOME is not set");
  fs::path hive = fs::path(config) / "Marolin" / "registry" / "HKEY_LOCAL_MACHINE";
  fs::create_directories(hive.parent_path());
  std::string kept;
  {
    std::ifstream in(hive);
    std::string line;
    std::string ours = std::string("\t") + kPortListKey + "\t";
    while (std::getline(in, line)) {
      auto tab = line.find('\t');
      bool portList = tab != std::string::npos && line.size() >= tab + ours.size() &&
                      strncasecmp(line.c_str() + tab, ours.c_str(), ours.size()) == 0;
      if (!portList) kept += line + "\n";
    }
  }
  std::ostringstream out;
  out << kept;
  auto value = [&](const std::string &name, const std::string &port) {
    out << "V\t" << HiveField(kPortListKey) << "\t" << HiveField(name) << "\t1\t" << HiveField(port + '\0') << "\n";
  };
  for (const std::string &name : supplied) {
    bool given = false;
    for (const auto &p : ports) given = given || strcasecmp(p.first.c_str(), name.c_str()) == 0;
    if (!given) value(name, kNoPort);
  }
  for (const auto &p : ports) value(p.first, p.second);
  std::string tmp = hive.string() + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f << out.str();
  }
  fs::rename(tmp, hive);
}

SentenceRecorder &SentenceRecorder::instance() {
  // Never destroyed: detached readers may still deliver while the process exits.
  static SentenceRecorder *r = new SentenceRecorder;
  return *r;
}

void SentenceRecorder::Sink(const char *line) {
  SentenceRecorder &r = instance();
  void (*hook)(const std::string &);
  std::string text(line);
  {
    std::lock_guard<std::mutex> lk(r.m_);
    r.lines_.push_back(text);
    hook = r.hook_;
  }
  r.cv_.notify_all();
  if (hook) hook(text);
}

void SentenceRecorder::clear() {
  std::lock_guard<std::mutex> lk(m_);
  lines_.clear();
  hook_ = nullptr;
}

std::vector<std::string> SentenceRecorder::lines() {
  std::lock_guard<std::mutex> lk(m_);
  return lines_;
}

bool SentenceRecorder::waitFor(const std::string &text, int timeoutMs) {
  std::unique_lock<std::mutex> lk(m_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
    for (const std::string &l : lines_)
      if (l == text) return true;
    return false;
  });
}

bool SentenceRecorder::waitForCount(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lk(m_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return lines_.size() >= count; });
}

void SentenceRecorder::onLine(void (*hook)(const std::string &)) {
  std::lock_guard<std::mutex> lk(m_);
  hook_ = hook;
}

bool WaitPortFree(const std::string &path, int timeoutMs) {
  return WaitUntil([&] { return CommOpen(path.c_str()) != nullptr; }, timeoutMs);
}

bool WaitNoDescriptorOn(const std::string &path, int timeoutMs) {
  const std::string gone = path + " (deleted)";
  return WaitUntil([&] {
    std::error_code ec;
    for (fs::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code e2;
      std::string target = fs::read_symlink(it->path(), e2).string();
      if (!e2 && (target == path || target == gone)) return false;
    }
    return true;
  }, timeoutMs);
}

}  // namespace testing_support
