// Any security blob: a user or nothing, never a read outside the blob.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ntlm_identity.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[size == 0 ? 1 : size]);
    if (size != 0) {
        std::memcpy(exact.get(), data, size);
    }
    SessionUser user;
    std::memset(&user, 0, sizeof user);
    IdentifyUser(exact.get(), uint32_t(size), &user);
    // Every name stays terminated inside its field.
    if (user.UserName[63] != 0 || user.DomainName[63] != 0 || user.WorkstationName[63] != 0) {
        std::abort();
    }
    return 0;
}
