#include "audio/pcma_head.hpp"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>

#include "support/bytes.hpp"

namespace vt6::fmt {
namespace {

// A legal codec-0 stereo 16-bit head of 10 frames.
PcmaHead rawHead() {
    PcmaHead h;
    h.codec = 0;
    h.bits = 16;
    h.sample_rate = 44100;
    h.channels = 2;
    h.role = PayloadRole::whole;
    h.flags = 1;
    h.frames = 10;
    h.plain_bytes = 40;
    return h;
}

PcmaHead flacHead() {
    PcmaHead h = rawHead();
    h.codec = 1;
    h.bits = 24;
    h.plain_bytes = 60;
    h.max_blocksize = 4096;
    return h;
}

Bytes encoded(const PcmaHead& h) {
    Bytes out(kPcmaHeadBytes, 0xEE);
    encodePcmaHead(h, std::span<uint8_t, kPcmaHeadBytes>(out.data(), kPcmaHeadBytes));
    return out;
}

TEST(PcmaHeadTest, DefaultHead) {
    const PcmaHead h;
    EXPECT_EQ(h.codec, 0);
    EXPECT_EQ(h.bits, 16);
    EXPECT_EQ(h.flags, 1);
    EXPECT_EQ(h.sample_rate, 0u);
    EXPECT_EQ(h.channels, 0);
    EXPECT_EQ(h.role, PayloadRole::whole);
    EXPECT_EQ(h.frames, 0u);
    EXPECT_EQ(h.plain_bytes, 0u);
    EXPECT_EQ(h.plain_hash, Digest128{});
    EXPECT_EQ(h.max_blocksize, 0);
}

TEST(PcmaHeadTest, EncodesEveryFieldAtItsOffset) {
    PcmaHead h;
    h.codec = 0x0102;
    h.bits = 0x0304;
    h.sample_rate = 0x05060708;
    h.channels = 0x090A;
    h.role = static_cast<PayloadRole>(0x0B);
    h.flags = 0x0C;
    h.first_frame = 0x1112131415161718ull;
    h.frames = 0x2122232425262728ull;
    h.plain_bytes = 0x3132333435363738ull;
    for (size_t i = 0; i < 16; ++i) h.plain_hash[i] = static_cast<uint8_t>(0x40 + i);
    h.reserved = 0x51525354;
    h.max_blocksize = 0x6162;
    EXPECT_EQ(test::toHex(encoded(h)),
              test::toHex(test::hex("50434D41 0201 0403 08070605 0A09 0B 0C 1817161514131211 2827262524232221"
                                    "3837363534333231 404142434445464748494A4B4C4D4E4F 54535251 6261 0000")));
}

TEST(PcmaHeadTest, ParsesWhatItEncodesAndIgnoresLaterBytes) {
    for (const PcmaHead& h : {rawHead(), flacHead()}) {
        PcmaHead withHash = h;
        withHash.plain_hash[0] = 0xAB;
        withHash.plain_hash[15] = 0xCD;
        Bytes payload = encoded(withHash);
        payload.resize(100, 0x5A);
        const auto parsed = parsePcmaHead(payload);
        ASSERT_TRUE(parsed.ok()) << parsed.message();
        EXPECT_EQ(*parsed, withHash);
    }
}

TEST(PcmaHeadTest, ParseRefusals) {
    Bytes badMagic = encoded(rawHead());
    badMagic[3] = 'B';
    Bytes reserved = encoded(rawHead());
    reserved[62] = 0x01;
    Bytes reservedBeforeLaws = reserved;  // codec 7 and bits 8 would break laws 1 and 2
    storeLe16(reservedBeforeLaws.data() + 4, 7);
    storeLe16(reservedBeforeLaws.data() + 6, 8);
    Bytes reservedHigh = encoded(rawHead());
    reservedHigh[63] = 0x01;
    Bytes short63 = encoded(rawHead());
    short63.resize(63);
    Bytes lawBroken = encoded(rawHead());
    storeLe16(lawBroken.data() + 12, 9);

    struct Case {
        const char* name;
        Bytes bytes;
        ErrorCode code;
        std::string message;
    };
    const Case cases[] = {
        {"empty", {}, ErrorCode::PayloadHeadInvalid, "payload shorter than the 64-byte PCMA head (0 bytes)"},
        {"63 bytes", short63, ErrorCode::PayloadHeadInvalid,
         "payload shorter than the 64-byte PCMA head (63 bytes)"},
        {"magic", badMagic, ErrorCode::PayloadHeadInvalid, "payload head magic is not 'PCMA'"},
        {"reserved u16", reserved, ErrorCode::PayloadHeadInvalid, "payload head reserved field must be 0 (is 1)"},
        {"reserved before laws", reservedBeforeLaws, ErrorCode::PayloadHeadInvalid,
         "payload head reserved field must be 0 (is 1)"},
        {"reserved high byte", reservedHigh, ErrorCode::PayloadHeadInvalid,
         "payload head reserved field must be 0 (is 256)"},
        {"law passed on", lawBroken, ErrorCode::PayloadHeadInvalid, "payload head declares channels=9; the limit is 8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto parsed = parsePcmaHead(c.bytes);
        ASSERT_FALSE(parsed.ok());
        EXPECT_EQ(parsed.code(), c.code);
        EXPECT_EQ(parsed.message(), c.message);
    }
}

TEST(PcmaHeadTest, LawsInOrder) {
    struct Case {
        const char* name;
        std::function<void(PcmaHead&)> change;
        ErrorCode code;
        std::string message;  // empty: the head is legal
    };
    const auto H = ErrorCode::PayloadHeadInvalid;
    const Case cases[] = {
        {"legal raw", [](PcmaHead&) {}, H, ""},
        {"codec 2", [](PcmaHead& h) { h.codec = 2; }, ErrorCode::CodecUnknown,
         "payload head declares codec 2 (known: 0 raw packed PCM, 1 FLAC)"},
        {"codec before bits", [](PcmaHead& h) { h.codec = 7; h.bits = 8; }, ErrorCode::CodecUnknown,
         "payload head declares codec 7 (known: 0 raw packed PCM, 1 FLAC)"},
        {"float with codec 1", [](PcmaHead& h) { h.codec = 1; h.bits = 32; h.max_blocksize = 4096; }, H,
         "32-bit float is ALWAYS codec 0 (raw packed PCM) \u2014 head declares codec 1"},
        {"float with codec 0", [](PcmaHead& h) { h.bits = 32; h.plain_bytes = 80; }, H, ""},
        {"bits 8", [](PcmaHead& h) { h.bits = 8; }, H, "payload head declares bits=8 (legal: 16, 24, 32)"},
        {"bits before rate", [](PcmaHead& h) { h.bits = 20; h.sample_rate = 0; }, H,
         "payload head declares bits=20 (legal: 16, 24, 32)"},
        {"rate 1000000", [](PcmaHead& h) { h.sample_rate = 1000000; }, H, ""},
        {"rate 1000001", [](PcmaHead& h) { h.sample_rate = 1000001; }, H,
         "payload head declares sample_rate=1000001; the limit is 1000000"},
        {"rate and channels 0", [](PcmaHead& h) { h.sample_rate = 0; h.channels = 0; }, H,
         "payload head declares sample_rate=0; the limit is 1000000"},
        {"channels 8", [](PcmaHead& h) { h.channels = 8; h.plain_bytes = 160; }, H, ""},
        {"channels 9", [](PcmaHead& h) { h.channels = 9; }, H, "payload head declares channels=9; the limit is 8"},
        {"channels 0", [](PcmaHead& h) { h.channels = 0; }, H, "payload head declares channels=0; the limit is 8"},
        {"role 3", [](PcmaHead& h) { h.role = static_cast<PayloadRole>(3); }, H,
         "payload head declares role=3 (legal: 0 whole, 1 head, 2 tail)"},
        {"flags 0", [](PcmaHead& h) { h.flags = 0; }, H, ""},
        {"flags 3", [](PcmaHead& h) { h.flags = 3; }, H, "payload head carries unknown flag bits 0x2"},
        {"flags 0xFE", [](PcmaHead& h) { h.flags = 0xFE; }, H, "payload head carries unknown flag bits 0xFE"},
        {"tail at 0", [](PcmaHead& h) { h.role = PayloadRole::tail; }, H, "tail payload must have first_frame > 0"},
        {"tail at 5", [](PcmaHead& h) { h.role = PayloadRole::tail; h.first_frame = 5; }, H, ""},
        {"head at 5", [](PcmaHead& h) { h.role = PayloadRole::head; h.first_frame = 5; }, H,
         "whole/head payload must have first_frame 0 (declares 5)"},
        {"whole at 5", [](PcmaHead& h) { h.first_frame = 5; }, H,
         "whole/head payload must have first_frame 0 (declares 5)"},
        {"frames 2^26", [](PcmaHead& h) { h.frames = 67108864; h.plain_bytes = 67108864ull * 4; }, H, ""},
        {"frames 2^26+1", [](PcmaHead& h) { h.frames = 67108865; }, H,
         "payload head declares 67108865 frames; the per-payload limit is 67108864"},
        {"plain_bytes", [](PcmaHead& h) { h.plain_bytes = 41; }, H,
         "payload head plain_bytes=41 but frames*channels*bits/8=40"},
        {"plain_bytes 24-bit", [](PcmaHead& h) { h.bits = 24; }, H,
         "payload head plain_bytes=40 but frames*channels*bits/8=60"},
        {"reserved u32", [](PcmaHead& h) { h.reserved = 7; }, H,
         "payload head reserved field at offset 56 must be 0 (is 7)"},
        {"reserved before block size", [](PcmaHead& h) { h.reserved = 1; h.max_blocksize = 9; }, H,
         "payload head reserved field at offset 56 must be 0 (is 1)"},
        {"codec 0 block size", [](PcmaHead& h) { h.max_blocksize = 4096; }, H,
         "codec-0 payload must declare max_blocksize 0 (declares 4096)"},
        {"codec 1 block size 0", [](PcmaHead& h) { h.codec = 1; }, H,
         "codec-1 payload must declare max_blocksize 4096 (declares 0)"},
        {"legal flac", [](PcmaHead& h) { h = flacHead(); }, H, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PcmaHead h = rawHead();
        c.change(h);
        const auto result = validatePcmaHead(h);
        if (c.message.empty()) {
            EXPECT_TRUE(result.ok()) << result.message();
            continue;
        }
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.code(), c.code);
        EXPECT_EQ(result.message(), c.message);
        // Parsing the same head bytes reports the same failure.
        const auto parsed = parsePcmaHead(encoded(h));
        ASSERT_FALSE(parsed.ok());
        EXPECT_EQ(parsed.code(), c.code);
        EXPECT_EQ(parsed.message(), c.message);
    }
}

TEST(PcmaHeadTest, HeadErrorHelper) {
    const auto r = makePayloadHeadError("why");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.code(), ErrorCode::PayloadHeadInvalid);
    EXPECT_EQ(r.message(), "why");
}

TEST(BuildPayloadTest, JoinsHeadAndBody) {
    Bytes pcm(40);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i * 7);
    const auto raw = buildPayload(rawHead(), pcm);
    ASSERT_TRUE(raw.ok()) << raw.message();
    EXPECT_EQ(test::toHex(*raw), test::toHex(test::concat({encoded(rawHead()), pcm})));

    const Bytes flacBody = test::hex("664C6143 000000");  // "fLaC" and anything after it
    const auto flac = buildPayload(flacHead(), flacBody);
    ASSERT_TRUE(flac.ok()) << flac.message();
    EXPECT_EQ(test::toHex(*flac), test::toHex(test::concat({encoded(flacHead()), flacBody})));
    const auto head = parsePcmaHead(*flac);
    ASSERT_TRUE(head.ok());
    EXPECT_EQ(*head, flacHead());
}

TEST(BuildPayloadTest, Refusals) {
    PcmaHead badHead = rawHead();
    badHead.flags = 2;
    struct Case {
        const char* name;
        PcmaHead head;
        Bytes body;
        std::string message;
    };
    const Case cases[] = {
        {"head law", badHead, Bytes(40), "payload head carries unknown flag bits 0x2"},
        {"codec 0 one byte long", rawHead(), Bytes(41), "codec-0 payload carries 41 codec bytes but plain_bytes=40"},
        {"codec 0 empty", rawHead(), Bytes{}, "codec-0 payload carries 0 codec bytes but plain_bytes=40"},
        {"codec 1 three bytes", flacHead(), test::hex("664C61"),
         "codec-1 payload does not start with a FLAC stream ('fLaC')"},
        {"codec 1 wrong marker", flacHead(), test::hex("664C6144 00"),
         "codec-1 payload does not start with a FLAC stream ('fLaC')"},
        {"codec 1 empty", flacHead(), Bytes{}, "codec-1 payload does not start with a FLAC stream ('fLaC')"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = buildPayload(c.head, c.body);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.code(), ErrorCode::PayloadHeadInvalid);
        EXPECT_EQ(r.message(), c.message);
    }
}

TEST(SplitHeadTailTest, Cases) {
    struct Case {
        uint64_t frames;
        uint32_t rate;
        uint32_t ms;
        uint64_t head;
        uint64_t tail;
        bool hasTail;
    };
    const Case cases[] = {
        {0, 44100, 250, 0, 0, false},
        {10, 44100, 250, 10, 0, false},
        {11025, 44100, 250, 11025, 0, false},
        {11026, 44100, 250, 11025, 1, true},
        {100000, 44100, 250, 11025, 88975, true},
        {100, 3, 250, 1, 99, true},          // 0.75 frames rounds down, then at least one
        {100, 8000, 0, 1, 99, true},         // no head length still keeps one frame
        {100, 1000000, 4294967295u, 100, 0, false},  // the product needs 64 bits
        {1, 44100, 250, 1, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.frames << " frames at " << c.rate << " Hz, " << c.ms << " ms");
        const HeadTailSplit s = splitHeadTail(c.frames, c.rate, c.ms);
        EXPECT_EQ(s.headFrames, c.head);
        EXPECT_EQ(s.tailFrames, c.tail);
        EXPECT_EQ(s.hasTail, c.hasTail);
    }
}

} // namespace
} // namespace vt6::fmt
