#include "worker_slots.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

// Open-file-description locks are Linux's since 3.15; C libraries older than glibc 2.20
// do not name them.
#ifndef F_OFD_GETLK
#define F_OFD_GETLK 36
#define F_OFD_SETLK 37
#endif

namespace worker_slots {

namespace {

constexpr std::string_view PREFIX = "vrk-worker-";
constexpr std::string_view SUFFIX = ".slot";
constexpr std::size_t SLOT_BYTES = 16;
// Far more than any server runs at once: a process that finds this many slots of its
// user held stays out of view.
constexpr std::uint32_t MAX_TRIES = 4096;
// Readable by a monitor running as another user, writable by the holder's user alone.
constexpr mode_t FILE_MODE = 0644;

std::string slot_name(std::uint32_t slot) {
    return std::string(PREFIX) + std::to_string(slot) + std::string(SUFFIX);
}

// The slot a file name stands for, when it is one as slots are written.
std::optional<std::uint32_t> slot_of(std::string_view name) {
    if (!name.starts_with(PREFIX) || !name.ends_with(SUFFIX)) return std::nullopt;
    const std::string_view digits =
        name.substr(PREFIX.size(), name.size() - PREFIX.size() - SUFFIX.size());
    if (digits.empty() || digits.size() > 9 || (digits.size() > 1 && digits[0] == '0'))
        return std::nullopt;
    std::uint32_t slot = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), slot);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return slot;
}

struct flock whole_file(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

// The pid written in a held slot; nothing for the moment between a new holder's lock
// and its write, or for text that is not a pid.
std::optional<pid_t> pid_in(int fd) {
    char text[SLOT_BYTES];
    const ssize_t got = pread(fd, text, sizeof text, 0);
    if (got <= 0) return std::nullopt;
    std::string_view digits(text, static_cast<std::size_t>(got));
    while (!digits.empty() && digits.back() == ' ') digits.remove_suffix(1);
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || pid <= 0)
        return std::nullopt;
    return pid;
}

}  // namespace

std::optional<Claim> claim(const worker_files::Directory& directory, const std::string& dir,
                           pid_t pid) {
    std::uint32_t tried = 0;
    for (std::uint32_t slot = 0; tried < MAX_TRIES && slot < UINT32_MAX; ++slot) {
        const std::string name = slot_name(slot);
        worker_files::FileDescriptor fd(
            openat(directory.fd.get(), name.c_str(),
                   O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, FILE_MODE));
        struct stat info {};
        if (!fd) {
            // EACCES: somebody else's file; ELOOP, ENXIO, EISDIR: not a plain file.
            if (errno == EACCES || errno == ELOOP || errno == ENXIO || errno == EISDIR ||
                errno == EPERM)
                continue;
            return std::nullopt;
        }
        if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
            info.st_uid != directory.user)
            continue;
        ++tried;
        struct flock lock = whole_file(F_WRLCK);
        if (fcntl(fd.get(), F_OFD_SETLK, &lock) != 0) continue;  // held by a live worker
        char text[SLOT_BYTES];
        std::memset(text, ' ', sizeof text);
        std::to_chars(text, text + sizeof text, pid);
        if (pwrite(fd.get(), text, sizeof text, 0) != static_cast<ssize_t>(sizeof text))
            return std::nullopt;
        std::string path = dir;
        if (path.back() != '/') path += '/';
        path += name;
        return Claim{std::move(fd), std::move(path), worker_files::identity_of(info), slot};
    }
    return std::nullopt;
}

bool still_held(const Claim& claim) {
    return worker_files::still_named(claim.path, claim.identity);
}

std::vector<Holder> holders(const worker_files::Directory& directory,
                            const worker_files::Names& names) {
    std::vector<Holder> held;
    for (const std::string& name : names) {
        const auto slot = slot_of(name);
        if (!slot) continue;
        struct stat info {};
        const worker_files::FileDescriptor fd =
            worker_files::open_countable(directory, name.c_str(), info);
        if (!fd) continue;
        struct flock lock = whole_file(F_WRLCK);
        if (fcntl(fd.get(), F_OFD_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) continue;
        if (const auto pid = pid_in(fd.get())) held.push_back({*slot, *pid});
    }
    std::sort(held.begin(), held.end(),
              [](const Holder& a, const Holder& b) { return a.slot < b.slot; });
    return held;
}

}  // namespace worker_slots
