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

    // Only an IdentityReply that arrives after this request answers it: nothing
    // an earlier run left in the slot can pass for the device's identity.
    dropPending(engine);
    engine.reply.clearIdentity();
    if (engine.commands.sendIdentityRequest() != 0) return fail(engine, StringId::CantOpenMidiOut);
    // An error status in place of the identity still refuses the device at
    // once; a status 0 proves nothing and is dropped like any stale reply.
    const Awaited identified = awaitReply(engine, engine.timings.identityReply, [](const Taken& t) {
        return t.reply.kind == ReplyKind::Identity ||
               (t.reply.kind == ReplyKind::Status && t.reply.status != 0);
    });
    if (identified.outcome == Outcome::Cancelled) return 0;
    if (identified.outcome == Outcome::NoReply) return fail(engine, StringId::TimeOutIdentity);
    if (identified.reply.kind != ReplyKind::Identity) return fail(engine, StringId::IllegalDevice);

    // Taken over before the check: a refused device is still the one addressed.
    const DeviceIdentity identity = identified.reply.identity;
    engine.commands.setActiveIdentity(identity);
    if (!accepted(identity)) return fail(engine, StringId::IllegalDevice);
    engine.commands.setReplyIdentity(identity);

    dropPending(engine);
    engine.commands.sendBeginUpdate();
    view.setStatusText(loadString(StringId::ErasingFlash));
    const auto begun = awaitOrReport(engine, ReplyKind::Status, engine.timings.beginReply,
                                     StringId::TimeOutIdentity);
    if (!begun) return 0;
    view.setStatusText("");
    if (begun->status == 11) return fail(engine, StringId::UseUpdateMode);
    if (begun->status != 0) return fail(engine, StringId::TransferError);
    view.beginAccepted();

    if (!engine.reply.pause(engine.timings.beginPause)) return 0;
    if (runFlashPlan(engine) != 0) return 0;

    dropPending(engine);
    engine.commands.sendEndUpdate();
    // Closing the window wakes this wait too; that is a cancel, not a completion.
    // Any status counts as completion, whatever its value.
    if (!awaitOrReport(engine, ReplyKind::Status, engine.timings.endReply, StringId::TransferError))
        return 0;
    view.setStatusText(loadString(StringId::UpdateCompleted));
    view.endBusy();
    view.enableExecute(false);
    return 0;
}

}  // namespace q4m::engine
