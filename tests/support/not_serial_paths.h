// Paths that are no serial port, for the tests of every front end that opens
// one: a regular file, a symbolic link to it, a folder, a FIFO (all in a
// scratch folder of the test's own) and /dev/null. Unchanged() tells whether
// the file still holds its bytes and its modification time.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace mk27x::testing {

class NotSerialPaths {
public:
    explicit NotSerialPaths(const std::string& tag)
        : dir_(std::filesystem::temp_directory_path() /
               ("mk27x-not-serial-" + tag + "-" + std::to_string(::getpid()))) {
        namespace fs = std::filesystem;
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "folder");
        std::ofstream(dir_ / "notes.txt", std::ios::binary) << kBytes;
        fs::create_symlink(dir_ / "notes.txt", dir_ / "link-to-notes");
        ::mkfifo((dir_ / "fifo").c_str(), 0600);
        // An old time, so that a write now would show.
        fs::last_write_time(dir_ / "notes.txt",
                            fs::file_time_type::clock::now() - std::chrono::hours(24));
        mtime_ = fs::last_write_time(dir_ / "notes.txt");
    }
    ~NotSerialPaths() { std::filesystem::remove_all(dir_); }
    NotSerialPaths(const NotSerialPaths&) = delete;
    NotSerialPaths& operator=(const NotSerialPaths&) = delete;

    std::vector<std::string> All() const {
        return {(dir_ / "notes.txt").string(), (dir_ / "link-to-notes").string(),
                (dir_ / "folder").string(), (dir_ / "fifo").string(), "/dev/null"};
    }

    bool Unchanged() const {
        namespace fs = std::filesystem;
        std::ifstream in(dir_ / "notes.txt", std::ios::binary);
        const std::string now{std::istreambuf_iterator<char>(in), {}};
        struct stat fifo {};
        return now == kBytes && fs::last_write_time(dir_ / "notes.txt") == mtime_ &&
               fs::is_symlink(dir_ / "link-to-notes") && fs::is_empty(dir_ / "folder") &&
               ::stat((dir_ / "fifo").c_str(), &fifo) == 0 && S_ISFIFO(fifo.st_mode);
    }

private:
    static constexpr const char* kBytes = "root:x:0:0:root:/root:/bin/bash\n";
    std::filesystem::path dir_;
    std::filesystem::file_time_type mtime_;
};

}  // namespace mk27x::testing
