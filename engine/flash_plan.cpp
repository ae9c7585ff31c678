#include "engine/flash_plan.h"

#include <algorithm>
#include <cstring>

#include "engine/await_reply.h"
#include "engine/images.h"
#include "engine/strings.h"

namespace q4m::engine {
namespace {

int fail(Engine& engine, StringId text) {
    reportFailure(engine, text);
    return -1;
}

enum class BootCheck { Rewrite, Keep, Failed };

// Reads the device's boot stamp and compares it with the boot image's.
// Failures are reported here rather than left silent: a silent -1 would leave
// the window busy with every control disabled.
BootCheck checkBootStamp(Engine& engine) {
    engine.readBack.resetFill();
    engine.reply.resetEvent();
    engine.commands.sendReadRequest(BootStampAddress, 4);
    if (!awaitOrReport(engine, engine.timings.bootStampRead, StringId::TimeOutErase))
        return BootCheck::Failed;
    // A reply that leaves status 0 without delivering four verified bytes (one
    // of another format, or one that carries no data) would have the stamp
    // compared with stale buffer bytes and might skip the boot rewrite on a
    // device that needs it: it counts as a failed read.
    if (engine.reply.status() != 0 || engine.readBack.fill() < 4) {
        fail(engine, StringId::TransferError);
        return BootCheck::Failed;
    }
    std::uint8_t device[4];
    engine.readBack.copyOut(0, device, 4);
    // Without a boot image holding a stamp there is nothing to match: keep the
    // rewrite, and the write row reports the missing image.
    auto boot = findImage(BootImageId);
    if (!boot || boot->size < BootStampAddress + 4) return BootCheck::Rewrite;
    return std::memcmp(device, boot->bytes + BootStampAddress, 4) == 0 ? BootCheck::Keep
                                                                       : BootCheck::Rewrite;
}

}  // namespace

int runFlashPlan(Engine& engine) {
    return runFlashPlan(engine, FlashPlan);
}

int runFlashPlan(Engine& engine, std::span<const FlashStep> plan) {
    bool rewriteBoot = true;
    const bool hasBootRow =
        std::any_of(plan.begin(), plan.end(), [](const FlashStep& s) { return s.address == 0; });
    if (hasBootRow) {
        switch (checkBootStamp(engine)) {
            case BootCheck::Failed:
                return -1;
            case BootCheck::Keep:
                rewriteBoot = false;
                break;
            case BootCheck::Rewrite:
                break;
        }
    }

    const int rows = static_cast<int>(plan.size());
    for (int j = 0; j < rows; ++j) {
        const FlashStep& step = plan[j];
        engine.view().setStepText(stepText(j + 1, rows));
        // The skip looks at the address alone, whatever the row's kind.
        if (!rewriteBoot && step.address == 0) continue;
        const int result = step.kind == StepKind::Erase
                               ? eraseRegion(engine, step.address, step.size)
                               : writeImage(engine, step.address, step.size, step.imageId);
        if (result != 0) return -1;
    }
    return 0;
}

int eraseRegion(Engine& engine, std::uint32_t address, std::uint32_t size) {
    UpdateView& view = engine.view();
    view.setProgressRange(0, 10);
    int errors = 0;
    for (;;) {
        engine.reply.resetEvent();
        engine.commands.sendErase(engine.commands.modelByte(), static_cast<std::int32_t>(address),
                                  static_cast<std::int32_t>(size));
        view.setProgressPos(1);
        view.setStatusText(loadString(StringId::ErasingFlash));
        // No reply is not retried: an erase may still be running on the device.
        if (!awaitOrReport(engine, engine.timings.eraseReply, StringId::TimeOutErase)) return -1;
        if (engine.reply.status() == 0) {
            view.setProgressPos(10);
            return 0;
        }
        if (errors >= MaxEraseErrors) return fail(engine, StringId::TransferError);
        ++errors;
        if (!engine.reply.pause(engine.timings.retryPause)) return -1;
    }
}

int writeImage(Engine& engine, std::uint32_t address, std::uint32_t size, std::uint32_t imageId) {
    UpdateView& view = engine.view();
    auto image = findImage(static_cast<int>(imageId));
    // Every plan row names an embedded image; a missing one, or a row asking
    // for more bytes than the image holds, is reported as a failed transfer
    // rather than sending bytes that are not there.
    if (!image || size > image->size) return fail(engine, StringId::TransferError);

    const std::uint32_t total = size != 0 ? size : image->size;
    view.setProgressRange(0, static_cast<int>(total));
    std::uint32_t offset = 0;
    int failures = 0;
    for (;;) {
        const std::uint32_t length = std::min<std::uint32_t>(BlockSize, total - offset);
        engine.reply.resetEvent();
        engine.commands.sendWriteBlock(engine.commands.modelByte(), image->bytes + offset,
                                       static_cast<std::int32_t>(address + offset),
                                       static_cast<std::int32_t>(length));
        view.setStatusText(dataTransmitText(static_cast<int>(offset), static_cast<int>(total)));
        Outcome outcome = awaitReply(engine, engine.timings.blockReply);
        if (outcome == Outcome::Cancelled) return -1;
        bool confirmed = outcome == Outcome::Reply && engine.reply.status() == 0;
        if (!confirmed) {
            // Missing and error replies share one counter; the last kind names the failure.
            const StringId failure =
                outcome == Outcome::NoReply ? StringId::TimeOutBlock : StringId::TransferError;
            if (failures >= MaxBlockFailures) return fail(engine, failure);
            ++failures;
            if (!engine.reply.pause(engine.timings.retryPause)) return -1;
            if (outcome == Outcome::NoReply) {
                // A reply that came after the time limit answers this same block:
                // taken now, it confirms the block, or the block goes again. Every
                // request drops replies still pending before it is sent, because a
                // late reply left pending would satisfy the next wait and could
                // confirm a later block that the device refused: the flash would
                // be wrong while the run reports success. (Replies carry no request
                // id, so one still in flight when the next block goes out cannot be
                // told apart; the time limit is what keeps that case away.)
                const Outcome late = awaitReply(engine, Ms(0));
                if (late == Outcome::Cancelled) return -1;
                confirmed = late == Outcome::Reply && engine.reply.status() == 0;
            }
        }
        if (!confirmed) continue;  // the same block is built and sent again
        failures = 0;
        offset += length;
        view.setProgressPos(static_cast<int>(offset));
        if (offset >= total) return 0;
    }
}

}  // namespace q4m::engine
