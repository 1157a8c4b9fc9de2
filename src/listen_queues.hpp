// The accept queues of listening sockets: connections the kernel has taken that wait for
// a worker to accept them, and how many it keeps waiting before it refuses more.
//
// Read with the kernel's socket diagnostics (NETLINK_SOCK_DIAG, what `ss -l` asks), which
// give both figures for TCP and UNIX sockets. Where that interface is not offered (some
// sandboxes and emulators), the LISTEN rows of /proc/net/tcp and tcp6 give the waiting
// connections of TCP sockets alone: those files show no listener's limit. Only sockets
// of the caller's network namespace are seen.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace listen_queues {

struct Queue {
    // "127.0.0.1:8000", "[::]:8000", a UNIX socket's path, or "@name" for an abstract one.
    std::string address;
    std::uint64_t length = 0;            // connections waiting to be accepted
    std::optional<std::uint64_t> limit;  // the backlog: more are refused or dropped
};

// The listening TCP (IPv4, IPv6) and UNIX sockets whose inode is among `inodes`, by
// address; sockets of one address (SO_REUSEPORT) are added up. Addresses are texts: a
// UNIX socket whose path is not valid UTF-8 is left out, and so is an unnamed one.
std::vector<Queue> of_sockets(std::span<const std::uint64_t> inodes);

}  // namespace listen_queues
