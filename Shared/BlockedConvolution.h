// The blocked vector loop of the float line convolutions, used by the host's
// Gaussian routines and the imaging library's separable convolution.
//
// Every output is the same sequence of single-precision multiplies and adds,
// in tap order, whichever block it falls in. The host compiles its user with
// -ffp-contract=off, so each multiply and add is rounded on its own and a
// result does not depend on the processor; the imaging library's sums are
// exact, so there fused multiply-adds change nothing.
#pragma once

namespace pictra {

using Vector8 = float __attribute__((vector_size(32)));

// Vectors read and written in place at any float's address.
using UnalignedVector8 = float __attribute__((vector_size(32), aligned(4), may_alias));

inline const UnalignedVector8& VectorAt(const float* at) { return *reinterpret_cast<const UnalignedVector8*>(at); }
inline UnalignedVector8& VectorAt(float* at) { return *reinterpret_cast<UnalignedVector8*>(at); }

constexpr int kConvolutionBlock = 64;  // outputs per step: eight vectors of eight, enough independent
                                       // sums to keep both multiply-add pipes of a core busy
constexpr int kVectorsPerBlock = kConvolutionBlock / 8;

// out[x] = sum over k of kernel[k] x line[x + k], for x below `outputs` (a
// multiple of kConvolutionBlock); the sums of a block stay in registers across
// the taps. Always inlined: its callers are compiled for several instruction sets.
[[gnu::always_inline]] inline void ConvolveBlocks(const float* line, const float* kernel, int taps, float* out,
                                                  int outputs)
{
    for (int x = 0; x < outputs; x += kConvolutionBlock) {
        Vector8 partial[kVectorsPerBlock] = {};
        const float* at = line + x;
        for (int k = 0; k < taps; ++k, ++at) {
            const float weight = kernel[k];
            for (int v = 0; v < kVectorsPerBlock; ++v)
                partial[v] += weight * VectorAt(at + 8 * v);
        }
        for (int v = 0; v < kVectorsPerBlock; ++v)
            VectorAt(out + x + 8 * v) = partial[v];
    }
}

}  // namespace pictra
