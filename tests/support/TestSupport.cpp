#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>

namespace kvr::test {
namespace {

std::filesystem::path scratch;

void removeScratch()
{
    std::error_code ec;
    if (!scratch.empty() && std::getenv("KVR_KEEP_SCRATCH") == nullptr)
        std::filesystem::remove_all(scratch, ec);
}

} // namespace

// Every test process gets its own settings, data, cache and runtime directories, set before anything reads
// them (Qt fixes its settings path at the first QSettings), so parallel runs never collide and never touch the
// user's files.
void isolateEnvironment()
{
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/kvr-test-XXXXXX";
    if (!::mkdtemp(templ.data()))
        std::abort();
    scratch = templ;
    const char* dirs[][2] = {{"XDG_CONFIG_HOME", "config"}, {"XDG_DATA_HOME", "data"},
                             {"XDG_CACHE_HOME", "cache"},   {"XDG_RUNTIME_DIR", "runtime"},
                             {"TMPDIR", "tmp"},             {"HOME", "home"}};
    for (const auto& d : dirs) {
        const auto path = scratch / d[1];
        std::filesystem::create_directories(path);
        ::chmod(path.c_str(), 0700);
        ::setenv(d[0], path.c_str(), 1);
    }
    std::atexit(removeScratch);
}

std::filesystem::path scratchDirectory()
{
    return scratch;
}

std::filesystem::path fixture(const std::string& name)
{
    return std::filesystem::path(KVR_FIXTURE_DIR) / name;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

int runCommand(const std::string& commandLine)
{
    const int status = std::system(commandLine.c_str());
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace kvr::test
