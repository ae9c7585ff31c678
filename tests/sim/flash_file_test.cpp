// Flash files on disk: only a regular file of the exact size is read, and a
// save interrupted at any point leaves the old file whole.
#include "sim/flash_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using q4m::sim::readExactFile;
using q4m::sim::writeFileAtomically;

class FlashFileOnDisk : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
            const fs::path candidate =
                fs::temp_directory_path() / ("q4m-flash-" + std::to_string(random()));
            if (fs::create_directory(candidate)) dir_ = candidate;
        }
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    void write(const std::string& name, const Bytes& bytes) const {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    Bytes read(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::size_t entries() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    fs::path dir_;
};

TEST_F(FlashFileOnDisk, ReadsOnlyARegularFileOfExactlyTheSize) {
    write("exact.bin", Bytes(16, 0xA5));
    write("short.bin", Bytes(15, 0xA5));
    write("long.bin", Bytes(17, 0xA5));
    struct Case {
        std::string path;
        const char* says;  // empty: read
    };
    std::vector<Case> cases{
        {path("exact.bin"), ""},
        {path("short.bin"), "holds 15 bytes"},
        {path("long.bin"), "holds more than 16 bytes"},
        {path("missing.bin"), "cannot open"},
        {dir_.string(), "not a regular file"},
        {"", "no file name"},
    };
#ifndef _WIN32
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    cases.push_back({"/dev/zero", "not a regular file"});   // endless: must not be read
    cases.push_back({path("fifo"), "not a regular file"});  // no writer: must not block
#endif
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Bytes out{1, 2, 3};
        std::string error;
        const bool ok = readExactFile(c.path, 16, out, &error);
        EXPECT_EQ(ok, *c.says == '\0');
        if (ok) {
            EXPECT_EQ(out, Bytes(16, 0xA5));
        } else {
            EXPECT_NE(error.find(c.says), std::string::npos) << error;
            EXPECT_EQ(out, (Bytes{1, 2, 3})) << "unchanged on failure";
        }
    }
}

TEST_F(FlashFileOnDisk, SaveReplacesTheFileWholeAndKeepsItsMode) {
    write("flash.bin", Bytes(1000, 0x11));
#ifndef _WIN32
    ASSERT_EQ(chmod(path("flash.bin").c_str(), 0640), 0);
#endif
    std::string error;
    ASSERT_TRUE(writeFileAtomically(path("flash.bin"), Bytes(4, 0x22), &error)) << error;
    EXPECT_EQ(read("flash.bin"), Bytes(4, 0x22));
#ifndef _WIN32
    EXPECT_EQ(fs::status(path("flash.bin")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif
    EXPECT_EQ(entries(), 1u) << "no temporary file left";

    ASSERT_TRUE(writeFileAtomically(path("new.bin"), Bytes(3, 0x33), &error)) << error;
    EXPECT_EQ(read("new.bin"), Bytes(3, 0x33));
}

// The moment between writing the new file and renaming it: the old file must
// still be whole then, and stay so when the save goes no further.
TEST_F(FlashFileOnDisk, SaveInterruptedBeforeTheRenameLeavesTheOldFileWhole) {
    const Bytes old(1 << 20, 0x5A);
    write("flash.bin", old);
    bool sawOldWhole = false;
    std::string error;
    const bool saved = writeFileAtomically(path("flash.bin"), Bytes(1 << 20, 0x00), &error, [&] {
        sawOldWhole = read("flash.bin") == old;
        EXPECT_EQ(entries(), 2u) << "the new contents sit in a file beside it";
        return false;
    });
    EXPECT_FALSE(saved);
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(sawOldWhole);
    EXPECT_TRUE(read("flash.bin") == old);
    EXPECT_EQ(entries(), 1u) << "the abandoned temporary file is removed";
}

TEST_F(FlashFileOnDisk, ReplaceableOnlyWhereARenameCanLand) {
    write("flash.bin", Bytes(4, 0));
    fs::create_directory(path("sub"));
    struct Case {
        std::string path;
        const char* says;  // empty: fine
    };
    std::vector<Case> cases{
        {path("flash.bin"), ""},
        {path("new.bin"), ""},
        {path("sub"), "is a directory"},
        {path("missing/flash.bin"), "cannot write beside"},
        {"", "no file name"},
    };
#ifndef _WIN32
    cases.push_back({"/dev/null", "not a regular file"});  // a rename would replace the node
    cases.push_back(
        {"/proc/q4m-flash.bin", "cannot write beside"});  // even root cannot create there
#endif
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string error = q4m::sim::checkReplaceable(c.path);
        EXPECT_EQ(error.empty(), *c.says == '\0') << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
    EXPECT_EQ(entries(), 2u) << "the check leaves nothing behind";
    EXPECT_EQ(read("flash.bin"), Bytes(4, 0));
}

}  // namespace
