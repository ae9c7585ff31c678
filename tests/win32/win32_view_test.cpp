// The Windows view as built from its resources: templates 103 and 100 laid out
// in dialog units with their ids, kinds, styles and tab order; the string
// table equal to the engine's; and the dialog logic driving the real window
// (port lists with the platform's exact bytes, preselection, the system menu).
#include <gtest/gtest.h>
// windows.h first: the other header needs its types.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <string>
#include <vector>

#include "app/dialog_window.h"
#include "app/port_choice.h"
#include "app/update_dialog.h"
#include "app/win32/resource.h"
#include "app/win32/win32_window.h"
#include "engine/strings.h"
#include "midi/portable/portable_timer.h"
#include "midi/virtual/virtual_midi.h"

namespace q4m::app::win32 {
namespace {

INT_PTR CALLBACK quietProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

struct Control {
    int id;
    const char* className;
    const char* text;
    RECT units;   // left, top, width, height in dialog units
    DWORD style;  // bits that must be set
};

std::string className(HWND hwnd) {
    char name[64] = {};
    GetClassNameA(hwnd, name, sizeof name);
    return name;
}

std::string windowText(HWND hwnd) {
    char text[256] = {};
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
}

// The control's rectangle in its dialog's client coordinates.
RECT placed(HWND dialog, HWND control) {
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// As the dialog manager places a control: position and size converted apart.
RECT pixels(HWND dialog, const RECT& units) {
    RECT rect = units;
    MapDialogRect(dialog, &rect);
    return {rect.left, rect.top, rect.left + rect.right, rect.top + rect.bottom};
}

class Template : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), 0xFF};
        InitCommonControlsEx(&controls);
    }
    HWND create(int templateId) {
        dialog_ = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(templateId),
                                     nullptr, &quietProc, 0);
        return dialog_;
    }
    void TearDown() override {
        if (dialog_) DestroyWindow(dialog_);
    }
    void expectControls(const std::vector<Control>& table) {
        for (const auto& c : table) {
            SCOPED_TRACE(c.id);
            HWND control = GetDlgItem(dialog_, c.id);
            ASSERT_NE(control, nullptr);
            EXPECT_EQ(className(control), c.className);
            EXPECT_EQ(windowText(control), c.text);
            EXPECT_EQ(GetWindowLongA(control, GWL_STYLE) & c.style, c.style);
            const RECT want = pixels(dialog_, c.units), got = placed(dialog_, control);
            EXPECT_EQ(got.left, want.left);
            EXPECT_EQ(got.top, want.top);
            EXPECT_EQ(got.right, want.right);
            // A drop-down list's template height is its open height.
            if (std::string(c.className) != "ComboBox") {
                EXPECT_EQ(got.bottom, want.bottom);
            }
        }
    }
    HWND dialog_ = nullptr;
};

TEST_F(Template, MainDialogHasTheControlsStylesAndTabOrderOfTemplate103) {
    ASSERT_NE(create(Q4M_IDD_MAIN), nullptr);
    const DWORD style = GetWindowLongA(dialog_, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
              static_cast<DWORD>(WS_CAPTION | WS_SYSMENU | DS_MODALFRAME));
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0u);
    EXPECT_TRUE(GetWindowLongA(dialog_, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    EXPECT_EQ(windowText(dialog_), "");
    RECT client, want = pixels(dialog_, {0, 0, 239, 161});
    GetClientRect(dialog_, &client);
    EXPECT_EQ(client.right, want.right);
    EXPECT_EQ(client.bottom, want.bottom);

    expectControls({
        {IdExecute, "Button", "Execute", {119, 138, 50, 16}, WS_TABSTOP},
        {IdExit, "Button", "Exit", {182, 138, 50, 16}, WS_TABSTOP},
        {IdInList, "ComboBox", "", {7, 15, 225, 115}, CBS_DROPDOWNLIST | WS_TABSTOP},
        {IdOutList, "ComboBox", "", {7, 45, 225, 115}, CBS_DROPDOWNLIST | WS_TABSTOP},
        {IdProgress, "msctls_progress32", "", {7, 107, 225, 14}, 0},
        {IdStatus, "Edit", "", {12, 91, 220, 12}, ES_READONLY | ES_AUTOHSCROLL | WS_TABSTOP},
        {IdRescan, "Button", "Rescan Device", {145, 65, 87, 16}, WS_TABSTOP},
        {IdPicture, "Static", "", {7, 134, 20, 20}, SS_BITMAP},
        {IdStep, "Edit", "", {12, 78, 29, 12}, ES_READONLY | ES_AUTOHSCROLL | WS_TABSTOP},
    });
    for (const int sorted : {IdInList, IdOutList})
        EXPECT_FALSE(GetWindowLongA(GetDlgItem(dialog_, sorted), GWL_STYLE) & CBS_SORT);

    std::vector<int> order;
    HWND first = GetDlgItem(dialog_, IdExecute);
    for (HWND item = first;;) {
        order.push_back(GetDlgCtrlID(item));
        item = GetNextDlgTabItem(dialog_, item, FALSE);
        if (!item || item == first || order.size() > 20) break;
    }
    EXPECT_EQ(order, (std::vector<int>{IdExecute, IdExit, IdInList, IdOutList, IdStatus, IdRescan,
                                       IdStep}));
}

TEST_F(Template, AboutBoxIsTemplate100) {
    ASSERT_NE(create(Q4M_IDD_ABOUT), nullptr);
    EXPECT_EQ(windowText(dialog_), "About Q Series Updater");
    RECT client, want = pixels(dialog_, {0, 0, 235, 60});
    GetClientRect(dialog_, &client);
    EXPECT_EQ(client.right, want.right);
    EXPECT_EQ(client.bottom, want.bottom);
    expectControls({
        {IDOK, "Button", "OK", {178, 6, 50, 16}, 0},
        {Q4M_IDC_ABOUT_TITLE, "Edit", "", {39, 19, 134, 14}, ES_READONLY},
    });
}

TEST(Resources, StringTableIsTheEnginesAndIconAndManifestArePresent) {
    for (int id = 100; id <= 130; ++id) {
        SCOPED_TRACE(id);
        char text[256] = {};
        const int length = LoadStringA(GetModuleHandleA(nullptr), id, text, sizeof text);
        EXPECT_EQ(std::string(text, length), engine::loadString(id));
    }
    EXPECT_NE(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(Q4M_IDI_PROGRAM)), nullptr);
    EXPECT_NE(FindResourceA(nullptr, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)), nullptr);
}

// Runs the dialog logic on the real window and checks it from inside the
// modal run, then closes it as Exit would.
class Inspect : public DialogEvents {
  public:
    Inspect(CQ2wUpdatorDlg& dialog, Win32DialogWindow& window, std::function<void(HWND)> check)
        : dialog_(dialog), window_(window), check_(std::move(check)) {}
    void onInitDialog() override {
        dialog_.onInitDialog();
        check_(window_.hwnd());
        PostMessageA(window_.hwnd(), WM_COMMAND, IDCANCEL, 0);
    }
    void onExecute() override { dialog_.onExecute(); }
    void onRescan() override { dialog_.onRescan(); }
    void onSysCommand(unsigned id, long param) override { dialog_.onSysCommand(id, param); }
    void onDestroy() override { dialog_.onDestroy(); }
    bool onDialogKey(DialogKey key) override { return dialog_.onDialogKey(key); }
    bool onCloseRequest() override { return dialog_.onCloseRequest(); }

  private:
    CQ2wUpdatorDlg& dialog_;
    Win32DialogWindow& window_;
    std::function<void(HWND)> check_;
};

TEST(Win32View, ListsKeepThePlatformsBytesAndTheLogicPreselectsOnTheRealWindow) {
    const std::string japanese = engine::withInstanceSuffix(GenericJapanesePortName, 2);
    midi::VirtualMidiService midi;
    midi.addOutputDevice("Microsoft GS Wavetable Synth");
    midi.addOutputDevice(japanese);
    midi.addOutputDevice("VEXA Q Series");  // instance 1's, not 2's
    midi.addInputDevice(japanese);
    midi::PortableTimerService timer;
    Win32DialogWindow window;
    CQ2wUpdatorDlg dialog(window, midi, timer, 2);
    bool checked = false;
    Inspect inspect(dialog, window, [&](HWND hwnd) {
        checked = true;
        EXPECT_EQ(windowText(hwnd), "Vexa Q4m System 1.10 Updater (2)");
        // Enter is Execute, although Rescan Device carries the default style too.
        EXPECT_EQ(LOWORD(SendMessageA(hwnd, DM_GETDEFID, 0, 0)), IdExecute);
        EXPECT_EQ(window.listCount(IdOutList), 3);
        EXPECT_EQ(window.listText(IdOutList, 1), japanese);  // Shift-JIS, byte for byte
        EXPECT_EQ(window.listSelection(IdOutList), 1);
        EXPECT_EQ(window.listSelection(IdInList), 0);
        window.listClear(IdOutList);
        window.listAppend(IdOutList, "x");
        EXPECT_EQ(window.listSelection(IdOutList), -1) << "appending selects nothing";

        // The platform's items, a separator, then the About item with its id.
        HMENU menu = GetSystemMenu(hwnd, FALSE);
        ASSERT_NE(menu, nullptr);
        const int count = GetMenuItemCount(menu);
        ASSERT_GE(count, 2);
        EXPECT_EQ(GetMenuState(menu, count - 2, MF_BYPOSITION) & MF_SEPARATOR,
                  static_cast<UINT>(MF_SEPARATOR));
        EXPECT_EQ(GetMenuItemID(menu, count - 1), AboutCommandId);
        char item[128] = {};
        GetMenuStringA(menu, count - 1, item, sizeof item, MF_BYPOSITION);
        EXPECT_EQ(std::string(item), engine::loadString(engine::StringId::AboutItem));
        EXPECT_EQ(SendMessageA(hwnd, WM_GETICON, ICON_BIG, 0),
                  reinterpret_cast<LRESULT>(
                      LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(Q4M_IDI_PROGRAM))));
    });
    window.runModal(inspect);
    EXPECT_TRUE(checked);
}

}  // namespace
}  // namespace q4m::app::win32
