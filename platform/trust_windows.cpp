#include <windows.h>
// After windows.h:
#include <softpub.h>
#include <wintrust.h>

#include <cstddef>

#include "platform/trust.h"

namespace platform {

bool is_trusted_signature(const std::filesystem::path& file) {
    WINTRUST_FILE_INFO file_info{};
    file_info.cbStruct = sizeof(file_info);
    file_info.pcwszFilePath = file.c_str();

    WINTRUST_DATA data{};
    // The structure as it was before the signature-settings member: the fields below are all the
    // verification needs.
    data.cbStruct = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(data.dwUIContext);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file_info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = ::WinVerifyTrust(nullptr, &action, &data);
    // Releases the state the verification kept, whatever its outcome.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(nullptr, &action, &data);
    return result == 0;
}

}  // namespace platform
