#include "engine/AddressRedaction.h"

namespace kvr::engine {

std::string redactAddress(const std::string& address)
{
    const size_t sep = address.find("://");
    if (sep == std::string::npos)
        return address;
    const size_t hostStart = sep + 3;
    size_t hostEnd = address.find_first_of("/?#", hostStart);
    if (hostEnd == std::string::npos)
        hostEnd = address.size();
    if (hostEnd == hostStart)
        return address;
    const size_t at = address.rfind('@', hostEnd - 1);
    if (at == std::string::npos || at < hostStart)
        return address;
    return address.substr(0, hostStart) + "***" + address.substr(at);
}

} // namespace kvr::engine
