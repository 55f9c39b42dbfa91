#include "bitstream.h"

#include <array>
#include <cstring>

#ifdef VESPADORA_X86_64
#include <immintrin.h>
#endif

const RecursosCpu& recursosCpu() {
    static const RecursosCpu recursos = [] {
        RecursosCpu r{};
#ifdef VESPADORA_X86_64
        __builtin_cpu_init();
        r.avx512bw = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
        r.avx512vbmi = r.avx512bw && __builtin_cpu_supports("avx512vbmi");
        r.bmi2 = __builtin_cpu_supports("bmi2");
#endif
        return r;
    }();
    return recursos;
}

void* alocaMemoria(size_t bytes) {
    void* p = malloc(bytes == 0 ? 1 : bytes);
    if (!p) throw std::bad_alloc();
    return p;
}

void* alocaZerada(size_t count, size_t size) {
    void* p = calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
    if (!p) throw std::bad_alloc();
    return p;
}

void bsClean(BitStream* bs) {
    memset(bs->data, 0, sizeof bs->data);
    bs->bits = 0;
}

int bsFull(const BitStream* bs) { return bs->bits == BISTREAM_MAX_BITS; }

void bsPushInPlace(int bit, BitStream* bs) {
    assert(!bsFull(bs));
    int stream_pos = static_cast<int>(bs->bits / 8);
    assert(stream_pos >= 0 && stream_pos < BISTREAM_MAX_BYTES);
    const uint8_t mask = static_cast<uint8_t>(1u << (7 - bs->bits % 8));
    if (bit)
        bs->data[stream_pos] |= mask;
    else
        bs->data[stream_pos] &= static_cast<uint8_t>(~mask);
    bs->bits++;
}

BitStream bsPush(int bit, BitStream bs) {
    bsPushInPlace(bit, &bs);
    return bs;
}

int bsAt(int position, const BitStream* bs) {
    const uint32_t pos = static_cast<uint32_t>(position);  // compared unsigned
    assert(pos < bs->bits);
    return (bs->data[pos / 8] >> (7 - pos % 8)) & 1;
}

EncodedOutput* criaEncodedOutput(FILE* file) {
    auto* out = static_cast<EncodedOutput*>(alocaMemoria(sizeof(EncodedOutput)));
    out->file = file;
    bsClean(&out->buffer);
    out->bytesWritten = 0;
    return out;
}

size_t flushBSOBuffer(EncodedOutput* out) {
    while (out->buffer.bits % 8 != 0) bsPushInPlace(0, &out->buffer);
    size_t written = 0;
    if (out->buffer.bits > 0) written = fwrite(out->buffer.data, 1, out->buffer.bits / 8, out->file);
    out->bytesWritten += written;
    bsClean(&out->buffer);
    return written;
}

uint64_t destroiEncodedOutput(EncodedOutput* out) {
    if (!out) return 0;
    flushBSOBuffer(out);
    const uint64_t total = out->bytesWritten;
    free(out);
    return total;
}

void encodedOutputPushBit(EncodedOutput* out, int bit) {
    if (bsFull(&out->buffer)) flushBSOBuffer(out);
    bsPushInPlace(bit, &out->buffer);
}

void encodedOutputWrite(EncodedOutput* out, const BitStream* code) {
    for (uint32_t j = 0; j < code->bits; j++) encodedOutputPushBit(out, bsAt(static_cast<int>(j), code));
}

void encodedOutputRawWrite(EncodedOutput* out, uint8_t byte) {
    unsigned mask = 0x80;
    for (int i = 0; i < 8; i++) {
        if (i > 0) assert(mask);
        encodedOutputPushBit(out, (byte & mask) != 0);
        mask >>= 1;
    }
}

EncodedInput* criaEncodedInput(FILE* file) {
    auto* bsi = static_cast<EncodedInput*>(alocaMemoria(sizeof(EncodedInput)));
    bsi->file = file;
    bsClean(&bsi->buffer);
    bsi->pos = 0;
    bsi->exhausted = 0;
    return bsi;
}

void destroiEncodedInput(EncodedInput* bsi) { free(bsi); }

int bsiPop(EncodedInput* bsi) {
    if (static_cast<uint32_t>(bsi->pos) < bsi->buffer.bits) {
        const int bit = bsAt(bsi->pos, &bsi->buffer);
        bsi->pos++;
        return bit;
    }
    if (bsi->exhausted) return 0;
    const size_t got = fread(bsi->buffer.data, 1, BISTREAM_MAX_BYTES, bsi->file);
    bsi->buffer.bits = static_cast<uint32_t>(8 * got);
    // The refill must deliver at least one byte (bsi->buffer.bits > 0); the
    // end of a truncated file gets here, so it is reported, not asserted.
    if (bsi->buffer.bits == 0) {
        bsi->exhausted = 1;
        bsi->pos = 0;
        return 0;
    }
    bsi->pos = 1;
    return bsAt(0, &bsi->buffer);
}

uint8_t bsiPopByte(EncodedInput* bsi) {
    unsigned byte = 0;
    for (int i = 0; i < 8; i++) byte = (byte << 1) | static_cast<unsigned>(bsiPop(bsi));
    return static_cast<uint8_t>(byte);
}

void bwAssume(BitWriter* w, EncodedOutput* out, uint8_t* p) {
    w->p = p;
    w->acc = bsPalavra(&out->buffer);
    w->n = out->buffer.bits;
    bsClean(&out->buffer);
    if (w->n == 64) {  // a full buffer still waiting for its lazy flush
        guardaBE64(w->p, w->acc);
        w->p += 8;
        w->acc = 0;
        w->n = 0;
    }
    bwFlush(w);
}

uint64_t bsiRestante(EncodedInput* bsi, uint32_t* n) {
    const uint32_t pos = static_cast<uint32_t>(bsi->pos);
    const uint32_t bits = bsi->buffer.bits > pos ? bsi->buffer.bits - pos : 0;
    const uint64_t palavra = bits == 0 ? 0 : bsPalavra(&bsi->buffer) << pos;
    bsClean(&bsi->buffer);
    bsi->pos = 0;
    *n = bits;
    return palavra;
}

namespace {

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
// the lane before it pushes out. Returns the bytes done, a multiple of 64;
// the rest is left to the portable loop.
__attribute__((target("avx512f,avx512bw"))) size_t deslocaBytesAvx512(const uint8_t* de, uint8_t* para, size_t size,
                                                                      uint32_t k, uint64_t* resto) {
    if (size < 64) return 0;
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
        const __m512i atual = _mm512_shuffle_epi8(_mm512_loadu_si512(de + j), inverte);
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

// The vector loop for whole groups of 64 bytes, the portable one for the rest.
__attribute__((target("avx512f,avx512bw"))) void deslocaBytesAvx512Bw(const uint8_t* de, uint8_t* para, size_t size,
                                                                      uint32_t k, uint64_t* resto) {
    const size_t feitos = deslocaBytesAvx512(de, para, size, k, resto);
    deslocaBytesPortavel(de + feitos, para + feitos, size - feitos, k, resto);
}
#endif

}  // namespace

std::vector<Variante<DeslocaBytesFn>> variantesDeslocaBytes() {
    std::vector<Variante<DeslocaBytesFn>> v{{"portable", deslocaBytesPortavel}};
#ifdef VESPADORA_X86_64
    if (recursosCpu().avx512bw) v.push_back({"avx512bw", deslocaBytesAvx512Bw});
#endif
    return v;
}

void deslocaBytes(const uint8_t* de, uint8_t* para, size_t size, uint32_t k, uint64_t* resto) {
    assert(k >= 1 && k <= 7);
#ifdef VESPADORA_X86_64
    if (recursosCpu().avx512bw) return deslocaBytesAvx512Bw(de, para, size, k, resto);
#endif
    deslocaBytesPortavel(de, para, size, k, resto);
}
