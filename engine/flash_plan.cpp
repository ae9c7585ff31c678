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
    dropPending(engine);
    engine.readBack.resetFill();
    engine.commands.sendReadRequest(BootStampAddress, 4);
    // A ReadReply that answers a fence of an earlier run is not this one's. An
    // error status in its place is the device refusing the read; a status 0
    // proves nothing and is dropped as stale.
    const Awaited got = awaitReply(engine, engine.timings.bootStampRead, [](const Taken& t) {
        return (t.reply.kind == ReplyKind::Read && t.fence == 0) ||
               (t.reply.kind == ReplyKind::Status && t.reply.status != 0);
    });
    if (got.outcome == Outcome::Cancelled) return BootCheck::Failed;
    if (got.outcome == Outcome::NoReply || got.reply.kind == ReplyKind::Status) {
        fail(engine,
             got.outcome == Outcome::NoReply ? StringId::TimeOutErase : StringId::TransferError);
        return BootCheck::Failed;
    }
    // Anything short of four verified bytes (a failed CRC, another format, a
    // short read) leaves the stamp unknown: the boot rows are written rather
    // than skipped on stale bytes, and rather than giving up on a device that
    // a rewrite would put right.
    if (got.reply.status != 0 || got.reply.readLength != 4) return BootCheck::Rewrite;
    std::uint8_t device[4];
    engine.readBack.copyOut(got.reply.readOffset, device, 4);
    // Without a boot image holding a stamp there is nothing to match: keep the
    // rewrite, and the write row reports the missing image.
    auto boot = findImage(BootImageId);
    if (!boot || boot->size < BootStampAddress + 4) return BootCheck::Rewrite;
    return std::memcmp(device, boot->bytes + BootStampAddress, 4) == 0 ? BootCheck::Keep
                                                                       : BootCheck::Rewrite;
}

enum class Resync { Confirmed, SendAgain, Stop };

// After a block's reply went missing, before the block goes again: fences
// until one is answered. The first status that arrives before that answer is
// the block's own, late: a 0 confirms the block. Without the fence a late
// reply would be credited to the next request, and every reply after it to
// the request after the one it answers, up to confirming a block the device
// refused. A fence that gets no answer is one more failed send of the block.
Resync resync(Engine& engine, int& failures) {
    const std::uint64_t since = engine.fences.lastNumber();
    std::optional<std::int32_t> blockStatus;
    for (;;) {
        engine.readBack.resetFill();
        const std::uint32_t length = engine.fences.nextLength();
        engine.commands.sendReadRequest(BootStampAddress, length);
        engine.fences.sent(length);
        const Awaited got = awaitReply(engine, engine.timings.blockReply, [&](const Taken& t) {
            if (t.reply.kind == ReplyKind::Status && !blockStatus) blockStatus = t.reply.status;
            return t.fence > since;
        });
        if (got.outcome == Outcome::Cancelled) return Resync::Stop;
        if (got.outcome == Outcome::Reply)
            return blockStatus == 0 ? Resync::Confirmed : Resync::SendAgain;
        if (failures >= MaxBlockFailures) {
            fail(engine, StringId::TimeOutBlock);
            return Resync::Stop;
        }
        ++failures;
        if (!engine.reply.pause(engine.timings.retryPause)) return Resync::Stop;
    }
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
        dropPending(engine);
        engine.commands.sendErase(engine.commands.modelByte(), static_cast<std::int32_t>(address),
                                  static_cast<std::int32_t>(size));
        view.setProgressPos(1);
        view.setStatusText(loadString(StringId::ErasingFlash));
        // No reply is not retried: an erase may still be running on the device.
        const auto reply = awaitOrReport(engine, ReplyKind::Status, engine.timings.eraseReply,
                                         StringId::TimeOutErase);
        if (!reply) return -1;
        if (reply->status == 0) {
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
        dropPending(engine);
        engine.commands.sendWriteBlock(engine.commands.modelByte(), image->bytes + offset,
                                       static_cast<std::int32_t>(address + offset),
                                       static_cast<std::int32_t>(length));
        view.setStatusText(dataTransmitText(static_cast<int>(offset), static_cast<int>(total)));
        const Awaited got = awaitReply(engine, ReplyKind::Status, engine.timings.blockReply);
        if (got.outcome == Outcome::Cancelled) return -1;
        bool confirmed = got.outcome == Outcome::Reply && got.reply.status == 0;
        if (!confirmed) {
            // Missing and error replies share one counter; the last kind names the failure.
            const StringId failure =
                got.outcome == Outcome::NoReply ? StringId::TimeOutBlock : StringId::TransferError;
            if (failures >= MaxBlockFailures) return fail(engine, failure);
            ++failures;
            if (!engine.reply.pause(engine.timings.retryPause)) return -1;
            if (got.outcome == Outcome::NoReply) {
                switch (resync(engine, failures)) {
                    case Resync::Stop:
                        return -1;
                    case Resync::Confirmed:
                        confirmed = true;
                        break;
                    case Resync::SendAgain:
                        break;
                }
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
