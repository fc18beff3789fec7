#pragma once
// Runs the real qmctl binary (built beside the test programs' folder) as a child process with
// its standard input on /dev/null, and a minimal JSON reader to check its --json output.
#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace qm::test {

// The path of build/qmctl, found from this test program's own path (build/tests/test_tools).
std::string QmctlPath();

struct QmctlResult {
  int exitCode = -1;  // -1 when it did not end by itself in time (it is then killed)
  bool killed = false;
  std::string out, err;
};

class QmctlProcess {
 public:
  // Starts qmctl with the arguments; env adds or replaces variables. Every QM_* variable of the
  // test's own environment is removed first, so the tests see only what they set.
  // With terminalInput, standard input is a pseudo-terminal the test types into.
  QmctlProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
               bool terminalInput = false);
  ~QmctlProcess();
  QmctlProcess(const QmctlProcess&) = delete;
  QmctlProcess& operator=(const QmctlProcess&) = delete;

  // True once stdout (or stderr) holds the text, waiting up to timeoutMs.
  bool WaitForOutput(const std::string& text, int timeoutMs);
  bool WaitForError(const std::string& text, int timeoutMs);
  // Types into the pseudo-terminal; what the terminal shows back (its echo) is in Echoed().
  void Type(const std::string& text);
  std::string Echoed();
  void Interrupt();  // SIGINT, as Ctrl+C
  // Waits up to timeoutMs for the end; kills the child after that.
  QmctlResult Finish(int timeoutMs);
  std::string Out();

 private:
  void ReadLoop();

  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1, ttyFd_ = -1;
  std::mutex mutex_;
  std::string out_, err_, tty_;
  std::thread reader_;
  std::optional<QmctlResult> result_;
};

// Runs qmctl to its end (at most timeoutMs, then kills it).
QmctlResult RunQmctl(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                     int timeoutMs = 20000);

// A JSON value; parse failures yield nullopt.
struct Json {
  using Object = std::map<std::string, Json>;
  using Array = std::vector<Json>;
  std::variant<std::nullptr_t, bool, double, std::string, std::shared_ptr<Array>, std::shared_ptr<Object>> v;

  bool IsNull() const { return std::holds_alternative<std::nullptr_t>(v); }
  bool IsObject() const { return std::holds_alternative<std::shared_ptr<Object>>(v); }
  bool IsArray() const { return std::holds_alternative<std::shared_ptr<Array>>(v); }
  const Json& operator[](const std::string& key) const;  // a null value when absent
  const Json& operator[](size_t index) const;
  size_t Size() const;
  bool Has(const std::string& key) const;
  double Num() const;
  std::string Str() const;
  bool Bool() const;
};
std::optional<Json> ParseJson(const std::string& text);

}  // namespace qm::test
