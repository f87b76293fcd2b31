// Cipher throughput over one buffer: ours and the peers, both directions, after checking that all
// of them produce the same bytes.
#pragma once

#include <cstddef>

struct cipher_figures {
    bool identical = false;   // false: some output differed, and no figures were printed
    double ours_encrypt = 0;  // MB/s, 10^6 bytes a second
    double ours_decrypt = 0;
    double openssl_encrypt = 0;
};

// Prints the table; repeats each measurement and keeps the best.
cipher_figures measure_ciphers(std::size_t buffer_size, int repeats);
