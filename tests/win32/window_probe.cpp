// Reads the updater's window from outside, for the window smoke test: where a
// control is on the screen, and what a control shows. Run under the same Wine
// prefix as the window.
//   q4m-window-probe where CAPTION ID            -> "X Y" (control centre, screen)
//   q4m-window-probe wait-text CAPTION ID TEXT MS -> 0 once control ID shows TEXT
//   q4m-window-probe enabled CAPTION ID           -> "1" or "0"
//   q4m-window-probe syscommand CAPTION CMD       -> posts the window-menu command
// Exit status 0 on success, 1 when the window or text did not come in time.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

HWND findWindow(const char* caption, DWORD limitMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (HWND hwnd = FindWindowA(nullptr, caption)) return hwnd;
        if (GetTickCount() - start > limitMs) return nullptr;
        Sleep(50);
    }
}

std::string controlText(HWND control) {
    char text[512] = {};
    // WM_GETTEXT works across processes, GetWindowText does not for edits.
    SendMessageTimeoutA(control, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 1000, nullptr);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const std::string command = argv[1];
    HWND window = findWindow(argv[2], 30000);
    if (!window) {
        std::fprintf(stderr, "no window '%s'\n", argv[2]);
        return 1;
    }
    if (command == "syscommand") {
        // As the window menu sends it when the user picks an item.
        return PostMessageA(window, WM_SYSCOMMAND, static_cast<WPARAM>(std::atoi(argv[3])), 0) ? 0
                                                                                               : 1;
    }
    HWND control = GetDlgItem(window, std::atoi(argv[3]));
    if (!control) {
        std::fprintf(stderr, "no control %s\n", argv[3]);
        return 1;
    }
    if (command == "where") {
        RECT rect;
        GetWindowRect(control, &rect);
        std::printf("%ld %ld\n", (rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
        return 0;
    }
    if (command == "enabled") {
        std::printf("%d\n", IsWindowEnabled(control) ? 1 : 0);
        return 0;
    }
    if (command == "wait-text" && argc == 6) {
        const DWORD limit = static_cast<DWORD>(std::atol(argv[5]));
        const DWORD start = GetTickCount();
        std::string last;
        while (GetTickCount() - start <= limit) {
            last = controlText(control);
            if (last.find(argv[4]) != std::string::npos) return 0;
            Sleep(100);
        }
        std::fprintf(stderr, "control %s shows '%s'\n", argv[3], last.c_str());
        return 1;
    }
    return 2;
}
