#pragma once

#include <string>

namespace kvr::engine {

// The address with its "user:password@" (or "user@") part replaced by "***@", for every text a person or a
// log file gets to see; any other text comes back unchanged. Opening always uses the address as written.
std::string redactAddress(const std::string& address);

} // namespace kvr::engine
