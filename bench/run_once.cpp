// One whole run of either program on named files: the real run and the real Linux file layer, with
// the two choosers scripted instead of shown. Usage: run_once encrypt|decrypt INPUT OUTPUT
#include <cstring>
#include <string>

#include "blowfish.h"
#include "posix_platform.h"
#include "whole_file_run.h"

int main(int argc, char** argv) {
    if (argc != 4 || (std::strcmp(argv[1], "encrypt") != 0 && std::strcmp(argv[1], "decrypt") != 0)) return 2;
    const std::string input = argv[2];
    const std::string output = argv[3];
    posix_platform os([&](chooser_kind kind, std::string& path) {
        path = kind == chooser_kind::input ? input : output;
        return true;
    });
    whole_file::run(os, std::strcmp(argv[1], "encrypt") == 0 ? encrypt_blocks : decrypt_blocks);
    return 0;
}
