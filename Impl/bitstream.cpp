#include "bitstream.h"

#include <cstring>

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

size_t bsiRestante(EncodedInput* bsi, uint8_t* destino, uint32_t* pulados) {
    const uint32_t pos = static_cast<uint32_t>(bsi->pos);
    size_t bytes = 0;
    *pulados = 0;
    if (bsi->buffer.bits > pos) {
        bytes = bsi->buffer.bits / 8 - pos / 8;
        memcpy(destino, bsi->buffer.data + pos / 8, bytes);
        *pulados = pos % 8;
    }
    bsClean(&bsi->buffer);
    bsi->pos = 0;
    return bytes;
}
