#pragma once
// A session bus of the test process's own: a fake desktop portal on the shared bus would answer every other
// test's file dialogs. Start it during static initialisation, before Qt or libdbus first reads the address.

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kvr::test {

class PrivateSessionBus {
public:
    PrivateSessionBus() = default;
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    ~PrivateSessionBus()
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }

    // Starts dbus-daemon and points DBUS_SESSION_BUS_ADDRESS at it; false (with a line on stderr) when it could
    // not be started.
    bool start()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        pid = ::fork();
        if (pid == 0) {
            // The daemon goes with this process, even when a test crashes.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::dup2(fds[1], 3);
            ::fcntl(3, F_SETFD, 0);
            // It complains about resource limits it may not raise; nothing the tests need.
            const int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0)
                ::dup2(null, 2);
            ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=3",
                static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string address;
        char c = 0;
        pollfd pfd { fds[0], POLLIN, 0 };
        while (pid > 0 && ::poll(&pfd, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n')
            address += c;
        ::close(fds[0]);
        if (address.empty()) {
            std::fprintf(stderr, "tests: could not start a private session bus\n");
            return false;
        }
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        return true;
    }

private:
    pid_t pid = -1;
};

} // namespace kvr::test
