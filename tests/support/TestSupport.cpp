#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
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
    const char* dirs[][2] = { { "XDG_CONFIG_HOME", "config" }, { "XDG_DATA_HOME", "data" },
        { "XDG_CACHE_HOME", "cache" }, { "XDG_RUNTIME_DIR", "runtime" }, { "TMPDIR", "tmp" }, { "HOME", "home" } };
    for (const auto& d : dirs) {
        const auto path = scratch / d[1];
        std::filesystem::create_directories(path);
        ::chmod(path.c_str(), 0700);
        ::setenv(d[0], path.c_str(), 1);
    }
    std::atexit(removeScratch);
    // Receiver discovery sends multicast on every interface; only the network namespace harness turns it on.
    ::setenv("KESTRUNE_CAST_DISCOVERY", "off", 0);
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

std::string readTraceWritten(const std::filesystem::path& path)
{
    std::string text = readFile(path);
    while (text.rfind("init_logging: ", 0) == 0) {
        const size_t end = text.find('\n');
        text.erase(0, end == std::string::npos ? text.size() : end + 1);
    }
    return text;
}

int runCommand(const std::string& commandLine)
{
    const int status = std::system(commandLine.c_str());
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

int countThreadsNamed(const std::string& name)
{
    int count = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::string comm = readFile(task.path() / "comm");
        while (!comm.empty() && comm.back() == '\n')
            comm.pop_back();
        count += comm == name ? 1 : 0;
    }
    return count;
}

std::string netnsPeer()
{
    const char* peer = std::getenv("KVR_NETNS_PEER");
    return peer ? peer : "";
}

std::filesystem::path netnsDirectory()
{
    const char* dir = std::getenv("KVR_NETNS_DIR");
    return dir ? dir : "";
}

namespace {

sockaddr_in loopbackAddress()
{
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int boundPort(int fd)
{
    sockaddr_in addr {};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

} // namespace

int freeLoopbackPort(int type)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopbackAddress();
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const int port = boundPort(fd);
    ::close(fd);
    return port;
}

bool udpPortTaken(int port)
{
    char hexPort[8];
    std::snprintf(hexPort, sizeof hexPort, ":%04X ", port);
    std::istringstream table(readFile("/proc/net/udp"));
    std::string line;
    while (std::getline(table, line)) {
        // "  sl  local_address rem_address ...": the port follows the local address.
        std::istringstream fields(line);
        std::string slot, local;
        if (fields >> slot >> local && (local + " ").find(hexPort) != std::string::npos)
            return true;
    }
    return false;
}

int listenOnLoopback(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopbackAddress();
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
        if (fd >= 0)
            ::close(fd);
        port = 0;
        return -1;
    }
    port = boundPort(fd);
    return fd;
}

} // namespace kvr::test
