#pragma once
// Real FFTs for the analysis, on FFTW. The analysis results are stored in
// files, so every plan is made with FFTW_ESTIMATE (the same plan on every run)
// and without FFTW's SIMD kernels (the same bits on every x86-64 processor).
// FFTW's planner is not thread-safe: every plan is made and destroyed under
// fftPlannerMutex(), including the per-thread caches when a thread ends.

#include <complex>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace vt6::fmt {

// The one process-wide mutex around FFTW's planner. Never destroyed, so that
// thread-exit destructors can still take it while the process shuts down.
std::mutex& fftPlannerMutex();

// Planner flags of every analysis plan.
unsigned analysisFftPlanFlags();

// A forward single-precision real FFT of 2^order points: fill input(), call
// execute(), read bins() complex values (unscaled). Owns its buffers; not
// shared between threads.
class FftPlan {
public:
    // Throws std::runtime_error when order is outside 0..30 or FFTW makes no
    // plan; std::bad_alloc when the buffers cannot be allocated.
    static FftPlan create(int order);

    FftPlan(FftPlan&& other) noexcept;
    FftPlan& operator=(FftPlan&& other) noexcept;
    FftPlan(const FftPlan&) = delete;
    FftPlan& operator=(const FftPlan&) = delete;
    ~FftPlan();

    uint64_t size() const { return size_; }
    uint64_t bins() const { return bins_; }
    // size() floats, zero at first; execute() leaves them as they are.
    float* input() { return input_; }
    // Transforms input(); the result stays valid until the next call.
    std::span<const std::complex<float>> execute();

private:
    FftPlan() = default;
    void release() noexcept;

    uint64_t size_ = 0;
    uint64_t bins_ = 0;
    void* plan_ = nullptr;
    float* input_ = nullptr;
    std::complex<float>* output_ = nullptr;
};

// A double-precision real FFT of n points with forward (unscaled) and
// backward (scaled by 1/n) transforms. Use analysisFftFor for the per-thread
// instance of a length.
class AnalysisFft {
public:
    // Throws std::runtime_error when n < 1 or FFTW makes no plan.
    explicit AnalysisFft(int32_t n);
    AnalysisFft(const AnalysisFft&) = delete;
    AnalysisFft& operator=(const AnalysisFft&) = delete;
    ~AnalysisFft();

    int32_t size() const { return n_; }
    // n/2+1 bins of the zero-padded samples. Throws std::invalid_argument
    // "Analysis FFT input length" when there are more than n samples.
    std::vector<std::complex<double>> forward(std::span<const double> samples);
    // n values of the inverse transform, scaled by 1/n. Throws
    // std::invalid_argument "Analysis FFT bin count" unless given n/2+1 bins.
    std::vector<double> backward(std::span<const std::complex<double>> bins);

private:
    void release() noexcept;

    int32_t n_;
    void* forwardPlan_ = nullptr;
    void* backwardPlan_ = nullptr;
    double* real_ = nullptr;
    std::complex<double>* spectrum_ = nullptr;
};

// This thread's transform of length n, made on first use and kept until the
// thread ends. A failed creation leaves nothing behind; the next call tries
// again.
AnalysisFft& analysisFftFor(int32_t n);

// Squared magnitude (hypot, then squared) of each of the n/2+1 bins.
std::vector<double> powerSpectrum(std::span<const double> samples, int32_t n);

// Circular autocorrelation of the zero-padded samples: n values, value t being
// the sum of x[i] * x[i + t] with indices modulo n.
std::vector<double> fftAutocorrelation(std::span<const double> samples, int32_t n);

} // namespace vt6::fmt
