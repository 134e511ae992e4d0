// Declarations subset (see scripts/macos/README.md): the main queue, which the layer posts to,
// and the global queues its tests post from.
#pragma once

#include <stdint.h>

typedef void (^dispatch_block_t)(void);
typedef struct dispatch_queue_s* dispatch_queue_t;  // an object under ARC on Apple's SDK

#ifdef __cplusplus
extern "C" {
#endif

#define DISPATCH_QUEUE_PRIORITY_DEFAULT 0

dispatch_queue_t dispatch_get_main_queue(void);
dispatch_queue_t dispatch_get_global_queue(intptr_t identifier, uintptr_t flags);
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);

#ifdef __cplusplus
}
#endif
