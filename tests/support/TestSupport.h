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
// The trace file at path without the logging set-up's own lines, which every test main writes at its start.
std::string readTraceWritten(const std::filesystem::path& path);

// Runs a shell command line, returns its exit status (-1 when it could not run).
int runCommand(const std::string& commandLine);

// Threads of this process with that name ("kvr-open" for the bridge's open thread).
int countThreadsNamed(const std::string& name);

// A loopback port of that socket type (SOCK_STREAM, SOCK_DGRAM) that nobody uses right now.
int freeLoopbackPort(int type);

// True while a socket of this machine is bound to the UDP port, as a waiting receiver's is. Read from the
// kernel's table: binding the port to find out could take it from the receiver that is about to.
bool udpPortTaken(int port);

// A TCP socket listening on 127.0.0.1 at a port the system picks, written to `port`; -1 when it cannot listen.
int listenOnLoopback(int& port);

// Inside the network namespace harness (scripts/netns-run.sh): the peer's address in the other namespace.
// Empty outside it, where a test that needs a real network peer or sends multicast must skip.
std::string netnsPeer();

// The harness's directory for this run, which the peer sees too; empty outside the harness.
std::filesystem::path netnsDirectory();

} // namespace kvr::test
