// HTTP(S) downloads for the database update: libcurl on Linux, WinHTTP on Windows.
#pragma once

namespace platform {

// Process-wide set-up and tear-down of the HTTP library; one call each per run.
void http_global_init();
void http_global_cleanup();

}  // namespace platform
