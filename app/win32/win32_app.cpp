#include "app/win32/win32_app.h"

// windows.h first: the other header needs its types.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <cstdio>
#include <string>

#include "app/update_dialog.h"
#include "app/win32/win32_window.h"
#include "tools/common/version.h"

namespace q4m::app::win32 {

Win32AppPlatform::Win32AppPlatform(midi::MidiService& midi, midi::TimerService& timer,
                                   const engine::Timings& timings)
    : midi_(midi), timer_(timer), timings_(timings) {}

std::string applicationName() {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string name(path, length);
    const auto slash = name.find_last_of("\\/");
    if (slash != std::string::npos) name.erase(0, slash + 1);
    const auto dot = name.rfind('.');
    if (dot != std::string::npos) name.erase(dot);
    return name;
}

bool answerVersion(int argc, char** argv, std::string_view program) {
    if (argc != 2 || std::string_view(argv[1]) != "--version") return false;
    // A window program gets no console of its own: when its output goes
    // nowhere, it borrows the console it was typed into.
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if ((out == nullptr || out == INVALID_HANDLE_VALUE || GetFileType(out) == FILE_TYPE_UNKNOWN) &&
        AttachConsole(ATTACH_PARENT_PROCESS)) {
        std::freopen("CONOUT$", "w", stdout);
    }
    std::puts(tools::versionLine(program).c_str());
    std::fflush(stdout);
    return true;
}

void Win32AppPlatform::appMessageBox(std::string_view text) {
    // No icon named: the application box shows the warning icon.
    MessageBoxA(nullptr, std::string(text).c_str(), applicationName().c_str(),
                MB_OK | MB_ICONWARNING);
}

void Win32AppPlatform::runMainDialog(int instanceNumber) {
    Win32DialogWindow window;
    CQ2wUpdatorDlg dialog(window, midi_, timer_, instanceNumber, timings_);
    dialog.doModal();
    // dialog goes first: it waits for a worker that is still ending.
}

int runUpdater(midi::MidiService& midi, midi::TimerService& timer) {
    // The standard set, which holds the progress bar.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), 0xFF};
    InitCommonControlsEx(&controls);
    Win32AppPlatform platform(midi, timer);
    CQ2wUpdatorApp app(platform, defaultLockDirectory());
    app.initInstance();
    return 0;
}

}  // namespace q4m::app::win32
