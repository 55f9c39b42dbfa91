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

#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
