#include "platform/http.h"

namespace platform {

// WinHTTP needs no process-wide set-up: each session handle is self-contained.
void http_global_init() {}

void http_global_cleanup() {}

}  // namespace platform
