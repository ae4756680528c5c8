#include "ui/application.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QWidget>
#include <cerrno>
#include <csignal>
#include <string_view>
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

bool AsksForHelpOrVersion(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help" || arg == "-?" || arg == "--help-all" || arg == "-v" ||
            arg == "--version")
            return true;
    }
    return false;
}

}  // namespace

void AnswerHelpOrVersionWithoutDisplay(int argc, char** argv,
                                       const std::function<void(QCommandLineParser&)>& describe) {
    if (!AsksForHelpOrVersion(argc, argv)) return;
    QCoreApplication core(argc, argv);
    QCommandLineParser parser;
    describe(parser);
    parser.process(core);  // prints the help or the version and exits
}

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

int Application::Run(QWidget& window) {
    const CloseOnSignals on_signal([&window] {
        window.close();
        QCoreApplication::quit();
    });
    window.show();
    return exec();
}

}  // namespace mk27x
