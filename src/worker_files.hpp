// Files that worker processes keep in a shared directory: creating and claiming one's
// own file, judging whether another file's writer is gone, folding the files of gone
// writers into a retained-totals file, and reading that file without locks.
//
// Rules every user of this unit relies on:
// - A writer's file appears under its final name only once initialised (it is built
//   under a temporary name and renamed into place without replacing anything), and its
//   writer holds an exclusive flock on it from before the rename until its last
//   descriptor or mapping goes: the kernel drops the lock when the writer dies, a
//   forked child shares it, and it is seen across PID namespaces.
// - A file may be folded only when the signal-0 probe of its writer's pid says the
//   process does not exist (ESRCH) and its flock can be taken. A probe that says alive,
//   also EPERM, is never overruled.
// - One folder per user and directory at a time, under a non-blocking flock on a lock
//   file: a busy lock means "someone else is tidying", never a wait.
// - Readers take no lock and never wait: they read the retained files, then the live
//   files, then check that no retained file was replaced meanwhile, and redo otherwise.
//   A retained file lists the files folded into it that may still exist, so a folder
//   killed between its rename and its unlinks causes no double count.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace worker_files {

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A shared read-write mapping of the first `size` bytes of a writer's own file, guarded
// against the file being cut short under it (see fault_guard); unmapped on destruction.
class Mapping {
public:
    Mapping() = default;
    // Sizes the file to `size` bytes with its blocks allocated up front, then maps it: a
    // store into a sparse page of a full filesystem would raise SIGBUS. On failure errno
    // says why.
    static Mapping allocate(int fd, std::size_t size);
    Mapping(Mapping&& other) noexcept
        : address_(std::exchange(other.address_, nullptr)),
          size_(other.size_),
          guard_(std::exchange(other.guard_, 0)) {}
    Mapping& operator=(Mapping&& other) noexcept;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping();
    explicit operator bool() const { return address_ != nullptr; }
    void* data() const { return address_; }
    std::size_t size() const { return size_; }
    // The file was cut short and a store went to memory of this process instead.
    bool lost() const;

private:
    Mapping(void* address, std::size_t size, int guard)
        : address_(address), size_(size), guard_(guard) {}
    void* address_ = nullptr;
    std::size_t size_ = 0;
    int guard_ = 0;
};

// Which file a name stood for. Inode numbers are reused once a file is gone, so a
// folded file is recognised by its device, inode and a hash of its contents together.
struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const Identity&) const = default;
};
Identity identity_of(const struct stat& info);

struct FoldedFile {
    Identity identity;
    std::uint64_t content_hash = 0;
    bool operator==(const FoldedFile&) const = default;
};

std::uint64_t content_hash(std::span<const std::byte> content);

// The shared directory, opened for the *at calls, with its owner and the user this
// process acts as (looked up once: it is a system call).
struct Directory {
    FileDescriptor fd;
    uid_t owner = 0;
    uid_t user = 0;
};

// Longer directory texts are refused before anything is created: the kernel refuses
// them too, but only after the parents have been made one component at a time.
inline constexpr std::size_t MAX_DIRECTORY_TEXT = 4095;

// Creates `path` with its parents when `create` is set (mode 0755: never writable by
// others), then opens it. Files made in it are 0644, fold locks 0600.
std::optional<Directory> open_directory(const std::string& path, bool create);

// Why a writer could not keep files of `size` bytes in `path` (created as a writer
// creates it): the system's error number of the first step that fails, after trying
// exactly what a writer does (a locked temporary file, sized and allocated, then
// removed); 0 when it could.
int probe_directory(const std::string& path, std::size_t size);

// A regular file with exactly one name, owned by this process's user or by the
// directory's owner: the only files a merge counts. A file with a second link could be
// counted twice, and one owned by anybody else was planted by someone who may not write
// there.
bool countable(const struct stat& info, const Directory& directory);

// Whether `name` is one a writer gives its file of a kind: "vrk-", then anything, then
// `suffix`, all valid UTF-8 (readers hand names on as text).
bool is_worker_name(std::string_view name, std::string_view suffix);

// Opens `name` for reading without following links or blocking on special files, and
// only when it is countable; `info` receives its status.
FileDescriptor open_countable(const Directory& directory, const char* name, struct stat& info);

// A writer's own file, locked and published under its final name.
struct OwnFile {
    FileDescriptor fd;
    std::string name;
    Identity identity;
};

// Builds a file under a temporary name that merges ignore, with the writer's lock
// already on it: `initialise` gets the descriptor of the empty file and returns false on
// failure. Then renames it to the first of `names` that is free; a taken name is no
// reason to give up. The temporary file is removed on every failure.
template <typename Initialise>
std::optional<OwnFile> create_own(const Directory& directory, std::span<const std::string> names,
                                  Initialise&& initialise);

// Takes over the existing file `name` when it is a plain file of this user that nobody
// holds: the lock is taken before the descriptor is returned. `accept` checks the
// contents through the descriptor.
template <typename Accept>
std::optional<OwnFile> adopt_own(const Directory& directory, const std::string& name,
                                 Accept&& accept);

// Whether `path` still names the file `identity`, with no second link.
bool still_named(const std::string& path, const Identity& identity);

// What the once-a-second check of a writer finds of its own file.
enum class Placement {
    in_place,
    gone,     // its name is gone or names another file (a wiped directory)
    damaged,  // cut short: stores went or would go to memory of this process
};
Placement placement(const std::string& path, const Identity& identity, const Mapping& mapping);

// Removes the name `path` when it still names the file `identity`: a damaged own file
// leaves no litter behind its replacement.
void remove_own(const std::string& path, const Identity& identity);

// "vrk-<pid>-<8 random hex digits><suffix>": a name of a writer's own beside
// "vrk-<pid><suffix>", for when that one is taken (readers take the pid from the file).
std::string spare_name(pid_t pid, std::string_view suffix);

// The names in a directory, listed once: every reader of one scrape goes over this one
// list, whatever kinds of worker file it reads. A file made after the listing is read
// at the next scrape; one deleted since is skipped, as it cannot be opened.
using Names = std::vector<std::string>;
Names list_names(const Directory& directory);

// Names of temporary files: "vrk-<pid>-<16 random hex digits>.tmp", which nobody else can
// foresee and take first. The pid lets a folder remove those whose creator died before
// publishing them.
std::optional<pid_t> temporary_creator(std::string_view name);

// A temporary file of this user whose creator's pid is gone: what a merge notes for the
// next fold, without touching the file.
bool stale_temporary(const Directory& directory, const char* name);

// For a folder holding the fold lock: whether `name` is a temporary name, removing the
// file when it is this user's and its creator is gone (pid and lock).
bool remove_stale_temporary(const Directory& directory, const char* name);

// The pid a worker file records in a 64-bit word (a 32-bit id, zero-extended). Readers
// skip files whose pid is not positive: 0 and negative ids address process groups.
inline pid_t pid_in_word(std::uint64_t word) {
    return static_cast<pid_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(word)));
}

// Signal 0 reports whether a process exists; EPERM means it does, under another user.
// Only ESRCH means it does not.
bool pid_gone(pid_t pid);

// The writer of the file open at `fd` (whose pid the file or its name gives) is gone:
// its pid does not exist and nobody holds its lock. On success the caller holds the
// lock until it closes `fd`, so the file cannot be adopted meanwhile.
bool writer_gone(int fd, pid_t pid);

// The fold lock of this user for the files called `family`, or nothing when another
// process holds it (or it cannot be made). Held until the descriptor closes.
FileDescriptor try_fold_lock(const Directory& directory, std::string_view family);

// Name of the retained-totals file of `family` kept by `owner`. Merges never count it as
// a worker's file.
std::string retained_name(std::string_view family, uid_t owner);

// What a retained-totals file holds: the figures of every folded file, in a layout of
// its family's choosing, and the identities of folded files that may still exist.
struct Retained {
    std::vector<std::byte> payload;
    std::vector<FoldedFile> folded;

    bool was_folded(const Identity& identity, std::span<const std::byte> content) const;
};

// The retained files a merge reads, kept open until the merge has checked they were not
// replaced: an open file keeps its inode number from being reused.
class RetainedView {
public:
    // Reads the retained file of `family` of each user whose files this process counts:
    // its own and the directory owner's.
    static RetainedView read(const Directory& directory, std::string_view family);
    std::span<const Retained> files() const { return files_; }
    bool was_folded(const Identity& identity, std::span<const std::byte> content) const;
    // No retained file appeared, vanished or was replaced since `read`.
    bool unchanged(const Directory& directory) const;

private:
    struct Source {
        std::string name;
        FileDescriptor fd;
        std::optional<Identity> identity;
    };
    std::vector<Source> sources_;
    std::vector<Retained> files_;
};

// The retained file of this user, as the folder holding the fold lock sees it.
Retained read_own_retained(const Directory& directory, std::string_view family);

// Replaces the retained file of this user atomically (write to a temporary, rename).
bool replace_retained(const Directory& directory, std::string_view family,
                      const Retained& retained);

// Bound on the rereads of a merge that keeps meeting replaced retained files; should all
// be spent, the merge reports its last reading. A fold replaces the file once per batch
// of gone writers, so in practice one reread suffices.
inline constexpr int MAX_READ_ATTEMPTS = 64;

// --- the one merge and the one fold, for every kind of worker file -------------------
//
// A kind of worker file tells how its files are named and read, and how their figures
// add up; the merge and the fold are the same for every kind:
//
//   struct Kind {
//       using Image = ...;   // one file's contents, as read
//       using Totals = ...;  // what files and retained totals add up to
//       std::string family;  // names the kind's retained totals and fold lock
//       bool is_name(std::string_view name) const;
//       // The file open at `fd` read whole and valid, with a pid that names one process.
//       std::optional<Image> read(int fd, const struct stat& info) const;
//       pid_t pid(const Image&) const;
//       std::span<const std::byte> bytes(const Image&) const;
//       void add_retained(Totals&, std::span<const std::byte> payload) const;
//       bool add(Totals&, const Image&) const;  // false: left out of the totals
//       // Whether a fold may move the image into retained totals of these figures.
//       bool fits(const Totals&, const Image&) const;
//       std::vector<std::byte> encode(const Totals&) const;
//   };

// A file of a kind as a reader finds it: countable, read whole and valid.
template <typename Kind>
struct FileRead {
    std::string name;
    FileDescriptor fd;
    struct stat info {};
    typename Kind::Image image;
};

template <typename Kind>
std::optional<FileRead<Kind>> read_file(const Directory& directory, const Kind& kind,
                                        const char* name) {
    if (!kind.is_name(name)) return std::nullopt;
    FileRead<Kind> file;
    // Read, not mapped: a mapped file that another process cuts short raises SIGBUS in
    // the reader on its next access, while a read just comes up short.
    file.fd = open_countable(directory, name, file.info);
    if (!file.fd) return std::nullopt;
    auto image = kind.read(file.fd.get(), file.info);
    if (!image) return std::nullopt;
    file.image = std::move(*image);
    file.name = name;
    return file;
}

template <typename Kind>
struct MergeResult {
    typename Kind::Totals totals;
    std::uint64_t left_out = 0;  // files of the kind that `add` refused
    // The files counted, still open, when the merge was asked to keep them.
    std::vector<FileRead<Kind>> files;
};

enum class Keep { totals, files };
// Whether a merge that meets what a fold could tidy folds: a reader that only looks
// (a monitor) leaves the directory as it is.
enum class Tidy { fold, look };

// The retained totals of the kind plus every countable file of it that was not folded
// into them, read again while a retained file was replaced meanwhile. Then, when the
// pass met what a fold could tidy (a file of this user whose writer's pid is gone, a
// folded file still present, a temporary file whose creator is gone), a fold.
template <typename Kind>
MergeResult<Kind> merge(const Directory& directory, const Names& names, const Kind& kind,
                        const typename Kind::Totals& empty, Keep keep = Keep::totals,
                        Tidy tidy = Tidy::fold);

// For a folder: moves the files of this user's gone writers into the retained totals of
// the kind and deletes them, and removes what folders and writers that died left behind.
// One process per user and kind does this at a time; when another one is at it, this
// one leaves it be.
//
// Every step keeps the count right if the process dies right after it: the leftovers of
// an earlier fold are deleted first (the retained file lists them, so nobody counts
// them); the new totals and the list of files folded now replace the retained file in
// one rename; only then are those files deleted, and a reader that still sees one skips
// it by that list.
template <typename Kind>
void fold(const Directory& directory, const Names& names, const Kind& kind,
          const typename Kind::Totals& empty);

// --- implementation of the templates -------------------------------------------------

namespace detail {
struct Temporary {
    FileDescriptor fd;
    std::string name;
};
std::optional<Temporary> create_locked_temporary(int dir_fd);
void discard(int dir_fd, const std::string& name);
// 1: published, 0: name taken, -1: failed.
int publish(int dir_fd, const std::string& temporary, const std::string& name);
std::optional<Identity> identity_of_fd(int fd);
FileDescriptor open_plain_own_locked(const Directory& directory, const std::string& name);
}  // namespace detail

template <typename Initialise>
std::optional<OwnFile> create_own(const Directory& directory, std::span<const std::string> names,
                                  Initialise&& initialise) {
    const int dir_fd = directory.fd.get();
    auto temporary = detail::create_locked_temporary(dir_fd);
    if (!temporary) return std::nullopt;
    const auto identity = detail::identity_of_fd(temporary->fd.get());
    if (identity && initialise(temporary->fd.get())) {
        for (const std::string& name : names) {
            const int outcome = detail::publish(dir_fd, temporary->name, name);
            if (outcome == 1) return OwnFile{std::move(temporary->fd), name, *identity};
            if (outcome < 0) break;
        }
    }
    detail::discard(dir_fd, temporary->name);
    return std::nullopt;
}

template <typename Accept>
std::optional<OwnFile> adopt_own(const Directory& directory, const std::string& name,
                                 Accept&& accept) {
    FileDescriptor fd = detail::open_plain_own_locked(directory, name);
    if (!fd) return std::nullopt;
    const auto identity = detail::identity_of_fd(fd.get());
    if (!identity || !accept(fd.get())) return std::nullopt;
    return OwnFile{std::move(fd), name, *identity};
}

namespace detail {
template <typename Kind>
MergeResult<Kind> merge_once(const Directory& directory, const Names& names, const Kind& kind,
                             const RetainedView& retained, const typename Kind::Totals& empty,
                             Keep keep, bool& fold_due) {
    MergeResult<Kind> result{empty};
    for (const Retained& file : retained.files()) kind.add_retained(result.totals, file.payload);
    for (const std::string& name : names) {
        if (!kind.is_name(name)) {
            fold_due = fold_due || stale_temporary(directory, name.c_str());
            continue;
        }
        auto file = read_file(directory, kind, name.c_str());
        if (!file) continue;
        const bool ours = file->info.st_uid == directory.user;
        if (retained.was_folded(identity_of(file->info), kind.bytes(file->image))) {
            fold_due = fold_due || ours;
            continue;
        }
        if (!kind.add(result.totals, file->image)) {
            ++result.left_out;
            continue;
        }
        fold_due = fold_due || (ours && pid_gone(kind.pid(file->image)));
        if (keep == Keep::files) result.files.push_back(std::move(*file));
    }
    return result;
}
}  // namespace detail

template <typename Kind>
MergeResult<Kind> merge(const Directory& directory, const Names& names, const Kind& kind,
                        const typename Kind::Totals& empty, Keep keep, Tidy tidy) {
    std::optional<MergeResult<Kind>> result;
    bool fold_due = false;
    for (int attempt = 1; attempt <= MAX_READ_ATTEMPTS; ++attempt) {
        const auto retained = RetainedView::read(directory, kind.family);
        fold_due = false;
        result = detail::merge_once(directory, names, kind, retained, empty, keep, fold_due);
        if (retained.unchanged(directory)) break;
    }
    if (fold_due && tidy == Tidy::fold) fold(directory, names, kind, empty);
    return std::move(*result);
}

template <typename Kind>
void fold(const Directory& directory, const Names& names, const Kind& kind,
          const typename Kind::Totals& empty) {
    const int dir_fd = directory.fd.get();
    const FileDescriptor lock = try_fold_lock(directory, kind.family);
    if (!lock) return;
    Retained retained = read_own_retained(directory, kind.family);
    typename Kind::Totals totals = empty;
    kind.add_retained(totals, retained.payload);
    std::vector<FoldedFile> folded_now;
    // The folded files stay open, and so locked, until they are deleted.
    std::vector<std::pair<std::string, FileDescriptor>> to_delete;
    bool leftovers = false;

    for (const std::string& name : names) {
        if (remove_stale_temporary(directory, name.c_str())) continue;
        auto file = read_file(directory, kind, name.c_str());
        if (!file || file->info.st_uid != directory.user) continue;
        const auto identity = identity_of(file->info);
        if (retained.was_folded(identity, kind.bytes(file->image))) {
            unlinkat(dir_fd, name.c_str(), 0);
            leftovers = true;
            continue;
        }
        // Read again once the lock is ours: those are the final contents.
        if (!writer_gone(file->fd.get(), kind.pid(file->image))) continue;
        auto final_image = kind.read(file->fd.get(), file->info);
        if (!final_image || !kind.fits(totals, *final_image) || !kind.add(totals, *final_image))
            continue;
        folded_now.push_back({identity, content_hash(kind.bytes(*final_image))});
        to_delete.emplace_back(name, std::move(file->fd));
    }

    if (to_delete.empty() && !leftovers) return;
    retained.payload = kind.encode(totals);
    retained.folded = std::move(folded_now);
    if (!replace_retained(directory, kind.family, retained)) return;
    for (const auto& [name, fd] : to_delete) unlinkat(dir_fd, name.c_str(), 0);
}

}  // namespace worker_files
