// Test support for serial input: pseudo-terminal pairs standing in for serial ports, the
// test's own port list in the registry hive, and a recorder for delivered sentences.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// A pseudo-terminal whose master the test holds: bytes written to the master arrive on
// the slave as from a serial device; closing the master hangs the slave up. The slave
// is put in raw mode at once, so nothing written before a reader configures it is
// changed by the line discipline.
class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair &) = delete;
  PtyPair &operator=(const PtyPair &) = delete;
  const std::string &slavePath() const { return slavePath_; }  // "/dev/pts/N"
  int slaveFd() const { return slaveFd_; }                      // the test's own slave descriptor
  bool write(const std::string &bytes);
  void closeMaster();

 private:
  int master_ = -1;
  int slaveFd_ = -1;
  std::string slavePath_;
};

// Two linked pseudo-terminals made by socat: what the test writes on the far end comes
// out of the near end, which a reader opens as its port. Stopping socat hangs both up.
class SocatPair {
 public:
  explicit SocatPair(const std::string &folder);
  ~SocatPair();
  SocatPair(const SocatPair &) = delete;
  SocatPair &operator=(const SocatPair &) = delete;
  bool ok() const { return farFd_ >= 0; }
  const std::string &nearPath() const { return nearPath_; }  // "/dev/pts/N"
  std::string portName() const;                              // "pts/N": what the port list holds
  bool write(const std::string &bytes);
  void stop();

 private:
  pid_t pid_ = -1;
  int farFd_ = -1;
  std::string nearPath_;
};

// Writes the machine hive of the registry stand-in so that the serial port list holds
// exactly the given (value name, port name) entries: every port the system supplies is
// listed under its own name with a port name that does not exist.
void WriteSerialPortList(const std::vector<std::pair<std::string, std::string>> &ports);

// Sentences handed to the sink, in order; waits with a generous bound.
class SentenceRecorder {
 public:
  static SentenceRecorder &instance();
  static void Sink(const char *line);
  void clear();
  std::vector<std::string> lines();
  // True once a line equal to text has been recorded.
  bool waitFor(const std::string &text, int timeoutMs = 20000);
  // True once count lines have been recorded.
  bool waitForCount(size_t count, int timeoutMs = 20000);
  // Runs on the reader's thread after a line is recorded (before the reader goes on).
  void onLine(void (*hook)(const std::string &line));

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  void (*hook_)(const std::string &) = nullptr;
};

// Polls until the port at path opens exclusively again (its reader has let go); true
// when it did within the bound.
bool WaitPortFree(const std::string &path, int timeoutMs = 20000);

// Polls until no descriptor of this process refers to the device at path (also after
// the device node has gone); true when that happened within the bound.
bool WaitNoDescriptorOn(const std::string &path, int timeoutMs = 20000);

}  // namespace testing_support
