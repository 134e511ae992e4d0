// Declarations subset (see scripts/macos/README.md): the main queue, which the layer posts to.
#pragma once

#include <stdint.h>

typedef void (^dispatch_block_t)(void);
typedef struct dispatch_queue_s* dispatch_queue_t;  // an object under ARC on Apple's SDK

#ifdef __cplusplus
extern "C" {
#endif

dispatch_queue_t dispatch_get_main_queue(void);
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);

#ifdef __cplusplus
}
#endif
