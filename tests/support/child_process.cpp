#include "tests/support/child_process.h"

#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace q4m::test {

namespace {

using Clock = std::chrono::steady_clock;

#ifdef _WIN32
using Pipe = HANDLE;
const Pipe NoPipe = nullptr;
void closePipe(Pipe& pipe) {
    if (pipe) CloseHandle(pipe);
    pipe = nullptr;
}
// Bytes read, 0 at the end of the stream.
long readPipe(Pipe pipe, char* buffer, unsigned size) {
    DWORD n = 0;
    if (!ReadFile(pipe, buffer, size, &n, nullptr)) return 0;  // broken pipe: the writer is gone
    return static_cast<long>(n);
}

// One argument as the C runtime's command-line parser reads it back.
std::string quoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    quoted.push_back('"');
    return quoted;
}
#else
using Pipe = int;
const Pipe NoPipe = -1;
void closePipe(Pipe& pipe) {
    if (pipe >= 0) ::close(pipe);
    pipe = -1;
}
long readPipe(Pipe pipe, char* buffer, unsigned size) {
    for (;;) {
        const ssize_t n = ::read(pipe, buffer, size);
        if (n >= 0) return static_cast<long>(n);
        if (errno != EINTR) return 0;
    }
}
#endif

}  // namespace

struct ChildProcess::Impl {
    struct Stream {
        std::string text;
        bool ended = false;
    };

    mutable std::mutex mutex;
    std::condition_variable changed;
    Stream streams[2];  // stdout, stderr
    std::thread readers[2];
    Pipe input = NoPipe;
    bool running = false;
    int status = -1;
#ifdef _WIN32
    HANDLE process = nullptr;
    DWORD processId = 0;
#else
    pid_t pid = -1;
#endif

    void startReader(int which, Pipe pipe) {
        readers[which] = std::thread([this, which, pipe]() mutable {
            char buffer[4096];
            for (;;) {
                const long n = readPipe(pipe, buffer, sizeof buffer);
                std::lock_guard lock(mutex);
                if (n <= 0) {
                    streams[which].ended = true;
                    changed.notify_all();
                    break;
                }
                streams[which].text.append(buffer, static_cast<std::size_t>(n));
                changed.notify_all();
            }
            closePipe(pipe);
        });
    }

    bool bothEnded() const {
        return streams[0].ended && streams[1].ended;
    }

    void joinReaders() {
        for (auto& reader : readers)
            if (reader.joinable()) reader.join();
    }

    static std::string plainLines(std::string text) {
#ifdef _WIN32
        std::string plain;
        for (std::size_t i = 0; i < text.size(); ++i)
            if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain += text[i];
        return plain;
#else
        return text;
#endif
    }

    void start(const std::string& program, const std::vector<std::string>& args);
    void signal(Stop how);
    void terminate();
    // Reaps the child; true once it has exited (status set).
    bool reap(std::chrono::milliseconds limit);
};

#ifdef _WIN32

void ChildProcess::Impl::start(const std::string& program, const std::vector<std::string>& args) {
    // One child at a time: every inheritable handle that exists while
    // CreateProcess runs goes to that child, and a stray copy of another
    // child's pipe end would keep that pipe open.
    static std::mutex creating;
    std::lock_guard createLock(creating);
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childEnds[3] = {}, ourEnds[3] = {};
    for (int i = 0; i < 3; ++i) {
        HANDLE readEnd = nullptr, writeEnd = nullptr;
        if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return;
        childEnds[i] = i == 0 ? readEnd : writeEnd;
        ourEnds[i] = i == 0 ? writeEnd : readEnd;
        SetHandleInformation(ourEnds[i], HANDLE_FLAG_INHERIT, 0);
    }
    std::string commandLine = quoteArgument(program);
    for (const auto& arg : args) {
        commandLine.push_back(' ');
        commandLine.append(quoteArgument(arg));
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childEnds[0];
    startup.hStdOutput = childEnds[1];
    startup.hStdError = childEnds[2];
    PROCESS_INFORMATION info{};
    // A console of its own, so that stop() can attach to it and send the
    // events to it alone; the standard handles stay the pipes.
    const BOOL created = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &info);
    for (HANDLE& end : childEnds) CloseHandle(end);
    input = ourEnds[0];
    if (!created) {
        for (HANDLE& end : ourEnds) CloseHandle(end);
        input = nullptr;
        return;
    }
    CloseHandle(info.hThread);
    process = info.hProcess;
    processId = info.dwProcessId;
    running = true;
    startReader(0, ourEnds[1]);
    startReader(1, ourEnds[2]);
}

// The test process itself takes the events it sends while attached, and
// swallows them. A handler rather than the "ignore Ctrl-C" flag, which later
// children would inherit.
BOOL WINAPI swallowControlEvent(DWORD) {
    return TRUE;
}

// Both kinds are Ctrl-C here: Windows has no termination request a console
// program can be sent, and Wine does not deliver Ctrl-Break to a console's
// processes (Ctrl-C it does).
void ChildProcess::Impl::signal(Stop) {
    // One console at a time per process: sending means attaching to the child's.
    static std::mutex attaching;
    std::lock_guard lock(attaching);
    static const BOOL swallowing = SetConsoleCtrlHandler(&swallowControlEvent, TRUE);
    (void)swallowing;
    FreeConsole();
    if (AttachConsole(processId)) {
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        FreeConsole();
    }
}

void ChildProcess::Impl::terminate() {
    TerminateProcess(process, 137);
}

bool ChildProcess::Impl::reap(std::chrono::milliseconds limit) {
    if (WaitForSingleObject(process, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    status = static_cast<int>(code);
    CloseHandle(process);
    process = nullptr;
    running = false;
    return true;
}

#else

void ChildProcess::Impl::start(const std::string& program, const std::vector<std::string>& args) {
    int pipes[3][2];
    for (auto& p : pipes)
        if (::pipe2(p, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipes[0][0], 0);
    posix_spawn_file_actions_adddup2(&actions, pipes[1][1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipes[2][1], 2);
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipes[0][0]);
    ::close(pipes[1][1]);
    ::close(pipes[2][1]);
    input = pipes[0][1];
    if (rc != 0) {
        pid = -1;
        ::close(pipes[1][0]);
        ::close(pipes[2][0]);
        closePipe(input);
        return;
    }
    running = true;
    startReader(0, pipes[1][0]);
    startReader(1, pipes[2][0]);
}

void ChildProcess::Impl::signal(Stop how) {
    ::kill(pid, how == Stop::Interrupt ? SIGINT : SIGTERM);
}

void ChildProcess::Impl::terminate() {
    ::kill(pid, SIGKILL);
}

bool ChildProcess::Impl::reap(std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    int raw = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &raw, WNOHANG);
        if (done == pid) break;
        if (done < 0 || Clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    pid = -1;
    running = false;
    return true;
}

#endif

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
    : impl_(std::make_unique<Impl>()) {
    impl_->start(program, args);
}

ChildProcess::~ChildProcess() {
    closeInput();
    if (impl_->running) {
        impl_->terminate();
        impl_->reap(std::chrono::minutes(1));
    }
    impl_->joinReaders();
}

bool ChildProcess::started() const {
    return impl_->running || impl_->status != -1;
}

long ChildProcess::processId() const {
#ifdef _WIN32
    return static_cast<long>(impl_->processId);
#else
    return static_cast<long>(impl_->pid);
#endif
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, limit, [&] {
        return impl_->streams[0].text.find(text) != std::string::npos || impl_->streams[0].ended;
    }) && impl_->streams[0].text.find(text) != std::string::npos;
}

std::string ChildProcess::firstLine(std::chrono::milliseconds limit) {
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait_for(lock, limit, [&] {
        return impl_->streams[0].text.find('\n') != std::string::npos || impl_->streams[0].ended;
    });
    std::string line = impl_->streams[0].text.substr(0, impl_->streams[0].text.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

void ChildProcess::closeInput() {
    closePipe(impl_->input);
}

void ChildProcess::stop(Stop how) {
    if (impl_->running) impl_->signal(how);
}

void ChildProcess::kill() {
    if (impl_->running) impl_->terminate();
}

int ChildProcess::finish(std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    if (impl_->running && !impl_->reap(limit)) {
        impl_->terminate();
        impl_->reap(std::chrono::minutes(1));
        impl_->status = -1;
    }
    {
        // Output still open after the exit: a grandchild holds it; stop waiting at the limit.
        std::unique_lock lock(impl_->mutex);
        impl_->changed.wait_until(lock, until, [&] { return impl_->bothEnded(); });
        if (!impl_->bothEnded()) return impl_->status;
    }
    impl_->joinReaders();
    return impl_->status;
}

std::string ChildProcess::out() const {
    std::lock_guard lock(impl_->mutex);
    return Impl::plainLines(impl_->streams[0].text);
}

std::string ChildProcess::err() const {
    std::lock_guard lock(impl_->mutex);
    return Impl::plainLines(impl_->streams[1].text);
}

std::string makeTempDirectory(const std::string& prefix) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) return {};
    std::random_device seed;
    std::mt19937_64 random(seed() ^ static_cast<unsigned long long>(currentProcessId()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path path = base / (prefix + "-" + std::to_string(random() % 1000000000));
        if (fs::create_directory(path, ec)) return path.string();  // false when it existed
    }
    return {};
}

long currentProcessId() {
#ifdef _WIN32
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(::getpid());
#endif
}

}  // namespace q4m::test
