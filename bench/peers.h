// The other Blowfish implementations the benchmark measures ours against, each set up with the
// configured key and transforming a whole buffer of 8-byte blocks in place, in ECB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct peer {
    virtual ~peer() = default;
    virtual std::string name() const = 0;
    virtual void encrypt(std::uint8_t* data, std::size_t size) = 0;
    virtual void decrypt(std::uint8_t* data, std::size_t size) = 0;
};

// OpenSSL's BF_ecb_encrypt called block by block, libgcrypt's ECB over the whole buffer, nettle's
// blowfish_encrypt over the whole buffer. A library that cannot take the key (nettle wants at
// least 8 bytes) is left out, with the reason in skipped.
std::vector<std::unique_ptr<peer>> make_peers(const std::uint8_t* key, std::size_t key_size,
                                              std::vector<std::string>& skipped);
