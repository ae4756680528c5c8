// The GUI application of the program: its title (kApplicationTitle), and the
// general error report: an exception that escapes an event handler is shown in
// a message box with its text, and the program goes on.
#pragma once

#include <QApplication>
#include <exception>
#include <functional>

#include "platform/message_box.h"
#include "ui/application_texts.h"

class QCommandLineParser;
class QSocketNotifier;
class QWidget;

namespace mk27x {

// Runs `handler`; an exception escaping it is shown through `messages` with the
// application title as caption. Returns false when one was caught.
template <typename Handler>
bool ReportingEscapes(MessageBox& messages, Handler&& handler) {
    try {
        handler();
        return true;
    } catch (const std::exception& e) {
        messages.Show(e.what(), kApplicationTitle, MB_OK | MB_ICONSTOP);
    } catch (...) {
        messages.Show(kUnknownErrorText, kApplicationTitle, MB_OK | MB_ICONSTOP);
    }
    return false;
}

// SIGINT and SIGTERM as a close of the program's window: the handler only
// writes the signal into a pipe (all it may do there); the window thread reads
// it through a socket notifier and runs `close`. One instance at a time; the
// default actions come back when it is destroyed.
class CloseOnSignals {
public:
    explicit CloseOnSignals(std::function<void()> close);
    ~CloseOnSignals();
    CloseOnSignals(const CloseOnSignals&) = delete;
    CloseOnSignals& operator=(const CloseOnSignals&) = delete;

private:
    std::function<void()> close_;
    QSocketNotifier* notifier_ = nullptr;
};

// A window program's --help and --version need no display (a QApplication on
// xcb without one would abort): when the arguments ask for either, a
// QCoreApplication answers them with the options `describe` puts on the
// parser, and the program exits. Otherwise it returns.
void AnswerHelpOrVersionWithoutDisplay(int argc, char** argv,
                                       const std::function<void(QCommandLineParser&)>& describe);

class Application : public QApplication {
public:
    Application(int& argc, char** argv, MessageBox& messages);

    // Shows `window` and runs the event loop to its end. Interrupted or
    // terminated, the program ends as when the window is closed.
    int Run(QWidget& window);

    bool notify(QObject* receiver, QEvent* event) override;

private:
    MessageBox& messages_;
};

}  // namespace mk27x
