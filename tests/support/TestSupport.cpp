#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace kvr::test {

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
