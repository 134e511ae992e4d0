// Stand-in for Darwin's <unistd.h> on Linux (see scripts/macos/README.md): glibc's, plus the
// confstr name of the per-user temporary folder, as Apple documents it.
#pragma once

#include_next <unistd.h>

#define _CS_DARWIN_USER_TEMP_DIR 65537
