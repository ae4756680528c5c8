// The window program itself as a script runs it: --version and --help are
// answered without a display (a QApplication on xcb without one would abort).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string Capture(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    status = WEXITSTATUS(::pclose(pipe));
    return out;
}

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
