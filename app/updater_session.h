// What one running updater owns and shares between its threads: the MIDI
// ports, the poll timer that drives the reply dispatcher, the engine state and
// the worker thread. The window and the terminal front end both build on it.
//
// Threads: the owner's thread (construction, openPorts, startWorker, cancel,
// shutdown), the timer thread (dispatcher: frontMessage/popMessage/sendSysex),
// the service's input thread (the input port's queue) and the worker thread
// (sendSysex, the view). Shutdown order: cancel (close output, stop input,
// sticky 255 + signal), join the worker, stop the timer, then the ports go.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include "engine/engine.h"
#include "engine/host.h"
#include "engine/timings.h"
#include "midi/in_port.h"
#include "midi/out_port.h"
#include "midi/platform.h"
#include "midi/poll_timer.h"

namespace q4m::app {

class UpdaterSession : public engine::EngineHost {
  public:
    enum class OpenResult { Ok, OutputFailed, InputFailed };
    // Called for every message of the session: outbound as it is sent (and
    // again when that send failed), inbound as the dispatcher took it from the
    // queue. Runs on the sending or timer thread.
    enum class TraceEvent { Outbound, OutboundFailed, Inbound };
    using TraceFn = std::function<void(TraceEvent event, std::span<const std::uint8_t> bytes)>;

    UpdaterSession(midi::MidiService& midi, midi::TimerService& timer, engine::UpdateView& view,
                   const engine::Timings& timings = engine::DefaultTimings);
    ~UpdaterSession() override;
    UpdaterSession(const UpdaterSession&) = delete;
    UpdaterSession& operator=(const UpdaterSession&) = delete;

    midi::MidiInPort& inPort() { return inPort_; }
    midi::MidiOutPort& outPort() { return outPort_; }
    engine::Engine& engine() { return engine_; }

    void setTrace(TraceFn trace);  // before startPolling
    void startPolling();           // the dispatcher runs every poll period from now on

    // Closes and reopens the output port on outIndex, then restarts input on inIndex.
    OpenResult openPorts(int outIndex, int inIndex);
    // Resets the reply event and starts the worker; false when no thread could be started.
    bool startWorker();
    // Blocks until the current worker (if any) has returned.
    void joinWorker();
    // True from startWorker until the worker's procedure has returned. A UI
    // thread must not join a worker that may still be waiting for it.
    bool workerRunning() const { return workerRunning_.load(); }

    // The window is going away: output closed, input stopped, the run cancelled.
    void cancel();
    // cancel, wait for the worker, stop the timer. Idempotent.
    void shutdown();

    // EngineHost
    int sendSysex(const std::uint8_t* bytes, std::uint32_t length) override;
    std::span<const std::uint8_t> frontMessage() override;
    void popMessage() override;
    engine::UpdateView& view() override { return view_; }

  private:
    engine::UpdateView& view_;
    midi::MidiInPort inPort_;
    midi::MidiOutPort outPort_;
    engine::Engine engine_;
    TraceFn trace_;
    std::thread worker_;
    std::atomic<bool> workerRunning_{false};
    midi::CDxMTimer timer_;  // last member: destroyed (stopped) before what its callback uses
    bool shutDown_ = false;
};

}  // namespace q4m::app
