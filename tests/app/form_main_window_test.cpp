// The main window as a program window: the port list's tooltips, a readout
// that arrives after a teardown, and SIGINT / SIGTERM taken as a close of the
// window, in process and against the built program.
#include <gtest/gtest.h>
#include <signal.h>

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTest>
#include <thread>

#include "ui/application.h"
#include "window_harness.h"

namespace mk27x {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(main_window_ports, LongDevicePathsShowInFullAsTooltips) {
    WindowHarness h;
    TFormMain& w = *h.window;
    const QString path = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0";
    w.link.AddAndSelectPort(path);
    const int item = w.ComboBoxCOM->findText(path);
    ASSERT_GE(item, 0);
    EXPECT_EQ(w.ComboBoxCOM->itemData(item, Qt::ToolTipRole).toString(), path);
    EXPECT_EQ(w.ComboBoxCOM->toolTip(), path);
    EXPECT_EQ(w.ComboBoxCOM->itemData(0, Qt::ToolTipRole).toString(), "COM1");
    w.ComboBoxCOM->setCurrentIndex(w.ComboBoxCOM->findText("USB"));
    EXPECT_EQ(w.ComboBoxCOM->toolTip(), "USB");
}

TEST(main_window_stream_teardown, ReadoutQueuedAfterTheResetLeavesIt) {
    WindowHarness h;
    TFormMain& w = *h.window;
    w.show();
    h.Connect();
    // The watchdog has reset the readout; the reader, not yet idle, decodes
    // one more frame.
    w.session.Protocol().SetLinkAlive(0);
    w.link.TimerAnswerTimer();
    w.session.Protocol().LastDistance = 12.5f;
    std::thread([&] { w.session.events.distance(12.5f); }).join();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.LabelRast->text(), "0.000 mm");
}

TEST(main_window_signals, TerminationClosesTheWindowAndStopsTheStream) {
    WindowHarness h;
    TFormMain& w = *h.window;
    w.show();
    h.Connect();
    w.ButtonStream->click();
    h.FinishAnimation();
    ASSERT_TRUE(w.session.Streaming());
    h.opened.back()->ClearLog();
    {
        const CloseOnSignals on_signal([&w] { w.close(); });
        ::raise(SIGTERM);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !w.isVisible(); }, 10000));
    }
    EXPECT_EQ(h.opened.back()->WrittenBytes(), (Bytes{0x01, 0x88}));
    EXPECT_TRUE(w.session.Reader().Done());
    EXPECT_FALSE(w.session.IsOpen());
}

// True once `pid` catches SIGTERM (its handler is installed).
bool CatchesTerm(qint64 pid) {
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return false;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1;
    return false;
}

TEST(main_window_signals, ProgramEndsNormallyOnSigintAndSigterm) {
    for (int signal : {SIGTERM, SIGINT}) {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        program.start(MK27X_SP_PROGRAM, {"--simulator"});
        ASSERT_TRUE(program.waitForStarted(10000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return CatchesTerm(program.processId()); }, 10000));
        ::kill(static_cast<pid_t>(program.processId()), signal);
        ASSERT_TRUE(program.waitForFinished(10000)) << signal;
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(program.exitCode(), 0) << signal;
    }
}

}  // namespace
}  // namespace mk27x
