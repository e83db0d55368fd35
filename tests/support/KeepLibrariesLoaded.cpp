// Linked into every executable of an AddressSanitizer build (see the top-level CMakeLists.txt).
//
// LeakSanitizer looks for leaks at exit, after Mesa has unloaded the GL driver it loaded for the window: a
// block the driver keeps for good is then reported from "<unknown module>", which no suppression can name,
// and every process that ever drew a frame fails. Keeping every library loaded until exit lets the report
// name the library, so tests/lsan.supp can leave out exactly that library's leaks and nothing of ours.
#include <dlfcn.h>

extern "C" int dlclose(void*) noexcept
{
    return 0;
}
