#include "engine/PrivateDirectory.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr::engine {
namespace {

bool ensurePrivate(const std::string& dir)
{
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0)
        return false;
    return true;
}

std::string envOr(const char* name, const char* fallback)
{
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : std::string(fallback ? fallback : "");
}

} // namespace

std::filesystem::path privateDirectory()
{
    const std::string runtime = envOr("XDG_RUNTIME_DIR", nullptr);
    if (!runtime.empty() && runtime.front() == '/') {
        const std::string dir = runtime + "/kestrune";
        if (ensurePrivate(dir))
            return dir;
    }
    std::string tmp = envOr("TMPDIR", "/tmp");
    while (tmp.size() > 1 && tmp.back() == '/')
        tmp.pop_back();
    const std::string dir = tmp + "/kestrune-" + std::to_string(::geteuid());
    if (ensurePrivate(dir))
        return dir;
    return {};
}

std::filesystem::path privateDirectoryOrCurrent()
{
    auto dir = privateDirectory();
    return dir.empty() ? std::filesystem::path(".") : dir;
}

} // namespace kvr::engine
