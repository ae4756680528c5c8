// Files of a test: a directory of its own under the system's temporary folder,
// and a file's bytes read back.
//
// Threading: none; a TempDir belongs to the test that made it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace mk27x::testing {

// A fresh directory, /tmp/<prefix>-XXXXXX (mkdtemp), removed with everything in
// it when the object goes. Made() is false when it could not be created.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "mk27x-test") {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Made() const { return !dir_.empty(); }
    const std::filesystem::path& Dir() const { return dir_; }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    // Writes `contents` byte for byte and returns the file's path.
    std::string Write(const std::string& name, const std::string& contents) const {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }

private:
    std::filesystem::path dir_;
};

// The file's bytes; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace mk27x::testing
