// One whole run of either program on named files: the real run and the real Linux file layer, with
// the two choosers scripted instead of shown. Usage: run_once encrypt|decrypt INPUT OUTPUT
// run_once encrypt-without-fsync INPUT OUTPUT is the same run with the final fsync left out, to
// show what durability costs beside tools that do not flush (openssl enc, cp).
// run_once allocate INPUT only takes and releases a buffer the size of INPUT, as the run does: the
// benchmark shows what fresh memory alone costs on the machine.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "blowfish.h"
#include "linux_platform.h"
#include "whole_file_run.h"

namespace {

// The run calls the platform through its static type, so this hides linux_platform's fsync; the
// finished output still gets its name.
struct platform_without_fsync : linux_platform {
    using linux_platform::linux_platform;
    bool finish_output() {
        if (!name_output()) return false;
        close_file();
        return true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "allocate") == 0) {
        struct stat info {};
        if (stat(argv[2], &info) != 0) return 1;
        linux_platform os([](chooser_kind, std::string&) { return false; });
        std::uint8_t* buffer = os.allocate_zeroed(static_cast<std::uint32_t>(info.st_size));
        if (buffer == nullptr) return 1;
        os.release(buffer);
        return 0;
    }
    if (argc != 4) return 2;
    const std::string mode = argv[1];
    const std::string input = argv[2];
    const std::string output = argv[3];
    auto chooser = [&](chooser_kind kind, std::string& path) {
        path = kind == chooser_kind::input ? input : output;
        return true;
    };
    if (mode == "encrypt" || mode == "decrypt") {
        linux_platform os(chooser);
        whole_file::run(os, mode == "encrypt" ? encrypt_blocks : decrypt_blocks);
    } else if (mode == "encrypt-without-fsync") {
        platform_without_fsync os(chooser);
        whole_file::run(os, encrypt_blocks);
    } else {
        return 2;
    }
    return 0;
}
