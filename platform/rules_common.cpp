#include "platform/rules.h"

namespace platform {

bool same_seal(const RuleSeal& a, const RuleSeal& b) {
    // Every byte is looked at, wherever the first difference lies.
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) difference |= a[i] ^ b[i];
    return difference == 0;
}

}  // namespace platform
