#include "support/ChildProcess.h"

#include "support/Waits.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

extern char** environ;

ForkedChild::ForkedChild(const std::function<int(ForkedChild&)>& body) {
    if (::pipe(toParent) != 0 || ::pipe(toChild) != 0) return;
    pid = ::fork();
    if (pid == 0) {
        ::close(toParent[0]);
        ::close(toChild[1]);
        sendFd = toParent[1];
        receiveFd = toChild[0];
        ::_exit(body(*this));
    }
    ::close(toParent[1]);
    ::close(toChild[0]);
    toParent[1] = toChild[0] = -1;
    sendFd = toChild[1];
    receiveFd = toParent[0];
}

ForkedChild::~ForkedChild() {
    Wait();
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]})
        if (fd >= 0) ::close(fd);
}

bool ForkedChild::Send(char c) { return sendFd >= 0 && ::write(sendFd, &c, 1) == 1; }

bool ForkedChild::Receive(char& c) { return receiveFd >= 0 && ::read(receiveFd, &c, 1) == 1; }

void ForkedChild::CloseSendEnd() {
    if (sendFd >= 0) ::close(sendFd);
    if (toChild[1] == sendFd) toChild[1] = -1;
    sendFd = -1;
}

int ForkedChild::Wait() {
    if (pid <= 0 || reaped) return status;
    CloseSendEnd();
    ::waitpid(pid, &status, 0);
    reaped = true;
    return status;
}

bool ForkedChild::WaitWithin(std::chrono::milliseconds limit) {
    if (pid <= 0 || reaped) return reaped;
    CloseSendEnd();
    const bool ended = WaitFor([this] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    reaped = true;
    return ended;
}

ChildProcess::ChildProcess(const std::string& test,
                           const std::vector<std::pair<std::string, std::string>>& environment,
                           const std::string& output)
    : outputFile(output) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    // Keep both ends away from fd 3, which the child gets as a fresh copy.
    int readEnd = ::fcntl(fds[0], F_DUPFD_CLOEXEC, 10);
    int writeEnd = ::fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
    ::close(fds[0]);
    ::close(fds[1]);

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& extra : environment)
            if (entry.compare(0, extra.first.size() + 1, extra.first + "=") == 0) replaced = true;
        if (!replaced) env.push_back(entry);
    }
    for (const auto& entry : environment) env.push_back(entry.first + "=" + entry.second);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(&entry[0]);
    envp.push_back(nullptr);

    std::string exe = "/proc/self/exe";
    std::string filter = "--gtest_filter=" + test;
    std::string disabled = "--gtest_also_run_disabled_tests";
    std::vector<char*> argv = {&exe[0], &filter[0], &disabled[0], nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_adddup2(&actions, writeEnd, 3);
    pid_t child = -1;
    int rc = posix_spawn(&child, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(writeEnd);
    if (rc != 0) {
        ::close(readEnd);
        return;
    }
    pid = child;
    reportFd = readEnd;
}

ChildProcess::~ChildProcess() {
    if (pid > 0 && !reaped) {
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    if (reportFd >= 0) ::close(reportFd);
}

bool ChildProcess::WaitForReport(char& report, std::chrono::milliseconds limit) {
    if (reportFd < 0) return false;
    struct pollfd p = {reportFd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, static_cast<int>(limit.count()));
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) return false;
    return ::read(reportFd, &report, 1) == 1;
}

void ChildProcess::Kill() {
    if (pid > 0 && !reaped) ::kill(pid, SIGKILL);
}

bool ChildProcess::Wait(int& status, std::chrono::milliseconds limit) {
    status = 0;
    if (pid <= 0) return false;
    if (reaped) return true;
    bool ended = WaitFor(
        [&] {
            pid_t done = ::waitpid(pid, &status, WNOHANG);
            return done == pid;
        },
        limit);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    reaped = true;
    return ended;
}

std::string ChildProcess::Output(size_t tail) const {
    std::ifstream in(outputFile, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string all = text.str();
    return all.size() > tail ? all.substr(all.size() - tail) : all;
}
