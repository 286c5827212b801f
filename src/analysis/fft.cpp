#include "analysis/fft.hpp"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

namespace vt6::fmt {
namespace {

template <typename T>
T* allocate(size_t count) {
    void* p = std::is_same_v<T, float> || std::is_same_v<T, std::complex<float>>
                  ? fftwf_malloc(sizeof(T) * count)
                  : fftw_malloc(sizeof(T) * count);
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
}

} // namespace

std::mutex& fftPlannerMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

unsigned analysisFftPlanFlags() {
    return FFTW_ESTIMATE | FFTW_NO_SIMD;
}

// ---------------------------------------------------------------- FftPlan

FftPlan FftPlan::create(int order) {
    if (order < 0 || order > 30) {
        throw std::runtime_error("FFT plan order " + std::to_string(order) + " outside 0..30");
    }
    FftPlan p;
    p.size_ = uint64_t{1} << order;
    p.bins_ = p.size_ / 2 + 1;
    p.input_ = allocate<float>(p.size_);
    try {
        p.output_ = allocate<std::complex<float>>(p.bins_);
    } catch (...) {
        fftwf_free(p.input_);
        throw;
    }
    std::fill(p.input_, p.input_ + p.size_, 0.0f);
    std::fill(p.output_, p.output_ + p.bins_, std::complex<float>{});
    {
        std::lock_guard lock(fftPlannerMutex());
        p.plan_ = fftwf_plan_dft_r2c_1d(static_cast<int>(p.size_), p.input_,
                                        reinterpret_cast<fftwf_complex*>(p.output_),
                                        analysisFftPlanFlags());
    }
    if (p.plan_ == nullptr) {
        // p's destructor frees the buffers.
        throw std::runtime_error("FFTW made no plan of " + std::to_string(p.size_) + " points");
    }
    return p;
}

FftPlan::FftPlan(FftPlan&& other) noexcept
    : size_(other.size_), bins_(other.bins_), plan_(other.plan_), input_(other.input_),
      output_(other.output_) {
    other.plan_ = nullptr;
    other.input_ = nullptr;
    other.output_ = nullptr;
    other.size_ = other.bins_ = 0;
}

FftPlan& FftPlan::operator=(FftPlan&& other) noexcept {
    if (this != &other) {
        release();
        size_ = other.size_;
        bins_ = other.bins_;
        plan_ = other.plan_;
        input_ = other.input_;
        output_ = other.output_;
        other.plan_ = nullptr;
        other.input_ = nullptr;
        other.output_ = nullptr;
        other.size_ = other.bins_ = 0;
    }
    return *this;
}

FftPlan::~FftPlan() { release(); }

void FftPlan::release() noexcept {
    if (plan_ != nullptr) {
        std::lock_guard lock(fftPlannerMutex());
        fftwf_destroy_plan(static_cast<fftwf_plan>(plan_));
        plan_ = nullptr;
    }
    if (input_ != nullptr) fftwf_free(input_);
    if (output_ != nullptr) fftwf_free(output_);
    input_ = nullptr;
    output_ = nullptr;
}

std::span<const std::complex<float>> FftPlan::execute() {
    if (plan_ == nullptr) throw std::runtime_error("FFT plan used after it was moved from");
    fftwf_execute(static_cast<fftwf_plan>(plan_));
    return {output_, static_cast<size_t>(bins_)};
}

// ------------------------------------------------------------ AnalysisFft

AnalysisFft::AnalysisFft(int32_t n) : n_(n) {
    if (n < 1) throw std::runtime_error("Analysis FFT length " + std::to_string(n) + " below 1");
    const auto count = static_cast<size_t>(n);
    const size_t bins = count / 2 + 1;
    try {
        real_ = allocate<double>(count);
        spectrum_ = allocate<std::complex<double>>(bins);
        std::fill(real_, real_ + count, 0.0);
        std::fill(spectrum_, spectrum_ + bins, std::complex<double>{});
        std::lock_guard lock(fftPlannerMutex());
        auto* spectrum = reinterpret_cast<fftw_complex*>(spectrum_);
        forwardPlan_ = fftw_plan_dft_r2c_1d(n, real_, spectrum, analysisFftPlanFlags());
        backwardPlan_ = fftw_plan_dft_c2r_1d(n, spectrum, real_, analysisFftPlanFlags());
    } catch (...) {
        release();
        throw;
    }
    if (forwardPlan_ == nullptr || backwardPlan_ == nullptr) {
        release();
        throw std::runtime_error("FFTW made no plan of " + std::to_string(n) + " points");
    }
}

AnalysisFft::~AnalysisFft() { release(); }

void AnalysisFft::release() noexcept {
    if (forwardPlan_ != nullptr || backwardPlan_ != nullptr) {
        std::lock_guard lock(fftPlannerMutex());
        if (forwardPlan_ != nullptr) fftw_destroy_plan(static_cast<fftw_plan>(forwardPlan_));
        if (backwardPlan_ != nullptr) fftw_destroy_plan(static_cast<fftw_plan>(backwardPlan_));
    }
    forwardPlan_ = backwardPlan_ = nullptr;
    if (real_ != nullptr) fftw_free(real_);
    if (spectrum_ != nullptr) fftw_free(spectrum_);
    real_ = nullptr;
    spectrum_ = nullptr;
}

std::vector<std::complex<double>> AnalysisFft::forward(std::span<const double> samples) {
    if (samples.size() > static_cast<size_t>(n_)) {
        throw std::invalid_argument("Analysis FFT input length");
    }
    std::fill(real_, real_ + n_, 0.0);
    std::copy(samples.begin(), samples.end(), real_);
    fftw_execute(static_cast<fftw_plan>(forwardPlan_));
    return {spectrum_, spectrum_ + (n_ / 2 + 1)};
}

std::vector<double> AnalysisFft::backward(std::span<const std::complex<double>> bins) {
    if (bins.size() != static_cast<size_t>(n_ / 2 + 1)) {
        throw std::invalid_argument("Analysis FFT bin count");
    }
    std::copy(bins.begin(), bins.end(), spectrum_);
    // A real signal's DC bin, and for even n its last bin, carry no imaginary part.
    spectrum_[0].imag(0.0);
    if (n_ % 2 == 0) spectrum_[n_ / 2].imag(0.0);
    fftw_execute(static_cast<fftw_plan>(backwardPlan_));
    const double scale = 1.0 / static_cast<double>(n_);
    std::vector<double> out(real_, real_ + n_);
    for (double& v : out) v *= scale;
    return out;
}

// ------------------------------------------------------------ the helpers

AnalysisFft& analysisFftFor(int32_t n) {
    // Destroyed at thread exit; each plan's destructor takes the planner mutex.
    thread_local std::map<int32_t, std::unique_ptr<AnalysisFft>> cache;
    auto it = cache.find(n);
    if (it != cache.end()) return *it->second;
    auto made = std::make_unique<AnalysisFft>(n);
    return *cache.emplace(n, std::move(made)).first->second;
}

std::vector<double> powerSpectrum(std::span<const double> samples, int32_t n) {
    const std::vector<std::complex<double>> bins = analysisFftFor(n).forward(samples);
    std::vector<double> out(bins.size());
    for (size_t k = 0; k < bins.size(); ++k) {
        const double m = std::hypot(bins[k].real(), bins[k].imag());
        out[k] = m * m;
    }
    return out;
}

std::vector<double> fftAutocorrelation(std::span<const double> samples, int32_t n) {
    const std::vector<double> power = powerSpectrum(samples, n);
    std::vector<std::complex<double>> bins(power.size());
    for (size_t k = 0; k < power.size(); ++k) bins[k] = {power[k], 0.0};
    return analysisFftFor(n).backward(bins);
}

} // namespace vt6::fmt
