// The ALSA backend on a machine without sound support, and its pure helpers
// (port names, the SysEx joiner), which need no ALSA at all. The paths through
// a real kernel run in the VM test (tests/e2e/vm).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "midi/alsa/alsa_midi.h"
#include "midi/alsa/port_names.h"
#include "midi/alsa/sysex_joiner.h"
#include "midi/in_port.h"
#include "midi/out_port.h"

namespace q4m::midi {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- No sound service ------------------------------------------------------

TEST(AlsaWithoutSound, HasNoDevicesRefusesOpensAndPrintsNothing) {
    if (::access("/dev/snd", F_OK) == 0) GTEST_SKIP() << "this machine has sound devices";
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        AlsaMidiService service;
        EXPECT_EQ(service.inDeviceCount(), 0);
        EXPECT_EQ(service.outDeviceCount(), 0);
        for (int index : {-1, 0, 3}) {
            std::string name = "unchanged";
            EXPECT_NE(service.inDeviceName(index, name), MmOk);
            EXPECT_NE(service.outDeviceName(index, name), MmOk);
            EXPECT_EQ(name, "unchanged");
            MidiHandle handle = nullptr;
            EXPECT_NE(service.outOpen(&handle, index), MmOk);
            EXPECT_NE(service.inOpen(&handle, index, &MidiInPort::onMidiInput, 0), MmOk);
            EXPECT_EQ(handle, nullptr);
        }
        // No sequencer to listen to: the window falls back to Rescan Device.
        EXPECT_FALSE(service.watchPorts([] {}));
        // A handle this service never gave out is refused, not followed.
        int notAHandle = 0;
        MidiHeader header;
        EXPECT_EQ(service.outLongMsg(&notAHandle, &header), MmInvalidHandle);
        EXPECT_EQ(service.outReset(&notAHandle), MmInvalidHandle);
        EXPECT_EQ(service.inReset(&notAHandle), MmInvalidHandle);
        EXPECT_EQ(service.inClose(&notAHandle), MmInvalidHandle);

        // The ports on top fail cleanly, so the window shows its own texts.
        MidiOutPort out(service, std::chrono::milliseconds(100));
        EXPECT_EQ(out.deviceCount(), 0);
        EXPECT_EQ(out.open(0), 0);
        EXPECT_FALSE(out.isOpen());
        const Bytes message{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
        EXPECT_EQ(sendSysex(out, message.data(), static_cast<std::uint32_t>(message.size())), -1);
        MidiInPort in(service);
        char name[MidiInPort::NameCapacity] = "x";
        in.deviceName(0, name);
        EXPECT_STREQ(name, "");
        in.setDeviceIndex(0);
        EXPECT_EQ(in.start(), 0);
        EXPECT_FALSE(in.isStarted());
        in.stop();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// ---- SysEx joiner ----------------------------------------------------------

Bytes sysex(std::size_t length, std::uint8_t seed = 0) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<std::uint8_t>((i + seed) % 0x80);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

// Feeds the stream in pieces of pieceSize, always with a fresh buffer of
// capacity lent, and returns the buffers that came back.
std::vector<Bytes> runJoiner(const Bytes& stream, std::size_t pieceSize, std::uint32_t capacity) {
    alsa::SysexJoiner joiner;
    std::vector<Bytes> returned;
    Bytes buffer(capacity);
    std::uint32_t recorded = 0;
    for (std::size_t at = 0; at < stream.size(); at += pieceSize) {
        std::span<const std::uint8_t> piece(stream.data() + at,
                                            std::min(pieceSize, stream.size() - at));
        while (!piece.empty()) {
            const auto step = joiner.feed(piece, buffer, recorded);
            piece = piece.subspan(step.consumed);
            if (step.bufferReady) {
                returned.emplace_back(buffer.begin(), buffer.begin() + recorded);
                recorded = 0;
            } else {
                EXPECT_GT(step.consumed, 0u) << "no progress without a returned buffer";
                if (step.consumed == 0) return returned;
            }
        }
    }
    EXPECT_EQ(recorded, 0u) << "bytes left in a buffer that never came back";
    return returned;
}

struct JoinCase {
    const char* what;
    Bytes stream;
    std::size_t pieceSize;
    std::uint32_t capacity;
    std::vector<Bytes> expected;
};

TEST(AlsaSysexJoiner, ReturnsABufferPerMessageOrWhenFull) {
    const Bytes block = sysex(4700);
    const Bytes full = sysex(8192);
    const Bytes longer = sysex(9000);
    const Bytes a = sysex(20, 1);
    const Bytes b = sysex(30, 2);
    const std::vector<JoinCase> cases = {
        {"a data block in 256-byte pieces", block, 256, 8192, {block}},
        {"a block in one piece", block, 8192, 8192, {block}},
        {"exactly one buffer", full, 256, 8192, {full}},
        {"longer than a buffer: the rest starts the next one, without F0",
         longer,
         256,
         8192,
         {slice(longer, 0, 8192), slice(longer, 8192, 9000)}},
        {"two messages in one piece", join({a, b}), 1000, 8192, {a, b}},
        {"a message split across pieces of one byte", a, 1, 8192, {a}},
        {"real-time bytes inside a message are left out",
         {0xF0, 0x01, 0xF8, 0x02, 0xFE, 0xF7},
         3,
         8192,
         {{0xF0, 0x01, 0x02, 0xF7}}},
        {"notes and sensing between messages are left out",
         join({{0x90, 0x40, 0x7F, 0xFE}, a, {0xB0, 0x07, 0x64}, b}),
         7,
         8192,
         {a, b}},
        {"a message cut by a new F0 comes back as it is",
         {0xF0, 0x01, 0x02, 0xF0, 0x03, 0xF7},
         256,
         8192,
         {{0xF0, 0x01, 0x02}, {0xF0, 0x03, 0xF7}}},
        {"a status byte ends a message",
         {0xF0, 0x01, 0x90, 0x40, 0xF0, 0x02, 0xF7},
         256,
         8192,
         {{0xF0, 0x01}, {0xF0, 0x02, 0xF7}}},
        {"a stray F7 outside a message is left out", join({{0xF7}, a}), 4, 8192, {a}},
    };
    for (const JoinCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(runJoiner(c.stream, c.pieceSize, c.capacity), c.expected);
    }
}

TEST(AlsaSysexJoiner, ResetDropsTheRestOfAMessageUntilTheNextStart) {
    alsa::SysexJoiner joiner;
    Bytes buffer(64);
    std::uint32_t recorded = 0;
    const Bytes head{0xF0, 0x01, 0x02};
    joiner.feed(head, buffer, recorded);
    EXPECT_TRUE(joiner.inMessage());
    joiner.reset();
    recorded = 0;
    const Bytes rest{0x03, 0x04, 0xF7, 0xF0, 0x05, 0xF7};
    const auto step = joiner.feed(rest, buffer, recorded);
    EXPECT_TRUE(step.bufferReady);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + recorded), (Bytes{0xF0, 0x05, 0xF7}));
}

// ---- Port names ------------------------------------------------------------

bool validUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = c < 0x80         ? 1
                              : (c >> 5) == 6  ? 2
                              : (c >> 4) == 14 ? 3
                              : (c >> 3) == 30 ? 4
                                               : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

TEST(AlsaPortNames, OnePortShowsAsTheClientSeveralByPortName) {
    struct Case {
        const char* client;
        const char* port;
        int count;
        const char* expected;
    };
    const Case cases[] = {
        {"VEXA Q Series", "VEXA Q Series MIDI 1", 1, "VEXA Q Series"},
        {"VEXA Q Series", "VEXA Q Series MIDI 2", 2, "VEXA Q Series MIDI 2"},
        {"Synth", "Port B", 2, "Synth Port B"},
        {"Synth", "", 2, "Synth"},
        {"", "Port A", 1, "Port A"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(alsa::portDisplayName(c.client, c.port, c.count), c.expected) << c.port;
}

TEST(AlsaPortNames, RepeatsAreNumberedAndEveryNameFits) {
    EXPECT_EQ(alsa::makeDistinctNames({"VEXA Q Series", "Midi Through", "VEXA Q Series",
                                       "VEXA Q Series (2)", "VEXA Q Series"}),
              (std::vector<std::string>{"VEXA Q Series", "Midi Through", "VEXA Q Series (2)",
                                        "VEXA Q Series (2) (2)", "VEXA Q Series (3)"}));

    // Long names, multibyte characters right at the limit, and names that are
    // equal only up to the limit: all distinct, all whole characters.
    constexpr std::size_t L = alsa::MaxPortName;
    const std::string japanese = "USB \u30aa\u30fc\u30c7\u30a3\u30aa \u30c7\u30d0\u30a4\u30b9";
    const std::string longJapanese = std::string(L - 31, 'j') + japanese;  // L + 1 bytes
    const std::vector<std::string> input = {
        japanese,
        japanese,
        std::string(L - 1, 'a') + "\u00e9 first",
        std::string(L - 1, 'a') + "\u00e9 second",
        std::string(L - 2, 'b') + "\u20ac",
        std::string(L + 9, 'c'),
        std::string(L + 9, 'c'),
        longJapanese,
    };
    const auto names = alsa::makeDistinctNames(input);
    ASSERT_EQ(names.size(), input.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_LE(names[i].size(), L);
        EXPECT_TRUE(validUtf8(names[i]));
        for (std::size_t k = 0; k < i; ++k) EXPECT_NE(names[i], names[k]);
    }
    EXPECT_EQ(names[0], japanese);  // 32 bytes of UTF-8: kept whole
    EXPECT_EQ(names[1].substr(names[1].size() - 4), " (2)");
    EXPECT_EQ(names[4], std::string(L - 2, 'b'));        // the euro sign would not fit whole
    EXPECT_EQ(names[7], longJapanese.substr(0, L - 2));  // cut before the last character
}

}  // namespace
}  // namespace q4m::midi
