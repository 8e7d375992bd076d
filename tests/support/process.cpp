// Runs programs for the tests: posix_spawn with outputs captured in memory files, polling waits
// with deadlines, and kill-and-reap on destruction.
#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "support/files.h"

extern char** environ;

namespace testing_support {

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& arguments,
                           int standardInput, StandardOutput output) {
    int pipeWriter = -1;
    if (output == StandardOutput::Pipe || output == StandardOutput::FullPipe) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        pipeFd_ = ends[0];
        outFd_ = pipeWriter = ends[1];
        if (output == StandardOutput::FullPipe) {
            // Filled without blocking, then blocking again: the child's writes wait for a reader.
            fcntl(pipeWriter, F_SETPIPE_SZ, 4096);
            fcntl(pipeWriter, F_SETFL, O_NONBLOCK);
            const std::string filler(4096, '.');
            while (write(pipeWriter, filler.data(), filler.size()) > 0) {
            }
            fcntl(pipeWriter, F_SETFL, 0);
        }
    } else {
        outFd_ = memfd_create("child-stdout", MFD_CLOEXEC);
    }
    errFd_ = memfd_create("child-stderr", MFD_CLOEXEC);

    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (standardInput < 0)
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    else
        posix_spawn_file_actions_adddup2(&actions, standardInput, STDIN_FILENO);
    if (output == StandardOutput::Closed)
        posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
    else
        posix_spawn_file_actions_adddup2(&actions, outFd_, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd_, STDERR_FILENO);
    // Default signal actions and an empty mask, whatever the test runner inherited: a shell that
    // starts jobs in the background makes them ignore SIGINT, which the tests send.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    const int error = posix_spawn(&pid_, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeWriter >= 0) {
        // Only the child writes into the pipe: without this end here, its reader sees the end.
        close(pipeWriter);
        outFd_ = -1;
    }
    if (error != 0) throw std::runtime_error("cannot start " + path + ": " + std::strerror(error));
}

void ChildProcess::closeOutputPipe() {
    close(pipeFd_);
    pipeFd_ = -1;
}

ChildProcess::~ChildProcess() {
    if (!status_) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    for (int fd : {outFd_, errFd_, pipeFd_})
        if (fd >= 0) close(fd);
}

bool ChildProcess::sendSignal(int signal) { return !status_ && kill(pid_, signal) == 0; }

std::optional<ExitStatus> ChildProcess::wait(std::chrono::milliseconds timeout) {
    eventually(
        [&] {
            int waitStatus = 0;
            if (!status_ && waitpid(pid_, &waitStatus, WNOHANG) == pid_) {
                status_ = WIFEXITED(waitStatus) ? ExitStatus{WEXITSTATUS(waitStatus), 0}
                                                : ExitStatus{-1, WTERMSIG(waitStatus)};
            }
            return status_.has_value();
        },
        timeout);
    return status_;
}

bool ChildProcess::waitUntilReceiving(std::chrono::milliseconds timeout) {
    bool receiving = false;
    eventually(
        [&] {
            receiving = std::atoi(procStatusField(pid_, "Threads").c_str()) >= 2;
            return receiving || wait(std::chrono::milliseconds(0)).has_value();
        },
        timeout);
    return receiving;
}

bool ChildProcess::waitForSignalHandler(int signal, std::chrono::milliseconds timeout) {
    bool caught = false;
    eventually(
        [&] {
            // The caught-signal mask in hexadecimal, bit n-1 for signal n.
            const std::string mask = procStatusField(pid_, "SigCgt");
            caught = !mask.empty() && (std::stoull(mask, nullptr, 16) >> (signal - 1)) & 1u;
            return caught || wait(std::chrono::milliseconds(0)).has_value();
        },
        timeout);
    return caught;
}

// A new open file of the memory file, at offset 0, whatever the offset the program writes at.
std::string ChildProcess::out() const {
    return outFd_ < 0 ? std::string() : readFile("/proc/self/fd/" + std::to_string(outFd_));
}

std::string ChildProcess::err() const {
    return readFile("/proc/self/fd/" + std::to_string(errFd_));
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

ProgramRun runProgram(const std::string& path, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds timeout) {
    ChildProcess child(path, arguments);
    ProgramRun run{child.wait(timeout), "", ""};
    if (!run.status) {
        child.sendSignal(SIGKILL);
        child.wait(timeout);
    }
    run.out = child.out();
    run.err = child.err();
    return run;
}

}  // namespace testing_support
