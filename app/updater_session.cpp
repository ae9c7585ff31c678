#include "app/updater_session.h"

#include <system_error>

#include "engine/dispatcher.h"
#include "engine/update_worker.h"

namespace q4m::app {

UpdaterSession::UpdaterSession(midi::MidiService& midi, midi::TimerService& timer,
                               engine::UpdateView& view, const engine::Timings& timings)
    : view_(view),
      inPort_(midi),
      outPort_(midi, timings.sendCompletion, timings.closeGrace),
      engine_(*this, timings),
      timer_(timer) {}

UpdaterSession::~UpdaterSession() {
    shutdown();
}

void UpdaterSession::setTrace(TraceFn trace) {
    trace_ = std::move(trace);
}

void UpdaterSession::startPolling() {
    timer_.start(static_cast<std::uint32_t>(engine_.timings.pollPeriod.count()), engine::onPollTick,
                 reinterpret_cast<std::uintptr_t>(&engine_));
}

UpdaterSession::OpenResult UpdaterSession::openPorts(int outIndex, int inIndex) {
    outPort_.close();
    if (outPort_.open(outIndex) != 1) return OpenResult::OutputFailed;
    inPort_.stop();
    inPort_.setDeviceIndex(inIndex);
    if (inPort_.start() != 1) return OpenResult::InputFailed;
    return OpenResult::Ok;
}

bool UpdaterSession::startWorker() {
    // The previous run has ended (busy is clear), so this join returns at once.
    joinWorker();
    engine_.reply.resetEvent();
    workerRunning_ = true;
    try {
        worker_ = std::thread([this] {
            engine::UpdateWorker(engine_);
            workerRunning_ = false;
        });
    } catch (const std::system_error&) {
        workerRunning_ = false;
        return false;
    }
    return true;
}

void UpdaterSession::joinWorker() {
    if (worker_.joinable()) worker_.join();
}

void UpdaterSession::cancel() {
    outPort_.close();
    inPort_.stop();
    engine_.reply.cancel();
}

void UpdaterSession::shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    cancel();
    // The worker may still use the engine and the ports: they stay until it ends.
    joinWorker();
    timer_.stop();
}

int UpdaterSession::sendSysex(const std::uint8_t* bytes, std::uint32_t length) {
    // Traced before the send so that the trace keeps a request ahead of its reply.
    if (trace_) trace_(TraceEvent::Outbound, {bytes, length});
    const int result = midi::sendSysex(outPort_, bytes, length);
    if (result != 0 && trace_) trace_(TraceEvent::OutboundFailed, {bytes, length});
    return result;
}

std::span<const std::uint8_t> UpdaterSession::frontMessage() {
    const auto message = inPort_.frontMessage();
    // Traced when the dispatcher takes it, before it signals the worker: a
    // reply then always comes ahead of the request it lets the worker send,
    // and ahead of the dispatcher's own answer to it. The dispatcher takes
    // each entry once, then pops it.
    if (trace_ && !message.empty()) trace_(TraceEvent::Inbound, message);
    return message;
}

void UpdaterSession::popMessage() {
    inPort_.popMessage();
}

}  // namespace q4m::app
