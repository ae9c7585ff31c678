// The dialog logic on a fake window over the virtual MIDI service, and a
// device (the simulator) that can be made to go quiet or fail at a chosen
// request, so a run can be caught in any phase.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "app/update_dialog.h"
#include "engine/timings.h"
#include "midi/portable/portable_timer.h"
#include "midi/virtual/virtual_midi.h"
#include "tests/app/fake_window.h"
#include "sim/device_simulator.h"

namespace q4m::app::test {

using namespace std::chrono_literals;

// Short pauses; the reply limits stay at the product's values, so a close
// that failed to wake the worker would show as a hang, not pass by timing out.
inline engine::Timings quickTimings() {
    engine::Timings t;
    t.beginPause = 1ms;
    t.retryPause = 1ms;
    return t;
}

inline bool isIdentityRequest(std::span<const std::uint8_t> m) {
    return m.size() >= 6 && m[1] == 0x7E && m[3] == 0x06 && m[4] == 0x01;
}
// Byte 4 of a maker-specific message, -1 for anything else.
inline int makerCommand(std::span<const std::uint8_t> m) {
    return m.size() > 5 && m[1] == 0x7D ? m[4] : -1;
}

class GatedDevice {
  public:
    enum class Action { Pass, Swallow, Fail };
    using Rule = std::function<Action(std::span<const std::uint8_t>)>;

    GatedDevice(midi::VirtualMidiService& midi, Rule rule, std::string name = "VEXA Q Series")
        : state_(std::make_shared<State>()) {
        state_->rule = std::move(rule);
        const int in = midi.addInputDevice(name);
        state_->device.setSender(
            [&midi, in](std::vector<std::uint8_t> bytes) { midi.sendToHost(in, bytes); });
        // The receiver keeps the state alive: the service may call it late.
        midi.addOutputDevice(name, [state = state_, &midi, in](std::span<const std::uint8_t> m) {
            std::lock_guard lock(state->mutex);
            switch (state->rule(m)) {
                case Action::Pass:
                    state->device.receive(m);
                    return;
                case Action::Swallow:
                    break;
                case Action::Fail:
                    midi.sendToHost(in, sim::statusMessage(m[3], 6));
                    break;
            }
            ++state->held;
        });
    }
    // Requests swallowed or failed so far.
    int held() const { return state_->held.load(); }

  private:
    struct State {
        std::mutex mutex;
        Rule rule;
        sim::DeviceSimulator device;
        std::atomic<int> held{0};
    };
    std::shared_ptr<State> state_;
};

struct Rig {
    midi::VirtualMidiService midi;
    midi::PortableTimerService timer;
    FakeWindow window;
    std::unique_ptr<sim::DeviceSimulator> device;
    std::unique_ptr<GatedDevice> gated;
    std::unique_ptr<CQ2wUpdatorDlg> dialog;  // last: goes first

    void addPorts(const std::vector<std::string>& names) {
        for (const auto& name : names) {
            midi.addOutputDevice(name);
            midi.addInputDevice(name);
        }
    }
    void attachDevice(sim::SimConfig config = {}) {
        device = std::make_unique<sim::DeviceSimulator>(std::move(config));
        device->attach(midi, "VEXA Q Series");
    }
    CQ2wUpdatorDlg& open(int instance = 1, const engine::Timings& timings = quickTimings()) {
        dialog = std::make_unique<CQ2wUpdatorDlg>(window, midi, timer, instance, timings);
        dialog->onInitDialog();
        return *dialog;
    }
    // The window closes: onDestroy, then the dialog object goes (joining the worker).
    void close() {
        dialog->onDestroy();
        dialog.reset();
    }
    bool runEnded() {
        return window.pumpUntil([&] { return dialog->busy() == 0; });
    }
    std::map<int, bool> controlStates() const {
        return {{IdInList, window.enabled.at(IdInList)},
                {IdOutList, window.enabled.at(IdOutList)},
                {IdExecute, window.enabled.at(IdExecute)},
                {IdRescan, window.enabled.at(IdRescan)}};
    }
};

}  // namespace q4m::app::test
