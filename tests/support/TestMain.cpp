// Every test process gets its own settings, data, cache and runtime directories, set before anything reads
// them (Qt fixes its settings path at the first QSettings), so parallel runs never collide and never touch the
// user's files.
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <system_error>

namespace {

std::filesystem::path scratch;

void removeScratch()
{
    std::error_code ec;
    if (!scratch.empty() && std::getenv("KVR_KEEP_SCRATCH") == nullptr)
        std::filesystem::remove_all(scratch, ec);
}

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

} // namespace

namespace kvr::test {
std::filesystem::path scratchDirectory()
{
    return scratch;
}
} // namespace kvr::test

int main(int argc, char** argv)
{
    isolateEnvironment();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
