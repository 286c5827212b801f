#pragma once
// Error vocabulary of the whole program: every fallible operation returns a
// Result<T> carrying either a value or an ErrorCode with an English message.

#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

namespace vt6::fmt {

struct Unit {};

enum class ErrorCode : uint16_t {
    BadMagic = 0,
    BadSuperblockCrc = 1,
    UnknownSuperblockFlag = 2,
    UnknownChunkFlag = 3,
    BadFooter = 4,
    FileBytesMismatch = 5,
    DirectoryUnrecoverable = 6,
    DirHashMismatch = 7,
    DirEntryUnsorted = 8,
    DirEntryOverlap = 9,
    DirEntryOutOfBounds = 10,
    DirUidDuplicate = 11,
    DirPolicyEntries = 12,
    DirPolicyBytes = 13,
    LengthOverflow = 14,
    ChunkCrcMismatch = 15,
    ChunkTruncated = 16,
    ChunkHeaderDirMismatch = 17,
    ChunkHashMismatch = 18,
    UnknownCriticalChunk = 19,
    UnsupportedScheme = 20,
    CborNonCanonical = 21,
    CborDepth = 22,
    CborType = 23,
    CborTag = 24,
    CborDuplicateKey = 25,
    ModelInvalid = 26,
    MtadTooLarge = 27,
    SummTooLarge = 28,
    PayloadHeadInvalid = 29,
    CodecUnknown = 30,
    FlacError = 31,
    GeometryMismatch = 32,
    PlainHashMismatch = 33,
    PlainBytesMismatch = 34,
    SeektableInvalid = 35,
    UidLaw = 36,
    WriteIo = 37,
    ReadIo = 38,
    SignatureSlotInvalid = 39,
    SignPayloadInvalid = 40,
    SignatureMismatch = 41,
    ChunkAddedAfterSigning = 42,
    SignedChunkMissing = 43,
    TranscriptMismatch = 44,
    ChunkOrderChanged = 45,
    PublisherCertMissing = 46,
    PublisherCertInvalid = 47,
    PublisherCertExpired = 48,
    PublisherCertUntrusted = 49,
    // 50 to 58 are reserved and never raised.
    MetadataPolicyBytes = 59,
    SignaturePolicyBytes = 60,
    RecoveryPolicyBytes = 61,
    AllocationFailed = 62,
    ChunkReadPolicyBytes = 63,
};

// Name text of a code; "UnknownErrorCode" for values outside 0..63. Never null.
const char* errorCodeName(ErrorCode code) noexcept;

// "E" followed by the decimal number: the whole message of a failure that
// should reveal no detail.
std::string makeErrorRef(int number);

struct ErrorInfo {
    ErrorCode code = ErrorCode::ReadIo;
    std::string message;
};

// Shorthand for building a failure that converts into any Result<T>.
inline ErrorInfo fail(ErrorCode code, std::string message) {
    return ErrorInfo{code, std::move(message)};
}

template <class T>
class [[nodiscard]] Result {
    static_assert(!std::is_reference_v<T>, "Result holds values");
    static_assert(!std::is_same_v<std::remove_cv_t<T>, ErrorInfo>, "Result<ErrorInfo> is ambiguous");

public:
    using value_type = T;

    // Success. A successful result carries ReadIo and an empty message, which
    // nobody reads.
    Result(T value) : ok_(true) { new (&storage_) T(std::move(value)); }

    // Result<Unit> succeeds when built without arguments.
    Result() requires std::is_same_v<T, Unit> : ok_(true) { new (&storage_) T(); }

    Result(ErrorCode code, std::string message) : ok_(false), error_{code, std::move(message)} {}
    Result(ErrorInfo error) : ok_(false), error_(std::move(error)) {}

    Result(const Result& other) requires std::is_copy_constructible_v<T>
        : ok_(other.ok_), error_(other.error_) {
        if (ok_) new (&storage_) T(other.ref());
    }
    Result(Result&& other) noexcept(std::is_nothrow_move_constructible_v<T>)
        : ok_(other.ok_), error_(std::move(other.error_)) {
        other.error_.message.clear();
        if (ok_) new (&storage_) T(std::move(other.ref()));
    }
    Result& operator=(const Result& other) requires std::is_copy_constructible_v<T> {
        if (this != &other) {
            Result copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    Result& operator=(Result&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
        if (this != &other) {
            destroyValue();
            ok_ = other.ok_;
            error_ = std::move(other.error_);
            other.error_.message.clear();
            if (ok_) new (&storage_) T(std::move(other.ref()));
        }
        return *this;
    }
    ~Result() {
        error_.message.clear();
        destroyValue();
    }

    bool ok() const noexcept { return ok_; }
    explicit operator bool() const noexcept { return ok_; }

    // Only valid when ok().
    T& value() & { return ref(); }
    const T& value() const& { return ref(); }
    T&& value() && { return std::move(ref()); }
    T* operator->() { return &ref(); }
    const T* operator->() const { return &ref(); }
    T& operator*() & { return ref(); }
    const T& operator*() const& { return ref(); }

    ErrorCode code() const noexcept { return error_.code; }
    const std::string& message() const noexcept { return error_.message; }
    const ErrorInfo& error() const noexcept { return error_; }
    // Moves the error out, to pass a callee's failure on unchanged.
    ErrorInfo takeError() { return std::move(error_); }

private:
    T& ref() { return *std::launder(reinterpret_cast<T*>(&storage_)); }
    const T& ref() const { return *std::launder(reinterpret_cast<const T*>(&storage_)); }
    void destroyValue() {
        if (ok_) {
            ref().~T();
            ok_ = false;
        }
    }

    alignas(T) unsigned char storage_[sizeof(T)];
    bool ok_;
    ErrorInfo error_;
};

} // namespace vt6::fmt

#define ZEM_CAT_INNER(a, b) a##b
#define ZEM_CAT(a, b) ZEM_CAT_INNER(a, b)

// Evaluates a Result-returning expression; on failure returns its error from
// the enclosing function, otherwise assigns (or declares) `lhs` from its value.
#define ZEM_TRY_ASSIGN(lhs, expr)                                      \
    auto ZEM_CAT(zemTry_, __LINE__) = (expr);                          \
    if (!ZEM_CAT(zemTry_, __LINE__).ok())                              \
        return ZEM_CAT(zemTry_, __LINE__).takeError();                 \
    lhs = std::move(ZEM_CAT(zemTry_, __LINE__)).value()

// Evaluates a Result-returning expression and returns its error on failure.
#define ZEM_TRY(expr)                                                  \
    do {                                                               \
        auto zemTryResult = (expr);                                    \
        if (!zemTryResult.ok()) return zemTryResult.takeError();       \
    } while (0)
