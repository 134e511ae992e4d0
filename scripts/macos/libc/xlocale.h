// Stand-in for Darwin's <xlocale.h> on Linux (see scripts/macos/README.md): LLVM's libc++ includes
// it on Apple targets for the locale functions it uses. glibc declares most of them in its own
// headers; the four it lacks are declared here, and two of its macros that clash with libc++'s
// use of the functions are undone.
#pragma once

#include <ctype.h>
#include <locale.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#undef isdigit_l
#undef isxdigit_l

#ifdef __cplusplus
extern "C" {
#endif

int snprintf_l(char*, size_t, locale_t, const char*, ...);
int asprintf_l(char**, locale_t, const char*, ...);
int sscanf_l(const char*, locale_t, const char*, ...);
int vasprintf_l(char**, locale_t, const char*, va_list);

#ifdef __cplusplus
}
#endif
