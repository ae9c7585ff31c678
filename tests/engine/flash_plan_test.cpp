// The flash plan against a scripted device whose replies are dispatched inline:
// no threads, and a missing reply is exactly one (short) time limit.
#include "engine/flash_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/images.h"
#include "tests/engine/fake_host.h"
#include "tests/engine/scripted_device.h"

namespace q4m::engine {
namespace {

using test::Answer;
using test::Req;

Timings quick() {
    Timings t;
    t.identityReply = t.beginReply = t.bootStampRead = t.eraseReply = t.blockReply = t.endReply =
        Ms(2);
    t.beginPause = t.retryPause = Ms(0);
    return t;
}

struct PlanRun {
    PlanRun() {
        engine.commands.setActiveIdentity({0x3C, 0x00, 0x02, 0x00});
        device.attachInline(host, engine);
    }
    std::vector<std::string> calls() { return host.recorder().calls(); }

    test::FakeHost host;
    Engine engine{host, quick()};
    test::ScriptedDevice device;
};

void place(std::vector<std::uint8_t>& flash, std::uint32_t address, int imageId) {
    auto image = findImage(imageId);
    ASSERT_TRUE(image);
    std::copy(image->bytes, image->bytes + image->size, flash.begin() + address);
}

// Boot stamp on the device: equal to the image's skips the boot rows; an older
// stamp or an erased boot region rewrites them.
TEST(FlashPlan, BootStampDecidesTheBootRows) {
    struct Case {
        const char* stamp;
        bool skip;
    } cases[] = {{"1.00", true}, {"0.90", false}, {"\xFF\xFF\xFF\xFF", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stamp);
        PlanRun run;
        // A boot region that is not image 142 except, perhaps, for its stamp.
        std::vector<std::uint8_t> boot(0x23000, 0x5A);
        std::copy(c.stamp, c.stamp + 4, boot.begin() + BootStampAddress);
        run.device.setFlash(0, boot.data(), static_cast<std::uint32_t>(boot.size()));

        ASSERT_EQ(runFlashPlan(run.engine), 0);

        const auto requests = run.device.requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests[0].kind, Req::Read);
        EXPECT_EQ(requests[0].address, 0x22FFCu);
        EXPECT_EQ(requests[0].size, 4u);
        EXPECT_EQ(run.device.count(Req::Read), 1);
        const bool touchedBoot = std::any_of(requests.begin(), requests.end(), [](auto& r) {
            return (r.kind == Req::Erase || r.kind == Req::Write) && r.address < 0x23000;
        });
        EXPECT_EQ(touchedBoot, !c.skip);

        std::vector<std::string> steps;
        for (const auto& call : run.calls())
            if (call.rfind("step:", 0) == 0) steps.push_back(call);
        EXPECT_EQ(steps,
                  (std::vector<std::string>{"step:1/8", "step:2/8", "step:3/8", "step:4/8",
                                            "step:5/8", "step:6/8", "step:7/8", "step:8/8"}));
        if (c.skip) {
            const auto calls = run.calls();
            auto at4 = std::find(calls.begin(), calls.end(), "step:4/8");
            ASSERT_LE(at4 + 2, calls.end());
            EXPECT_EQ(at4[1], "step:5/8");
            EXPECT_EQ(at4[2], "step:6/8");
        }

        std::vector<std::uint8_t> expected(test::ScriptedDevice::FlashSize, 0xFF);
        if (c.skip)
            std::copy(boot.begin(), boot.end(), expected.begin());
        else
            place(expected, 0x00000, 142);
        place(expected, 0x23000, 133);
        place(expected, 0x40000, 129);
        place(expected, 0xDF000, 139);
        EXPECT_TRUE(run.device.flash() == expected);
    }
}

// A read that delivers no four verified bytes (a reply of another format, one
// with no data, one whose CRC fails) leaves the stamp unknown. It must not be
// compared with stale buffer bytes (here the current stamp from an earlier
// read, which would wrongly skip the boot rows), nor end the run: the boot
// rows are written.
TEST(FlashPlan, BootStampWithoutVerifiedBytesRewritesTheBoot) {
    const std::vector<std::uint8_t> replies[] = {
        {0xF0, 0x7D, 0x00, 0x3C, 0x60, 0x05, 0x30, 0x00, 0x00, 0x04, 0x00,
         0x00, 0x31, 0x2E, 0x30, 0x30, 0x12, 0x25, 0x03, 0x6B, 0x05, 0xF7},
        {0xF0, 0x7D, 0x00, 0x3C, 0x60, 0x04, 0x30, 0x00, 0x00, 0x00, 0x00, 0x7F, 0x7F, 0x7F, 0x7F,
         0x0F, 0xF7},
        {0xF0, 0x7D, 0x00, 0x3C, 0x60, 0x04, 0x30, 0x00, 0x00, 0x04, 0x00,
         0x00, 0x31, 0x2E, 0x30, 0x30, 0x12, 0x25, 0x03, 0x6B, 0x06, 0xF7},
    };
    for (const auto& reply : replies) {
        PlanRun run;
        run.engine.readBack.withLocked([](std::uint8_t* data, std::int32_t&) {
            const std::uint8_t stamp[] = {'1', '.', '0', '0'};
            std::copy(stamp, stamp + 4, data);
        });
        run.host.setDevice([&](const test::Bytes& sent) {
            if (sent.size() == 17 && sent[4] == 0x60)
                run.host.receive(reply);
            else
                for (auto& r : run.device.answer(sent)) run.host.receive(std::move(r));
            dispatchReplies(run.engine);
            return std::vector<test::Bytes>{};
        });
        ASSERT_EQ(runFlashPlan(run.engine), 0);
        std::vector<std::uint8_t> boot(0x23000);
        place(boot, 0, 142);
        const auto flash = run.device.flash();
        EXPECT_TRUE(std::equal(boot.begin(), boot.end(), flash.begin()));
    }
}

TEST(FlashPlan, PlanWithoutBootRowReadsNothing) {
    const FlashStep plan[] = {FlashPlan[0], FlashPlan[1], FlashPlan[2],
                              FlashPlan[5], FlashPlan[6], FlashPlan[7]};
    PlanRun run;
    ASSERT_EQ(runFlashPlan(run.engine, plan), 0);
    EXPECT_EQ(run.device.count(Req::Read), 0);
    EXPECT_EQ(run.device.count(Req::Erase), 3);
    EXPECT_EQ(run.device.count(Req::Write), 29 + 120 + 1);
    EXPECT_EQ(run.calls().front(), "step:1/6");
}

// Retry limits, at and past their edges. Writes go as two blocks so that the
// counter's restart after a confirmed block is seen.
TEST(FlashPlan, RetryLimits) {
    const Answer fail = test::status(2);
    const Answer miss = test::silence();
    struct Case {
        const char* name;
        FlashStep step;
        std::function<Answer(int n)> script;
        int result;
        int sends;
        const char* lastCall;  // the view's last call
    } cases[] = {
        {"erase error then done",
         {StepKind::Erase, 0xDF000, 0x1000, 0},
         [&](int n) { return n == 1 ? fail : test::ok(); },
         0,
         2,
         "pos:10"},
        {"erase done after 6 errors",
         {StepKind::Erase, 0xDF000, 0x1000, 0},
         [&](int n) { return n <= 6 ? fail : test::ok(); },
         0,
         7,
         "pos:10"},
        {"erase 7 errors",
         {StepKind::Erase, 0xDF000, 0x1000, 0},
         [&](int) { return fail; },
         -1,
         7,
         "endBusy"},
        {"erase unanswered is not re-sent",
         {StepKind::Erase, 0xDF000, 0x1000, 0},
         [&](int) { return miss; },
         -1,
         1,
         "endBusy"},
        // 31 failures of each block, errors and missing replies mixed, then done.
        {"blocks done after 31 failures",
         {StepKind::Write, 0x23000, 8192, 133},
         [&](int n) { return n % 32 == 0 ? test::ok() : (n % 2 ? miss : fail); },
         0,
         64,
         "pos:8192"},
        {"32nd failure missing",
         {StepKind::Write, 0x23000, 8192, 133},
         [&](int n) { return n == 32 ? miss : fail; },
         -1,
         32,
         "endBusy"},
        {"32nd failure an error",
         {StepKind::Write, 0x23000, 8192, 133},
         [&](int n) { return n == 32 ? fail : miss; },
         -1,
         32,
         "endBusy"},
    };
    const char* expectedError[] = {nullptr, nullptr,     "error:107", "error:104",
                                   nullptr, "error:103", "error:107"};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        PlanRun run;
        const Req kind = c.step.kind == StepKind::Erase ? Req::Erase : Req::Write;
        run.device.script = [&](Req k, int n) { return k == kind ? c.script(n) : test::ok(); };

        const FlashStep plan[] = {c.step};
        EXPECT_EQ(runFlashPlan(run.engine, plan), c.result);
        EXPECT_EQ(run.device.count(kind), c.sends);
        const auto calls = run.calls();
        EXPECT_EQ(calls.back(), c.lastCall);
        const int errors = static_cast<int>(std::count_if(
            calls.begin(), calls.end(), [](auto& s) { return s.rfind("error:", 0) == 0; }));
        EXPECT_EQ(errors, expectedError[i] ? 1 : 0);
        if (expectedError[i]) {
            EXPECT_EQ(calls[calls.size() - 2], expectedError[i]);
        }
    }
}

TEST(FlashPlan, RetriedBlocksLandOnce) {
    PlanRun run;
    run.device.script = [](Req k, int n) {
        return k == Req::Write && n % 3 != 0 ? test::status(5) : test::ok();
    };
    const FlashStep plan[] = {{StepKind::Write, 0x40000, 0, 129}};
    ASSERT_EQ(runFlashPlan(run.engine, plan), 0);
    const auto flash = run.device.flash();
    auto image = findImage(129);
    EXPECT_TRUE(std::equal(image->bytes, image->bytes + image->size, flash.begin() + 0x40000));
    // Each retry re-announces the same confirmed count.
    const auto calls = run.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "status:Data transmit  487424 / 488804 "), 3);
    EXPECT_EQ(calls.back(), "pos:488804");
}

// Rows that name no image, or more bytes than the image holds, fail without sending.
TEST(FlashPlan, BadWriteRowIsReportedNotSent) {
    const FlashStep rows[] = {{StepKind::Write, 0x23000, 0, 77},
                              {StepKind::Write, 0xDF000, 4097, 139}};
    for (const auto& row : rows) {
        PlanRun run;
        const FlashStep plan[] = {row};
        EXPECT_EQ(runFlashPlan(run.engine, plan), -1);
        EXPECT_EQ(run.device.count(Req::Write), 0);
        EXPECT_EQ(run.calls(), (std::vector<std::string>{"step:1/1", "error:107", "endBusy"}));
    }
}

}  // namespace
}  // namespace q4m::engine
