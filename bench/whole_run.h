// The whole run of the encrypt program (the real run over real files, driven by a scripted
// chooser) beside `openssl enc` and `cp` on the same files: wall time, MB/s, peak memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct whole_run_setup {
    std::string folder;    // where the files go; emptied again afterwards
    std::string run_once;  // the executable that does one run: run_once encrypt IN OUT
    std::string key_hex;
    std::vector<std::uint32_t> sizes_mib;
    double ours_cipher_mbs = 0;  // our encrypt throughput, for the "cipher + cp" estimate
};

// Prints the table; false if a run failed or our output differed from openssl's.
bool measure_whole_runs(const whole_run_setup& setup);
