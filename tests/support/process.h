// Runs programs for the tests: arguments in, standard output and standard error captured,
// deadlines enforced, and never a child process left behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace testing_support {

// How a program ended: the status passed to exit() (-1 when a signal ended it) and the signal
// that ended it (0 when it exited).
struct ExitStatus {
    int exitCode = -1;
    int signal = 0;
    bool operator==(const ExitStatus&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const ExitStatus& s) {
        return s.signal != 0 ? out << "killed by signal " << s.signal
                             : out << "exit " << s.exitCode;
    }
};
inline constexpr ExitStatus exitedWith0{0, 0};
inline constexpr ExitStatus exitedWith1{1, 0};

// Polls `condition` every few milliseconds until it holds (true) or `timeout` has passed (false).
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Where a child's standard output goes: an in-memory file read with out(); a pipe whose reading
// end the test holds (outputPipe()), to read as slowly as it likes; the same pipe already full, as
// a terminal stopped with Ctrl-S or a reader that stalled; or no descriptor 1 at all.
enum class StandardOutput { Captured, Pipe, FullPipe, Closed };

// A running program. It starts with default signal actions and no blocked signals. Its standard
// input is /dev/null or a descriptor of the caller's; standard output (by default) and standard
// error go to anonymous in-memory files, so a program that writes a lot never blocks on a full pipe
// and the outputs can be read at any time. The destructor kills (SIGKILL) and reaps a program that
// is still running.
class ChildProcess {
  public:
    // Starts `path` with argv[0] = path followed by `arguments`, in this process's environment,
    // reading `standardInput` (a descriptor that stays the caller's; -1: /dev/null). Throws
    // std::runtime_error (with the system error text) when the program cannot be started.
    ChildProcess(const std::string& path, const std::vector<std::string>& arguments,
                 int standardInput = -1, StandardOutput output = StandardOutput::Captured);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Sends `signal` to the program; false if it has already been reaped or kill() failed.
    bool sendSignal(int signal);
    // Waits until the program ends or `timeout` has passed. Returns its status, or nothing on
    // time-out (the program then keeps running). Once reaped, returns the same status again.
    std::optional<ExitStatus> wait(std::chrono::milliseconds timeout);
    // Waits until the program has installed a handler for `signal` (the signal shows in the
    // caught-signal mask of /proc/<pid>/status) or `timeout` has passed; false on time-out or when
    // the program ended first. A program that installs its handler once set up is then ready.
    bool waitForSignalHandler(int signal, std::chrono::milliseconds timeout);

    // Waits until the program runs a second thread or `timeout` has passed; false on time-out or
    // when the program ended first. The receiver starts its receiving thread once socket, status
    // line and output are set up: from then on a datagram sent to its port is received.
    bool waitUntilReceiving(std::chrono::milliseconds timeout);
    // Everything the program has written so far (out(): only while captured).
    std::string out() const;
    std::string err() const;
    // With StandardOutput::Pipe: the reading end of the child's standard output; closing it
    // leaves the child writing into a pipe without reader.
    int outputPipe() const { return pipeFd_; }
    void closeOutputPipe();

  private:
    pid_t pid_ = -1;
    int outFd_ = -1, errFd_ = -1, pipeFd_ = -1;
    std::optional<ExitStatus> status_;
};

// What runProgram saw: the status (empty: the deadline passed and the program was killed) and
// everything written to standard output and standard error.
struct ProgramRun {
    std::optional<ExitStatus> status;
    std::string out, err;
};

// Runs a program to its end: starts it, waits up to `timeout` (then kills it), returns its
// status and both outputs.
ProgramRun runProgram(const std::string& path, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace testing_support
