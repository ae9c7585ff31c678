#include "engine/flash_plan.h"

#include <algorithm>
#include <cstring>

#include "engine/await_reply.h"
#include "engine/images.h"
#include "engine/strings.h"

namespace q4m::engine {
namespace {

int fail(Engine& engine, StringId text) {
    engine.view().showError(text);
    engine.view().endBusy();
    return -1;
}

enum class BootCheck { Rewrite, Keep, Failed };

// Reads the device's boot stamp and compares it with the boot image's.
// Failures are reported here rather than left silent: a silent -1 would leave
// the window busy with every control disabled.
BootCheck checkBootStamp(Engine& engine) {
    engine.readBack.resetFill();
    engine.commands.sendReadRequest(BootStampAddress, 4);
    switch (awaitReply(engine, engine.timings.bootStampRead)) {
        case Outcome::Cancelled:
            return BootCheck::Failed;
        case Outcome::NoReply:
            fail(engine, StringId::TimeOutErase);
            return BootCheck::Failed;
        case Outcome::Reply:
            break;
    }
    if (engine.reply.status() != 0) {
        fail(engine, StringId::TransferError);
        return BootCheck::Failed;
    }
    // The buffer is compared as it is, whatever the fill count says.
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
        engine.commands.sendErase(engine.commands.modelByte(), static_cast<std::int32_t>(address),
                                  static_cast<std::int32_t>(size));
        view.setProgressPos(1);
        view.setStatusText(loadString(StringId::ErasingFlash));
        switch (awaitReply(engine, engine.timings.eraseReply)) {
            case Outcome::Cancelled:
                return -1;
            case Outcome::NoReply:
                // An erase may still be running on the device: no re-send.
                return fail(engine, StringId::TimeOutErase);
            case Outcome::Reply:
                break;
        }
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
        engine.commands.sendWriteBlock(engine.commands.modelByte(), image->bytes + offset,
                                       static_cast<std::int32_t>(address + offset),
                                       static_cast<std::int32_t>(length));
        view.setStatusText(dataTransmitText(static_cast<int>(offset), static_cast<int>(total)));
        StringId failure = StringId::TransferError;  // an error reply, unless none came
        switch (awaitReply(engine, engine.timings.blockReply)) {
            case Outcome::Cancelled:
                return -1;
            case Outcome::NoReply:
                failure = StringId::TimeOutBlock;
                break;
            case Outcome::Reply:
                if (engine.reply.status() == 0) {
                    failures = 0;
                    offset += length;
                    view.setProgressPos(static_cast<int>(offset));
                    if (offset >= total) return 0;
                    continue;
                }
                break;
        }
        // Missing and error replies share one counter; the last kind names the failure.
        if (failures >= MaxBlockFailures) return fail(engine, failure);
        ++failures;
        if (!engine.reply.pause(engine.timings.retryPause)) return -1;
    }
}

}  // namespace q4m::engine
