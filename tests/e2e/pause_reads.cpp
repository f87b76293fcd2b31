// Preloaded into a real program (LD_PRELOAD) to line up other readers with the run's read.
// PAUSE_READ_OF=PATH: the main thread's first read of PATH waits PAUSE_SECONDS before it starts.
// HOLD_OPENS_OF=PATH: another thread's open of PATH (the file chooser's type sniffing) waits until
// that paused read has begun, or 10 s; each such open appends a line to HOLD_LOG: "held" if it was
// let go during the paused read, "free" otherwise.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

std::atomic<bool> reading{false};  // the paused read has begun

bool on_main_thread() { return gettid() == getpid(); }

bool names(int descriptor, const char* path) {
    char target[4096];
    const std::string self = "/proc/self/fd/" + std::to_string(descriptor);
    const ssize_t length = readlink(self.c_str(), target, sizeof target - 1);
    if (length <= 0) return false;
    target[length] = '\0';
    return std::strcmp(target, path) == 0;
}

void sleep_for(double seconds) {
    timespec pause{static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

void hold_if_watched(const char* path) {
    const char* watched = std::getenv("HOLD_OPENS_OF");
    if (watched == nullptr || path == nullptr || on_main_thread() || std::strcmp(path, watched) != 0) return;
    for (int waited = 0; !reading && waited < 1000; ++waited) sleep_for(0.01);
    const bool during_read = reading;
    if (const char* log = std::getenv("HOLD_LOG")) {
        if (FILE* file = std::fopen(log, "a")) {
            std::fputs(during_read ? "held\n" : "free\n", file);
            std::fclose(file);
        }
    }
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t read(int descriptor, void* into, size_t count) {
    static const auto real = next<ssize_t (*)(int, void*, size_t)>("read");
    const char* watched = std::getenv("PAUSE_READ_OF");
    if (watched != nullptr && !reading && on_main_thread() && names(descriptor, watched)) {
        reading = true;
        sleep_for(std::atof(std::getenv("PAUSE_SECONDS") ? std::getenv("PAUSE_SECONDS") : "4"));
    }
    return real(descriptor, into, count);
}

// GLib opens files through open64 (g_open), the file chooser's type sniffing among them.
int open64(const char* path, int flags, ...) {
    static const auto real = next<int (*)(const char*, int, ...)>("open64");
    va_list arguments;
    va_start(arguments, flags);
    const int mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(arguments, int) : 0;
    va_end(arguments);
    hold_if_watched(path);
    return real(path, flags, mode);
}

}  // extern "C"
