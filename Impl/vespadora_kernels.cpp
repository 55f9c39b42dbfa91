#include "vespadora_kernels.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>

#ifdef VESPADORA_X86_64
#include <immintrin.h>
#endif

// ---------------------------------------------------------- the CPU

#ifdef VESPADORA_X86_64
const RecursosCpu& recursosCpu() {
    // A local static: read at the first call, whichever file's initialiser
    // makes it.
    static const RecursosCpu recursos = [] {
        RecursosCpu r{};
        __builtin_cpu_init();
        r.avx512bw = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
        r.avx512vbmi = r.avx512bw && __builtin_cpu_supports("avx512vbmi");
        r.bmi2 = __builtin_cpu_supports("bmi2");
        return r;
    }();
    return recursos;
}
#endif

namespace {

#ifdef VESPADORA_X86_64
#define VESPADORA_AVX512BW __attribute__((target("avx512f,avx512bw")))
#define VESPADORA_AVX512VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#endif

// ---------------------------------------------------------- byte map

void substituiBytesPortavel(const uint8_t* tabela, const uint8_t* in, uint8_t* out, size_t size) {
    for (size_t i = 0; i < size; i++) out[i] = tabela[in[i]];
}

#ifdef VESPADORA_X86_64
// The vector loops below load 64 bytes at a time from addresses that are
// multiples of 64: a load across two cache lines costs two, which halves
// their speed on this CPU (the drivers' blocks start 16 bytes into a line).
constexpr size_t LINHA = 64;

// Bytes from `p` to the next multiple of LINHA, 0 to LINHA - 1.
inline size_t ateLinha(const uint8_t* p) { return (LINHA - reinterpret_cast<uintptr_t>(p) % LINHA) % LINHA; }

// 64 bytes at once: two 128-entry permutes, one for each half of the table,
// and the top bit of each byte picks between them.
VESPADORA_AVX512VBMI inline __m512i substitui64(const __m512i t[4], __m512i x) {
    const __m512i baixo = _mm512_permutex2var_epi8(t[0], x, t[1]);
    const __m512i alto = _mm512_permutex2var_epi8(t[2], x, t[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), baixo, alto);
}

// Fewer than 64 bytes, through masks.
VESPADORA_AVX512VBMI inline void substituiParte(const __m512i t[4], const uint8_t* in, uint8_t* out, size_t n) {
    const __mmask64 m = n == 0 ? 0 : ~uint64_t{0} >> (64 - n);
    _mm512_mask_storeu_epi8(out, m, substitui64(t, _mm512_maskz_loadu_epi8(m, in)));
}

VESPADORA_AVX512VBMI void substituiBytesVbmi(const uint8_t* tabela, const uint8_t* in, uint8_t* out, size_t size) {
    __m512i t[4];
    for (int k = 0; k < 4; k++) t[k] = _mm512_loadu_si512(tabela + 64 * k);
    size_t i = std::min(size, ateLinha(in));
    substituiParte(t, in, out, i);
    for (; i + LINHA <= size; i += LINHA) _mm512_storeu_si512(out + i, substitui64(t, _mm512_load_si512(in + i)));
    substituiParte(t, in + i, out + i, size - i);
}
#endif

// ---------------------------------------------------------- bit shift of blocks

void deslocaBytesPortavel(const uint8_t* de, uint8_t* para, size_t size, uint32_t k, uint64_t* resto) {
    uint64_t r = *resto;
    size_t j = 0;
    // Each word is read before the same 8 bytes are written, so the shift
    // also works in place.
    for (; j + 8 <= size; j += 8) {
        const uint64_t w = carregaBE64(de + j);
        guardaBE64(para + j, r | w >> k);
        r = w << (64 - k);
    }
    if (j < size) {
        const size_t sobra = size - j;
        uint64_t w = 0;
        for (size_t t = 0; t < sobra; t++) w |= static_cast<uint64_t>(de[j + t]) << (56 - 8 * t);
        const uint64_t v = r | w >> k;
        for (size_t t = 0; t < sobra; t++) para[j + t] = static_cast<uint8_t>(v >> (56 - 8 * t));
        r = w << (8 * sobra - k);
    }
    *resto = r;
}

#ifdef VESPADORA_X86_64
// Byte positions that reverse the 8 bytes of each 64-bit lane.
constexpr std::array<uint8_t, 64> INVERTE_PALAVRAS = [] {
    std::array<uint8_t, 64> t{};
    for (int b = 0; b < 64; b++) t[b] = static_cast<uint8_t>((b & 8) | (7 - (b & 7)));
    return t;
}();

// The same shift 64 bytes at a time: each lane, byte-reversed, is the
// big-endian word of its 8 bytes, shifted right and joined to the bits that
// the lane before it pushes out. `de` is at a multiple of LINHA. Returns the
// bytes done, a multiple of 64; the rest is left to the portable loop.
VESPADORA_AVX512BW size_t deslocaBytesAvx512(const uint8_t* de, uint8_t* para, size_t size, uint32_t k,
                                             uint64_t* resto) {
    if (size < 64) return 0;
    assert(ateLinha(de) == 0);
    // The masked forms with every lane set: the plain ones start from an
    // undefined vector, which GCC 12 reports as possibly uninitialised.
    constexpr __mmask8 TODAS = 0xff;
    const __m512i inverte = _mm512_loadu_si512(INVERTE_PALAVRAS.data());
    const __m128i direita = _mm_cvtsi32_si128(static_cast<int>(k));
    const __m128i esquerda = _mm_cvtsi32_si128(static_cast<int>(64 - k));
    // Only lane 7 of `anterior` is used: the word before the first one.
    __m512i anterior = _mm512_set1_epi64(static_cast<long long>(*resto >> (64 - k)));
    size_t j = 0;
    for (; j + 64 <= size; j += 64) {
        const __m512i atual = _mm512_shuffle_epi8(_mm512_load_si512(de + j), inverte);
        const __m512i antes = _mm512_maskz_alignr_epi64(TODAS, atual, anterior, 7);
        const __m512i v = _mm512_or_si512(_mm512_maskz_srl_epi64(TODAS, atual, direita),
                                          _mm512_maskz_sll_epi64(TODAS, antes, esquerda));
        _mm512_storeu_si512(para + j, _mm512_shuffle_epi8(v, inverte));
        anterior = atual;
    }
    alignas(64) uint64_t ultimas[8];
    _mm512_store_si512(ultimas, anterior);
    *resto = ultimas[7] << (64 - k);
    return j;
}

// The portable loop up to a multiple of LINHA in `de` and for what is left
// at the end, the vector loop for the whole groups of 64 bytes between.
VESPADORA_AVX512BW void deslocaBytesAvx512Bw(const uint8_t* de, uint8_t* para, size_t size, uint32_t k,
                                             uint64_t* resto) {
    const size_t antes = std::min(size, ateLinha(de));
    deslocaBytesPortavel(de, para, antes, k, resto);
    const size_t feitos = antes + deslocaBytesAvx512(de + antes, para + antes, size - antes, k, resto);
    deslocaBytesPortavel(de + feitos, para + feitos, size - feitos, k, resto);
}
#endif

}  // namespace

// ---------------------------------------------------------- the choice

void substituiBytes(const uint8_t* tabela, const uint8_t* in, uint8_t* out, size_t size) {
#if defined(__AVX512VBMI__) && defined(__AVX512BW__)
    substituiBytesVbmi(tabela, in, out, size);
#else
#ifdef VESPADORA_X86_64
    if (recursosCpu().avx512vbmi) return substituiBytesVbmi(tabela, in, out, size);
#endif
    substituiBytesPortavel(tabela, in, out, size);
#endif
}

void deslocaBytes(const uint8_t* de, uint8_t* para, size_t size, uint32_t k, uint64_t* resto) {
    assert(k >= 1 && k <= BYTE_PARCIAL_BITS);
#if defined(__AVX512BW__)
    deslocaBytesAvx512Bw(de, para, size, k, resto);
#else
#ifdef VESPADORA_X86_64
    if (recursosCpu().avx512bw) return deslocaBytesAvx512Bw(de, para, size, k, resto);
#endif
    deslocaBytesPortavel(de, para, size, k, resto);
#endif
}

std::vector<Variante<SubstituiBytesFn>> variantesSubstituiBytes() {
    std::vector<Variante<SubstituiBytesFn>> v{{"portable", substituiBytesPortavel}};
#ifdef VESPADORA_X86_64
    if (recursosCpu().avx512vbmi) v.push_back({"avx512vbmi", substituiBytesVbmi});
#endif
    return v;
}

std::vector<Variante<DeslocaBytesFn>> variantesDeslocaBytes() {
    std::vector<Variante<DeslocaBytesFn>> v{{"portable", deslocaBytesPortavel}};
#ifdef VESPADORA_X86_64
    if (recursosCpu().avx512bw) v.push_back({"avx512bw", deslocaBytesAvx512Bw});
#endif
    return v;
}
