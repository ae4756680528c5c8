#include "serve/http_auth.h"

#include <crypt.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

namespace mk27x {
namespace {

std::string Crypt(const std::string& password, const std::string& setting) {
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof(crypt_data));
    const char* out = crypt_r(password.c_str(), setting.c_str(), data.get());
    if (out == nullptr || out[0] == '*') return {};
    return out;
}

bool ConstantTimeEqual(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    const std::size_t n = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff |= static_cast<unsigned char>(x ^ y);
    }
    return diff == 0;
}

std::string DecodeBase64(const std::string& in) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : in) {
        if (c == '=') break;
        const auto pos = kAlphabet.find(c);
        if (pos == std::string::npos) return {};
        bits = (bits << 6) | static_cast<unsigned>(pos);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xff));
        }
    }
    return out;
}

}  // namespace

std::string HashPassword(const std::string& password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting) == nullptr) return {};
    return Crypt(password, setting);
}

std::optional<HttpUsers> HttpUsers::Load(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    HttpUsers users;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const auto colon = line.find(':');
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (colon == std::string::npos || colon == 0) {
            error = where + "expected NAME:HASH";
            return std::nullopt;
        }
        const std::string hash = line.substr(colon + 1);
        if (hash.rfind("$y$", 0) != 0 && hash.rfind("$2b$", 0) != 0 && hash.rfind("$6$", 0) != 0) {
            error = where + "not a password hash (make one with mk27x serve --hash-password)";
            return std::nullopt;
        }
        users.hashes_[line.substr(0, colon)] = hash;
    }
    if (users.hashes_.empty()) {
        error = path + ": no users";
        return std::nullopt;
    }
    users.dummy_ = HashPassword("not a password of anyone");
    return users;
}

bool HttpUsers::Check(const std::string& authorization) const {
    static const std::string kBasic = "Basic ";
    if (authorization.size() <= kBasic.size() ||
        strncasecmp(authorization.c_str(), kBasic.c_str(), kBasic.size()) != 0)
        return false;
    const std::string pair = DecodeBase64(authorization.substr(kBasic.size()));
    const auto colon = pair.find(':');
    if (colon == std::string::npos) return false;
    const auto found = hashes_.find(pair.substr(0, colon));
    const std::string& hash = found != hashes_.end() ? found->second : dummy_;
    const std::string computed = Crypt(pair.substr(colon + 1), hash);
    return ConstantTimeEqual(computed, hash) && found != hashes_.end() && !computed.empty();
}

}  // namespace mk27x
