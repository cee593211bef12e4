// Windows-only helper shared by the platform files that read a file's stamp.
#pragma once

#include <windows.h>

#include "platform/file_info.h"

namespace platform {

// The identity of an open file; zero when the system cannot say.
FileIdentity identity_of_handle(HANDLE file);

}  // namespace platform
