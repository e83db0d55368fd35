#pragma once

#include <filesystem>
#include <string>

namespace kvr::test {

// Built with ThreadSanitizer every thread runs many times slower than real time: a figure measured against the
// wall clock means nothing there, and timing checks give way to the checks of outcome and order.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool sanitizedForThreads = true;
#else
inline constexpr bool sanitizedForThreads = false;
#endif

// A generated media fixture in the build tree (scripts/make-fixtures.sh).
std::filesystem::path fixture(const std::string& name);

// Gives this process its own scratch directory; call first thing in main.
void isolateEnvironment();

// This test process's own scratch directory; XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_CACHE_HOME,
// XDG_RUNTIME_DIR and TMPDIR all point below it.
std::filesystem::path scratchDirectory();

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// Runs a shell command line, returns its exit status (-1 when it could not run).
int runCommand(const std::string& commandLine);

} // namespace kvr::test
