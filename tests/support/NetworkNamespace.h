#pragma once
// A network namespace of its own joined to the caller's by a veth pair, for tests and
// benchmarks that put a real link with a rate limit (tc tbf) between agent and phone.
// Needs root; everything is removed with the object.

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>

namespace df::testsupport {

inline bool runCommand(const std::string& command, bool verbose) {
    if (verbose) std::cerr << "+ " << command << "\n";
    return std::system((command + (verbose ? "" : " >/dev/null 2>&1")).c_str()) == 0;
}

/// A namespace with one end of a veth pair (10.213.<n>.2) and this namespace holding the
/// other (10.213.<n>.1); removed with the object.
class NetworkNamespace {
public:
    explicit NetworkNamespace(bool verbose) : verbose_(verbose) {
        const std::string id = std::to_string(::getpid() % 100000);
        name_ = "dfbench" + id;
        outer_ = "dfv" + id + "a";
        inner_ = "dfv" + id + "b";
        const std::string net = "10.213." + std::to_string(::getpid() % 250 + 1);
        address_ = net + ".2";
        ok_ = runCommand("ip netns add " + name_, verbose) &&
              runCommand("ip link add " + outer_ + " type veth peer name " + inner_, verbose) &&
              runCommand("ip link set " + inner_ + " netns " + name_, verbose) &&
              runCommand("ip addr add " + net + ".1/24 dev " + outer_, verbose) && runCommand("ip link set " + outer_ + " up", verbose) &&
              runCommand(exec("ip addr add " + address_ + "/24 dev " + inner_), verbose) &&
              runCommand(exec("ip link set " + inner_ + " up"), verbose) && runCommand(exec("ip link set lo up"), verbose);
    }
    ~NetworkNamespace() {
        runCommand("ip link del " + outer_, verbose_);
        runCommand("ip netns del " + name_, verbose_);
    }
    bool ok() const { return ok_; }
    const std::string& name() const { return name_; }
    const std::string& address() const { return address_; }
    std::string exec(const std::string& command) const { return "ip netns exec " + name_ + " " + command; }
    bool limit(const std::string& rate) const {
        return runCommand(exec("tc qdisc add dev " + inner_ + " root tbf rate " + rate + " burst 32kbit latency 300ms"), verbose_);
    }
    bool lift() const { return runCommand(exec("tc qdisc del dev " + inner_ + " root"), verbose_); }

private:
    bool verbose_;
    bool ok_ = false;
    std::string name_, outer_, inner_, address_;
};

}  // namespace df::testsupport
