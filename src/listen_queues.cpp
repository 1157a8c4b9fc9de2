// One dump request per socket family (TCP over IPv4, over IPv6, UNIX), asking the kernel
// for its listening sockets only; the answers name each socket's inode, which is what
// the caller found among its workers' descriptors. /proc/net/tcp{,6} name it too.
#include "listen_queues.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
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
#include <charconv>
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
// `answer(message)` for each socket the kernel lists; false when the kernel did not
// answer it to the end.
template <typename Request, typename Answer>
bool dump(const Socket& netlink, const Request& request, Answer&& answer) {
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
        return false;
    alignas(nlmsghdr) char buffer[32768];
    for (int read = 0; read < MAX_BUFFERS; ++read) {
        const ssize_t got = recv(netlink.get(), buffer, sizeof buffer, 0);
        if (got <= 0) return false;
        auto length = static_cast<unsigned int>(got);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length)) {
            if (header->nlmsg_type == NLMSG_DONE) return true;
            if (header->nlmsg_type == NLMSG_ERROR) return false;
            if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY) answer(*header);
        }
    }
    return false;
}

// "127.0.0.1:8000", "[::1]:8000" of an address in network byte order and a port.
std::string inet_address(int family, const void* address, std::uint16_t port) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(family, address, text, sizeof text);
    const std::string digits = std::to_string(port);
    return family == AF_INET6 ? "[" + std::string(text) + "]:" + digits
                              : std::string(text) + ":" + digits;
}

// ---- /proc/net/tcp and tcp6 ------------------------------------------------------------

// Bound on what is read of one file: some 150 bytes a socket.
constexpr std::size_t MAX_PROC_BYTES = std::size_t{64} << 20;
constexpr std::string_view LISTEN_STATE = "0A";

std::string read_text(const char* path) {
    std::string text;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char chunk[65536];
    ssize_t got = 0;
    while (text.size() < MAX_PROC_BYTES && (got = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(got));
    close(fd);
    return text;
}

bool hex_number(std::string_view text, std::uint32_t& out) {
    return !text.empty() && std::from_chars(text.data(), text.data() + text.size(), out, 16).ptr ==
                                text.data() + text.size();
}

// "0100007F:1F40": the address as the kernel prints it, each 32-bit word of it as a
// number in hexadecimal whose bytes in memory are the address's, then the port.
std::optional<std::string> proc_address(int family, std::string_view field) {
    const std::size_t colon = field.find(':');
    const std::size_t words = family == AF_INET6 ? 4 : 1;
    std::uint32_t port = 0;
    if (colon != words * 8 || !hex_number(field.substr(colon + 1), port) || port > 0xFFFF)
        return std::nullopt;
    std::uint32_t address[4] = {};
    for (std::size_t i = 0; i < words; ++i)
        if (!hex_number(field.substr(i * 8, 8), address[i])) return std::nullopt;
    return inet_address(family, address, static_cast<std::uint16_t>(port));
}

// The space-separated fields of a line.
std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0; start < line.size();) {
        const std::size_t begin = line.find_first_not_of(' ', start);
        if (begin == std::string_view::npos) break;
        const std::size_t end = std::min(line.find(' ', begin), line.size());
        fields.push_back(line.substr(begin, end - begin));
        start = end;
    }
    return fields;
}

// Calls `add(inode, address, waiting)` for the LISTEN rows of /proc/net/tcp and tcp6:
// "sl local rem st tx_queue:rx_queue tr:when retransmits uid timeout inode ...", where a
// listener's rx_queue is its waiting connections.
template <typename Add>
void proc_listeners(Add&& add) {
    for (const auto& [path, family] :
         {std::pair{"/proc/net/tcp", AF_INET}, std::pair{"/proc/net/tcp6", AF_INET6}}) {
        const std::string text = read_text(path);
        std::string_view rest(text);
        rest.remove_prefix(std::min(rest.size(), rest.find('\n') + 1));  // the heading
        while (!rest.empty()) {
            const std::size_t end = std::min(rest.find('\n'), rest.size());
            const std::vector<std::string_view> fields = fields_of(rest.substr(0, end));
            rest.remove_prefix(std::min(rest.size(), end + 1));
            if (fields.size() < 10 || fields[3] != LISTEN_STATE) continue;
            const std::size_t colon = fields[4].find(':');
            std::uint32_t waiting = 0;
            std::uint64_t inode = 0;
            const auto address = proc_address(family, fields[1]);
            if (!address || colon == std::string_view::npos ||
                !hex_number(fields[4].substr(colon + 1), waiting) ||
                std::from_chars(fields[9].data(), fields[9].data() + fields[9].size(), inode).ec !=
                    std::errc())
                continue;
            add(inode, *address, waiting);
        }
    }
}

// A UNIX socket's name: its path, or "@" and the rest for an abstract name (which starts
// with a zero byte); unnamed sockets have none.
std::string unix_address(std::string_view name) {
    if (name.empty()) return {};
    if (name.front() == '\0') return "@" + std::string(name.substr(1));
    return std::string(name.substr(0, name.find('\0')));
}

std::vector<Queue> collect(std::map<std::string, Queue>& by_address) {
    std::vector<Queue> queues;
    for (auto& [address, queue] : by_address) queues.push_back(std::move(queue));
    return queues;
}

}  // namespace

std::vector<Queue> of_sockets(std::span<const std::uint64_t> inodes) {
    if (inodes.empty()) return {};
    const std::unordered_set<std::uint64_t> wanted(inodes.begin(), inodes.end());
    std::map<std::string, Queue> by_address;
    const auto add = [&](std::uint64_t inode, std::string address, std::uint64_t length,
                         std::optional<std::uint64_t> limit) {
        if (!wanted.contains(inode) || address.empty() || !text::is_valid_utf8(address)) return;
        Queue& queue = by_address[address];
        queue.address = std::move(address);
        queue.length += length;
        if (limit) queue.limit = queue.limit.value_or(0) + *limit;
    };
    const Socket netlink;
    bool diagnosed = netlink.get() >= 0;
    for (const int family : {AF_INET, AF_INET6}) {
        if (!diagnosed) break;
        inet_diag_req_v2 request{};
        request.sdiag_family = static_cast<std::uint8_t>(family);
        request.sdiag_protocol = IPPROTO_TCP;
        request.idiag_states = LISTENING;
        diagnosed = dump(netlink, request, [&](const nlmsghdr& header) {
            if (header.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return;
            const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(&header));
            add(socket->idiag_inode,
                inet_address(socket->idiag_family, socket->id.idiag_src,
                             ntohs(socket->id.idiag_sport)),
                socket->idiag_rqueue, socket->idiag_wqueue);
        });
    }
    if (!diagnosed) {
        by_address.clear();
        proc_listeners([&](std::uint64_t inode, const std::string& address, std::uint64_t waiting) {
            add(inode, address, waiting, std::nullopt);
        });
        return collect(by_address);
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

    return collect(by_address);
}

}  // namespace listen_queues
