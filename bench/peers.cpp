#include "peers.h"

#include <gcrypt.h>
#include <nettle/blowfish.h>
#include <openssl/blowfish.h>

namespace {

// BF_* is deprecated in OpenSSL 3 in favour of EVP (whose Blowfish lives in the legacy provider);
// the benchmark measures the plain block loop on purpose, so the warning is silenced here only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
struct openssl_loop final : peer {
    BF_KEY key{};
    openssl_loop(const std::uint8_t* k, std::size_t n) { BF_set_key(&key, static_cast<int>(n), k); }
    std::string name() const override { return "OpenSSL BF_ecb_encrypt loop"; }
    void encrypt(std::uint8_t* data, std::size_t size) override {
        for (std::size_t i = 0; i + 8 <= size; i += 8) BF_ecb_encrypt(data + i, data + i, &key, BF_ENCRYPT);
    }
    void decrypt(std::uint8_t* data, std::size_t size) override {
        for (std::size_t i = 0; i + 8 <= size; i += 8) BF_ecb_encrypt(data + i, data + i, &key, BF_DECRYPT);
    }
};
#pragma GCC diagnostic pop

struct libgcrypt_ecb final : peer {
    gcry_cipher_hd_t handle{};
    bool ready = false;
    libgcrypt_ecb(const std::uint8_t* k, std::size_t n) {
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        ready = gcry_cipher_open(&handle, GCRY_CIPHER_BLOWFISH, GCRY_CIPHER_MODE_ECB, 0) == 0 &&
                gcry_cipher_setkey(handle, k, n) == 0;
    }
    ~libgcrypt_ecb() override { gcry_cipher_close(handle); }
    std::string name() const override { return "libgcrypt ECB (bulk)"; }
    void encrypt(std::uint8_t* data, std::size_t size) override { gcry_cipher_encrypt(handle, data, size, nullptr, 0); }
    void decrypt(std::uint8_t* data, std::size_t size) override { gcry_cipher_decrypt(handle, data, size, nullptr, 0); }
};

struct nettle_bulk final : peer {
    blowfish_ctx ctx{};
    explicit nettle_bulk(const std::uint8_t* k, std::size_t n) { blowfish_set_key(&ctx, n, k); }
    std::string name() const override { return "nettle blowfish_encrypt (bulk)"; }
    void encrypt(std::uint8_t* data, std::size_t size) override { blowfish_encrypt(&ctx, size, data, data); }
    void decrypt(std::uint8_t* data, std::size_t size) override { blowfish_decrypt(&ctx, size, data, data); }
};

}  // namespace

std::vector<std::unique_ptr<peer>> make_peers(const std::uint8_t* key, std::size_t key_size,
                                              std::vector<std::string>& skipped) {
    std::vector<std::unique_ptr<peer>> peers;
    peers.push_back(std::make_unique<openssl_loop>(key, key_size));
    auto gcrypt = std::make_unique<libgcrypt_ecb>(key, key_size);
    if (gcrypt->ready) {
        peers.push_back(std::move(gcrypt));
    } else {
        skipped.push_back("libgcrypt: refused the key");
    }
    if (key_size >= BLOWFISH_MIN_KEY_SIZE && key_size <= BLOWFISH_MAX_KEY_SIZE) {
        peers.push_back(std::make_unique<nettle_bulk>(key, key_size));
    } else {
        skipped.push_back("nettle: takes keys of 8 to 56 bytes only");
    }
    return peers;
}
