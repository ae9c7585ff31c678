// A child process for tests: started with arguments, its standard output and
// error collected by reader threads, its standard input a pipe the test can
// close, and ways to ask it to stop as a user would (Ctrl-C, a termination
// request) or to end it outright. POSIX: posix_spawn, pipes and signals;
// Windows: CreateProcess, pipes and console control events.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace q4m::test {

class ChildProcess {
  public:
    enum class Stop { Interrupt, Terminate };

    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    // Ends a child still running (outright) and waits for it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const;
    // The child's process id (POSIX pid, Windows process id).
    long processId() const;

    // True once stdout holds text; false when the output ended or limit passed first.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit);
    // The first line of stdout without its end, once it is complete (or what
    // came before the output ended or limit passed).
    std::string firstLine(std::chrono::milliseconds limit);

    void closeInput();
    // POSIX: SIGINT or SIGTERM. Windows: Ctrl-C on the child's own console,
    // as a user at that console would press it, for both.
    void stop(Stop how);
    void kill();
    // Waits for the exit and the end of both streams, at most limit (then the
    // child is killed). The exit status, -1 when it did not exit by itself.
    int finish(std::chrono::milliseconds limit);

    // What the streams carried so far. Windows programs write text with CR LF
    // line ends: those come back as LF, so tests compare the same text everywhere.
    std::string out() const;
    std::string err() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A new, empty directory under the system's temporary directory whose name
// starts with prefix; empty on failure.
std::string makeTempDirectory(const std::string& prefix);

// This process's id, for names that must differ between concurrent test runs.
long currentProcessId();

}  // namespace q4m::test
