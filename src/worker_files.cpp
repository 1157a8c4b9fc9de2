// Worker files in a shared directory: own files, liveness, fold lock, retained totals.
//
// Layout of a retained-totals file "vrk-<family>.<uid>.retained", written only by the
// user <uid> while holding the family's fold lock, and replaced only by renaming a
// complete temporary file over it, so a reader sees either the old or the new file:
//   word 0       RETAINED_MAGIC, which also carries the format version
//   word 1       payload length in bytes
//   word 2       number n of folded-file entries
//   words 3..    n entries of three words: device, inode, content hash of a file that
//                was folded into the payload and whose unlink may not have happened yet
//   then         the payload: the family's totals, in the family's own layout
// Words are unsigned 64-bit in native byte order. A reader skips a worker file whose
// identity and content hash match an entry; the next folder unlinks such leftovers and
// writes the file again with only the entries of its own fold.
#include "worker_files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/random.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fault_guard.hpp"
#include "text.hpp"

// The kernel's flag (since 3.15), which not every C library names: musl declares no
// renameat2 at all.
#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace worker_files {

namespace {

constexpr std::uint64_t RETAINED_MAGIC = 0x31'6E'74'65'72'6B'72'76;  // "vrkretn1"
constexpr std::size_t HEADER_WORDS = 3;
constexpr std::size_t ENTRY_WORDS = 3;
// Sanity bound on what a reader loads: a retained file larger than this is not ours.
constexpr std::uint64_t MAX_RETAINED_BYTES = std::uint64_t{64} << 20;

constexpr std::string_view PREFIX = "vrk-";
constexpr std::string_view TEMPORARY_SUFFIX = ".tmp";

// Created files are readable by everyone, so that a monitor running as another user can
// count the directory owner's workers, and writable by their owner alone: a stranger
// who could write a worker's file could rewrite its counts, or cut it short under the
// worker's mapping. Locks are nobody else's business. The umask may take away more.
constexpr mode_t FILE_MODE = 0644;
constexpr mode_t LOCK_MODE = 0600;
constexpr mode_t DIRECTORY_MODE = 0755;

// Tries for a free temporary name; the names are random, so only a stranger who keeps
// planting them in a directory we share could use them all up.
constexpr int TEMPORARY_ATTEMPTS = 16;

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

bool all_hex_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// 64 random bits in hex; names made with them cannot be foreseen by anybody else.
std::string random_tag() {
    std::uint64_t tag = 0;
    // The system call itself: glibc has a getrandom() only from 2.25 on, and the wheels
    // are built for 2.17.
    if (syscall(SYS_getrandom, &tag, sizeof tag, GRND_NONBLOCK) != static_cast<long>(sizeof tag))
        tag =
            static_cast<std::uint64_t>(std::rand()) << 32 ^ static_cast<std::uint64_t>(std::rand());
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(tag));
    return hex;
}

// Every component of `path` that is missing, made with DIRECTORY_MODE.
bool make_directories(const std::string& path) {
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        if (!prefix.empty() && mkdir(prefix.c_str(), DIRECTORY_MODE) != 0 && errno != EEXIST)
            return false;
        if (end == std::string::npos) return true;
    }
}

bool read_all(int fd, std::byte* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, out + done, size - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

bool write_all(int fd, const std::byte* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = write(fd, data + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

void append_word(std::vector<std::byte>& out, std::uint64_t word) {
    const auto* bytes = reinterpret_cast<const std::byte*>(&word);
    out.insert(out.end(), bytes, bytes + sizeof word);
}

std::uint64_t word_at(std::span<const std::byte> bytes, std::size_t index) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + index * sizeof word, sizeof word);
    return word;
}

std::vector<std::byte> encode(const Retained& retained) {
    std::vector<std::byte> out;
    out.reserve((HEADER_WORDS + ENTRY_WORDS * retained.folded.size()) * 8 +
                retained.payload.size());
    append_word(out, RETAINED_MAGIC);
    append_word(out, retained.payload.size());
    append_word(out, retained.folded.size());
    for (const FoldedFile& file : retained.folded) {
        append_word(out, file.identity.device);
        append_word(out, file.identity.inode);
        append_word(out, file.content_hash);
    }
    out.insert(out.end(), retained.payload.begin(), retained.payload.end());
    return out;
}

std::optional<Retained> decode(std::span<const std::byte> bytes) {
    if (bytes.size() < HEADER_WORDS * 8 || word_at(bytes, 0) != RETAINED_MAGIC) return std::nullopt;
    const std::uint64_t payload_size = word_at(bytes, 1);
    const std::uint64_t entries = word_at(bytes, 2);
    if (entries > MAX_RETAINED_BYTES / (ENTRY_WORDS * 8) || payload_size > MAX_RETAINED_BYTES)
        return std::nullopt;
    const std::uint64_t entries_end = (HEADER_WORDS + ENTRY_WORDS * entries) * 8;
    if (bytes.size() != entries_end + payload_size) return std::nullopt;
    Retained retained;
    retained.folded.reserve(entries);
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t first = HEADER_WORDS + ENTRY_WORDS * i;
        retained.folded.push_back(
            {{word_at(bytes, first), word_at(bytes, first + 1)}, word_at(bytes, first + 2)});
    }
    const auto payload = bytes.subspan(entries_end);
    retained.payload.assign(payload.begin(), payload.end());
    return retained;
}

// The retained file open at `fd`, when it is a plain file of `owner` in our format.
std::optional<Retained> load_retained(int fd, uid_t owner) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
        info.st_uid != owner || info.st_size < 0 ||
        static_cast<std::uint64_t>(info.st_size) > MAX_RETAINED_BYTES)
        return std::nullopt;
    std::vector<std::byte> bytes(static_cast<std::size_t>(info.st_size));
    if (!read_all(fd, bytes.data(), bytes.size())) return std::nullopt;
    return decode(bytes);
}

std::optional<Identity> identity_at(int dir_fd, const char* name) {
    struct stat info {};
    if (fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return identity_of(info);
}

constexpr int READ_FLAGS = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    const int old = std::exchange(fd_, std::exchange(other.fd_, -1));
    if (old >= 0) close(old);
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
}

Mapping Mapping::allocate(int fd, std::size_t size) {
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) return {};
    if (const int error = posix_fallocate(fd, 0, static_cast<off_t>(size)); error != 0) {
        errno = error;  // posix_fallocate reports its error instead of setting errno
        return {};
    }
    void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) return {};
    return Mapping(address, size, fault_guard::guard(address, size));
}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
    Mapping old(std::move(*this));
    address_ = std::exchange(other.address_, nullptr);
    size_ = other.size_;
    guard_ = std::exchange(other.guard_, 0);
    return *this;
}

Mapping::~Mapping() {
    fault_guard::release(guard_);
    if (address_) munmap(address_, size_);
}

bool Mapping::lost() const {
    return fault_guard::lost(guard_);
}

Identity identity_of(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

// FNV-1a: the files it tells apart are our own, so no adversary picks the contents.
std::uint64_t content_hash(std::span<const std::byte> content) {
    std::uint64_t hash = 0xcbf29ce484222325;
    for (std::byte b : content) {
        hash ^= static_cast<std::uint64_t>(b);
        hash *= 0x100000001b3;
    }
    return hash;
}

std::optional<Directory> open_directory(const std::string& path, bool create) {
    if (path.empty() || path.size() > MAX_DIRECTORY_TEXT || path.find('\0') != std::string::npos) {
        errno = path.size() > MAX_DIRECTORY_TEXT ? ENAMETOOLONG : EINVAL;
        return std::nullopt;
    }
    if (create && !make_directories(path)) return std::nullopt;
    FileDescriptor fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!fd || fstat(fd.get(), &info) != 0) return std::nullopt;
    return Directory{std::move(fd), info.st_uid, geteuid()};
}

int probe_directory(const std::string& path, std::size_t size) {
    errno = 0;
    const auto directory = open_directory(path, true);
    if (!directory) return errno;
    const auto temporary = detail::create_locked_temporary(directory->fd.get());
    if (!temporary) return errno;
    const int error = Mapping::allocate(temporary->fd.get(), size) ? 0 : errno;
    detail::discard(directory->fd.get(), temporary->name);
    return error;
}

bool is_worker_name(std::string_view name, std::string_view suffix) {
    return name.size() >= PREFIX.size() + suffix.size() && name.starts_with(PREFIX) &&
           name.ends_with(suffix) && text::is_valid_utf8(name);
}

bool countable(const struct stat& info, const Directory& directory) {
    return S_ISREG(info.st_mode) && info.st_nlink == 1 &&
           (info.st_uid == directory.user || info.st_uid == directory.owner);
}

FileDescriptor open_countable(const Directory& directory, const char* name, struct stat& info) {
    FileDescriptor fd(openat(directory.fd.get(), name, READ_FLAGS));
    if (!fd || fstat(fd.get(), &info) != 0 || !countable(info, directory)) return {};
    return fd;
}

bool still_named(const std::string& path, const Identity& identity) {
    struct stat info {};
    return fstatat(AT_FDCWD, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           identity_of(info) == identity && info.st_nlink == 1;
}

Placement placement(const std::string& path, const Identity& identity, const Mapping& mapping) {
    struct stat info {};
    if (fstatat(AT_FDCWD, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        identity_of(info) != identity || info.st_nlink != 1)
        return Placement::gone;
    if (mapping.lost() || info.st_size < static_cast<off_t>(mapping.size()))
        return Placement::damaged;
    return Placement::in_place;
}

void remove_own(const std::string& path, const Identity& identity) {
    if (still_named(path, identity)) unlink(path.c_str());
}

Names list_names(const Directory& directory) {
    Names names;
    DIR* listing = fdopendir(fcntl(directory.fd.get(), F_DUPFD_CLOEXEC, 0));
    if (listing == nullptr) return names;
    rewinddir(listing);  // the duplicate shares its offset with the directory's descriptor
    while (const dirent* entry = readdir(listing))
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    closedir(listing);
    return names;
}

std::string spare_name(pid_t pid, std::string_view suffix) {
    return std::string(PREFIX) + std::to_string(pid) + "-" + random_tag().substr(0, 8) +
           std::string(suffix);
}

std::optional<pid_t> temporary_creator(std::string_view name) {
    if (!name.starts_with(PREFIX) || !name.ends_with(TEMPORARY_SUFFIX)) return std::nullopt;
    name.remove_prefix(PREFIX.size());
    name.remove_suffix(TEMPORARY_SUFFIX.size());
    const std::size_t dash = name.find('-');
    if (dash == std::string_view::npos || !all_hex_digits(name.substr(dash + 1)))
        return std::nullopt;
    const std::string_view digits = name.substr(0, dash);
    pid_t pid = 0;
    if (!all_digits(digits) ||
        std::from_chars(digits.data(), digits.data() + digits.size(), pid).ec != std::errc() ||
        pid <= 0)
        return std::nullopt;
    return pid;
}

bool stale_temporary(const Directory& directory, const char* name) {
    const auto creator = temporary_creator(name);
    if (!creator || !pid_gone(*creator)) return false;
    struct stat info {};
    return fstatat(directory.fd.get(), name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(info.st_mode) && info.st_uid == directory.user;
}

bool remove_stale_temporary(const Directory& directory, const char* name) {
    const auto creator = temporary_creator(name);
    if (!creator) return false;
    const FileDescriptor fd(openat(directory.fd.get(), name, READ_FLAGS));
    struct stat info {};
    if (fd && fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_uid == directory.user && writer_gone(fd.get(), *creator))
        unlinkat(directory.fd.get(), name, 0);
    return true;
}

bool pid_gone(pid_t pid) {
    return kill(pid, 0) != 0 && errno == ESRCH;
}

bool writer_gone(int fd, pid_t pid) {
    return pid_gone(pid) && flock(fd, LOCK_EX | LOCK_NB) == 0;
}

FileDescriptor try_fold_lock(const Directory& directory, std::string_view family) {
    const std::string name =
        std::string(PREFIX) + std::string(family) + "." + std::to_string(directory.user) + ".lock";
    FileDescriptor fd(openat(directory.fd.get(), name.c_str(),
                             O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, LOCK_MODE));
    struct stat info {};
    if (!fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
        info.st_uid != directory.user || flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return {};
    return fd;
}

std::string retained_name(std::string_view family, uid_t owner) {
    return std::string(PREFIX) + std::string(family) + "." + std::to_string(owner) + ".retained";
}

bool Retained::was_folded(const Identity& identity, std::span<const std::byte> content) const {
    bool hashed = false;
    std::uint64_t hash = 0;
    for (const FoldedFile& file : folded) {
        if (file.identity != identity) continue;
        if (!hashed) hash = content_hash(content), hashed = true;
        if (file.content_hash == hash) return true;
    }
    return false;
}

RetainedView RetainedView::read(const Directory& directory, std::string_view family) {
    RetainedView view;
    std::vector<uid_t> owners{directory.user};
    if (directory.owner != owners.front()) owners.push_back(directory.owner);
    for (const uid_t owner : owners) {
        Source source{retained_name(family, owner), {}, std::nullopt};
        const int dir_fd = directory.fd.get();
        source.fd = FileDescriptor(openat(dir_fd, source.name.c_str(), READ_FLAGS));
        if (!source.fd && errno != ENOENT)  // a link or an unreadable file: pin it all the same
            source.fd = FileDescriptor(
                openat(dir_fd, source.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (source.fd && fstat(source.fd.get(), &info) == 0) {
            source.identity = identity_of(info);
            if (auto retained = load_retained(source.fd.get(), owner))
                view.files_.push_back(std::move(*retained));
        }
        view.sources_.push_back(std::move(source));
    }
    return view;
}

bool RetainedView::was_folded(const Identity& identity, std::span<const std::byte> content) const {
    for (const Retained& file : files_)
        if (file.was_folded(identity, content)) return true;
    return false;
}

bool RetainedView::unchanged(const Directory& directory) const {
    for (const Source& source : sources_)
        if (identity_at(directory.fd.get(), source.name.c_str()) != source.identity) return false;
    return true;
}

Retained read_own_retained(const Directory& directory, std::string_view family) {
    const FileDescriptor fd(
        openat(directory.fd.get(), retained_name(family, directory.user).c_str(), READ_FLAGS));
    if (fd)
        if (auto retained = load_retained(fd.get(), directory.user)) return std::move(*retained);
    return {};
}

bool replace_retained(const Directory& directory, std::string_view family,
                      const Retained& retained) {
    const int dir_fd = directory.fd.get();
    auto temporary = detail::create_locked_temporary(dir_fd);
    if (!temporary) return false;
    const std::vector<std::byte> bytes = encode(retained);
    if (write_all(temporary->fd.get(), bytes.data(), bytes.size()) &&
        renameat(dir_fd, temporary->name.c_str(), dir_fd,
                 retained_name(family, directory.user).c_str()) == 0)
        return true;
    detail::discard(dir_fd, temporary->name);
    return false;
}

namespace detail {

std::optional<Temporary> create_locked_temporary(int dir_fd) {
    const std::string stem = std::string(PREFIX) + std::to_string(getpid()) + "-";
    for (int attempt = 0; attempt < TEMPORARY_ATTEMPTS; ++attempt) {
        std::string name = stem + random_tag() + std::string(TEMPORARY_SUFFIX);
        FileDescriptor fd(openat(dir_fd, name.c_str(),
                                 O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, FILE_MODE));
        if (!fd) {
            if (errno == EEXIST) continue;
            return std::nullopt;
        }
        if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            discard(dir_fd, name);
            return std::nullopt;
        }
        return Temporary{std::move(fd), std::move(name)};
    }
    return std::nullopt;
}

void discard(int dir_fd, const std::string& name) {
    unlinkat(dir_fd, name.c_str(), 0);
}

int publish(int dir_fd, const std::string& temporary, const std::string& name) {
    // The system call itself, as for getrandom: glibc has renameat2() only from 2.28 on.
    const long renamed =
        syscall(SYS_renameat2, dir_fd, temporary.c_str(), dir_fd, name.c_str(), RENAME_NOREPLACE);
    if (renamed == 0) return 1;
    if (errno == EEXIST) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // A filesystem without the no-replace rename: a hard link never replaces either. For
    // a moment the file has two names, and merges skip it; it holds no requests yet.
    if (linkat(dir_fd, temporary.c_str(), dir_fd, name.c_str(), 0) != 0)
        return errno == EEXIST ? 0 : -1;
    discard(dir_fd, temporary);
    return 1;
}

std::optional<Identity> identity_of_fd(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return std::nullopt;
    return identity_of(info);
}

FileDescriptor open_plain_own_locked(const Directory& directory, const std::string& name) {
    FileDescriptor fd(
        openat(directory.fd.get(), name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const auto plain_own = [&] {
        struct stat info {};
        return fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
               info.st_uid == directory.user;
    };
    // Checked again once locked: a folder may have deleted the file in between.
    if (!fd || !plain_own() || flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || !plain_own()) return {};
    return fd;
}

}  // namespace detail

}  // namespace worker_files
