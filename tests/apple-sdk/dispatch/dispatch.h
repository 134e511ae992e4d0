// Declarations subset (see ../README.md): the queues and delayed work the layer uses.
#pragma once

#include <stdint.h>

typedef uint64_t dispatch_time_t;
typedef void (^dispatch_block_t)(void);
typedef struct dispatch_queue_s* dispatch_queue_t;  // an object under ARC on Apple's SDK
typedef long dispatch_queue_priority_t;

#define DISPATCH_TIME_NOW (0ull)
#define NSEC_PER_SEC 1000000000ull
#define DISPATCH_QUEUE_PRIORITY_DEFAULT 0

#ifdef __cplusplus
extern "C" {
#endif

dispatch_queue_t dispatch_get_main_queue(void);
dispatch_queue_t dispatch_get_global_queue(intptr_t identifier, uintptr_t flags);
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block);

#ifdef __cplusplus
}
#endif
