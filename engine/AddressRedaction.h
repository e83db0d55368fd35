#pragma once

#include <string>

namespace kvr::engine {

// The address with its "user:password@" (or "user@") part replaced by "***@", for every text a person or a
// log file gets to see; any other text comes back unchanged. Opening always uses the address as written.
std::string redactAddress(const std::string& address);

// The same for every address inside a line of free text (FFmpeg's own messages), where an address ends at
// white space or a quote.
std::string redactAddressesIn(const std::string& text);

} // namespace kvr::engine
