#include <curl/curl.h>

#include "platform/http.h"

namespace platform {

void http_global_init() { curl_global_init(CURL_GLOBAL_ALL); }

void http_global_cleanup() { curl_global_cleanup(); }

}  // namespace platform
