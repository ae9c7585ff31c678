// The update procedure end to end against a scripted device: a full run with
// the poll thread and the worker on threads of their own, every failure the
// procedure and the plan report, and a cancel at each kind of wait.
#include "engine/update_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/dispatcher.h"
#include "engine/images.h"
#include "tests/engine/fake_host.h"
#include "tests/engine/scripted_device.h"

namespace q4m::engine {
namespace {

using test::Answer;
using test::Req;
using Calls = std::vector<std::string>;

// Generous waits for runs where every reply comes; no test waits them out.
Timings patient() {
    Timings t;
    t.identityReply = t.beginReply = t.bootStampRead = t.eraseReply = t.blockReply = t.endReply =
        Ms(30000);
    t.beginPause = Ms(1);
    t.retryPause = Ms(30000);
    return t;
}

// Replies are dispatched inline, so short limits time out only when the device is silent.
Timings quick() {
    Timings t;
    t.identityReply = t.beginReply = t.bootStampRead = t.eraseReply = t.blockReply = t.endReply =
        Ms(2);
    t.beginPause = t.retryPause = Ms(0);
    return t;
}

bool waitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void addErase(Calls& calls) {
    for (const char* c : {"range:0,10", "pos:1", "status:Erasing Flash memory.", "pos:10"})
        calls.push_back(c);
}

void addWrite(Calls& calls, int total) {
    calls.push_back("range:0," + std::to_string(total));
    for (int offset = 0; offset < total; offset += 4096) {
        calls.push_back("status:Data transmit  " + std::to_string(offset) + " / " +
                        std::to_string(total) + " ");
        calls.push_back("pos:" + std::to_string(std::min(offset + 4096, total)));
    }
}

// Worker and dispatcher each on their own thread, as in the program.
struct ThreadedRun {
    explicit ThreadedRun(const Timings& timings = patient()) : engine(host, timings) {
        device.attachPolled(host);
        host.startPolling(engine);
    }
    ~ThreadedRun() {
        if (worker.joinable()) worker.join();
        host.stopPolling();  // before the engine goes away
    }
    void start() {
        worker = std::thread([this] { UpdateWorker(engine); });
    }
    Calls calls() { return host.recorder().calls(); }

    test::FakeHost host;
    Engine engine;
    test::ScriptedDevice device;
    std::thread worker;
};

TEST(UpdateWorker, FullRun) {
    ThreadedRun run;
    run.start();
    run.worker.join();

    Calls expected = {"step:0/8", "status:Erasing Flash memory.", "status:"};
    expected.push_back("step:1/8");
    addErase(expected);
    expected.push_back("step:2/8");
    addErase(expected);
    expected.push_back("step:3/8");
    addWrite(expected, 118784);
    expected.push_back("step:4/8");
    addErase(expected);
    expected.push_back("step:5/8");
    addWrite(expected, 143360);
    expected.push_back("step:6/8");
    addErase(expected);
    expected.push_back("step:7/8");
    addWrite(expected, 488804);
    expected.push_back("step:8/8");
    addWrite(expected, 4096);
    for (const char* c : {"status:Version update completed.", "endBusy", "enableExecute:0"})
        expected.push_back(c);
    const Calls calls = run.calls();
    EXPECT_EQ(calls, expected);
    // The short last block of image 129 and the first block of image 133, spelled out.
    const auto last =
        std::find(calls.begin(), calls.end(), "status:Data transmit  487424 / 488804 ");
    ASSERT_NE(last, calls.end());
    EXPECT_EQ(last[1], "pos:488804");
    EXPECT_NE(std::find(calls.begin(), calls.end(), "status:Data transmit  0 / 118784 "),
              calls.end());

    // Requests in order, all addressed with the device's model byte, all intact.
    const auto requests = run.device.requests();
    std::vector<std::pair<Req, std::uint32_t>> order;
    for (const auto& r : requests) {
        if (r.kind != Req::Identity) {
            EXPECT_EQ(r.modelByte, 0x3C);
        }
        EXPECT_TRUE(r.crcOk);
        if (order.empty() || order.back().first != r.kind || r.kind != Req::Write)
            order.emplace_back(r.kind, r.address);
    }
    const std::vector<std::pair<Req, std::uint32_t>> expectedOrder = {
        {Req::Identity, 0},    {Req::Begin, 0},       {Req::Read, 0x22FFC},  {Req::Erase, 0xDF000},
        {Req::Erase, 0x23000}, {Req::Write, 0x23000}, {Req::Erase, 0x00000}, {Req::Write, 0x00000},
        {Req::Erase, 0x40000}, {Req::Write, 0x40000}, {Req::End, 0}};
    EXPECT_EQ(order, expectedOrder);
    EXPECT_EQ(run.device.count(Req::Write), 29 + 35 + 120 + 1);

    // The written blocks, reassembled by address, are the images where the plan puts them.
    std::vector<std::uint8_t> flash(test::ScriptedDevice::FlashSize, 0xFF);
    for (auto [id, address] :
         {std::pair{142, 0x00000}, {133, 0x23000}, {129, 0x40000}, {139, 0xDF000}}) {
        auto image = findImage(id);
        ASSERT_TRUE(image);
        std::copy(image->bytes, image->bytes + image->size, flash.begin() + address);
    }
    EXPECT_TRUE(run.device.flash() == flash);
    EXPECT_EQ(run.engine.commands.replyIdentity(), (DeviceIdentity{0x3C, 0x00, 0x02, 0x00}));
}

struct InlineRun {
    InlineRun() : engine(host, quick()) { device.attachInline(host, engine); }
    Calls calls() { return host.recorder().calls(); }

    test::FakeHost host;
    Engine engine;
    test::ScriptedDevice device;
};

TEST(UpdateWorker, IdentityIsTakenOverBeforeTheCheck) {
    struct Case {
        DeviceIdentity identity;
        bool accepted;
    } cases[] = {{{0x3C, 0x00, 0x02, 0x00}, true},
                 {{0x3C, 0x00, 0x01, 0x00}, true},
                 {{0x3C, 0x00, 0x03, 0x00}, false},
                 {{0x3C, 0x01, 0x02, 0x00}, false},
                 {{0x3D, 0x00, 0x02, 0x00}, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.identity));
        InlineRun run;
        const DeviceIdentity earlier{0x3C, 0x00, 0x01, 0x00};
        run.engine.commands.setReplyIdentity(earlier);
        run.device.identity = c.identity;
        UpdateWorker(run.engine);
        EXPECT_EQ(run.engine.commands.activeIdentity(), c.identity);
        EXPECT_EQ(run.engine.commands.replyIdentity(), c.accepted ? c.identity : earlier);
        EXPECT_EQ(run.calls().back(), c.accepted ? "enableExecute:0" : "endBusy");
        if (!c.accepted) {
            EXPECT_EQ(run.device.requests().size(), 1u);
        }
    }
}

// Only an IdentityReply that answers this run's request passes the identity
// wait: not an identity an earlier run left in the slot, and not another reply
// that reads as success (a StatusMessage 0, a device message with command 0x02,
// a ReadReply of another format). Each of these used to send the begin request
// to a device that never identified itself.
TEST(UpdateWorker, IdentityWaitTakesOnlyAFreshIdentityReply) {
    const test::Bytes answers[] = {
        {0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x00, 0xF7},
        {0xF0, 0x7D, 0x00, 0x3C, 0x02, 0xF7},
        {0xF0, 0x7D, 0x00, 0x3C, 0x60, 0x05, 0x30, 0x00, 0x00, 0x00, 0x00, 0x7F, 0x7F, 0x7F, 0x7F,
         0x0F, 0xF7},
    };
    for (const auto& answer : answers) {
        SCOPED_TRACE(::testing::PrintToString(answer));
        InlineRun run;
        run.engine.reply.recordIdentity({0x3C, 0x00, 0x02, 0x00});  // from an earlier run
        int sent = 0;
        run.host.setDevice([&](const test::Bytes&) {
            ++sent;
            run.host.receive(answer);
            dispatchReplies(run.engine);
            return std::vector<test::Bytes>{};
        });
        UpdateWorker(run.engine);
        EXPECT_EQ(run.calls(), (Calls{"step:0/8", "error:102", "endBusy"}));
        EXPECT_EQ(sent, 1);  // the IdentityRequest alone
        EXPECT_EQ(run.engine.reply.deviceIdentity(), (DeviceIdentity{}));
    }
}

// Every way a run fails, and the one way a bad answer still completes: what the
// user is shown last, and what the device was sent (nothing after the failure).
TEST(UpdateWorker, Failures) {
    const Answer miss = test::silence();
    struct Case {
        const char* name;
        std::function<void(test::ScriptedDevice&, test::FakeHost&)> setup;
        Calls tail;  // the view's last calls
        std::optional<Req> last;
        int lastCount;
    };
    auto when = [](Req kind, std::function<Answer(int)> answer) {
        return [kind, answer](test::ScriptedDevice& d, test::FakeHost&) {
            d.script = [kind, answer](Req k, int n) { return k == kind ? answer(n) : test::ok(); };
        };
    };
    auto always = [](Answer a) { return [a](int) { return a; }; };
    const Case cases[] = {
        {"identity request not sent",
         [](auto&, auto& host) { host.setRefuseSends(true); },
         {"step:0/8", "error:113", "endBusy"},
         std::nullopt,
         0},
        {"no identity reply",
         when(Req::Identity, always(miss)),
         {"step:0/8", "error:102", "endBusy"},
         Req::Identity,
         1},
        {"status instead of identity",
         when(Req::Identity, always(test::status(5))),
         {"step:0/8", "error:105", "endBusy"},
         Req::Identity,
         1},
        {"identity not accepted",
         [](auto& d, auto&) {
             d.identity = {0x3C, 0x00, 0x03, 0x00};
         },
         {"step:0/8", "error:105", "endBusy"},
         Req::Identity,
         1},
        {"no begin reply",
         when(Req::Begin, always(miss)),
         {"status:Erasing Flash memory.", "error:102", "endBusy"},
         Req::Begin,
         1},
        {"not in update mode",
         when(Req::Begin, always(test::status(11))),
         {"status:Erasing Flash memory.", "status:", "error:106", "endBusy"},
         Req::Begin,
         1},
        {"begin refused",
         when(Req::Begin, always(test::status(3))),
         {"status:Erasing Flash memory.", "status:", "error:107", "endBusy"},
         Req::Begin,
         1},
        {"no boot stamp reply",
         when(Req::Read, always(miss)),
         {"status:", "error:104", "endBusy"},
         Req::Read,
         1},
        {"boot stamp failing its CRC is unknown: rewritten",
         when(Req::Read, always(test::status(1))),
         {"pos:4096", "status:Version update completed.", "endBusy", "enableExecute:0"},
         Req::End,
         1},
        {"boot stamp read refused",
         when(Req::Read, always(test::status(9))),
         {"status:", "error:107", "endBusy"},
         Req::Read,
         1},
        {"no erase reply",
         when(Req::Erase, always(miss)),
         {"step:1/8", "range:0,10", "pos:1", "status:Erasing Flash memory.", "error:104",
          "endBusy"},
         Req::Erase,
         1},
        {"seven erase errors",
         when(Req::Erase, always(test::status(4))),
         {"pos:1", "status:Erasing Flash memory.", "error:107", "endBusy"},
         Req::Erase,
         7},
        {"block never confirmed",
         when(Req::Write, always(miss)),
         {"status:Data transmit  0 / 118784 ", "error:103", "endBusy"},
         Req::Write,
         32},
        {"block always refused",
         when(Req::Write, always(test::status(6))),
         {"status:Data transmit  0 / 118784 ", "error:107", "endBusy"},
         Req::Write,
         32},
        {"no end reply",
         when(Req::End, always(miss)),
         {"pos:4096", "error:107", "endBusy"},
         Req::End,
         1},
        {"end answered with an error still completes",
         when(Req::End, always(test::status(8))),
         {"pos:4096", "status:Version update completed.", "endBusy", "enableExecute:0"},
         Req::End,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InlineRun run;
        c.setup(run.device, run.host);
        EXPECT_EQ(UpdateWorker(run.engine), 0u);

        const Calls calls = run.calls();
        ASSERT_GE(calls.size(), c.tail.size());
        EXPECT_EQ(Calls(calls.end() - static_cast<long>(c.tail.size()), calls.end()), c.tail);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "endBusy"), 1);
        EXPECT_LE(std::count_if(calls.begin(), calls.end(),
                                [](auto& s) { return s.rfind("error:", 0) == 0; }),
                  1);

        const auto requests = run.device.requests();
        if (!c.last) {
            EXPECT_TRUE(requests.empty());
            continue;
        }
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().kind, *c.last);
        EXPECT_EQ(run.device.count(*c.last), c.lastCount);
        if (*c.last != Req::End) {
            EXPECT_EQ(run.device.count(Req::End), 0);
        }
    }
}

// Closing the window while the worker waits (or pauses before a re-send) ends
// the run without another view call and without another request.
TEST(UpdateWorker, CancelAtEachWait) {
    struct Case {
        const char* name;
        Req kind;              // the request left unanswered (or refused, for the pause)
        Answer answer;         // how it is answered
        const char* lastCall;  // what the worker shows right before it waits
    } cases[] = {
        {"identity", Req::Identity, test::silence(), "step:0/8"},
        {"begin", Req::Begin, test::silence(), "status:Erasing Flash memory."},
        {"boot stamp read", Req::Read, test::silence(), "status:"},
        {"erase", Req::Erase, test::silence(), "status:Erasing Flash memory."},
        {"block", Req::Write, test::silence(), "status:Data transmit  0 / 118784 "},
        {"end", Req::End, test::silence(), "pos:4096"},
        {"retry pause", Req::Write, test::status(2), "status:Data transmit  0 / 118784 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ThreadedRun run;
        run.device.script = [&](Req k, int n) {
            return k == c.kind && n == 1 ? c.answer : test::ok();
        };
        run.start();
        // The worker has shown everything it shows before waiting; for the
        // pause, it has also taken the refusal (queue drained, event consumed).
        ASSERT_TRUE(waitUntil([&] {
            if (run.device.count(c.kind) == 0) return false;
            const Calls calls = run.calls();
            if (calls.empty() || calls.back() != c.lastCall) return false;
            return c.answer.silent ||
                   (run.host.frontMessage().empty() && !run.engine.reply.eventIsSet());
        }));
        const Calls before = run.calls();
        const std::size_t sent = run.device.requests().size();

        run.engine.reply.cancel();
        run.worker.join();

        EXPECT_EQ(run.calls(), before);
        EXPECT_EQ(run.device.requests().size(), sent);
        EXPECT_EQ(run.device.requests().back().kind, c.kind);
    }
}

}  // namespace
}  // namespace q4m::engine
