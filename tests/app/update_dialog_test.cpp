// The main dialog's logic on a fake window: preselection, the state table,
// Execute's failures, a whole update against the simulator, closing in every
// waiting phase, and the About routing.
#include "app/update_dialog.h"

#include <gtest/gtest.h>

#include <thread>

#include "app/minimized_icon.h"
#include "app/port_choice.h"
#include "app/sleep_inhibitor.h"
#include "engine/strings.h"
#include "tests/app/dialog_rig.h"

namespace q4m::app::test {
namespace {

using Action = GatedDevice::Action;

const std::string Japanese(DevicePortNames[0]);

TEST(UpdaterDialogPorts, PreselectsTheLastExactMatchForTheInstance) {
    struct Case {
        int instance;
        std::vector<std::string> names;
        int expected;
    };
    const Case cases[] = {
        {1, {"Soft Synth", "USB Audio Device", "VEXA Q Series"}, 2},
        {1, {"VEXA Q Series", "USB Audio Device", "Soft Synth"}, 1},
        {1, {Japanese, "Soft Synth"}, 0},
        {3, {"USB Audio Device", "USB Audio Device (2)", "VEXA Q Series (3)", "Midi Through"}, 2},
        {3, {"VEXA Q Series", "USB Audio Device (3)", "Soft Synth"}, 1},
        {3, {Japanese + " (3)"}, 0},
        {20, {"Soft Synth", Japanese + " (20)"}, 1},  // the longest name, reported whole
        {1, {"vexa q series", "VEXA Q Series ", "USB Audio Device (1)", "USB AUDIO DEVICE"}, -1},
        {2, {"VEXA Q Series", "USB Audio Device"}, -1},
        {1, {}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "instance " << c.instance << ", first of " << c.names.size() << ": "
                     << (c.names.empty() ? "" : c.names[0]));
        Rig rig;
        rig.addPorts(c.names);
        rig.open(c.instance);
        for (const int list : {IdOutList, IdInList}) {
            EXPECT_EQ(rig.window.lists[list].items, c.names);
            EXPECT_EQ(rig.window.lists[list].selection, c.expected);
        }
    }
}

TEST(UpdaterDialogPorts, RescanLeavesNoSelectionWhenNothingMatchesAnyMore) {
    Rig rig;
    rig.addPorts({"Midi Through Port-0", "VEXA Q Series"});
    rig.open();
    ASSERT_EQ(rig.window.lists[IdOutList].selection, 1);
    rig.midi.setNameless(false, 1, true);
    rig.midi.setNameless(true, 1, true);
    rig.dialog->onRescan();
    EXPECT_EQ(rig.window.lists[IdOutList].selection, -1);
    EXPECT_EQ(rig.window.lists[IdInList].selection, -1);
    EXPECT_EQ(rig.window.lists[IdOutList].items.size(), 2u);
}

TEST(UpdaterDialogInit, CaptionCarriesTheInstanceAndTheAboutTitleDoesNot) {
    for (const int instance : {1, 2, 20}) {
        Rig rig;
        rig.open(instance);
        EXPECT_EQ(rig.window.caption, engine::withInstanceSuffix(engine::ProgramTitle, instance));
        EXPECT_EQ(rig.window.aboutItems,
                  std::vector<std::string>{"About VEXA Q Series Updater(&A)..."});
        EXPECT_EQ(rig.window.progressLow, 0);
        EXPECT_EQ(rig.window.progressHigh, 100);
        rig.dialog->onSysCommand(AboutCommandId, 0);
        EXPECT_EQ(rig.window.aboutTitle, "Vexa Q4m System 1.10 Updater");
    }
}

TEST(UpdaterDialogExecute, AFailedOpenShowsOneBoxAndChangesNothing) {
    struct Case {
        const char* what;
        std::vector<std::string> outs, ins;
        bool refuseOut, refuseIn;
        const char* message;
    };
    const Case cases[] = {
        {"output refused",
         {"VEXA Q Series"},
         {"VEXA Q Series"},
         true,
         false,
         "Can't open MIDI Out device."},
        {"input refused",
         {"VEXA Q Series"},
         {"VEXA Q Series"},
         false,
         true,
         "Can't open MIDI In device."},
        // Nothing selected: -1 reaches the port, and the service refuses it.
        {"no output selected",
         {"Soft Synth"},
         {"VEXA Q Series"},
         false,
         false,
         "Can't open MIDI Out device."},
        {"no input selected",
         {"VEXA Q Series"},
         {"Soft Synth"},
         false,
         false,
         "Can't open MIDI In device."},
        {"no devices", {}, {}, false, false, "Can't open MIDI Out device."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig;
        for (const auto& name : c.outs) rig.midi.addOutputDevice(name);
        for (const auto& name : c.ins) rig.midi.addInputDevice(name);
        if (c.refuseOut) rig.midi.setRefuseOpen(false, 0, true);
        if (c.refuseIn) rig.midi.setRefuseOpen(true, 0, true);
        rig.open();
        const auto before = rig.controlStates();
        rig.dialog->onExecute();
        ASSERT_EQ(rig.window.boxes.size(), 1u);
        EXPECT_EQ(rig.window.boxes[0].text, c.message);
        EXPECT_EQ(rig.window.boxes[0].caption, "Error");
        EXPECT_EQ(rig.window.boxes[0].icon, MessageIcon::Stop);
        EXPECT_EQ(rig.controlStates(), before);
        for (const auto& [id, on] : before) EXPECT_TRUE(on) << id;
        EXPECT_EQ(rig.dialog->busy(), 0);
        EXPECT_FALSE(rig.dialog->session().workerRunning());
    }
}

TEST(UpdaterDialogRun, AWholeUpdateEndsCompletedAndRescanReEnablesExecute) {
    Rig rig;
    rig.addPorts({"Midi Through Port-0"});
    rig.attachDevice();
    auto& dialog = rig.open();
    dialog.onExecute();
    EXPECT_EQ(dialog.busy(), 1);
    ASSERT_TRUE(rig.window.pumpUntil([&] {
        return dialog.busy() == 0 && !rig.window.enabled[IdExecute] &&
               !dialog.session().workerRunning();
    }));
    // The worker's last view call may still be queued behind the last check.
    rig.window.pumpPending();
    EXPECT_TRUE(rig.window.boxes.empty());
    EXPECT_EQ(rig.window.texts[IdStatus], "Version update completed.");
    EXPECT_EQ(rig.window.texts[IdStep], "8/8");
    EXPECT_EQ(rig.window.progressPos, rig.window.progressHigh);
    const std::map<int, bool> completed{
        {IdInList, true}, {IdOutList, true}, {IdExecute, false}, {IdRescan, true}};
    EXPECT_EQ(rig.controlStates(), completed);
    EXPECT_EQ(rig.window.offThreadCalls.load(), 0);

    dialog.onRescan();
    EXPECT_TRUE(rig.window.enabled[IdExecute]);
    EXPECT_EQ(rig.window.lists[IdOutList].selection, 1);
}

TEST(UpdaterDialogRun, RunningDisablesTheControlsAndAnotherExecuteOnlySaysInProgress) {
    Rig rig;
    rig.gated = std::make_unique<GatedDevice>(rig.midi, [](std::span<const std::uint8_t> m) {
        return isIdentityRequest(m) ? Action::Swallow : Action::Pass;
    });
    auto& dialog = rig.open();
    dialog.onExecute();
    ASSERT_TRUE(rig.window.pumpUntil([&] { return rig.gated->held() == 1; }));
    const std::map<int, bool> running{
        {IdInList, false}, {IdOutList, false}, {IdExecute, false}, {IdRescan, false}};
    EXPECT_EQ(rig.controlStates(), running);
    EXPECT_EQ(dialog.busy(), 1);

    const auto texts = rig.window.texts;
    const auto lists = rig.window.lists;
    dialog.onExecute();
    ASSERT_EQ(rig.window.boxes.size(), 1u);
    EXPECT_EQ(rig.window.boxes[0].text, "In Progress.");
    EXPECT_EQ(rig.controlStates(), running);
    EXPECT_EQ(rig.window.texts, texts);
    EXPECT_EQ(rig.window.lists[IdOutList].selection, lists.at(IdOutList).selection);
    EXPECT_EQ(rig.gated->held(), 1);  // no second run was started

    // The About box works while the run goes on.
    dialog.onSysCommand(AboutCommandId, 0);
    EXPECT_EQ(rig.window.aboutRuns, 1);
    rig.close();
    EXPECT_EQ(rig.window.boxes.size(), 1u);
}

TEST(UpdaterDialogRun, AFailedRunEndsIdleWithItsBox) {
    Rig rig;
    sim::SimConfig config;
    config.updateMode = false;
    rig.attachDevice(config);
    auto& dialog = rig.open();
    dialog.onExecute();
    ASSERT_TRUE(rig.runEnded());
    ASSERT_EQ(rig.window.boxes.size(), 1u);
    EXPECT_EQ(rig.window.boxes[0].text, "Please use the firmware update mode.");
    for (const auto& [id, on] : rig.controlStates()) EXPECT_TRUE(on) << id;
}

// Closing the window in each place where the worker waits: the run ends
// without another box and the dialog goes away (joining the worker) at once,
// although every reply limit is the product's.
TEST(UpdaterDialogClose, ClosingInEveryWaitEndsTheRunSilently) {
    struct Case {
        const char* phase;
        GatedDevice::Rule rule;
        int heldBeforeClose;
    };
    const Case cases[] = {
        {"identity wait",
         [](auto m) { return isIdentityRequest(m) ? Action::Swallow : Action::Pass; }, 1},
        {"erase wait",
         [](auto m) { return makerCommand(m) == 0x0A ? Action::Swallow : Action::Pass; }, 1},
        // Every block fails: the worker pauses and sends it again.
        {"between block retries",
         [](auto m) { return makerCommand(m) == 0x02 ? Action::Fail : Action::Pass; }, 1},
        {"end wait",
         [](auto m) { return makerCommand(m) == 0x04 ? Action::Swallow : Action::Pass; }, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.phase);
        Rig rig;
        rig.gated = std::make_unique<GatedDevice>(rig.midi, c.rule);
        engine::Timings timings = quickTimings();
        timings.retryPause = engine::DefaultTimings.endReply;  // long: the close must cut it
        auto& dialog = rig.open(1, timings);
        dialog.onExecute();
        ASSERT_TRUE(rig.window.pumpUntil([&] { return rig.gated->held() >= c.heldBeforeClose; }));
        rig.close();
        EXPECT_TRUE(rig.window.boxes.empty());
        rig.window.pumpPending();  // calls queued before the close are dropped
        EXPECT_TRUE(rig.window.boxes.empty());
        EXPECT_EQ(rig.window.offThreadCalls.load(), 0);
    }
}

// Disabling the focused control for a run passes the focus on; it must go to
// the read-only status line, never to Exit, whatever the user had focused.
// Enter and Space there reach Execute and say "In Progress.".
TEST(UpdaterDialogKeys, TheFocusLeavesDisabledControlsForTheStatusLineNotExit) {
    for (const int focused : {IdExecute, IdInList, IdOutList, IdRescan}) {
        SCOPED_TRACE(focused);
        Rig rig;
        rig.gated = std::make_unique<GatedDevice>(rig.midi, [](std::span<const std::uint8_t> m) {
            return isIdentityRequest(m) ? Action::Swallow : Action::Pass;
        });
        auto& dialog = rig.open();
        rig.window.focus = focused;
        dialog.onExecute();
        ASSERT_EQ(dialog.busy(), 1);
        EXPECT_EQ(rig.window.focus, IdStatus);
        EXPECT_TRUE(dialog.onDialogKey(DialogKey::Enter));
        EXPECT_TRUE(dialog.onDialogKey(DialogKey::Space));
        ASSERT_EQ(rig.window.boxes.size(), 2u);
        for (const auto& box : rig.window.boxes) EXPECT_EQ(box.text, "In Progress.");
        EXPECT_EQ(dialog.busy(), 1);
        rig.close();
    }
    // Idle: Enter is Execute (here it fails to open), Space on a field is nothing.
    Rig rig;
    auto& dialog = rig.open();
    rig.window.focus = IdStatus;
    EXPECT_FALSE(dialog.onDialogKey(DialogKey::Space));
    EXPECT_TRUE(rig.window.boxes.empty());
    EXPECT_TRUE(dialog.onDialogKey(DialogKey::Enter));
    ASSERT_EQ(rig.window.boxes.size(), 1u);
    EXPECT_EQ(rig.window.boxes[0].text, "Can't open MIDI Out device.");
    // A control that stays enabled keeps its focus.
    rig.window.focus = IdStep;
    rig.window.boxes.clear();
    dialog.onExecute();
    EXPECT_EQ(rig.window.focus, IdStep);
}

// The close question comes only while the device is being rewritten: after
// it accepted the begin request and before the run ended.
TEST(UpdaterDialogClose, AsksBeforeStoppingOnlyBetweenBeginAndTheEnd) {
    Rig rig;
    rig.gated = std::make_unique<GatedDevice>(rig.midi, [](std::span<const std::uint8_t> m) {
        return isIdentityRequest(m) || makerCommand(m) == 0x0A ? Action::Swallow : Action::Pass;
    });
    rig.open();
    EXPECT_TRUE(rig.dialog->onCloseRequest());  // idle
    rig.dialog->onExecute();
    ASSERT_TRUE(rig.window.pumpUntil([&] { return rig.gated->held() == 1; }));
    EXPECT_TRUE(rig.dialog->onCloseRequest());  // waiting for the identity: nothing changed yet
    EXPECT_TRUE(rig.window.questions.empty());
    rig.close();

    // Held at the first erase, past the begin request.
    Rig run;
    run.gated = std::make_unique<GatedDevice>(run.midi, [](std::span<const std::uint8_t> m) {
        return makerCommand(m) == 0x0A ? Action::Swallow : Action::Pass;
    });
    auto& dialog = run.open();
    dialog.onExecute();
    ASSERT_TRUE(run.window.pumpUntil([&] { return run.gated->held() == 1; }));
    bool secondClose = true;
    run.window.answer = [&] {
        secondClose = dialog.onCloseRequest();  // the user closes again while asked
        return false;
    };
    EXPECT_FALSE(dialog.onCloseRequest());  // "No": the run goes on
    EXPECT_FALSE(secondClose);
    ASSERT_EQ(run.window.questions.size(), 1u);
    EXPECT_EQ(run.window.questions[0].caption, "Stop Update");
    EXPECT_NE(run.window.questions[0].text.find("run again"), std::string::npos);
    EXPECT_EQ(dialog.busy(), 1);
    EXPECT_TRUE(dialog.session().workerRunning());

    run.window.answer = [] { return true; };
    EXPECT_TRUE(dialog.onCloseRequest());  // "Yes": closing stops it silently
    run.close();
    EXPECT_TRUE(run.window.boxes.empty());

    // After a completed run the window closes without a question.
    Rig done;
    done.attachDevice();
    done.open();
    done.dialog->onExecute();
    ASSERT_TRUE(done.runEnded());
    done.window.answer = [] {
        ADD_FAILURE() << "asked after the run";
        return false;
    };
    EXPECT_TRUE(done.dialog->onCloseRequest());
}

class RecordingInhibitor : public SleepInhibitor {
  public:
    void acquire(std::string_view who, std::string_view why) override {
        ++acquired;
        held = true;
        this->who = who;
        this->why = why;
    }
    void release() override { held = false; }
    int acquired = 0;
    bool held = false;
    std::string who, why;
};

// Held for the run only, and given back however the run ends.
TEST(UpdaterDialogRun, KeepsTheMachineAwakeForTheRunAndReleasesItAtAnyEnd) {
    enum class End { Completed, Failed, Closed };
    for (const End end : {End::Completed, End::Failed, End::Closed}) {
        SCOPED_TRACE(static_cast<int>(end));
        RecordingInhibitor inhibitor;  // outlives the dialog, as in the product
        Rig rig;
        if (end == End::Closed) {
            rig.gated = std::make_unique<GatedDevice>(rig.midi, [](auto m) {
                return makerCommand(m) == 0x0A ? Action::Swallow : Action::Pass;
            });
        } else {
            sim::SimConfig config;
            config.updateMode = end == End::Completed;
            rig.attachDevice(config);
        }
        auto& dialog = rig.open();
        dialog.setSleepInhibitor(&inhibitor);
        EXPECT_FALSE(inhibitor.held);
        dialog.onExecute();
        EXPECT_TRUE(inhibitor.held);
        EXPECT_EQ(inhibitor.who, engine::ProgramTitle);
        EXPECT_EQ(inhibitor.why, "A firmware update is running.");
        if (end == End::Closed) {
            ASSERT_TRUE(rig.window.pumpUntil([&] { return rig.gated->held() == 1; }));
            rig.close();
        } else {
            ASSERT_TRUE(rig.runEnded());
        }
        EXPECT_FALSE(inhibitor.held);
        EXPECT_EQ(inhibitor.acquired, 1);
    }
}

// Ports announced by the service's own thread refresh the lists on the UI
// thread: the user's choice stays while its port is there, a device that has
// just appeared is preselected, and nothing moves during a run.
TEST(UpdaterDialogPorts, PortsThatComeAndGoRefreshTheListsKeepingTheChoice) {
    Rig rig;
    rig.addPorts({"Midi Through Port-0"});
    rig.open();
    EXPECT_EQ(rig.window.lists[IdOutList].selection, -1);
    auto plugIn = [&](const std::string& name) {
        std::thread([&] { rig.addPorts({name}); }).join();
        return rig.window.pumpUntil([&] {
            return rig.window.lists[IdOutList].items.size() ==
                       static_cast<std::size_t>(rig.midi.outDeviceCount()) &&
                   rig.window.lists[IdInList].items.size() ==
                       static_cast<std::size_t>(rig.midi.inDeviceCount());
        });
    };
    rig.window.lists[IdOutList].selection = 0;  // the user's choice
    ASSERT_TRUE(plugIn("Soft Synth"));
    EXPECT_EQ(rig.window.lists[IdOutList].selection, 0);
    EXPECT_EQ(rig.window.lists[IdInList].selection, -1);

    ASSERT_TRUE(plugIn("VEXA Q Series"));  // the device arrives: preselected
    EXPECT_EQ(rig.window.lists[IdOutList].selection, 2);
    EXPECT_EQ(rig.window.lists[IdInList].selection, 2);

    rig.window.lists[IdOutList].selection = 1;  // the user prefers another port
    ASSERT_TRUE(plugIn("Other"));
    EXPECT_EQ(rig.window.lists[IdOutList].selection, 1);
    EXPECT_EQ(rig.window.lists[IdInList].selection, 2);
    EXPECT_EQ(rig.window.offThreadCalls.load(), 0);
    rig.close();

    // During a run the lists stay as they are; they catch up when it ends.
    Rig busy;
    busy.gated = std::make_unique<GatedDevice>(busy.midi, [](std::span<const std::uint8_t> m) {
        return isIdentityRequest(m) ? Action::Swallow : Action::Pass;
    });
    engine::Timings timings = quickTimings();
    timings.identityReply = 300ms;
    auto& running = busy.open(1, timings);
    running.onExecute();
    std::thread([&] { busy.addPorts({"Late Port"}); }).join();
    busy.window.pumpPending();
    EXPECT_EQ(busy.window.lists[IdOutList].items.size(), 1u);
    ASSERT_TRUE(busy.runEnded());  // "Time out error(1)"
    EXPECT_EQ(busy.window.lists[IdOutList].items,
              (std::vector<std::string>{"VEXA Q Series", "Late Port"}));
    EXPECT_EQ(busy.window.lists[IdOutList].selection, 0);
}

TEST(UpdaterDialogPorts, WithNoPortsTheStatusLineSaysToConnectTheDevice) {
    const std::string hint = "No MIDI device found. Please connect the device.";
    Rig rig;
    rig.open();
    EXPECT_EQ(rig.window.texts[IdStatus], hint);
    std::thread([&] { rig.addPorts({"VEXA Q Series"}); }).join();
    ASSERT_TRUE(rig.window.pumpUntil([&] { return rig.window.texts[IdStatus].empty(); }));
    EXPECT_EQ(rig.window.lists[IdOutList].selection, 0);

    // The hint never covers what a run said last.
    Rig after;
    auto& last = after.open();
    last.setStatusText("Version update completed.");
    last.onRescan();
    EXPECT_EQ(after.window.texts[IdStatus], "Version update completed.");
}

TEST(UpdaterDialogInit, ControlsWithoutTextGetAccessibleNames) {
    Rig rig;
    rig.open();
    const std::map<int, std::string> names{
        {IdStatus, "Status"}, {IdStep, "Step"}, {IdProgress, "Progress"}};
    EXPECT_EQ(rig.window.accessibleNames, names);
}

TEST(UpdaterDialogAbout, OnlyTheAboutCommandFamilyOpensTheBox) {
    Rig rig;
    auto& dialog = rig.open(4);
    for (const unsigned id : {0x10u, 0x13u, 0x1Fu}) dialog.onSysCommand(id, 0);
    EXPECT_EQ(rig.window.aboutRuns, 3);
    EXPECT_EQ(rig.window.aboutTitle, engine::ProgramTitle);
    for (const unsigned id : {0x20u, 0xF060u, 0x00u}) dialog.onSysCommand(id, 0);
    EXPECT_EQ(rig.window.aboutRuns, 3);
    EXPECT_EQ(rig.window.defaultCommands, (std::vector<unsigned>{0x20u, 0xF060u, 0x00u}));
}

TEST(MinimizedIcon, IsCentredWithSignedTruncatingDivision) {
    struct Case {
        int w, h, cx, cy, x, y;
    };
    const Case cases[] = {
        {100, 50, 32, 32, 34, 9},
        {32, 32, 32, 32, 0, 0},
        {33, 34, 32, 32, 1, 1},
        {20, 10, 32, 32, -5, -10},  // larger than the area: truncation towards zero
    };
    for (const auto& c : cases) {
        const auto origin = centredIconOrigin(c.w, c.h, c.cx, c.cy);
        EXPECT_EQ(origin.x, c.x) << c.w << "x" << c.h;
        EXPECT_EQ(origin.y, c.y) << c.w << "x" << c.h;
    }
}

}  // namespace
}  // namespace q4m::app::test
