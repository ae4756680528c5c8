#include "recording/sample_file.h"
#include "support/temp_dir.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace mk27x {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;

// Sample k of a recording (k from 1) is k / 4 mm.
void Record(SampleRing& ring, int from, int to) {
    for (int k = from; k <= to; ++k) ring.Append(static_cast<float>(k) / 4.0f);
}

std::string Lines(int from, int to) {
    std::string text;
    char line[32];
    for (int k = from; k <= to; ++k) {
        std::snprintf(line, sizeof line, "%.3f\r\n", k / 4.0);
        text += line;
    }
    return text;
}

class SampleFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(temp.Made()); }

    // Nothing but the named entries is left in the directory.
    std::size_t Entries() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
    }

    testing::TempDir temp{"mk27x-samples"};
    fs::path dir = temp.Dir();
    std::string path = (dir / "samples.txt").string();
    SampleRing ring;
};

TEST_F(SampleFileTest, EmptyRingMakesAnEmptyFile) {
    ASSERT_TRUE(SaveSampleFile(ring, path));
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(ReadFile(path), "");
    EXPECT_EQ(ring.ReadPosition, 0);
    EXPECT_EQ(Entries(), 1u);
}

TEST_F(SampleFileTest, ThreeSamplesThreeDecimalsCrLf) {
    ring.Append(1.0f);
    ring.Append(2.5f);
    ring.Append(-0.25f);
    ASSERT_TRUE(SaveSampleFile(ring, path));
    EXPECT_EQ(ReadFile(path), "1.000\r\n2.500\r\n-0.250\r\n");
    EXPECT_EQ(ring.ReadPosition, 3);
}

TEST_F(SampleFileTest, WrappedRingWritesTheNewestTenThousandOldestFirst) {
    Record(ring, 1, 10005);
    ASSERT_TRUE(SaveSampleFile(ring, path));
    const std::string text = ReadFile(path);
    EXPECT_EQ(text, Lines(6, 10005));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10000);
    EXPECT_EQ(ring.ReadPosition, 5);
    EXPECT_EQ(ring.WriteIndex, 5);
}

TEST_F(SampleFileTest, SavingTwiceWritesTheSameAndReplacesALongerFile) {
    std::ofstream(path, std::ios::binary) << Lines(1, 5000);
    Record(ring, 1, 4);
    ASSERT_TRUE(SaveSampleFile(ring, path));
    const std::string first = ReadFile(path);
    EXPECT_EQ(first, Lines(1, 4));
    ASSERT_TRUE(SaveSampleFile(ring, path));
    EXPECT_EQ(ReadFile(path), first);
    EXPECT_EQ(ring.ReadPosition, 4);
    EXPECT_EQ(Entries(), 1u);
}

TEST_F(SampleFileTest, UncreatableFileFailsAndLeavesTheRingAlone) {
    Record(ring, 1, 3);
    ring.ReadPosition = 1;
    const std::string missing = (dir / "no such dir" / "samples.txt").string();
    EXPECT_FALSE(SaveSampleFile(ring, missing));
    EXPECT_EQ(ring.ReadPosition, 1);
    EXPECT_EQ(Entries(), 0u);

    // A directory of that name cannot be replaced: it stays, and no temporary
    // file is left beside it.
    fs::create_directory(path);
    EXPECT_FALSE(SaveSampleFile(ring, path));
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_EQ(Entries(), 1u);
    EXPECT_EQ(ring.ReadPosition, 1);
}

// A write that fails part way (here: the process may not write more than 1000
// bytes into a file) reports failure and keeps the file it would have replaced.
TEST_F(SampleFileTest, FailedWriteKeepsTheExistingFile) {
    const std::string old = "keep me\r\n";
    std::ofstream(path, std::ios::binary) << old;
    Record(ring, 1, 3000);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const bool saved = SaveSampleFile(ring, path);
        ::_exit(saved ? 1 : ring.ReadPosition == 0 ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: reported success, 2: moved ReadPosition";
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(Entries(), 1u);
}

// Replacing a file (sample file, CSV and parameter file alike): a symbolic link
// is written through and stays a link; the file keeps its owner and mode.
TEST_F(SampleFileTest, LinkIsWrittenThroughAndTheFileKeepsOwnerAndMode) {
    const fs::path real = dir / "real.txt";
    std::ofstream(real) << "old";
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
                    fs::perm_options::replace);
    const bool root = ::geteuid() == 0;  // only root can give a file away
    if (root) {
        ASSERT_EQ(::chown(real.c_str(), 65534, 65534), 0);
    }
    fs::create_symlink("real.txt", path);
    ASSERT_TRUE(ReplaceFileContents(path, "new\r\n"));
    ASSERT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(fs::read_symlink(path), "real.txt");
    EXPECT_EQ(ReadFile(real), "new\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(std::make_pair(st.st_uid, st.st_gid), std::make_pair(65534u, 65534u));
    }
    EXPECT_EQ(Entries(), 2u);

    // A link to a file not there yet makes the file.
    const std::string dangling = (dir / "to-new.txt").string();
    fs::create_symlink(dir / "new.txt", dangling);
    ASSERT_TRUE(ReplaceFileContents(dangling, "x"));
    EXPECT_TRUE(fs::is_symlink(dangling));
    EXPECT_EQ(ReadFile(dir / "new.txt"), "x");
}

// Where the folder takes no temporary file, the file is written in place.
TEST_F(SampleFileTest, FileIsWrittenInPlaceWhereTheFolderTakesNoTemporary) {
    // A name at the length limit leaves no room for the temporary's suffix.
    const fs::path longest = dir / std::string(NAME_MAX, 'n');
    std::ofstream(longest) << Lines(1, 100);
    struct stat before {
    }, after{};
    ASSERT_EQ(::stat(longest.c_str(), &before), 0);
    std::string reason;
    ASSERT_TRUE(ReplaceFileContents(longest.string(), "1.000\r\n", &reason)) << reason;
    ASSERT_EQ(::stat(longest.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(ReadFile(longest), "1.000\r\n");
    fs::remove(longest);
    ASSERT_TRUE(ReplaceFileContents(longest.string(), "2.000\r\n", &reason)) << reason;
    EXPECT_EQ(ReadFile(longest), "2.000\r\n");
    EXPECT_EQ(Entries(), 1u);

    // A read-only folder holding a writable file, written by a user other than
    // root (root writes anywhere).
    const fs::path locked = dir / "locked";
    const fs::path file = locked / "samples.txt";
    fs::create_directory(locked);
    std::ofstream(file) << "old";
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    }
    fs::permissions(dir, fs::perms::others_exec, fs::perm_options::add);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_exec,
                    fs::perm_options::replace);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(2);
        ::_exit(ReplaceFileContents(file.string(), "new") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    fs::permissions(locked, fs::perms::owner_all);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not written, 2: cannot become another user";
    EXPECT_EQ(ReadFile(file), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(locked), fs::directory_iterator()), 1);
}

TEST(RingDrain, UnwrappedRecordingFromReadPosition) {
    SampleRing ring;
    EXPECT_TRUE(DrainRing(ring).empty());
    EXPECT_EQ(ring.ReadPosition, 0);

    Record(ring, 1, 5);
    ring.ReadPosition = 3;  // a save during the stream took the first three
    const auto points = DrainRing(ring);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[0], (std::pair<float, std::uint16_t>{1.0f, 3}));
    EXPECT_EQ(points[1], (std::pair<float, std::uint16_t>{1.25f, 4}));
    EXPECT_EQ(ring.ReadPosition, 5);
    EXPECT_TRUE(DrainRing(ring).empty());
}

TEST(RingDrain, WrappedRecordingGivesTheNewestTenThousandOldestFirst) {
    for (const int frames : {12000, 20000}) {
        SCOPED_TRACE(frames);
        SampleRing ring;
        Record(ring, 1, frames);
        const auto points = DrainRing(ring);
        ASSERT_EQ(points.size(), 10000u);
        const int write_index = frames % 10000;
        for (int n = 0; n < 10000; ++n) {
            const int k = frames - 9999 + n;  // recording order
            ASSERT_EQ(points[n].first, static_cast<float>(k) / 4.0f) << n;
            ASSERT_EQ(points[n].second, (write_index + n) % 10000) << n;
        }
        EXPECT_EQ(ring.ReadPosition, write_index);
    }
}

}  // namespace
}  // namespace mk27x
