// Network namespaces of the tests' own: made and deleted with ip.
#include "support/netns.h"

#include <unistd.h>

#include <atomic>
#include <stdexcept>

namespace testing_support {
namespace {

// Where Debian's iproute2 installs ip, before and after the /usr merge.
std::string ipCommand() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(path, X_OK) == 0) return path;
    throw std::runtime_error("no ip command (package iproute2)");
}

// Runs ip with `arguments`; throws std::runtime_error with its message when it fails.
void ip(const std::string& command, const std::vector<std::string>& arguments) {
    const ProgramRun run = runProgram(command, arguments);
    if (run.status != exitedWith0) throw std::runtime_error("ip " + arguments[0] + ": " + run.err);
}

}  // namespace

NetworkNamespace::NetworkNamespace() : ip_(ipCommand()) {
    static std::atomic<int> made{0};
    name_ = "compact_test_" + std::to_string(getpid()) + "_" + std::to_string(made++);
    ip(ip_, {"netns", "add", name_});
    try {
        ip(ip_, {"-n", name_, "link", "set", "lo", "up"});
        ip(ip_, {"-n", name_, "route", "add", "224.0.0.0/4", "dev", "lo"});
    } catch (...) {
        runProgram(ip_, {"netns", "delete", name_});
        throw;
    }
}

NetworkNamespace::~NetworkNamespace() { runProgram(ip_, {"netns", "delete", name_}); }

std::unique_ptr<ChildProcess> NetworkNamespace::start(
    const std::string& program, const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{"netns", "exec", name_, program};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return std::make_unique<ChildProcess>(ip_, command);
}

void NetworkNamespace::configure(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{"-n", name_};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ip(ip_, command);
}

}  // namespace testing_support
