// The instance guard with real processes: numbers are taken lowest-free
// first, a holder's number comes free when its process dies, and the copy
// beyond the limit refuses with its message and no window.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app/instance_lock.h"
#include "app/updater_app.h"
#include "engine/strings.h"
#include "tests/support/child_process.h"

#ifndef Q4M_INSTANCE_HOLDER
#error "Q4M_INSTANCE_HOLDER must name the helper binary"
#endif

namespace q4m::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A private lock directory (on Windows, a private scope for the mutex names).
class TempDir {
  public:
    TempDir() : path_(test::makeTempDirectory("q4m-guard")) {}
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// One helper process holding (or refused) an instance number.
class Holder {
  public:
    explicit Holder(const std::string& dir)
        : process_(Q4M_INSTANCE_HOLDER, {dir}), line_(process_.firstLine(60s)) {}
    const std::string& line() const { return line_; }

    // Ends normally (stdin closed) or is killed outright.
    void end(bool kill = false) {
        if (kill) process_.kill();
        process_.closeInput();
        process_.finish(60s);
    }

  private:
    test::ChildProcess process_;
    std::string line_;
};

std::string instanceLine(int n) {
    return "instance " + std::to_string(n);
}

TEST(InstanceGuard, ProcessesTakeTheLowestFreeNumberAndDeathFreesIt) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    auto first = std::make_unique<Holder>(dir.path());
    auto second = std::make_unique<Holder>(dir.path());
    EXPECT_EQ(first->line(), instanceLine(1));
    EXPECT_EQ(second->line(), instanceLine(2));
    {
        Holder third(dir.path());  // 1 and 2 held
        EXPECT_EQ(third.line(), instanceLine(3));
        second->end();
        Holder again(dir.path());  // 1 and 3 held
        EXPECT_EQ(again.line(), instanceLine(2));
    }
    first->end(/*kill=*/true);  // however the holder ends, the kernel frees its lock
    Holder next(dir.path());
    EXPECT_EQ(next.line(), instanceLine(1));
}

class RecordingPlatform : public AppPlatform {
  public:
    void appMessageBox(std::string_view text) override { boxes.emplace_back(text); }
    void runMainDialog(int instanceNumber) override { dialogs.push_back(instanceNumber); }
    std::vector<std::string> boxes;
    std::vector<int> dialogs;
};

TEST(InstanceGuard, TheCopyBeyondTwentyRefusesWithoutAWindow) {
    TempDir dir;
    // Twenty held numbers; separate open files lock against each other even
    // inside one process, as they would across processes.
    std::vector<std::unique_ptr<NamedLock>> held;
    for (int n = 1; n <= CQ2wUpdatorApp::MaxInstances; ++n) {
        held.push_back(std::make_unique<NamedLock>());
        ASSERT_EQ(
            held.back()->acquire(dir.path(), engine::withInstanceSuffix(engine::ProgramTitle, n)),
            NamedLock::Result::Acquired);
    }
    RecordingPlatform platform;
    CQ2wUpdatorApp app(platform, dir.path());
    EXPECT_FALSE(app.initInstance());
    EXPECT_EQ(platform.boxes,
              std::vector<std::string>{"It is forbidden to launch more than 20 instance of this "
                                       "application."});
    EXPECT_TRUE(platform.dialogs.empty());
    EXPECT_EQ(app.instanceNumber(), 0);

    // A real process is refused the same way; freeing number 7 lets one in as 7.
    EXPECT_EQ(Holder(dir.path()).line(),
              "refused " + engine::instanceLimitText(CQ2wUpdatorApp::MaxInstances));
    held[6].reset();
    EXPECT_EQ(Holder(dir.path()).line(), instanceLine(7));
}

#ifndef _WIN32
TEST(InstanceGuard, AnUnusableLockCountsAsATakenNumber) {
    TempDir dir;
    // Number 1's lock file is a symlink: it must not be followed.
    const fs::path target = fs::path(dir.path()) / "elsewhere";
    fs::create_symlink(target, fs::path(dir.path()) / lockFileName(engine::ProgramTitle));
    RecordingPlatform platform;
    CQ2wUpdatorApp app(platform, dir.path());
    app.initInstance();
    EXPECT_EQ(platform.dialogs, std::vector<int>{2});
    EXPECT_FALSE(fs::exists(target));
}

// A directory that cannot hold the locks gets its own message, naming it,
// never the instance-limit text, and no window.
TEST(InstanceGuard, AnUnusableLockDirectoryIsNamedInItsOwnMessage) {
    TempDir base;
    const fs::path open = fs::path(base.path()) / "open-to-all";
    fs::create_directory(open);
    fs::permissions(open, fs::perms::all);
    const fs::path linked = fs::path(base.path()) / "linked";
    fs::create_directory_symlink(base.path(), linked);
    // Trusted, but every lock name is taken by a symlink: not one lock can be made.
    const fs::path trapped = fs::path(base.path()) / "trapped";
    fs::create_directory(trapped, base.path());
    fs::permissions(trapped, fs::perms::owner_all);
    for (int n = 1; n <= CQ2wUpdatorApp::MaxInstances; ++n)
        fs::create_symlink(
            fs::path(base.path()) / "nowhere",
            trapped / lockFileName(engine::withInstanceSuffix(engine::ProgramTitle, n)));
    const std::string cases[] = {open.string(), linked.string(),
                                 (fs::path(base.path()) / "missing").string(), trapped.string()};
    for (const auto& dir : cases) {
        SCOPED_TRACE(dir);
        RecordingPlatform platform;
        CQ2wUpdatorApp app(platform, dir);
        EXPECT_FALSE(app.initInstance());
        EXPECT_EQ(platform.boxes, std::vector<std::string>{engine::lockDirectoryText(dir)});
        EXPECT_NE(platform.boxes.at(0).find("Cannot use the lock directory " + dir + ":"),
                  std::string::npos);
        EXPECT_TRUE(platform.dialogs.empty());
    }
}

TEST(InstanceGuard, LockFileNamesAreFileSafeAndDistinct) {
    EXPECT_EQ(lockFileName("Vexa Q4m System 1.10 Updater (3)"),
              "Vexa%20Q4m%20System%201.10%20Updater%20%283%29.lock");
    EXPECT_NE(lockFileName("a b"), lockFileName("a_b"));
    EXPECT_EQ(lockFileName("../x/y").find('/'), std::string::npos);
}

// The fallback directory is trusted only when it is a real directory of ours
// that nobody else can write to; it is named either way, for the message.
TEST(InstanceGuard, DefaultDirectoryRefusesWhatItCannotTrust) {
    TempDir base;
    const std::string savedTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    const std::string savedRuntime =
        std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", base.path().c_str(), 1);
    const fs::path expected =
        fs::path(base.path()) / ("q4m-updater-" + std::to_string(::geteuid()));

    EXPECT_EQ(defaultLockDirectory(), expected.string());  // created
    EXPECT_EQ(fs::status(expected).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_TRUE(isUsableLockDirectory(expected.string()));

    ::chmod(expected.c_str(), 0777);
    EXPECT_EQ(defaultLockDirectory(), expected.string());
    EXPECT_FALSE(isUsableLockDirectory(expected.string()));
    fs::remove(expected);

    fs::create_directory(fs::path(base.path()) / "real");
    fs::create_directory_symlink(fs::path(base.path()) / "real", expected);
    EXPECT_EQ(defaultLockDirectory(), expected.string());
    EXPECT_FALSE(isUsableLockDirectory(expected.string()));

    // An unusable runtime directory is passed over for the fallback.
    ::setenv("XDG_RUNTIME_DIR", (fs::path(base.path()) / "real").c_str(), 1);
    ::chmod((fs::path(base.path()) / "real").c_str(), 0777);
    EXPECT_EQ(defaultLockDirectory(), expected.string());
    ::unsetenv("XDG_RUNTIME_DIR");

    if (savedTmp.empty())
        ::unsetenv("TMPDIR");
    else
        ::setenv("TMPDIR", savedTmp.c_str(), 1);
    if (!savedRuntime.empty()) ::setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
}

#else
// The product's names carry no scope: a mutex is named exactly as the
// caption it stands for, and a second creator of the name is told it exists.
TEST(InstanceGuard, ProductMutexNamesAreExactlyTheCaptions) {
    EXPECT_EQ(defaultLockDirectory(), "");
    // A suffix of this test's own, so that a running updater is not disturbed.
    const std::string name = engine::withInstanceSuffix(engine::ProgramTitle, 3) + " test " +
                             std::to_string(test::currentProcessId());
    NamedLock lock;
    ASSERT_EQ(lock.acquire("", name), NamedLock::Result::Acquired);
    HANDLE seen = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    EXPECT_NE(seen, nullptr);
    if (seen) CloseHandle(seen);
    NamedLock second;
    EXPECT_EQ(second.acquire("", name), NamedLock::Result::AlreadyHeld);
    lock.release();
    EXPECT_EQ(second.acquire("", name), NamedLock::Result::Acquired);
}
#endif

}  // namespace
}  // namespace q4m::app
