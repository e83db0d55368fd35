#include "engine/PrivateDirectory.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using kvr::engine::privateDirectory;

namespace {

struct Env {
    fs::path runtime;
    fs::path tmp;
    std::string fallback;
};

Env freshEnv(const char* name)
{
    Env e;
    const fs::path base = kvr::test::scratchDirectory() / name;
    e.runtime = base / "runtime";
    e.tmp = base / "tmp";
    fs::create_directories(e.runtime);
    fs::create_directories(e.tmp);
    ::setenv("XDG_RUNTIME_DIR", e.runtime.c_str(), 1);
    ::setenv("TMPDIR", e.tmp.c_str(), 1);
    e.fallback = (e.tmp / ("kestrune-" + std::to_string(::geteuid()))).string();
    return e;
}

mode_t modeOf(const fs::path& p)
{
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st.st_mode & 07777;
}

} // namespace

TEST(PrivateDirectory, CreatedWithMode0700UnderTheRuntimeDirectory)
{
    Env e = freshEnv("a");
    const fs::path dir = privateDirectory();
    EXPECT_EQ(dir, e.runtime / "kestrune");
    EXPECT_EQ(modeOf(dir), 0700u);
}

TEST(PrivateDirectory, WithoutRuntimeDirectoryUsesTmpdirAndUid)
{
    Env e = freshEnv("b");
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(privateDirectory().string(), e.fallback);
    EXPECT_EQ(modeOf(e.fallback), 0700u);
}

TEST(PrivateDirectory, RefusesUnsafeCandidates)
{
    struct Case {
        const char* name;
        void (*prepare)(const fs::path& dir);
        bool fallsBack;
        mode_t modeAfter;
    };
    const Case cases[] = {
        {"symlink", [](const fs::path& d) { fs::create_directory_symlink(d.parent_path(), d); }, true, 0},
        {"plain file", [](const fs::path& d) { std::fclose(std::fopen(d.c_str(), "w")); }, true, 0},
        {"other owner",
         [](const fs::path& d) {
             fs::create_directory(d);
             ::chmod(d.c_str(), 0700);
             ASSERT_EQ(::chown(d.c_str(), 65534, 65534), 0) << "tests run as root to change owners";
         },
         true, 0},
        {"our own, open to others",
         [](const fs::path& d) {
             fs::create_directory(d);
             ::chmod(d.c_str(), 0777);
         },
         false, 0700},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Env e = freshEnv(("c" + std::to_string(n++)).c_str());
        const fs::path candidate = e.runtime / "kestrune";
        c.prepare(candidate);
        const fs::path got = privateDirectory();
        if (c.fallsBack) {
            EXPECT_EQ(got.string(), e.fallback);
        } else {
            EXPECT_EQ(got, candidate);
            EXPECT_EQ(modeOf(candidate), c.modeAfter);
        }
    }
}

TEST(PrivateDirectory, NoCandidateGivesEmpty)
{
    Env e = freshEnv("d");
    ::unsetenv("XDG_RUNTIME_DIR");
    fs::create_directory_symlink("/", e.fallback);
    EXPECT_TRUE(privateDirectory().empty());
    EXPECT_EQ(kvr::engine::privateDirectoryOrCurrent(), fs::path("."));
}
