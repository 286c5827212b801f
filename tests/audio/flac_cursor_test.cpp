#include "audio/flac_cursor.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "audio/flac_codec.hpp"
#include "audio/flac_fixtures.hpp"
#include "support/bytes.hpp"

namespace vt6::fmt {
namespace {

// A body in memory that logs every range asked of it and can fail from a
// given offset on, as a file reader does for a damaged chunk.
class LoggingSource : public FlacPayloadSource {
public:
    struct Request {
        uint64_t offset;
        size_t length;
    };

    explicit LoggingSource(Bytes body) : body_(std::move(body)) {}

    Result<uint32_t> read(uint64_t offset, std::span<uint8_t> dest) override {
        log.push_back({offset, dest.size()});
        if (offset + dest.size() > body_.size()) {
            return fail(ErrorCode::ReadIo, "read past the body");  // the cursor must never ask for this
        }
        if (failFrom && offset + dest.size() > *failFrom) {
            return fail(ErrorCode::ChunkTruncated, "payload range ends past the chunk");
        }
        std::memcpy(dest.data(), body_.data() + offset, dest.size());
        return static_cast<uint32_t>(dest.size());
    }
    uint64_t size() const override { return body_.size(); }

    // Bytes asked for since the log was last cleared.
    uint64_t bytesAsked() const {
        uint64_t n = 0;
        for (const Request& r : log) n += r.length;
        return n;
    }

    std::vector<Request> log;
    std::optional<uint64_t> failFrom;

private:
    Bytes body_;
};

// One encoded payload: head, body, the PCM it holds and where its frames start.
struct Payload {
    PcmaHead head;
    Bytes pcm;
    Bytes body;
    test::FlacLayout layout;

    Payload(int bits, int channels, uint64_t frames, uint32_t seed = 7) {
        head.codec = kCodecFlac;
        head.bits = static_cast<uint16_t>(bits);
        head.channels = static_cast<uint16_t>(channels);
        head.sample_rate = 44100;
        head.frames = frames;
        head.plain_bytes = frames * static_cast<uint64_t>(channels) * static_cast<uint64_t>(bits / 8);
        head.max_blocksize = kFlacBlockSize;
        pcm = test::makePcm(bits, channels, frames, seed);
        auto encoded = encodeFlacPayload(pcm, bits, channels, 44100, frames);
        if (encoded.ok()) body = std::move(encoded).value();
        layout = test::readFlacLayout(body).value_or(test::FlacLayout{});
    }

    uint64_t frameBytes() const { return uint64_t{head.channels} * head.bits / 8; }
    Bytes slice(uint64_t first, uint64_t count) const {
        const uint64_t end = std::min(first + count, head.frames);
        if (first >= end) return {};
        return Bytes(pcm.begin() + static_cast<long>(first * frameBytes()),
                     pcm.begin() + static_cast<long>(end * frameBytes()));
    }
    // Body offset where the FLAC frame holding `frame` starts (from the seek table).
    uint64_t blockOffset(uint64_t frame) const {
        return layout.audioAt + (*layout.seekTable)[frame / kFlacBlockSize].offset;
    }
};

// A payload of 300000 stereo 16-bit frames (about 73 blocks), shared by the
// tests that only read.
const Payload& longPayload() {
    static const Payload p(16, 2, 300000);
    return p;
}

void expectRead(FlacStreamCursor& cursor, const Payload& p, uint64_t first, uint32_t count) {
    SCOPED_TRACE(testing::Message() << "read [" << first << ", +" << count << ")");
    Bytes out(3, 0xEE);
    const auto r = cursor.read(first, count, out);
    ASSERT_TRUE(r.ok()) << r.message();
    const Bytes want = p.slice(first, count);
    EXPECT_EQ(*r, want.size() / p.frameBytes());
    EXPECT_EQ(out.size(), want.size());
    EXPECT_TRUE(out == want);
}

TEST(FlacCursorTest, UsedBeforeOpen) {
    FlacStreamCursor cursor;
    EXPECT_FALSE(cursor.isOpen());
    Bytes out;
    const auto r = cursor.read(0, 10, out);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.code(), ErrorCode::FlacError);
    EXPECT_EQ(r.message(), "FlacStreamCursor used before open");
}

TEST(FlacCursorTest, OpenRefusals) {
    const Payload& p = longPayload();
    ASSERT_TRUE(p.layout.seekTable.has_value());
    PcmaHead rawHead = p.head;
    rawHead.codec = 0;
    rawHead.max_blocksize = 0;
    PcmaHead otherRate = p.head;
    otherRate.sample_rate = 48000;
    PcmaHead otherFrames = p.head;
    otherFrames.frames = 299999;
    otherFrames.plain_bytes = 299999 * 4;
    PcmaHead floatHead = p.head;
    floatHead.bits = 32;

    const Bytes framesOnly(p.body.begin() + static_cast<long>(p.layout.audioAt), p.body.end());
    const std::string beforeOpen = "FlacStreamCursor used before open";

    struct Case {
        const char* name;
        PcmaHead head;
        Bytes body;
        std::optional<uint64_t> failFrom;
        ErrorCode code;
        std::string message;
        std::string later;  // what a read after the failed open reports; empty: the same failure
    };
    const Case cases[] = {
        {"codec 0", rawHead, p.body, {}, ErrorCode::CodecUnknown, "FlacStreamCursor over a codec-0 payload",
         beforeOpen},
        {"codec 5", [] { PcmaHead h; h.codec = 5; return h; }(), p.body, {}, ErrorCode::CodecUnknown,
         "FlacStreamCursor over a codec-5 payload", beforeOpen},
        {"illegal head", floatHead, p.body, {}, ErrorCode::PayloadHeadInvalid,
         "32-bit float is ALWAYS codec 0 (raw packed PCM) \u2014 head declares codec 1", beforeOpen},
        // Not "no STREAMINFO": the geometry is what is wrong.
        {"sample rate", otherRate, p.body, {}, ErrorCode::GeometryMismatch,
         "FLAC STREAMINFO disagrees with the PCMA head", ""},
        {"frames", otherFrames, p.body, {}, ErrorCode::GeometryMismatch,
         "FLAC STREAMINFO disagrees with the PCMA head", ""},
        {"frames without metadata", p.head, framesOnly, {}, ErrorCode::FlacError,
         "FLAC stream carries no STREAMINFO", ""},
        {"marker only", p.head, test::hex("664C6143"), {}, ErrorCode::FlacError, "FLAC metadata read failed", ""},
        {"empty body", p.head, {}, {}, ErrorCode::FlacError, "FLAC metadata read failed", ""},
        {"source fails", p.head, p.body, 10, ErrorCode::ChunkTruncated, "payload range ends past the chunk", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoggingSource source(c.body);
        source.failFrom = c.failFrom;
        FlacStreamCursor cursor;
        const auto opened = cursor.open(&source, c.head);
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.code(), c.code);
        EXPECT_EQ(opened.message(), c.message);
        EXPECT_FALSE(cursor.isOpen());
        Bytes out;
        const auto r = cursor.read(0, 1, out);
        ASSERT_FALSE(r.ok());
        if (c.later.empty()) {
            EXPECT_EQ(r.code(), c.code);
            EXPECT_EQ(r.message(), c.message);
        } else {
            EXPECT_EQ(r.code(), ErrorCode::FlacError);
            EXPECT_EQ(r.message(), c.later);
        }
    }
}

TEST(FlacCursorTest, ReadsAnyRange) {
    const Payload& p = longPayload();
    LoggingSource source(p.body);
    FlacStreamCursor cursor;
    ASSERT_TRUE(cursor.open(&source, p.head).ok());
    EXPECT_TRUE(cursor.isOpen());
    struct Range {
        uint64_t first;
        uint32_t count;
    };
    // Forward, backward within reach, far both ways, across block edges, and
    // the end of the stream.
    const Range ranges[] = {{0, 100},       {50, 100},      {4000, 200},     {10000, 10},    {5000, 20000},
                            {100000, 10},   {98000, 5000},  {299990, 10},    {0, 300000},    {123456, 1},
                            {4095, 2},      {270000, 9000}, {200000, 40000}, {1, 1},         {299999, 1},
                            {150000, 4096}, {150000, 4097}, {36864, 4096},   {299000, 5000}, {7, 8191}};
    for (const Range& r : ranges) expectRead(cursor, p, r.first, r.count);
    EXPECT_TRUE(cursor.isOpen());
}

TEST(FlacCursorTest, RandomReadsMatchTheWholeDecode) {
    const Payload p(24, 3, 150000, 3);
    LoggingSource source(p.body);
    FlacStreamCursor cursor;
    ASSERT_TRUE(cursor.open(&source, p.head).ok());
    std::mt19937 rng(42);
    for (int i = 0; i < 300; ++i) {
        const uint64_t first = rng() % 151000;
        const uint32_t count = static_cast<uint32_t>(rng() % (i % 10 == 0 ? 40000 : 3000));
        expectRead(cursor, p, first, count);
    }
}

TEST(FlacCursorTest, ReadsPastTheEndAndEmptyReads) {
    const Payload& p = longPayload();
    LoggingSource source(p.body);
    FlacStreamCursor cursor;
    ASSERT_TRUE(cursor.open(&source, p.head).ok());
    expectRead(cursor, p, 299990, 100);  // 10 frames delivered
    expectRead(cursor, p, 300000, 100);
    expectRead(cursor, p, uint64_t{1} << 63, 4294967295u);
    expectRead(cursor, p, 1000, 0);
    EXPECT_TRUE(cursor.isOpen());
}

TEST(FlacCursorTest, ServesTheCurrentFrameWithoutReading) {
    const Payload& p = longPayload();
    LoggingSource source(p.body);
    FlacStreamCursor cursor;
    ASSERT_TRUE(cursor.open(&source, p.head).ok());
    expectRead(cursor, p, 0, 100);
    source.log.clear();
    expectRead(cursor, p, 50, 100);
    EXPECT_TRUE(source.log.empty());
}

TEST(FlacCursorTest, DecodesForwardWithinReach) {
    const Payload& p = longPayload();
    LoggingSource source(p.body);
    FlacStreamCursor cursor;
    ASSERT_TRUE(cursor.open(&source, p.head).ok());
    expectRead(cursor, p, 0, 100);
    ASSERT_FALSE(source.log.empty());
    uint64_t end = source.log.back().offset + source.log.back().length;
    source.log.clear();
    expectRead(cursor, p, 10000, 10);
    // Every byte asked for continues where the decoder stopped: no seek.
    for (const LoggingSource::Request& r : source.log) {
        EXPECT_EQ(r.offset, end);
        end = r.offset + r.length;
    }
}

TEST(FlacCursorTest, FarReadSeeksInsteadOfDecodingFromTheStart) {
    const Payload p(16, 1, 2000000, 11);  // about 4 MB of body
    LoggingSource source(p.body);
    FlacStreamCursor cursor;
    ASSERT_TRUE(cursor.open(&source, p.head).ok());
    source.log.clear();
    expectRead(cursor, p, 1900000, 100);
    ASSERT_FALSE(source.log.empty());
    const uint64_t target = p.blockOffset(1900000);
    EXPECT_LT(source.bytesAsked(), p.body.size() / 20);
    uint64_t lowest = p.body.size();
    for (const LoggingSource::Request& r : source.log) lowest = std::min(lowest, r.offset);
    EXPECT_GT(lowest, p.blockOffset(1000000)) << "the read went through the first half of the body";
    EXPECT_TRUE(std::any_of(source.log.begin(), source.log.end(), [&](const LoggingSource::Request& r) {
        return r.offset <= target && target < r.offset + r.length;
    })) << "the frame holding the wanted frames was never read";
}

TEST(FlacCursorTest, ReadAfterAShortReadSeeksToItsBlock) {
    const Payload& p = longPayload();
    LoggingSource source(p.body);
    FlacStreamCursor cursor;
    ASSERT_TRUE(cursor.open(&source, p.head).ok());
    expectRead(cursor, p, 0, 100);
    source.log.clear();
    expectRead(cursor, p, 100000, 10);  // 100000 lies in the block starting at 98304
    const uint64_t target = p.blockOffset(98304);
    EXPECT_TRUE(std::any_of(source.log.begin(), source.log.end(), [&](const LoggingSource::Request& r) {
        return r.offset <= target && target < r.offset + r.length;
    }));
    EXPECT_LT(source.bytesAsked(), p.blockOffset(98304) / 2);
}

TEST(FlacCursorTest, JumpsBackToARecordedFrameStart) {
    const Payload& p = longPayload();
    LoggingSource source(p.body);
    FlacStreamCursor cursor;
    ASSERT_TRUE(cursor.open(&source, p.head).ok());
    expectRead(cursor, p, 0, 20000);
    source.log.clear();
    expectRead(cursor, p, 5000, 10);
    ASSERT_FALSE(source.log.empty());
    // The first byte asked for is exactly where frame 4096 starts: a flush and
    // a reposition, not a seek.
    EXPECT_EQ(source.log.front().offset, p.blockOffset(4096));
}

TEST(FlacCursorTest, TailPayloadsCountFromTheirFirstFrame) {
    Payload p(16, 1, 20000, 5);
    p.head.role = PayloadRole::tail;
    p.head.first_frame = 11025;
    LoggingSource source(p.body);
    FlacStreamCursor cursor;
    ASSERT_TRUE(cursor.open(&source, p.head).ok());
    expectRead(cursor, p, 0, 100);
    expectRead(cursor, p, 19950, 100);
}

TEST(FlacCursorTest, SourceFailureSticks) {
    const Payload& p = longPayload();
    LoggingSource source(p.body);
    FlacStreamCursor cursor;
    ASSERT_TRUE(cursor.open(&source, p.head).ok());
    expectRead(cursor, p, 0, 100);
    source.failFrom = p.blockOffset(40960);
    Bytes out;
    const auto r = cursor.read(0, 60000, out);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.code(), ErrorCode::ChunkTruncated);
    EXPECT_EQ(r.message(), "payload range ends past the chunk");
    EXPECT_FALSE(cursor.isOpen());
    // Even a read the cursor could serve from memory repeats the failure,
    // without asking the source again.
    source.failFrom.reset();
    source.log.clear();
    for (const uint64_t first : {uint64_t{0}, uint64_t{200000}}) {
        const auto again = cursor.read(first, 10, out);
        ASSERT_FALSE(again.ok());
        EXPECT_EQ(again.code(), ErrorCode::ChunkTruncated);
        EXPECT_EQ(again.message(), "payload range ends past the chunk");
    }
    EXPECT_TRUE(source.log.empty());
}

TEST(FlacCursorTest, TruncatedBodyEndsEarlyOrFailsForGood) {
    const Payload& p = longPayload();
    struct Case {
        const char* name;
        uint64_t cut;
    };
    const Case cases[] = {
        {"at a frame start", p.blockOffset(8192)},
        {"inside a frame", p.blockOffset(8192) + 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes body = p.body;
        body.resize(c.cut);
        LoggingSource source(body);
        FlacStreamCursor cursor;
        ASSERT_TRUE(cursor.open(&source, p.head).ok());
        Bytes out;
        const auto r = cursor.read(0, 20000, out);
        if (r.ok()) {
            // The stream simply ended: the whole frames before the cut.
            EXPECT_EQ(*r, 8192u);
            EXPECT_TRUE(out == p.slice(0, 8192));
            expectRead(cursor, p, 100, 100);
        } else {
            EXPECT_EQ(r.code(), ErrorCode::FlacError);
            EXPECT_NE(r.message().find("FLAC__STREAM_DECODER_"), std::string::npos) << r.message();
            const auto again = cursor.read(100, 100, out);
            ASSERT_FALSE(again.ok());
            EXPECT_EQ(again.message(), r.message());
            EXPECT_FALSE(cursor.isOpen());
        }
    }
}

TEST(FlacCursorTest, MovesAndReopens) {
    const Payload& p = longPayload();
    const Payload q(24, 1, 9000, 9);
    LoggingSource sourceP(p.body);
    LoggingSource sourceQ(q.body);

    FlacStreamCursor cursor;
    ASSERT_TRUE(cursor.open(&sourceP, p.head).ok());
    expectRead(cursor, p, 1000, 10);

    FlacStreamCursor moved(std::move(cursor));
    EXPECT_FALSE(cursor.isOpen());  // NOLINT(bugprone-use-after-move): moved-from is empty by contract
    Bytes out;
    EXPECT_EQ(cursor.read(0, 1, out).message(), "FlacStreamCursor used before open");
    expectRead(moved, p, 1010, 10);

    FlacStreamCursor assigned;
    assigned = std::move(moved);
    expectRead(assigned, p, 250000, 10);

    ASSERT_TRUE(assigned.open(&sourceQ, q.head).ok());
    expectRead(assigned, q, 8990, 100);
}

} // namespace
} // namespace vt6::fmt
