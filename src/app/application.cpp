#include "app/application.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <utility>

namespace mk27x {
namespace {

constexpr int kCloseSignals[] = {SIGINT, SIGTERM};
int signal_pipe[2] = {-1, -1};

void WriteSignal(int signal) {
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signal_pipe[1], &byte, 1);
    errno = saved;
}

void SetHandler(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kCloseSignals) ::sigaction(signal, &action, nullptr);
}

}  // namespace

CloseOnSignals::CloseOnSignals(std::function<void()> close) : close_(std::move(close)) {
    if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_, &QSocketNotifier::activated, [this] {
        char bytes[16];
        while (::read(signal_pipe[0], bytes, sizeof bytes) > 0) {
        }
        close_();
    });
    SetHandler(WriteSignal);
}

CloseOnSignals::~CloseOnSignals() {
    if (!notifier_) return;
    SetHandler(SIG_DFL);
    delete notifier_;
    ::close(signal_pipe[0]);
    ::close(signal_pipe[1]);
    signal_pipe[0] = signal_pipe[1] = -1;
}

Application::Application(int& argc, char** argv, MessageBox& messages)
    : QApplication(argc, argv), messages_(messages) {
    setApplicationName(kApplicationTitle);
}

bool Application::notify(QObject* receiver, QEvent* event) {
    bool handled = false;
    ReportingEscapes(messages_, [&] { handled = QApplication::notify(receiver, event); });
    return handled;
}

}  // namespace mk27x
