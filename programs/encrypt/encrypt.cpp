// encrypt: the whole-file run, each block encrypted.
#include "blowfish.h"
#include "transform_file.h"

void transform_file() { run_whole_file(encrypt_blocks); }
