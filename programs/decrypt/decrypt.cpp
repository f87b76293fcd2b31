// decrypt: the whole-file run, each block decrypted.
#include "blowfish.h"
#include "transform_file.h"

void transform_file() { run_whole_file(decrypt_blocks); }
