#include "engine/update_worker.h"

#include <algorithm>

#include "engine/await_reply.h"
#include "engine/flash_plan.h"
#include "engine/strings.h"

namespace q4m::engine {
namespace {

unsigned fail(Engine& engine, StringId text) {
    reportFailure(engine, text);
    return 0;
}

bool accepted(const DeviceIdentity& identity) {
    return std::find(AcceptedIdentities.begin(), AcceptedIdentities.end(), identity) !=
           AcceptedIdentities.end();
}

}  // namespace

unsigned UpdateWorker(Engine& engine) {
    UpdateView& view = engine.view();
    view.setStepText(stepText(0, static_cast<int>(FlashPlan.size())));

    if (engine.commands.sendIdentityRequest() != 0) return fail(engine, StringId::CantOpenMidiOut);
    if (!awaitOrReport(engine, engine.timings.identityReply, StringId::TimeOutIdentity)) return 0;
    if (engine.reply.status() != 0) return fail(engine, StringId::IllegalDevice);

    // Taken over before the check: a refused device is still the one addressed.
    const DeviceIdentity identity = engine.reply.deviceIdentity();
    engine.commands.setActiveIdentity(identity);
    if (!accepted(identity)) return fail(engine, StringId::IllegalDevice);
    engine.commands.setReplyIdentity(identity);

    engine.reply.resetEvent();  // nothing pending can be the answer to this request
    engine.commands.sendBeginUpdate();
    view.setStatusText(loadString(StringId::ErasingFlash));
    if (!awaitOrReport(engine, engine.timings.beginReply, StringId::TimeOutIdentity)) return 0;
    view.setStatusText("");
    const std::int32_t begin = engine.reply.status();
    if (begin == 11) return fail(engine, StringId::UseUpdateMode);
    if (begin != 0) return fail(engine, StringId::TransferError);

    if (!engine.reply.pause(engine.timings.beginPause)) return 0;
    if (runFlashPlan(engine) != 0) return 0;

    engine.reply.resetEvent();
    engine.commands.sendEndUpdate();
    // Closing the window wakes this wait too; that is a cancel, not a completion.
    // Any reply counts as completion, whatever its status.
    if (!awaitOrReport(engine, engine.timings.endReply, StringId::TransferError)) return 0;
    view.setStatusText(loadString(StringId::UpdateCompleted));
    view.endBusy();
    view.enableExecute(false);
    return 0;
}

}  // namespace q4m::engine
