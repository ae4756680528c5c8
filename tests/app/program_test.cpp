// The window program itself as a script runs it: --version and --help are
// answered without a display (a QApplication on xcb without one would abort).
#include <gtest/gtest.h>

#include <string>

#include "support/run_program.h"

namespace {

using mk27x::testing::Capture;

TEST(WindowProgram, VersionAndHelpWithoutADisplay) {
    const std::string run =
        "env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb " + std::string(MK27X_SP_PATH);
    int status = -1;
    const std::string version = Capture(run + " --version 2>&1", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(version.rfind("mk27x-sp 0.", 0), 0u) << version;
    const std::string help = Capture(run + " --help 2>&1", status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(help.find("--simulator"), std::string::npos) << help;
}

}  // namespace
