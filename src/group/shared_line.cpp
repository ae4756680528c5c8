#include "group/shared_line.h"

#include <mutex>
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
    void CancelRead() override { inner_->CancelRead(); }
    void ResumeReads() override { inner_->ResumeReads(); }
    void SetBaudRate(std::uint32_t baud) override { inner_->SetBaudRate(baud); }
    void SetBreak() override;
    void SetOperation(const char* name, int index) override { inner_->SetOperation(name, index); }

private:
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
    bool last = false;
    {
        const std::lock_guard lock(state_->mutex);
        last = state_->users == 1;
    }
    if (last) inner_->SetBreak();
}

SharedLine::SharedLine(PortBackends backends) : state_(std::make_shared<State>()) {
    state_->backends = std::move(backends);
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
