#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "gtk_chooser.h"
#include "linux_platform.h"
#include "transform_file.h"
#include "whole_file_run.h"

namespace {

// The programs report nothing, not even the warnings of the libraries they use. Started with
// standard output or error closed, /dev/null itself arrives as descriptor 1 or 2 and must stay
// open there: were that slot left free, the display connection or a chosen file would take it,
// and anything printed would land in it.
void silence_standard_output() {
    const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nowhere < 0) return;
    dup2(nowhere, STDOUT_FILENO);
    dup2(nowhere, STDERR_FILENO);
    if (nowhere > STDERR_FILENO) close(nowhere);
}

}  // namespace

void run_whole_file(block_walk walk) {
    silence_standard_output();
    // Past a file-size limit a write must fail, so that the partial output is removed, rather than
    // the signal killing the process and leaving it behind. When another process opens the leased
    // input, the kernel tells the run with SIGIO, which would end it too; the run asks the lease.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGIO, SIG_IGN);
    {
        linux_platform os(choose_with_gtk);
        whole_file::run(os, walk);
    }
    std::exit(0);
}

// The C runtime starts here; the program's file defines transform_file.
int main() { transform_file(); }
