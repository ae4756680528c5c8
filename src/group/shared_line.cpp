#include "group/shared_line.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace mk27x {

struct SharedLine::State {
    PortBackends backends;
    std::mutex mutex;
    std::weak_ptr<ByteTransport> open;
    int users = 0;
};

namespace {

// One session's hold on the shared connection.
class SharedTransport final : public ByteTransport {
public:
    SharedTransport(std::shared_ptr<ByteTransport> inner, std::shared_ptr<SharedLine::State> state);
    ~SharedTransport() override;
    void Purge() override { inner_->Purge(); }
    void Write(const std::uint8_t* data, std::size_t count) override { inner_->Write(data, count); }
    std::size_t Read(std::uint8_t* buffer, std::size_t count) override {
        return inner_->Read(buffer, count);
    }
    std::size_t ReadAvailable(std::uint8_t* buffer, std::size_t capacity) override {
        return inner_->ReadAvailable(buffer, capacity);
    }
    // A session closing its port cancels its reads: the line's only when it
    // is the last holder, so that the others' reads go on (the line's own
    // limit cancels the connection itself, see WithinLimit).
    void CancelRead() override {
        if (Last()) inner_->CancelRead();
    }
    void ResumeReads() override {
        if (Last()) inner_->ResumeReads();
    }
    void SetBaudRate(std::uint32_t baud) override { inner_->SetBaudRate(baud); }
    void SetBreak() override;
    void SetOperation(const char* name, int index) override { inner_->SetOperation(name, index); }

private:
    bool Last() const {
        const std::lock_guard lock(state_->mutex);
        return state_->users == 1;
    }
    std::shared_ptr<ByteTransport> inner_;
    std::shared_ptr<SharedLine::State> state_;
};

}  // namespace

SharedTransport::SharedTransport(std::shared_ptr<ByteTransport> inner,
                                 std::shared_ptr<SharedLine::State> state)
    : inner_(std::move(inner)), state_(std::move(state)) {
    const std::lock_guard lock(state_->mutex);
    ++state_->users;
}

SharedTransport::~SharedTransport() {
    const std::lock_guard lock(state_->mutex);
    --state_->users;
}

void SharedTransport::SetBreak() {
    if (Last()) inner_->SetBreak();
}

SharedLine::SharedLine(PortBackends backends) : state_(std::make_shared<State>()) {
    state_->backends = std::move(backends);
}

struct SharedLine::Limiter {
    std::mutex mutex;
    std::condition_variable wake;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    bool cut = false;
    bool quit = false;
    std::shared_ptr<ByteTransport> cancelled;
    std::thread thread;
};

SharedLine::~SharedLine() {
    if (!limiter_) return;
    {
        const std::lock_guard lock(limiter_->mutex);
        limiter_->quit = true;
    }
    limiter_->wake.notify_all();
    limiter_->thread.join();
}

bool SharedLine::WithinLimit(unsigned limit_ms, const std::function<void()>& exchange) {
    if (!limiter_) {
        limiter_ = std::make_unique<Limiter>();
        limiter_->thread = std::thread([l = limiter_.get(), state = state_] {
            std::unique_lock lock(l->mutex);
            while (!l->quit) {
                if (!l->deadline) {
                    l->wake.wait(lock, [l] { return l->quit || l->deadline; });
                    continue;
                }
                const auto at = *l->deadline;
                if (l->wake.wait_until(lock, at, [l, at] { return l->quit || l->deadline != at; }))
                    continue;
                // Still the same exchange, past its time: its read returns now.
                {
                    const std::lock_guard line(state->mutex);
                    l->cancelled = state->open.lock();
                }
                if (l->cancelled) l->cancelled->CancelRead();
                l->cut = true;
                l->deadline.reset();
            }
        });
    }
    {
        const std::lock_guard lock(limiter_->mutex);
        limiter_->cut = false;
        limiter_->deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    }
    limiter_->wake.notify_all();
    exchange();
    std::shared_ptr<ByteTransport> cancelled;
    bool cut = false;
    {
        const std::lock_guard lock(limiter_->mutex);
        limiter_->deadline.reset();
        cut = limiter_->cut;
        cancelled = std::move(limiter_->cancelled);
    }
    limiter_->wake.notify_all();
    if (cancelled) cancelled->ResumeReads();
    return cut;
}

PortBackends SharedLine::Backends() const {
    const std::shared_ptr<State> state = state_;
    // The open connection, or a new one from `open`.
    auto share = [state](auto open) -> std::shared_ptr<ByteTransport> {
        std::shared_ptr<ByteTransport> inner;
        {
            const std::lock_guard lock(state->mutex);
            inner = state->open.lock();
            if (!inner) {
                inner = open();
                if (!inner) return nullptr;
                state->open = inner;
            }
        }
        return std::make_shared<SharedTransport>(std::move(inner), state);
    };
    PortBackends backends;
    if (state->backends.open_serial)
        backends.open_serial = [state, share](const std::string& name, std::uint32_t baud,
                                              std::string& reason) {
            return share([&] { return state->backends.open_serial(name, baud, reason); });
        };
    if (state->backends.open_usb)
        backends.open_usb = [state, share](std::uint32_t baud) {
            return share([&] { return state->backends.open_usb(baud); });
        };
    if (state->backends.open_network)
        backends.open_network = [state, share](const std::string& address, std::uint32_t baud,
                                               std::string& reason) {
            return share([&] { return state->backends.open_network(address, baud, reason); });
        };
    return backends;
}

}  // namespace mk27x
