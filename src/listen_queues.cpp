// One dump request per socket family (TCP over IPv4, over IPv6, UNIX), asking the kernel
// for its listening sockets only; the answers name each socket's inode, which is what
// the caller found among its workers' descriptors.
#include "listen_queues.hpp"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_set>

#include "text.hpp"

namespace listen_queues {

namespace {

constexpr std::uint32_t LISTENING = 1U << 10;  // TCP_LISTEN, also the state of UNIX listeners
// A dump comes at once; the bound only keeps a broken kernel from holding a scrape.
constexpr timeval RECEIVE_TIMEOUT = {1, 0};
// Answers of a dump read at most, each buffer holding many sockets.
constexpr int MAX_BUFFERS = 4096;

class Socket {
public:
    Socket() : fd_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {
        if (fd_ >= 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &RECEIVE_TIMEOUT, sizeof RECEIVE_TIMEOUT);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Sends `request` (a sock_diag request after its netlink header) as a dump and calls
// `answer(message)` for each socket the kernel lists.
template <typename Request, typename Answer>
void dump(const Socket& netlink, const Request& request, Answer&& answer) {
    struct {
        nlmsghdr header;
        Request body;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.body = request;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(netlink.get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) != static_cast<ssize_t>(sizeof message))
        return;
    alignas(nlmsghdr) char buffer[32768];
    for (int read = 0; read < MAX_BUFFERS; ++read) {
        const ssize_t got = recv(netlink.get(), buffer, sizeof buffer, 0);
        if (got <= 0) return;
        auto length = static_cast<unsigned int>(got);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length)) {
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) return;
            if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY) answer(*header);
        }
    }
}

std::string inet_address(int family, const inet_diag_sockid& id) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(family, id.idiag_src, text, sizeof text);
    const std::string port = std::to_string(ntohs(id.idiag_sport));
    return family == AF_INET6 ? "[" + std::string(text) + "]:" + port
                              : std::string(text) + ":" + port;
}

// A UNIX socket's name: its path, or "@" and the rest for an abstract name (which starts
// with a zero byte); unnamed sockets have none.
std::string unix_address(std::string_view name) {
    if (name.empty()) return {};
    if (name.front() == '\0') return "@" + std::string(name.substr(1));
    return std::string(name.substr(0, name.find('\0')));
}

}  // namespace

std::vector<Queue> of_sockets(std::span<const std::uint64_t> inodes) {
    if (inodes.empty()) return {};
    const std::unordered_set<std::uint64_t> wanted(inodes.begin(), inodes.end());
    std::map<std::string, Queue> by_address;
    const auto add = [&](std::uint64_t inode, std::string address, std::uint64_t length,
                         std::uint64_t limit) {
        if (!wanted.contains(inode) || address.empty() || !text::is_valid_utf8(address)) return;
        Queue& queue = by_address[address];
        queue.address = std::move(address);
        queue.length += length;
        queue.limit += limit;
    };
    const Socket netlink;
    if (netlink.get() < 0) return {};

    for (const int family : {AF_INET, AF_INET6}) {
        inet_diag_req_v2 request{};
        request.sdiag_family = static_cast<std::uint8_t>(family);
        request.sdiag_protocol = IPPROTO_TCP;
        request.idiag_states = LISTENING;
        dump(netlink, request, [&](const nlmsghdr& header) {
            if (header.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return;
            const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(&header));
            add(socket->idiag_inode, inet_address(socket->idiag_family, socket->id),
                socket->idiag_rqueue, socket->idiag_wqueue);
        });
    }

    unix_diag_req request{};
    request.sdiag_family = AF_UNIX;
    request.udiag_states = LISTENING;
    request.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_RQLEN;
    dump(netlink, request, [&](const nlmsghdr& header) {
        if (header.nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg))) return;
        const auto* socket = static_cast<const unix_diag_msg*>(NLMSG_DATA(&header));
        std::string name;
        std::optional<unix_diag_rqlen> queue;
        auto length = static_cast<unsigned int>(header.nlmsg_len - NLMSG_LENGTH(sizeof *socket));
        for (auto* attribute = reinterpret_cast<rtattr*>(const_cast<unix_diag_msg*>(socket) + 1);
             RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
            const auto* data = static_cast<const char*>(RTA_DATA(attribute));
            const std::size_t size = RTA_PAYLOAD(attribute);
            if (attribute->rta_type == UNIX_DIAG_NAME) {
                name = unix_address({data, size});
            } else if (attribute->rta_type == UNIX_DIAG_RQLEN && size >= sizeof(unix_diag_rqlen)) {
                std::memcpy(&queue.emplace(), data, sizeof(unix_diag_rqlen));
            }
        }
        if (queue)
            add(socket->udiag_ino, std::move(name), queue->udiag_rqueue, queue->udiag_wqueue);
    });

    std::vector<Queue> queues;
    for (auto& [address, queue] : by_address) queues.push_back(std::move(queue));
    return queues;
}

}  // namespace listen_queues
