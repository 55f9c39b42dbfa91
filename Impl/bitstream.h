// Bit buffers and the bit-level writer and reader over a file.
//
// Bit order everywhere: most significant bit first. Bit i of a BitStream
// lives in data[i / 8] at bit position 7 - i % 8, and the file writer and
// reader keep that order byte after byte, so a stream of bits is the same
// sequence whether it sits in a BitStream, in a word or in the file.
#pragma once

#ifdef NDEBUG
#error "vespadora keeps its contract checks in every build: do not define NDEBUG"
#endif

#include <bit>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// Allocation that never returns null: a failed allocation throws
// std::bad_alloc, which main turns into a message and exit status 1 after the
// drivers' guards have closed their files and removed any partial output.
void* alocaMemoria(size_t bytes);
void* alocaZerada(size_t count, size_t size);

constexpr int BISTREAM_MAX_BYTES = 8;
constexpr uint32_t BISTREAM_MAX_BITS = 8 * BISTREAM_MAX_BYTES;

// Up to 64 bits, first bit in the most significant bit of data[0]. Bits at
// positions `bits` and above have no meaning: appending writes the new bit's
// value explicitly, so a stream needs no zeroing between uses.
struct BitStream {
    uint8_t data[BISTREAM_MAX_BYTES];
    uint32_t bits;
};

void bsClean(BitStream* bs);
int bsFull(const BitStream* bs);
void bsPushInPlace(int bit, BitStream* bs);
BitStream bsPush(int bit, BitStream bs);
int bsAt(int pos, const BitStream* bs);

// Bit writer over a borrowed FILE. The 64-bit buffer is flushed lazily: a
// full buffer stays in memory until the next bit arrives or the writer is
// destroyed, so the file receives whole 8-byte blocks and only the final
// flush writes a shorter block, padded with zero bits.
struct EncodedOutput {
    FILE* file;
    BitStream buffer;
    uint64_t bytesWritten;  // what this writer's own flushes wrote
};

EncodedOutput* criaEncodedOutput(FILE* file);
size_t flushBSOBuffer(EncodedOutput* out);
uint64_t destroiEncodedOutput(EncodedOutput* out);
void encodedOutputPushBit(EncodedOutput* out, int bit);
void encodedOutputWrite(EncodedOutput* out, const BitStream* code);
void encodedOutputRawWrite(EncodedOutput* out, uint8_t byte);

// Bit reader over a borrowed FILE, refilled in blocks of up to 8 bytes.
// `buffer.bits` is 8 times the bytes the last refill delivered and `pos` the
// next unread bit in it. A bit asked for after the end of the file (or after
// a read error) comes back as 0 and sets `exhausted`, which stays set: every
// caller checks it before trusting what it read.
struct EncodedInput {
    FILE* file;
    BitStream buffer;
    int32_t pos;
    int exhausted;
};

EncodedInput* criaEncodedInput(FILE* file);
void destroiEncodedInput(EncodedInput* bsi);
int bsiPop(EncodedInput* bsi);
uint8_t bsiPopByte(EncodedInput* bsi);

// ---------------------------------------------------------------------------
// Word-at-a-time bit I/O over memory, in the same bit order as BitStream: a
// 64-bit word holds bits most significant first, so it is loaded from and
// stored to memory big-endian.

inline uint64_t carregaBE64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return std::endian::native == std::endian::little ? __builtin_bswap64(v) : v;
}

inline void guardaBE64(uint8_t* p, uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    memcpy(p, &v, sizeof v);
}

// The bits of a BitStream as one word, first bit at the top; the bits past
// `bits` are zero.
inline uint64_t bsPalavra(const BitStream* bs) {
    return bs->bits == 0 ? 0 : carregaBE64(bs->data) & (~uint64_t{0} << (BISTREAM_MAX_BITS - bs->bits));
}

// The budget of a 64-bit word, for every writer and reader below. A flush or
// a refill moves whole bytes, so it leaves up to BYTE_PARCIAL_BITS bits of a
// byte not yet whole in the word. A word holds at most RETIDOS_MAX_BITS: a
// writer shifts each code right by the bits it holds, a count that must stay
// below 64, and the decoder's cursors keep the lowest bit for a sentinel.
// What is left, CONSUMIVEIS_BITS, may be put after a flush or taken after a
// refill with no check in between.
constexpr uint32_t PALAVRA_BITS = 64;
constexpr uint32_t BYTE_PARCIAL_BITS = 7;
constexpr uint32_t RETIDOS_MAX_BITS = PALAVRA_BITS - 1;
constexpr uint32_t CONSUMIVEIS_BITS = RETIDOS_MAX_BITS - BYTE_PARCIAL_BITS;

// Whether `bits` may be put after one flush, or taken after one refill.
constexpr bool podeConsumir(uint32_t bits) { return bits <= CONSUMIVEIS_BITS; }

// Writer of whole words into a memory buffer. The `n` pending bits (0 to
// RETIDOS_MAX_BITS) sit at the top of `acc` and every bit below them is 0. A
// flush stores all 8 bytes of `acc` at `p` but advances `p` only past the
// whole bytes, so the buffer needs 8 bytes of room past the last byte
// written. Every function that takes a BitWriter expects it flushed and
// leaves it flushed.
struct BitWriter {
    uint64_t acc;
    uint32_t n;
    uint8_t* p;
};

// Appends `len` bits given at the top of `bits` (the bits below them 0);
// n + len must stay within RETIDOS_MAX_BITS.
inline void bwPut(BitWriter* w, uint64_t bits, uint32_t len) {
    w->acc |= bits >> w->n;
    w->n += len;
}

// The flush on a writer's three parts, for loops that keep them in locals.
inline void bwFlushPartes(uint64_t& acc, uint32_t& n, uint8_t*& p) {
    guardaBE64(p, acc);
    const uint32_t whole = n & ~7u;
    p += whole / 8;
    acc <<= whole;
    n -= whole;
}

inline void bwFlush(BitWriter* w) { bwFlushPartes(w->acc, w->n, w->p); }

// Appends a code of any length up to 64 bits, flushing as it needs to.
inline void bwPutLong(BitWriter* w, uint64_t bits, uint32_t len) {
    if (len > 32) {
        bwPut(w, bits & ~(~uint64_t{0} >> 32), 32);
        bwFlush(w);
        bits <<= 32;
        len -= 32;
    }
    bwPut(w, bits, len);
    bwFlush(w);
}

// Moves the bits pending in an EncodedOutput into a word writer that goes on
// where it stopped, writing at `p` (16 bytes of room). The EncodedOutput is
// left empty, so destroying it writes nothing more; the writer is left
// flushed, with at most BYTE_PARCIAL_BITS pending bits.
void bwAssume(BitWriter* w, EncodedOutput* out, uint8_t* p);

// Copies the bytes of an EncodedInput's buffer that still hold unread bits to
// `destino` (at most BISTREAM_MAX_BYTES) and returns how many; the first
// unread bit is bit `*pulados` of destino[0], counted from the top. The
// reader is left empty, at the file position where its last refill stopped,
// so those bytes and the rest of the file are the rest of the stream.
size_t bsiRestante(EncodedInput* bsi, uint8_t* destino, uint32_t* pulados);

// Reader of whole words from a memory buffer, the twin of BitWriter: `n`
// bits (0 to 64) at the top of `buf`, the bits below them either zero or the
// stream's next bits, then the bytes [p, fim). `ultimo` says that no byte
// follows `fim`. The bits in `buf` were read from the bytes just before `p`,
// which stay in memory, so that a reader can also go back to a byte address.
struct LeitorBits {
    uint64_t buf;
    uint32_t n;
    const uint8_t* p;
    const uint8_t* fim;
    bool ultimo;
    bool truncado;  // a code needed bits past the end of the stream
};

// A reader standing at bit `posicao` of the bytes from `base` on.
inline LeitorBits lbEm(const uint8_t* base, uint64_t posicao, const uint8_t* fim, bool ultimo) {
    LeitorBits r{};
    const uint32_t dentro = static_cast<uint32_t>(posicao % 8);
    r.p = base + posicao / 8;
    if (dentro > 0) {
        r.buf = static_cast<uint64_t>(*r.p++) << (64 - 8 + dentro);
        r.n = 8 - dentro;
    }
    r.fim = fim;
    r.ultimo = ultimo;
    return r;
}

// Gives the whole bytes held in `buf` back to memory: leaves the bits of
// p[-1] that are still unread, at most BYTE_PARCIAL_BITS, and zeros below
// them.
inline void lbDevolve(LeitorBits* r) {
    r->p -= r->n / 8;
    r->n %= 8;
    r->buf = r->n == 0 ? 0 : r->buf & ~(~uint64_t{0} >> r->n);
}

// A refill adds whole bytes below the bits held while they fit in the word.
// This reader keeps no sentinel, so its word may fill to PALAVRA_BITS: a
// refill leaves one bit more than CONSUMIVEIS_BITS, or every bit up to `fim`.
constexpr uint32_t RECARGA_MIN_BITS = PALAVRA_BITS - BYTE_PARCIAL_BITS;

// The checked refill, a byte at a time and never past `fim`: the bits past
// the end of the stream stay zero.
inline void lbRecarregaBytes(uint64_t& buf, uint32_t& n, const uint8_t*& p, const uint8_t* fim) {
    while (n < RECARGA_MIN_BITS && p < fim) {
        buf |= static_cast<uint64_t>(*p++) << (64 - 8 - n);
        n += 8;
    }
}
