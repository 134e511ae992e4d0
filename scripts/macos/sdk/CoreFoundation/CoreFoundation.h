// Declarations subset (see scripts/macos/README.md): the run-loop and number functions the layer
// uses.
#pragma once

#include <stdbool.h>
#include <stdint.h>

typedef signed long CFIndex;
typedef unsigned char Boolean;
typedef double CFTimeInterval;
typedef const void* CFTypeRef;
typedef const struct __CFString* CFStringRef;
typedef struct __CFRunLoop* CFRunLoopRef;
typedef const struct __CFBoolean* CFBooleanRef;
typedef const struct __CFNumber* CFNumberRef;

typedef int32_t CFRunLoopRunResult;  // kCFRunLoopRunFinished = 1 ... kCFRunLoopRunHandledSource = 4

#ifdef __cplusplus
extern "C" {
#endif

extern const CFStringRef kCFRunLoopDefaultMode;
extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;

CFRunLoopRef CFRunLoopGetMain(void);
CFRunLoopRunResult CFRunLoopRunInMode(CFStringRef mode, CFTimeInterval seconds,
                                      Boolean returnAfterSourceHandled);
void CFRunLoopStop(CFRunLoopRef runLoop);
Boolean CFNumberIsFloatType(CFNumberRef number);

#ifdef __cplusplus
}
#endif
