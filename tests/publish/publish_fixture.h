// What the publishing tests share: a folder of their own, a broker, the
// publisher's settings for it, known samples and the batches a subscriber got.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "publish/mqtt_publisher.h"
#include "support/mosquitto.h"

namespace mk27x::testing {

struct ReceivedBatch {
    std::uint64_t seq = 0;
    std::string t0;
    std::vector<double> seconds;
    std::vector<double> mm;
};

inline ReceivedBatch ParseBatch(const std::string& payload) {
    const auto j = nlohmann::json::parse(payload);
    return {j.at("seq").get<std::uint64_t>(), j.at("t0").get<std::string>(),
            j.at("seconds").get<std::vector<double>>(), j.at("mm").get<std::vector<double>>()};
}

// The batches on `topic`, repeats (the same seq again after a reconnect)
// checked equal and left out; in arrival order.
inline std::vector<ReceivedBatch> Batches(const std::vector<ReceivedMessage>& messages,
                                          const std::string& topic) {
    std::vector<ReceivedBatch> out;
    std::vector<std::string> payloads;
    for (const ReceivedMessage& m : messages) {
        if (m.topic != topic) continue;
        ReceivedBatch b = ParseBatch(m.payload);
        if (b.seq < payloads.size() && !payloads[b.seq].empty()) {
            EXPECT_EQ(payloads[b.seq], m.payload) << "a repeat differs";
            continue;
        }
        if (payloads.size() <= b.seq) payloads.resize(b.seq + 1);
        payloads[b.seq] = m.payload;
        out.push_back(std::move(b));
    }
    return out;
}

inline std::vector<ReceivedBatch> Batches(const Subscriber& s, const std::string& topic) {
    return Batches(s.Messages(), topic);
}

inline std::size_t SampleCount(const std::vector<ReceivedBatch>& batches) {
    std::size_t n = 0;
    for (const ReceivedBatch& b : batches) n += b.mm.size();
    return n;
}

// Sample i: i / 8 mm (exact in three decimals), `period_ns` apart.
inline std::vector<RecordedSample> KnownSamples(std::size_t n, std::int64_t period_ns) {
    const SampleTime t0 = SampleTime::Now();
    std::vector<RecordedSample> out;
    for (std::size_t i = 0; i < n; ++i) {
        const auto offset = static_cast<std::int64_t>(i) * period_ns;
        out.push_back({static_cast<float>(i % 80000) / 8.0f,
                       {t0.monotonic_ns + offset, t0.wall_ns + offset}});
    }
    return out;
}

struct TlsFiles {
    std::string ca, key, crt;
};

// A CA and a certificate for 127.0.0.1 signed by it, in `dir`; empty paths
// when openssl failed.
inline TlsFiles MakeTlsFiles(const std::string& dir) {
    auto openssl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "openssl");
        return RunQuietly(args) == 0;
    };
    TlsFiles f{dir + "/ca.crt", dir + "/server.key", dir + "/server.crt"};
    std::ofstream(dir + "/ext.cnf") << "subjectAltName=IP:127.0.0.1\n";
    const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt",
                                         "ec_paramgen_curve:prime256v1", "-nodes"};
    std::vector<std::string> ca = {"req", "-x509"}, csr = {"req"};
    ca.insert(ca.end(), ec.begin(), ec.end());
    csr.insert(csr.end(), ec.begin(), ec.end());
    ca.insert(ca.end(), {"-keyout", dir + "/ca.key", "-out", f.ca, "-subj", "/CN=mk27x test CA",
                         "-days", "2"});
    csr.insert(csr.end(),
               {"-keyout", f.key, "-out", dir + "/server.csr", "-subj", "/CN=127.0.0.1"});
    if (!openssl(ca) || !openssl(csr) ||
        !openssl({"x509", "-req", "-in", dir + "/server.csr", "-CA", f.ca, "-CAkey",
                  dir + "/ca.key", "-CAcreateserial", "-out", f.crt, "-days", "2", "-extfile",
                  dir + "/ext.cnf"}))
        return {};
    return f;
}

class PublishTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!MosquittoInstalled()) GTEST_SKIP() << "mosquitto is not installed";
        static std::atomic<int> count{0};
        dir = (std::filesystem::temp_directory_path() /
               ("mk27x-mqtt-" + std::to_string(::getpid()) + "-" + std::to_string(++count)))
                  .string();
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }

    PublishSettings Settings(int port, const std::string& scheme = "mqtt") const {
        PublishSettings s;
        s.target = *ParseMqttUrl(scheme + "://127.0.0.1:" + std::to_string(port) + "/plant");
        return s;
    }

    std::string dir;
    const SensorIdentity identity{27, 2, 1234, 80, 50};
};

}  // namespace mk27x::testing
