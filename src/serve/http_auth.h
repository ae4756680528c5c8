// The users of the line service's page: a file of `NAME:HASH` lines (HASH a
// yescrypt hash from libcrypt, as `mk27x serve --hash-password` prints it),
// checked against HTTP Basic credentials.
//
// A check takes the same time whether the name is known or not (an unknown
// name is checked against a hash of its own) and compares the hashes in
// constant time. The file is read once, at the start.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace mk27x {

class HttpUsers {
public:
    // Reads `path`; on failure nothing, with the reason ("users.txt:3: no ':'").
    static std::optional<HttpUsers> Load(const std::string& path, std::string& error);
    // True when the `Authorization` header's value holds Basic credentials of a
    // user in the file with the right password.
    bool Check(const std::string& authorization) const;
    std::size_t Size() const { return hashes_.size(); }

private:
    std::map<std::string, std::string> hashes_;
    std::string dummy_;
};

// A new yescrypt hash of `password` (a random salt); empty when libcrypt fails.
std::string HashPassword(const std::string& password);

}  // namespace mk27x
