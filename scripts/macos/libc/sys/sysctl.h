// Stand-in for Darwin's <sys/sysctl.h> on Linux (see scripts/macos/README.md): the sysctl call
// and the names of the query for a user's processes, as Apple documents them. glibc has no
// sysctl. kinfo_proc's members are not used, only its size, which this stand-in does not
// pretend to match.
#pragma once

#include <stddef.h>

#define CTL_KERN 1
#define KERN_PROC 14
#define KERN_PROC_RUID 6

struct kinfo_proc {
  char opaque[648];
};

#ifdef __cplusplus
extern "C" {
#endif
int sysctl(int* name, unsigned int namelen, void* oldp, size_t* oldlenp, void* newp, size_t newlen);
#ifdef __cplusplus
}
#endif
