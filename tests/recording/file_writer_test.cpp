// The file writer thread against named pipes: a reader that goes away, a
// reader that stalls past the queue's bound, and the next file after a failure.
#include "recording/file_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/temp_dir.h"

namespace mk27x {
namespace {

namespace fs = std::filesystem;

class FileWriter : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp.Made());
        dir = temp.Dir();
        fifo = (dir / "pipe").string();
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        // Opened first, so that the writer's open of the pipe does not wait.
        reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
    }
    void TearDown() override {
        if (reader >= 0) ::close(reader);
    }
    // Reads the pipe until end of file.
    std::string ReadToEnd() {
        ::fcntl(reader, F_SETFL, 0);
        std::string text;
        char buf[65536];
        for (ssize_t n; (n = ::read(reader, buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<std::size_t>(n));
        return text;
    }
    testing::TempDir temp{"mk27x-writer"};
    fs::path dir;
    std::string fifo;
    int reader = -1;
};

TEST_F(FileWriter, ReaderGoneFailsWithEpipeAndTheNextFileResumes) {
    std::vector<FileResult> results;
    FileWriterThread writer(kFileQueueBound, [&](const FileResult& r) { results.push_back(r); });
    writer.Open(fifo);
    ASSERT_TRUE(writer.Write("header\r\n"));
    EXPECT_TRUE(writer.Drain().Ok());
    ::close(reader);
    reader = -1;
    // SIGPIPE would end the test program: the writer thread takes EPIPE instead.
    writer.Write("row\r\n");
    FileStatus status = writer.Drain();
    EXPECT_EQ(status.failed, FileStep::Write);
    EXPECT_EQ(status.error, EPIPE);
    EXPECT_EQ(status.path, fifo);
    EXPECT_EQ(status.written, 8u);
    EXPECT_TRUE(writer.Failed());
    writer.Write("dropped\r\n");
    EXPECT_EQ(writer.Drain().dropped, 5u + 9u);

    const fs::path next = dir / "next.csv";
    writer.Open(next.string());
    writer.Write("more\r\n");
    status = writer.Close();
    EXPECT_TRUE(status.Ok());
    EXPECT_FALSE(writer.Failed());
    EXPECT_EQ(status.written, 6u);
    EXPECT_EQ(testing::ReadFile(next), "more\r\n");
    // Each step as data, in order; a failed step carries the system's errno.
    std::vector<std::pair<FileStep, int>> steps;
    for (const FileResult& r : results) steps.push_back({r.step, r.error});
    EXPECT_EQ(steps, (std::vector<std::pair<FileStep, int>>{{FileStep::Open, 0},
                                                            {FileStep::Write, 0},
                                                            {FileStep::Write, EPIPE},
                                                            {FileStep::Close, 0},
                                                            {FileStep::Open, 0},
                                                            {FileStep::Write, 0},
                                                            {FileStep::Close, 0}}));
    EXPECT_EQ(results[3].path, fifo);
    EXPECT_EQ(results[4].path, next.string());

    // A file that cannot be created: the open's errno, and nothing written.
    FileWriterThread missing;
    missing.Open((dir / "no" / "such.csv").string());
    missing.Write("x");
    status = missing.Close();
    EXPECT_EQ(status.failed, FileStep::Open);
    EXPECT_EQ(status.error, ENOENT);
    EXPECT_EQ(status.dropped, 1u);
}

TEST_F(FileWriter, StalledReaderOverflowsTheBoundAndThePrefixStaysWhole) {
    constexpr std::size_t kBound = 1 << 20;
    constexpr std::size_t kBlock = 1 << 16;
    FileWriterThread writer(kBound);
    writer.Open(fifo);
    // Nobody reads: the pipe takes 64 KiB, the queue 1 MiB, then blocks are
    // refused without the producer waiting.
    std::size_t taken = 0;
    for (char c = 'a'; c <= 'z' && writer.Write(std::string(kBlock, c)); ++c) ++taken;
    EXPECT_GE(taken, kBound / kBlock);
    EXPECT_LE(taken, (kBound + 2 * kBlock) / kBlock + 1);
    EXPECT_TRUE(writer.Failed());
    EXPECT_EQ(writer.Status().failed, FileStep::Overflow);
    EXPECT_FALSE(writer.Write("late"));

    // The writer opens the pipe on its own thread: only once it holds the pipe
    // does the reader's end of file mean the end of the writing.
    for (int k = 0; k < 1000 && writer.Status().written == 0; ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GT(writer.Status().written, 0u);
    std::string text;
    std::thread drain([&] { text = ReadToEnd(); });
    const FileStatus status = writer.Close();
    drain.join();
    EXPECT_EQ(status.failed, FileStep::Overflow);
    EXPECT_EQ(status.written, taken * kBlock);
    ASSERT_EQ(text.size(), taken * kBlock);
    for (std::size_t k = 0; k < taken; ++k)
        EXPECT_EQ(text[k * kBlock], static_cast<char>('a' + k)) << k;
}

}  // namespace
}  // namespace mk27x
