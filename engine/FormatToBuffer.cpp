#include "engine/FormatToBuffer.h"

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <locale.h>

namespace kvr::engine {
namespace {

locale_t cLocale()
{
    static const locale_t loc = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

} // namespace

int formatToBuffer(char* buf, std::size_t size, const char* format, ...)
{
    if (!format)
        return -1;
    // uselocale is per thread, so this never disturbs another thread's formatting.
    const locale_t previous = ::uselocale(cLocale());
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(size > 0 ? buf : nullptr, size, format, args);
    va_end(args);
    ::uselocale(previous);
    return n < 0 ? -1 : n;
}

} // namespace kvr::engine
