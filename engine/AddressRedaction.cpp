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

std::string redactAddressesIn(const std::string& text)
{
    std::string out;
    size_t from = 0;
    for (size_t sep = text.find("://"); sep != std::string::npos; sep = text.find("://", from)) {
        const size_t hostStart = sep + 3;
        size_t hostEnd = text.find_first_of("/?#'\" \t\r\n", hostStart);
        if (hostEnd == std::string::npos)
            hostEnd = text.size();
        const size_t at = hostEnd > hostStart ? text.rfind('@', hostEnd - 1) : std::string::npos;
        out.append(text, from, hostStart - from);
        if (at != std::string::npos && at >= hostStart) {
            out += "***";
            from = at;
        } else {
            from = hostStart;
        }
    }
    return out.append(text, from);
}

} // namespace kvr::engine
