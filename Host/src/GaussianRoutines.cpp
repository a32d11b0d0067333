// The host's Gaussian routines: the weights for a sigma, the kernel table of
// 8-bit line convolutions, the line convolutions at every depth, and the
// difference with an offset that High Pass shows.
//
// A line convolution gathers its source samples (n - 1 beyond each end
// included) into a contiguous float buffer whatever their step, so rows and
// columns run the same vector loop. The buffer is padded to whole blocks of
// that loop, so every output sample is the same sequence of single-precision
// multiplies and adds, in tap order, each rounded on its own (the loop's
// target compiles the host without fused multiply-adds). A sample's result
// therefore does not depend on how its line was cut into tiles or bands, nor
// on the processor.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "BlockedConvolution.h"
#include "ByteSpans.h"
#include "pictra/Image.h"
#include "pictra/PixelRoutines.h"

namespace pictra {
namespace {

constexpr int32_t kMaxGaussianTaps = 512;

// ---------------------------------------------------------------------------
// Built kernels, named by the 32-bit id a KernelTable carries: tables live
// in parameter blocks, whose 4-byte slot cannot hold a pointer. An id means
// something only until its table is released, in the process that built it.

using Kernel = std::vector<float>;

class KernelRegistry {
public:
    int32_t add(std::shared_ptr<const Kernel> kernel)
    {
        std::lock_guard lock(mutex_);
        do
            next_ = next_ == INT32_MAX ? 1 : next_ + 1;
        while (kernels_.count(next_) != 0);
        kernels_.emplace(next_, std::move(kernel));
        return next_;
    }

    // A line routine runs once per row and column, from every worker at
    // once: each thread keeps the last kernel it found, valid until any
    // table is released, so the common case touches no shared lock or count.
    const Kernel* find(int32_t id)
    {
        thread_local struct {
            int32_t id = 0;
            uint64_t releases = 0;
            std::shared_ptr<const Kernel> kernel;
        } last;
        const uint64_t releases = releases_.load(std::memory_order_acquire);
        if (last.id != id || last.releases != releases) {
            std::lock_guard lock(mutex_);
            const auto it = kernels_.find(id);
            last.kernel = it == kernels_.end() ? nullptr : it->second;
            last.id = id;
            last.releases = releases_.load(std::memory_order_relaxed);
        }
        return last.kernel.get();
    }

    void remove(int32_t id)
    {
        std::lock_guard lock(mutex_);
        kernels_.erase(id);
        releases_.fetch_add(1, std::memory_order_release);
    }

private:
    std::mutex mutex_;
    std::atomic<uint64_t> releases_{0};
    std::unordered_map<int32_t, std::shared_ptr<const Kernel>> kernels_;
    int32_t next_ = 0;
};

KernelRegistry& Kernels()
{
    static KernelRegistry registry;
    return registry;
}

// The full kernel of 2n - 1 taps, mirrored from the one-sided weights.
void MirrorWeights(const double* weights, int32_t n, Kernel& kernel)
{
    kernel.resize(size_t(2 * n - 1));
    for (int32_t k = 0; k < 2 * n - 1; ++k)
        kernel[size_t(k)] = float(weights[std::abs(k - (n - 1))]);
}

// Per-thread buffers of the line routines, reused from line to line.
struct LineBuffers {
    std::vector<float> line;
    std::vector<float> out;
    Kernel kernel;
};

LineBuffers& ThreadBuffers()
{
    thread_local LineBuffers buffers;
    return buffers;
}

// Sample encodings of a line: 8-bit, 16-bit most significant byte first, and native floats.
enum class Encoding { k8, k16, kFloat };

template <Encoding encoding>
constexpr int32_t kBytesOf = encoding == Encoding::k8    ? 1
                             : encoding == Encoding::k16 ? 2
                                                         : 4;

template <Encoding encoding>
[[gnu::always_inline]] inline float LoadSample(const uint8_t* at)
{
    if constexpr (encoding == Encoding::k8) {
        return float(*at);
    } else if constexpr (encoding == Encoding::k16) {
        uint16_t stored;
        std::memcpy(&stored, at, sizeof stored);
        return float(std::endian::native == std::endian::big ? stored : __builtin_bswap16(stored));
    } else {
        float value;
        std::memcpy(&value, at, sizeof value);
        return value;
    }
}

// Rounded half up and clamped for the integer encodings (the clamp first, so
// truncation rounds); floats as they are.
template <Encoding encoding>
[[gnu::always_inline]] inline void StoreSample(float value, uint8_t* at)
{
    if constexpr (encoding == Encoding::k8) {
        *at = uint8_t(std::clamp(value + 0.5f, 0.0f, 255.0f));
    } else if constexpr (encoding == Encoding::k16) {
        const auto sample = uint16_t(std::clamp(value + 0.5f, 0.0f, 65535.0f));
        const uint16_t stored = std::endian::native == std::endian::big ? sample : __builtin_bswap16(sample);
        std::memcpy(at, &stored, sizeof stored);
    } else {
        std::memcpy(at, &value, sizeof value);
    }
}

// Samples `step` bytes apart; rows (samples side by side) get a loop of their
// own, which the compiler vectorises.
template <Encoding encoding>
[[gnu::always_inline]] inline void Gather(const uint8_t* first, int32_t step, int32_t count, float* line)
{
    if (step == kBytesOf<encoding>) {
        for (int32_t i = 0; i < count; ++i)
            line[i] = LoadSample<encoding>(first + ptrdiff_t(i) * kBytesOf<encoding>);
    } else {
        for (int32_t i = 0; i < count; ++i)
            line[i] = LoadSample<encoding>(first + ptrdiff_t(i) * step);
    }
}

template <Encoding encoding>
[[gnu::always_inline]] inline void Scatter(const float* out, int32_t count, uint8_t* destination, int32_t step)
{
    if (step == kBytesOf<encoding>) {
        for (int32_t i = 0; i < count; ++i)
            StoreSample<encoding>(out[i], destination + ptrdiff_t(i) * kBytesOf<encoding>);
    } else {
        for (int32_t i = 0; i < count; ++i)
            StoreSample<encoding>(out[i], destination + ptrdiff_t(i) * step);
    }
}

template <Encoding encoding>
[[gnu::always_inline]] inline void ConvolveLine(int32_t count, const uint8_t* source, int32_t sourceStep,
                                                uint8_t* destination, int32_t destinationStep, const float* kernel,
                                                int32_t n, LineBuffers& buffers)
{
    const int32_t taps = 2 * n - 1;
    const int32_t outputs = (count + kConvolutionBlock - 1) / kConvolutionBlock * kConvolutionBlock;
    const int32_t samples = count + taps - 1;
    buffers.line.resize(std::max(buffers.line.size(), size_t(outputs + taps - 1)));
    buffers.out.resize(std::max(buffers.out.size(), size_t(outputs)));
    float* line = buffers.line.data();
    Gather<encoding>(source - ptrdiff_t(n - 1) * sourceStep, sourceStep, samples, line);
    std::fill(line + samples, line + outputs + taps - 1, 0.0f);
    ConvolveBlocks(line, kernel, taps, buffers.out.data(), outputs);
    Scatter<encoding>(buffers.out.data(), count, destination, destinationStep);
}

using LineConvolution = void (*)(int32_t, const uint8_t*, int32_t, uint8_t*, int32_t, const float*, int32_t,
                                 LineBuffers&);

template <Encoding encoding>
[[gnu::target("avx2")]] void ConvolveLineAvx2(int32_t count, const uint8_t* source, int32_t sourceStep,
                                              uint8_t* destination, int32_t destinationStep, const float* kernel,
                                              int32_t n, LineBuffers& buffers)
{
    ConvolveLine<encoding>(count, source, sourceStep, destination, destinationStep, kernel, n, buffers);
}

template <Encoding encoding>
void ConvolveLineBaseline(int32_t count, const uint8_t* source, int32_t sourceStep, uint8_t* destination,
                          int32_t destinationStep, const float* kernel, int32_t n, LineBuffers& buffers)
{
    ConvolveLine<encoding>(count, source, sourceStep, destination, destinationStep, kernel, n, buffers);
}

// The line convolution for the processor, chosen once per encoding.
template <Encoding encoding>
void Convolve(int32_t count, const uint8_t* source, int32_t sourceStep, uint8_t* destination, int32_t destinationStep,
              const float* kernel, int32_t n, LineBuffers& buffers)
{
    static const LineConvolution convolve = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") ? LineConvolution(ConvolveLineAvx2<encoding>)
                                              : LineConvolution(ConvolveLineBaseline<encoding>);
    }();
    assert(count >= 0 && n >= 1);
    if (count > 0) {
        // The source with its n - 1 samples beyond each end, and the destination.
        assert(!Overlap(
            SpanOfRows(source - ptrdiff_t(n - 1) * sourceStep, count + 2 * (n - 1), sourceStep, kBytesOf<encoding>),
            SpanOfRows(destination, count, destinationStep, kBytesOf<encoding>)));
        convolve(count, source, sourceStep, destination, destinationStep, kernel, n, buffers);
    }
}

// The 8-bit difference with an offset, its sums in `Sum`.
template <class Sum>
[[gnu::always_inline]] inline void DifferenceRows(int32_t rows, int32_t columns, const uint8_t* unfiltered,
                                                  int32_t unfilteredRowBytes, const uint8_t* blurred,
                                                  int32_t blurredRowBytes, uint8_t* destination,
                                                  int32_t destinationRowBytes, int32_t gain, int32_t offset)
{
    const auto g = Sum(gain), o = Sum(offset);
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* u = unfiltered + ptrdiff_t(y) * unfilteredRowBytes;
        const uint8_t* b = blurred + ptrdiff_t(y) * blurredRowBytes;
        uint8_t* out = destination + ptrdiff_t(y) * destinationRowBytes;
        for (int32_t x = 0; x < columns; ++x)
            out[x] = uint8_t(std::clamp(Sum(Sum(Sum(u[x] - b[x]) * g) + o), Sum(0), Sum(255)));
    }
}

using Difference8 = void (*)(int32_t, int32_t, const uint8_t*, int32_t, const uint8_t*, int32_t, uint8_t*, int32_t,
                             int32_t, int32_t);

template <class Sum>
void DifferenceBaseline(int32_t rows, int32_t columns, const uint8_t* unfiltered, int32_t unfilteredRowBytes,
                        const uint8_t* blurred, int32_t blurredRowBytes, uint8_t* destination,
                        int32_t destinationRowBytes, int32_t gain, int32_t offset)
{
    DifferenceRows<Sum>(rows, columns, unfiltered, unfilteredRowBytes, blurred, blurredRowBytes, destination,
                        destinationRowBytes, gain, offset);
}

[[gnu::target("avx2")]] void DifferenceAvx2(int32_t rows, int32_t columns, const uint8_t* unfiltered,
                                            int32_t unfilteredRowBytes, const uint8_t* blurred, int32_t blurredRowBytes,
                                            uint8_t* destination, int32_t destinationRowBytes, int32_t gain,
                                            int32_t offset)
{
    DifferenceRows<int16_t>(rows, columns, unfiltered, unfilteredRowBytes, blurred, blurredRowBytes, destination,
                            destinationRowBytes, gain, offset);
}

// The difference's destination is the blurred block itself or apart from
// both inputs: a partial overlap would read samples already written.
[[maybe_unused]] bool DestinationAllowed(int32_t rows, int32_t columns, int32_t bytes, const uint8_t* unfiltered,
                                         int32_t unfilteredRowBytes, const uint8_t* blurred, int32_t blurredRowBytes,
                                         const uint8_t* destination, int32_t destinationRowBytes)
{
    const ByteSpan written = SpanOfRows(destination, rows, destinationRowBytes, columns * bytes);
    const bool inPlace = destination == blurred && destinationRowBytes == blurredRowBytes;
    return !Overlap(written, SpanOfRows(unfiltered, rows, unfilteredRowBytes, columns * bytes)) &&
           (inPlace || !Overlap(written, SpanOfRows(blurred, rows, blurredRowBytes, columns * bytes)));
}

[[noreturn]] void BadDepth(const char* routine, int32_t bitsPerSample)
{
    throw std::invalid_argument(std::string(routine) + ": bits per sample must be 16 or 32, not " +
                                std::to_string(bitsPerSample));
}

}  // namespace

void GaussianWeights(double sigma, double* weights, int32_t* n)
{
    if (!(sigma > 0)) {
        weights[0] = 1;
        *n = 1;
        return;
    }
    const int32_t taps = int32_t(std::min(std::floor(3 * sigma), double(kMaxGaussianTaps - 1))) + 1;
    const double scale = -1 / (2 * sigma * sigma);
    double sum = 0;
    for (int32_t i = 0; i < taps; ++i) {
        weights[i] = std::exp(double(i) * i * scale);
        sum += i == 0 ? weights[i] : 2 * weights[i];
    }
    for (int32_t i = 0; i < taps; ++i)
        weights[i] /= sum;
    *n = taps;
}

int16_t BuildKernelTable(const double* weights, int32_t n, KernelTable* table)
{
    if (!weights || !table || n < 1 || n > kMaxGaussianTaps)
        return kParamErr;
    std::shared_ptr<Kernel> kernel;
    try {
        kernel = std::make_shared<Kernel>();
        MirrorWeights(weights, n, *kernel);
    } catch (const std::bad_alloc&) {
        return kMemFullErr;
    }
    std::memset(table, 0, sizeof *table);
    table->taps = n;
    table->lookup = Kernels().add(std::move(kernel));
    return kNoErr;
}

void ReleaseKernelTable(KernelTable* table)
{
    if (!table || table->lookup == 0)
        return;
    Kernels().remove(table->lookup);
    table->lookup = 0;
    table->taps = 0;
}

void ConvolveLine8(int32_t count, const uint8_t* source, int32_t sourceStep, uint8_t* destination,
                   int32_t destinationStep, const double*, const KernelTable* table, int32_t n)
{
    const Kernel* kernel = table && table->taps == n ? Kernels().find(table->lookup) : nullptr;
    if (!kernel)
        throw std::invalid_argument("ConvolveLine8: the kernel table was not built for these weights");
    Convolve<Encoding::k8>(count, source, sourceStep, destination, destinationStep, kernel->data(), n, ThreadBuffers());
}

void ConvolveLineDeep(int32_t count, const uint8_t* source, int32_t sourceStep, uint8_t* destination,
                      int32_t destinationStep, int32_t bitsPerSample, const double* weights, int32_t n)
{
    assert(n >= 1 && n <= kMaxGaussianTaps);
    LineBuffers& buffers = ThreadBuffers();
    MirrorWeights(weights, n, buffers.kernel);
    switch (bitsPerSample) {
    case 16:
        Convolve<Encoding::k16>(count, source, sourceStep, destination, destinationStep, buffers.kernel.data(), n,
                                buffers);
        break;
    case 32:
        Convolve<Encoding::kFloat>(count, source, sourceStep, destination, destinationStep, buffers.kernel.data(), n,
                                   buffers);
        break;
    default: BadDepth("ConvolveLineDeep", bitsPerSample);
    }
}

void DifferenceOffset8(int32_t rows, int32_t columns, const uint8_t* unfiltered, int32_t unfilteredRowBytes,
                       const uint8_t* blurred, int32_t blurredRowBytes, uint8_t* destination,
                       int32_t destinationRowBytes, int32_t gain, int32_t offset)
{
    // Differences lie in -255..255: with a gain and offset small enough the
    // whole sum fits 16 bits, which doubles the samples a vector holds.
    static const Difference8 narrow = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") ? Difference8(DifferenceAvx2) : Difference8(DifferenceBaseline<int16_t>);
    }();
    const int64_t largest = 255 * std::abs(int64_t(gain)) + std::abs(int64_t(offset));
    const Difference8 difference = largest <= INT16_MAX ? narrow : Difference8(DifferenceBaseline<int32_t>);
    assert(DestinationAllowed(rows, columns, 1, unfiltered, unfilteredRowBytes, blurred, blurredRowBytes, destination,
                              destinationRowBytes));
    difference(rows, columns, unfiltered, unfilteredRowBytes, blurred, blurredRowBytes, destination,
               destinationRowBytes, gain, offset);
}

void DifferenceOffsetDeep(int32_t rows, int32_t columns, const uint8_t* unfiltered, int32_t unfilteredRowBytes,
                          const uint8_t* blurred, int32_t blurredRowBytes, uint8_t* destination,
                          int32_t destinationRowBytes, int32_t bitsPerSample, double gain, double offset)
{
    if (bitsPerSample != 16 && bitsPerSample != 32)
        BadDepth("DifferenceOffsetDeep", bitsPerSample);
    const int32_t bytes = bitsPerSample / 8;
    assert(DestinationAllowed(rows, columns, bytes, unfiltered, unfilteredRowBytes, blurred, blurredRowBytes,
                              destination, destinationRowBytes));
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* u = unfiltered + ptrdiff_t(y) * unfilteredRowBytes;
        const uint8_t* b = blurred + ptrdiff_t(y) * blurredRowBytes;
        uint8_t* out = destination + ptrdiff_t(y) * destinationRowBytes;
        for (int32_t x = 0; x < columns; ++x) {
            const ptrdiff_t at = ptrdiff_t(x) * bytes;
            if (bitsPerSample == 16) {
                const double value = (LoadSample16(u + at) - LoadSample16(b + at)) * gain + offset * 257;
                StoreSample16(out + at, uint16_t(std::clamp(std::floor(value + 0.5), 0.0, 65535.0)));
            } else {
                const float value =
                    float((LoadSample<Encoding::kFloat>(u + at) - LoadSample<Encoding::kFloat>(b + at)) * gain +
                          offset / 255);
                std::memcpy(out + at, &value, sizeof value);
            }
        }
    }
}

}  // namespace pictra
