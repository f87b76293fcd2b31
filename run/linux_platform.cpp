#include "linux_platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// Linux moves at most about 2 GiB in one call; ask for no more than 1 GiB at a time.
constexpr std::uint32_t largest_transfer = 1u << 30;

// The input is read in pieces of at most 64 MiB, and the lease is looked at after each (see
// lease_still_protects).
constexpr std::uint32_t largest_read = 1u << 26;

// Takes the file for this process alone, or fails at once if another process holds it.
bool lock_exclusively(int file) { return flock(file, LOCK_EX | LOCK_NB) == 0; }

enum class lease { taken, file_in_use, not_available };

constexpr std::int64_t nanoseconds_per_second = 1'000'000'000;

// Nanoseconds on the monotonic clock.
std::int64_t now() {
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return std::int64_t{time.tv_sec} * nanoseconds_per_second + time.tv_nsec;
}

// flock binds only programs that ask for it. A write lease is what Windows' share mode 0 gives:
// the kernel refuses it (EAGAIN) while any other descriptor of the file is open, for reading or
// writing, and while it is held another process's open waits until the file is closed. An open
// that goes away within a moment is waited out: the file chooser's worker thread may still be
// reading the chosen file to guess its type, and a second run that lost the flock closes its
// descriptor at once. Any other refusal (EACCES: another user's file without CAP_LEASE; EINVAL: a
// file system without leases) leaves the flock alone to hold the file. asked_at is when the
// attempt that got the lease began: no break of it can have begun earlier.
lease take_write_lease(int file, std::int64_t& asked_at) {
    constexpr int attempts = 100;
    constexpr timespec pause{0, 10'000'000};
    for (int attempt = 1;; ++attempt) {
        asked_at = now();
        if (fcntl(file, F_SETLEASE, F_WRLCK) == 0) return lease::taken;
        if (errno != EAGAIN) return lease::not_available;
        if (attempt == attempts) return lease::file_in_use;
        nanosleep(&pause, nullptr);
    }
}

std::string folder_of(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Buffer address, length and file offset must be multiples of the device's block size for O_DIRECT;
// 4 KiB covers the usual 512-byte and 4 KiB devices.
constexpr std::uint32_t direct_alignment = 4096;

bool set_direct(int file, bool on) {
    const int flags = fcntl(file, F_GETFL);
    if (flags < 0) return false;
    return fcntl(file, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

linux_platform::~linux_platform() {
    close_file();
    release(mapping_);
}

bool linux_platform::choose(chooser_kind kind) {
    path_.clear();
    return choose_(kind, path_) && !path_.empty();
}

// Opens the very file that looked_at refers to, whatever its name leads to by now. Without /proc
// there is no such way, and the input is not processed.
int linux_platform::reopen(int looked_at) {
    const std::string self = "/proc/self/fd/" + std::to_string(looked_at);
    return open(self.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// Only regular files are processed: the chosen name is first looked at through a descriptor that
// opens nothing (O_PATH), and only a regular file is then opened, through that descriptor, so that
// a device, FIFO or folder is never opened, even one swapped in for the file meanwhile. A file
// with no write permission at all is read-only and refused even where the process could write it
// anyway (as root). The input is held under a flock and, where the kernel grants one, a write
// lease; a file another process has open is not processed. The open is non-blocking, so a file
// leased by another run fails at once.
bool linux_platform::open_input() {
    const int looked_at = open(path_.c_str(), O_PATH | O_CLOEXEC);
    if (looked_at < 0) return false;
    struct stat seen {};
    int file = -1;
    if (fstat(looked_at, &seen) == 0 && S_ISREG(seen.st_mode) && (seen.st_mode & 0222) != 0) file = reopen_(looked_at);
    close(looked_at);
    if (file < 0) return false;
    if (!lock_exclusively(file)) {
        close(file);
        return false;
    }
    const lease held = take_write_lease(file, whole_seen_);
    if (held == lease::file_in_use) {
        close(file);
        return false;
    }
    file_ = file;
    leased_ = held == lease::taken;
    if (leased_) break_seconds_ = lease_break_time_();
    return true;
}

// Read when the lease is taken. A value the run cannot read leaves the break time unknown; a
// negative one, like 0, tells the kernel never to let another open through.
int linux_platform::lease_break_time() {
    const int setting = open("/proc/sys/fs/lease-break-time", O_RDONLY | O_CLOEXEC);
    if (setting < 0) return -1;
    char text[24] = {};
    const ssize_t got = read(setting, text, sizeof text - 1);
    close(setting);
    char* end = nullptr;
    errno = 0;
    const long seconds = got > 0 ? std::strtol(text, &end, 10) : -1;
    if (got <= 0 || end == text || errno != 0 || seconds > INT32_MAX) return -1;
    return seconds < 0 ? 0 : static_cast<int>(seconds);
}

std::uint64_t linux_platform::input_length() {
    struct stat info {};
    if (fstat(file_, &info) != 0 || info.st_size < 0) return UINT64_MAX;
    return static_cast<std::uint64_t>(info.st_size);
}

// Anonymous memory comes zeroed. Faulting in fresh 4 KiB pages one at a time as the read fills
// them is slow (figures in docs/speed.md), so the buffer is taken 2 MiB aligned, marked for
// transparent huge pages (mere advice where they are off) and populated in one call. Before Linux
// 5.14 that call fails with EINVAL and the pages fault in as before; ENOMEM means the memory is not
// there, which fails the run now rather than mid-read.
std::uint8_t* linux_platform::allocate_zeroed(std::uint32_t size) {
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    const std::size_t length = (std::size_t{size} + huge_page - 1) / huge_page * huge_page;
    void* const mapped = mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    auto* const base = static_cast<std::uint8_t*>(mapped);
    const std::size_t lead = (huge_page - reinterpret_cast<std::uintptr_t>(base) % huge_page) % huge_page;
    if (lead != 0) munmap(base, lead);
    if (lead != huge_page) munmap(base + lead + length, huge_page - lead);
    mapping_ = base + lead;
    mapping_size_ = length;

    madvise(mapping_, length, MADV_HUGEPAGE);
    if (madvise(mapping_, length, MADV_POPULATE_WRITE) != 0 && errno == ENOMEM) {
        release(mapping_);
        return nullptr;
    }
    return mapping_;
}

// Another program's open of the leased input begins a break of the lease: the open waits, and
// from then on F_GETLEASE no longer reports the write lease, both while the kernel waits for the
// run to give the file up and after lease-break-time, when it drops the lease and lets that open
// go ahead, which may then change the file. The run cannot tell the two apart, but it knows the
// earliest moment the other open can go ahead: the break began after the last moment the lease was
// seen whole, and lasts the break time. So the run keeps the file and reads on, while each piece
// ends before that moment (less a second for the kernel's coarser clock); then it closes the input,
// and the other open goes ahead. A piece that ends later fails the read: nothing is written, and
// the input is closed at once. With the break time unknown, any break fails the read.
bool linux_platform::lease_still_protects() {
    const std::int64_t asked = now();
    if (fcntl(file_, F_GETLEASE) == F_WRLCK) {
        whole_seen_ = asked;
        return true;
    }
    if (break_seconds_ == 0) return true;
    return break_seconds_ > 0 && asked < whole_seen_ + (break_seconds_ - 1) * nanoseconds_per_second;
}

bool linux_platform::read_some(std::uint8_t* at, std::uint32_t want, std::uint32_t& got) {
    ssize_t result;
    do {
        result = read(file_, at, want < largest_read ? want : largest_read);
    } while (result < 0 && errno == EINTR);
    if (result < 0 || (leased_ && !lease_still_protects())) return false;
    got = static_cast<std::uint32_t>(result);
    return true;
}

// The output is first a file without a name, made in the chosen folder, and gets its name only
// once it is whole and on disk (finish_output): a run that ends before, in any way, even killed,
// leaves nothing under the name. Mode 0600 keeps a decrypted file private whatever the umask.
// A name that exists in any form, a dangling symlink included, is refused here already, so that
// no work is done for a name that cannot be had.
bool linux_platform::create_output() {
    struct stat existing {};
    if (lstat(path_.c_str(), &existing) == 0 || errno != ENOENT) return false;
    int file = -1;
    if (naming_ == output_naming::unnamed_until_finished) {
        file = open(folder_of(path_).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (file < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
    }
    unnamed_ = file >= 0;
    if (!unnamed_) {
        // Where the file system cannot make a file without a name, the name is made at once.
        // O_EXCL never replaces an existing name and never follows a symlink, dangling or not; a
        // failed run removes the file again (discard_output).
        file = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600);
        if (file < 0) return false;
        lock_exclusively(file);
    }
    file_ = file;
    output_offset_ = 0;
    direct_ = set_direct(file, true);
    return true;
}

// The output is written with O_DIRECT while buffer, length and file offset are aligned: the data
// goes from the buffer to the device without first being copied into (freshly allocated) page cache,
// which the fsync would then write out anyway (figures in docs/speed.md). The last part (under 4 KiB,
// or anything once unaligned) and file systems without O_DIRECT (setting the flag fails there) use
// plain writes.
bool linux_platform::write_some(const std::uint8_t* from, std::uint32_t want, std::uint32_t& put) {
    std::uint32_t amount = want < largest_transfer ? want : largest_transfer;
    if (direct_) {
        const bool aligned = reinterpret_cast<std::uintptr_t>(from) % direct_alignment == 0 &&
                             output_offset_ % direct_alignment == 0 && amount >= direct_alignment;
        if (aligned) {
            amount -= amount % direct_alignment;
        } else {
            direct_ = false;
            if (!set_direct(file_, false)) return false;
        }
    }
    ssize_t result;
    do {
        result = write(file_, from, amount);
    } while (result < 0 && errno == EINTR);
    if (result < 0 && errno == EINVAL && direct_) {  // the device wants a coarser alignment
        direct_ = false;
        if (!set_direct(file_, false)) return false;
        return write_some(from, want, put);
    }
    if (result < 0) return false;
    put = static_cast<std::uint32_t>(result);
    output_offset_ += put;
    return true;
}

// The data goes to disk first, then the name is given, then the folder that holds the name goes
// to disk too, so that the name survives a crash. A failure at any step fails the run, which then
// removes the output (discard_output).
bool linux_platform::finish_output() {
    if (flush_(file_) != 0 || !name_output() || !flush_folder()) return false;
    close_file();
    return true;
}

// A folder this user may not read cannot be opened to be flushed; the name then reaches the disk
// with the file system's next commit. Some file systems cannot flush a folder at all (EINVAL).
bool linux_platform::flush_folder() {
    const int folder = open(folder_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return true;
    const bool flushed = flush_(folder) == 0 || errno == EINVAL;
    close(folder);
    return flushed;
}

// Linking fails, leaving nothing, if anything has taken the name meanwhile (another run among
// them), so an existing file is never replaced.
bool linux_platform::name_output() {
    if (!unnamed_) return true;
    const std::string self = "/proc/self/fd/" + std::to_string(file_);
    int linked = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path_.c_str(), AT_SYMLINK_FOLLOW);
    // Without /proc, the descriptor itself can be linked where the process may (as root).
    if (linked != 0 && errno == ENOENT) linked = linkat(file_, "", AT_FDCWD, path_.c_str(), AT_EMPTY_PATH);
    if (linked != 0) return false;
    unnamed_ = false;
    return true;
}

// Closing the input gives up its lease and its flock. The lease is ended explicitly first: a
// process forked meanwhile (by a library, before it runs another program) would share the open
// file and keep the lease, and another program's open would go on waiting for it.
void linux_platform::close_file() {
    if (leased_) fcntl(file_, F_SETLEASE, F_UNLCK);
    leased_ = false;
    if (file_ >= 0) close(file_);
    file_ = -1;
}

// A file without a name vanishes as it is closed. A named output is removed by name while it is
// still open, and only if the name still leads to this very file (same device and inode): another
// process may have removed or replaced it meanwhile, and a name it now holds is never removed.
void linux_platform::discard_output() {
    if (!unnamed_ && file_ >= 0) {
        struct stat opened {};
        struct stat named {};
        if (fstat(file_, &opened) == 0 && lstat(path_.c_str(), &named) == 0 && same_file(opened, named))
            unlink(path_.c_str());
    }
    close_file();
    unnamed_ = false;
}

// The buffer is the one mapping allocate_zeroed made.
void linux_platform::release(std::uint8_t* buffer) {
    if (buffer != nullptr) munmap(buffer, mapping_size_);
    mapping_ = nullptr;
}
