#include "cli/cli_http.h"

#include <termios.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cli/exit_status.h"

namespace mk27x {
namespace {

std::vector<std::optional<Limits>> LimitsInColumnOrder(const ServiceConfig& config) {
    std::vector<std::optional<Limits>> limits;
    for (const auto& s : config.sensors) limits.push_back(config.LimitsOf(s.spec.name));
    for (const auto& c : config.channels) limits.push_back(config.LimitsOf(c.spec.name));
    return limits;
}

// Echo off on a terminal for as long as it lives.
class NoEcho {
public:
    explicit NoEcho(int fd) : fd_(fd) {
        if (fd_ < 0 || !::isatty(fd_) || ::tcgetattr(fd_, &saved_) != 0) {
            fd_ = -1;
            return;
        }
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(fd_, TCSAFLUSH, &quiet);
    }
    ~NoEcho() {
        if (fd_ >= 0) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;
    bool Active() const { return fd_ >= 0; }

private:
    int fd_;
    termios saved_{};
};

}  // namespace

std::optional<HttpOptions> HttpOptionsFrom(const ServiceConfig& config) {
    const HttpConfig& h = config.http;
    if (!h.listen) return std::nullopt;
    HttpOptions o;
    o.host = h.listen->host;
    o.port = h.listen->port;
    o.users_file = h.users.value_or("");
    o.cert_file = h.cert.value_or("");
    o.key_file = h.key.value_or("");
    o.insecure = h.insecure.value_or(false);
    o.web_dir = DefaultWebDir();
    o.record_dir = config.record_dir.value_or("");
    return o;
}

std::string CheckHttpConfig(const HttpOptions& options, std::string& warning) {
    if (std::string refused = CheckHttpOptions(options, warning); !refused.empty()) return refused;
    if (!options.users_file.empty()) {
        std::string error;
        const auto users = HttpUsers::Load(options.users_file, error);
        if (!users) return error;
        if (users->Size() == 0) return options.users_file + ": no users";
    }
    for (const std::string& file : {options.cert_file, options.key_file})
        if (!file.empty() && ::access(file.c_str(), R_OK) != 0) return "cannot read " + file;
    return {};
}

std::string ServiceStatusJson(const ServiceStatus& s) {
    nlohmann::json j = {{"mqtt", nullptr}, {"modbus", nullptr}, {"recording", nullptr}};
    if (s.publishing) {
        const char* state = s.mqtt_refused         ? "refused"
                            : s.mqtt_connected > 0 ? "connected"
                                                   : "waiting for the broker";
        j["mqtt"] = {{"state", state}, {"queued", s.mqtt_queued}};
        if (s.mqtt_refused) j["mqtt"]["refusal"] = s.mqtt_refusal;
    }
    if (s.modbus) j["modbus"] = {{"clients", s.modbus_clients}};
    if (s.recording) {
        const RecorderStatus& r = *s.recording;
        std::string text;
        if (r.paused)
            text = "paused: " + r.pause_reason;
        else if (r.current.empty())
            text = "waiting for the first row";
        else
            text = r.current;
        text += " (" + std::to_string(r.rows) + " rows in " + std::to_string(r.files) + " files";
        if (r.dropped) text += ", " + std::to_string(r.dropped) + " dropped";
        j["recording"] = text + ")";
    }
    return j.dump();
}

int RunHashPassword(std::istream& in, int tty_fd, std::ostream& out, std::ostream& err) {
    std::string password;
    {
        NoEcho quiet(tty_fd);
        if (quiet.Active()) err << "Password: " << std::flush;
        std::getline(in, password);
        if (quiet.Active()) err << '\n';
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.empty()) {
        err << "mk27x: an empty password is refused\n";
        return kExitUsage;
    }
    const std::string hash = HashPassword(password);
    if (hash.empty()) {
        err << "mk27x: libcrypt made no yescrypt hash\n";
        return kExitNoSensor;
    }
    out << hash << '\n';
    return kExitOk;
}

HttpView::HttpView(HttpOptions options, const ServiceConfig& config)
    : options_(std::move(options)), feed_(LimitsInColumnOrder(config)) {}

HttpView::~HttpView() {
    Stop();
}

std::string HttpView::Start(LineService& service) {
    server_ = std::make_unique<HttpServer>(options_, service.Board(), feed_, [&service] {
        return ServiceStatusJson(service.Status());
    });
    return server_->Start();
}

void HttpView::Stop() {
    if (server_) server_->Stop();
}

std::string HttpView::Url() const {
    const bool v6 = options_.host.find(':') != std::string::npos;
    const std::string host = v6 ? "[" + options_.host + "]" : options_.host;
    return (options_.cert_file.empty() ? "http://" : "https://") + host + ":" +
           std::to_string(server_ ? server_->Port() : options_.port) + "/";
}

}  // namespace mk27x
