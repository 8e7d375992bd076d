// Network namespaces of the tests' own, so that a test can send multicast, or bind any address or
// port, without touching the host's network: programs run inside with `ip netns exec`.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/process.h"

namespace testing_support {

// A new network namespace with its loopback interface up and multicast (224.0.0.0/4) routed over
// it, deleted again by the destructor, also when the test fails. Programs started inside are the
// caller's to end first (a ChildProcess declared after the namespace is).
class NetworkNamespace {
  public:
    // Throws std::runtime_error with ip's message when the namespace cannot be made (no `ip`
    // command, not root, no namespaces in this container); tests skip then.
    NetworkNamespace();
    ~NetworkNamespace();
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    const std::string& name() const { return name_; }

    // Starts `program` inside: `ip netns exec NAME program arguments...`, which replaces itself
    // with the program, so the ChildProcess is the program. Throws as ChildProcess.
    std::unique_ptr<ChildProcess> start(const std::string& program,
                                        const std::vector<std::string>& arguments) const;

    // Configures the namespace: `ip -n NAME arguments...` (add an interface, an address).
    // Throws std::runtime_error with ip's message when it fails.
    void configure(const std::vector<std::string>& arguments) const;

  private:
    std::string ip_;  // the ip command
    std::string name_;
};

}  // namespace testing_support
