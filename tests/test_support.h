// Small helpers shared by the unit tests, the fuzzers and the benchmarks:
// temporary files, bit strings, the compressor's trees for given byte counts,
// and the reference encoder and tree reader, made of the bit-by-bit functions
// that the fast paths are checked against.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bitstream.h"
#include "heap.h"
#include "vespadora.h"
#include "vespadora_plataforma.h"

// An anonymous temporary file, closed when the object goes away: the
// program's own, since the C library's tmpfile() is unusable on Windows.
struct TempFile {
    FILE* f = criaTemporarioAnonimo();
    TempFile() {
        if (!f) throw std::runtime_error("no temporary file");
    }
    explicit TempFile(const std::vector<uint8_t>& bytes) : TempFile() {
        if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
        rewind(f);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() { fclose(f); }

    // Everything in the file; the file position is left where it was.
    std::vector<uint8_t> bytes() const {
        fflush(f);
        const long pos = ftell(f);
        rewind(f);
        std::vector<uint8_t> all;
        uint8_t bloco[65536];
        for (size_t lidos; (lidos = fread(bloco, 1, sizeof bloco, f)) > 0;) all.insert(all.end(), bloco, bloco + lidos);
        fseek(f, pos, SEEK_SET);
        return all;
    }
};

// "1011..." <-> bits, first bit first.
inline std::string bitString(const BitStream& bs) {
    std::string s;
    for (uint32_t i = 0; i < bs.bits; i++) s += bsAt(static_cast<int>(i), &bs) ? '1' : '0';
    return s;
}

inline std::string byteBits(uint8_t b) {
    std::string s;
    for (int i = 7; i >= 0; i--) s += ((b >> i) & 1) ? '1' : '0';
    return s;
}

inline std::vector<uint8_t> packBits(const std::string& bits) {
    std::vector<uint8_t> out((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); i++)
        if (bits[i] == '1') out[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    return out;
}

// Byte values and their counts, in ascending byte order.
using Contagens = std::vector<std::pair<uint8_t, uint32_t>>;

// a 5, b 2, c 1, d 1, r 2: the tree (a,(b,(r,(c,d)))), codes 0, 10, 110,
// 1110, 1111.
inline const Contagens ABRACADABRA = {{'a', 5}, {'b', 2}, {'c', 1}, {'d', 1}, {'r', 2}};

// Counts 1, 1, 2, 3, 5, ... over 34 byte values, those of `valores` in that
// order (by default 0 to 33): the tree of a 15 MB input, a comb whose two
// deepest codes have 33 bits.
inline Contagens fibonacciCounts(const std::vector<uint8_t>& valores = {}) {
    Contagens counts;
    uint32_t a = 1, b = 1;
    for (int i = 0; i < 34; i++) {
        counts.emplace_back(valores.empty() ? static_cast<uint8_t>(i) : valores[i], a);
        const uint32_t c = a + b;
        a = b;
        b = c;
    }
    std::sort(counts.begin(), counts.end());
    return counts;
}

inline Contagens countsOf(const std::vector<uint8_t>& data) {
    uint32_t freq[256] = {};
    for (uint8_t b : data) freq[b]++;
    Contagens counts;
    for (int b = 0; b < 256; b++)
        if (freq[b]) counts.emplace_back(static_cast<uint8_t>(b), freq[b]);
    return counts;
}

// The compressor's tree for these counts.
inline ArvorePtr arvoreDe(const Contagens& counts) {
    FrequencyTable freq{};
    for (const auto& [simbolo, n] : counts) freq[simbolo] = n;
    return ArvorePtr(constroiArvore(freq));
}

// The reference encoder: the bit-by-bit writer's stream of `dados` by the
// codes of `root`, which is the tree, unless `comArvore` is false, then the
// code of every byte, zero padded to a whole byte (a compressed file without
// its header).
inline std::vector<uint8_t> codificaReferencia(const Arvore* root, const std::vector<uint8_t>& dados,
                                               bool comArvore = true) {
    EncodingTable table{};
    if (!dados.empty()) preencheEncodingTable(&table, root);  // not for a tree whose codes a BitStream cannot hold
    TempFile f;
    EncodedOutput* out = criaEncodedOutput(f.f);
    if (comArvore) encodedOutputWriteTree(out, root);
    for (uint8_t b : dados) encodedOutputWrite(out, &table[b]);
    destroiEncodedOutput(out);
    return f.bytes();
}

// The tree reader: the bit-by-bit reader over a stream like the above, with
// the tree read from its start (null when there is none valid) and `bsi`
// left just past it, at the first code.
struct LeituraReferencia {
    TempFile arquivo;
    EncodedInput* bsi;
    ArvorePtr root;

    explicit LeituraReferencia(const std::vector<uint8_t>& stream)
        : arquivo(stream), bsi(criaEncodedInput(arquivo.f)), root(encodedInputReadTree(bsi)) {}
    LeituraReferencia(const LeituraReferencia&) = delete;
    LeituraReferencia& operator=(const LeituraReferencia&) = delete;
    ~LeituraReferencia() { destroiEncodedInput(bsi); }

    // Bits of the stream taken so far.
    uint64_t bitsLidos() const {
        const uint32_t pos = static_cast<uint32_t>(bsi->pos);
        const uint64_t naoLidos = bsi->buffer.bits > pos ? bsi->buffer.bits - pos : 0;
        return 8 * static_cast<uint64_t>(ftell(arquivo.f)) - naoLidos;
    }

    // Up to `count` symbols, one tree walk each; when the stream runs out
    // (bsi->exhausted), the last one is meaningless.
    std::vector<uint8_t> decodifica(size_t count) {
        std::vector<uint8_t> out;
        for (size_t i = 0; root && i < count && !bsi->exhausted; i++) out.push_back(decodeByte(root.get(), bsi));
        return out;
    }
};

inline ArvorePtr leArvore(const std::vector<uint8_t>& stream) { return std::move(LeituraReferencia(stream).root); }

// The same stream with its tree, set up from there for the word reader as
// the decompressor does.
struct LeituraStream {
    ArvorePtr root;
    LeitorBits leitor{};
};

inline LeituraStream leStream(const std::vector<uint8_t>& stream) {
    LeituraReferencia l(stream);
    const uint8_t* fim = stream.data() + stream.size();
    return {std::move(l.root), lbEm(stream.data(), l.bitsLidos(), fim, true)};
}

inline std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Why death tests cannot run here, or nullptr: qemu-i386 never sees the end of
// a child that aborts after fork, so under it they would hang. The cross
// toolchain files name the emulator in VESPADORA_EMULADOR.
inline const char* semTestesDeMorte() {
    const char* emulador = getenv("VESPADORA_EMULADOR");
    if (emulador && strcmp(emulador, "qemu-i386") == 0) return "qemu-i386 hangs on a child that aborts after fork";
    return nullptr;
}
