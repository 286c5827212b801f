#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "format/result.hpp"

namespace vt6::fmt {
namespace {

TEST(ErrorCodeName, NamesEveryCodeAndRefusesOthers) {
    struct Case {
        uint16_t code;
        const char* name;
    };
    const Case cases[] = {
        {0, "BadMagic"},
        {20, "UnsupportedScheme"},
        {26, "ModelInvalid"},
        {38, "ReadIo"},
        {39, "SignatureSlotInvalid"},
        {49, "PublisherCertUntrusted"},
        {59, "MetadataPolicyBytes"},
        {63, "ChunkReadPolicyBytes"},
        {64, "UnknownErrorCode"},
        {65535, "UnknownErrorCode"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(errorCodeName(static_cast<ErrorCode>(c.code)), c.name) << c.code;
    }
    for (uint16_t code = 0; code < 64; ++code) {
        const char* name = errorCodeName(static_cast<ErrorCode>(code));
        ASSERT_NE(name, nullptr);
        EXPECT_STRNE(name, "UnknownErrorCode") << code;
        EXPECT_GT(std::string(name).size(), 0u);
    }
}

TEST(MakeErrorRef, IsTheLetterEAndTheNumber) {
    EXPECT_EQ(makeErrorRef(8251), "E8251");
    EXPECT_EQ(makeErrorRef(0), "E0");
    EXPECT_EQ(makeErrorRef(-12), "E-12");
}

TEST(Result, SuccessCarriesReadIoAndNoMessage) {
    Result<Unit> unit;
    EXPECT_TRUE(unit.ok());
    EXPECT_EQ(unit.code(), ErrorCode::ReadIo);
    EXPECT_TRUE(unit.message().empty());

    Result<std::string> text(std::string("value"));
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(*text, "value");
    EXPECT_EQ(text.code(), ErrorCode::ReadIo);
}

Result<int> failingCallee() { return fail(ErrorCode::ChunkCrcMismatch, "chunk 'AUDI' uid 4 crc mismatch"); }

Result<std::string> passesOn() {
    ZEM_TRY_ASSIGN(const int v, failingCallee());
    return std::to_string(v);
}

TEST(Result, FailurePassedOnKeepsCodeAndMessage) {
    auto r = passesOn();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.code(), ErrorCode::ChunkCrcMismatch);
    EXPECT_EQ(r.message(), "chunk 'AUDI' uid 4 crc mismatch");

    Result<Unit> fromInfo(r.error());
    EXPECT_EQ(fromInfo.code(), ErrorCode::ChunkCrcMismatch);
    EXPECT_EQ(fromInfo.message(), r.message());
}

TEST(Result, MoveTransfersValueAndErrorAndEmptiesTheSourceMessage) {
    Result<std::unique_ptr<int>> good(std::make_unique<int>(7));
    Result<std::unique_ptr<int>> moved(std::move(good));
    ASSERT_TRUE(moved.ok());
    EXPECT_EQ(**moved, 7);

    Result<std::unique_ptr<int>> bad(ErrorCode::ReadIo, "cannot open");
    Result<std::unique_ptr<int>> movedBad(std::move(bad));
    EXPECT_FALSE(movedBad.ok());
    EXPECT_EQ(movedBad.message(), "cannot open");
    EXPECT_TRUE(bad.message().empty());  // NOLINT(bugprone-use-after-move)

    moved = std::move(movedBad);
    EXPECT_FALSE(moved.ok());
    EXPECT_EQ(moved.code(), ErrorCode::ReadIo);
}

// Counts live instances, to show a failed result never constructs or
// destroys a value.
struct Tracked {
    static inline int live = 0;
    Tracked() { ++live; }
    Tracked(const Tracked&) { ++live; }
    Tracked(Tracked&&) noexcept { ++live; }
    ~Tracked() { --live; }
};

TEST(Result, FailedResultNeverTouchesValueStorage) {
    Tracked::live = 0;
    {
        Result<Tracked> failed(ErrorCode::ModelInvalid, "bad");
        Result<Tracked> copy(failed);
        Result<Tracked> moved(std::move(failed));
        EXPECT_EQ(Tracked::live, 0);
    }
    EXPECT_EQ(Tracked::live, 0);
    {
        Result<Tracked> good(Tracked{});
        EXPECT_EQ(Tracked::live, 1);
        good = Result<Tracked>(ErrorCode::ReadIo, "gone");
        EXPECT_EQ(Tracked::live, 0);
    }
    EXPECT_EQ(Tracked::live, 0);
}

} // namespace
} // namespace vt6::fmt
