#pragma once
// Other processes for a test: a forked copy of this one running a function,
// with a byte channel each way, and this test program started again running
// one hidden (DISABLED_) test.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// The child runs `body` and ends with _exit of its answer (the body may end
// the process itself). Each side sends to and receives from the other.
class ForkedChild {
public:
    explicit ForkedChild(const std::function<int(ForkedChild&)>& body);
    // Closes the channel (a child waiting on it reads its end) and reaps the child.
    ~ForkedChild();
    ForkedChild(const ForkedChild&) = delete;
    ForkedChild& operator=(const ForkedChild&) = delete;

    bool Started() const { return pid > 0; }
    pid_t Pid() const { return pid; }
    // In the parent: whether Wait has reaped the child.
    bool Reaped() const { return reaped; }
    bool Send(char c);
    // The next byte from the other side; false when it closed its end.
    bool Receive(char& c);
    // In the parent: closes the channel, waits for the end and gives the wait
    // status (-1 when there is no child); later calls give the same.
    int Wait();
    // In the parent: as Wait, but the child is killed when it has not ended
    // within the limit; true when it ended by itself.
    bool WaitWithin(std::chrono::milliseconds limit);

private:
    void CloseSendEnd();

    pid_t pid = -1;
    bool reaped = false;
    int status = -1;
    int toParent[2] = {-1, -1};
    int toChild[2] = {-1, -1};
    int sendFd = -1;
    int receiveFd = -1;
};

class ChildProcess {
public:
    // Starts /proc/self/exe running only `test` with the extra environment;
    // stdout and stderr go to outputFile (truncated), fd 3 is a pipe back.
    ChildProcess(const std::string& test, const std::vector<std::pair<std::string, std::string>>& environment,
                 const std::string& outputFile);
    // Kills and reaps a child still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid > 0; }
    pid_t Pid() const { return pid; }
    // The next byte the child writes to its fd 3; false when none came within
    // the limit or the child closed the pipe (ended).
    bool WaitForReport(char& report, std::chrono::milliseconds limit);
    void Kill();
    // Waits for the end (killing the child when the limit passes); true when
    // it ended by itself. status is the wait status.
    bool Wait(int& status, std::chrono::milliseconds limit);
    // The child's output so far (the last `tail` bytes).
    std::string Output(size_t tail = 4000) const;

private:
    pid_t pid = -1;
    int reportFd = -1;
    bool reaped = false;
    std::string outputFile;
};
