// The compressor's fast path, in the order the data flows: counting the
// input, the code table, the codes laid out for words, and the word coders.
#include <cstring>

#include "vespadora_kernels.h"
#include "vespadora_rapido.h"

// ----------------------------------------------------------------- counting

void contaFrequencias(const uint8_t* data, size_t size, FrequencyTable* freq) {
    for (size_t i = 0; i < size; i++) (*freq)[data[i]]++;
}

void contaFrequenciasRapido(const uint8_t* data, size_t size, FrequencyTable* freq) {
    uint32_t conta[4][256] = {};
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t w;
        memcpy(&w, data + i, sizeof w);
        conta[0][w & 0xff]++;
        conta[1][(w >> 8) & 0xff]++;
        conta[2][(w >> 16) & 0xff]++;
        conta[3][(w >> 24) & 0xff]++;
        conta[0][(w >> 32) & 0xff]++;
        conta[1][(w >> 40) & 0xff]++;
        conta[2][(w >> 48) & 0xff]++;
        conta[3][w >> 56]++;
    }
    for (; i < size; i++) conta[0][data[i]]++;
    for (int b = 0; b < 256; b++) (*freq)[b] += conta[0][b] + conta[1][b] + conta[2][b] + conta[3][b];
}

void contaPares(const uint8_t* data, size_t size, ContagemPares* pares, FrequencyTable* freq) {
    uint32_t* const t0 = pares->conta[0].data();
    uint32_t* const t1 = pares->conta[1].data();
    auto par = [&](size_t i) { return static_cast<uint32_t>(data[i]) | static_cast<uint32_t>(data[i + 1]) << 8; };
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        t0[par(i)]++;
        t1[par(i + 2)]++;
        t0[par(i + 4)]++;
        t1[par(i + 6)]++;
    }
    for (; i + 2 <= size; i += 2) t0[par(i)]++;
    if (i < size) (*freq)[data[i]]++;
}

void dobraPares(const ContagemPares& pares, FrequencyTable* freq) {
    for (const auto& tabela : pares.conta) {
        for (uint32_t b = 0; b < 256; b++) {
            uint32_t segundo = 0;  // pairs whose second byte is b
            for (uint32_t a = 0; a < 256; a++) {
                const uint32_t v = tabela[a | b << 8];
                (*freq)[a] += v;
                segundo += v;
            }
            (*freq)[b] += segundo;
        }
    }
}

// ------------------------------------------------------------ code table

void preencheEncodingTable2(EncodingTable* table, const Arvore* huff, BitStream code) {
    if (!huff) return;
    if (huff->esq) {
        assert(huff->dir);
        preencheEncodingTable2(table, huff->esq, bsPush(0, code));
        preencheEncodingTable2(table, huff->dir, bsPush(1, code));
    } else {
        assert(!huff->dir);
        (*table)[huff->simbolo] = code;
    }
}

void preencheEncodingTable(EncodingTable* table, const Arvore* huff) {
    if (!huff) return;
    BitStream code;
    bsClean(&code);
    if (huff->esq) {
        assert(huff->dir);
        preencheEncodingTable2(table, huff->esq, bsPush(0, code));
        preencheEncodingTable2(table, huff->dir, bsPush(1, code));
    } else {
        assert(!huff->dir);
        (*table)[huff->simbolo] = code;
    }
}

// ------------------------------------------------------- codes for words

void preparaCodigosRapidos(CodigosRapidos* codigos, const EncodingTable& table, const Arvore* root) {
    codigos->maxLen = 0;
    codigos->folhaUnica = root && !root->esq ? root->simbolo : -1;
    for (int b = 0; b < 256; b++) {
        const uint32_t len = table[b].bits;
        codigos->bits[b] = bsPalavra(&table[b]);
        codigos->len[b] = static_cast<uint8_t>(len);
        codigos->lenRapido[b] = static_cast<uint8_t>(len == 0 || len > BW_MAX_PUT ? LEN_LENTO : len);
        if (len > codigos->maxLen) codigos->maxLen = len;
    }
    codigos->pares = nullptr;
    codigos->todos8 = true;
    for (int b = 0; b < 256; b++) {
        codigos->todos8 &= codigos->len[b] == 8;
        codigos->codigo8[b] = static_cast<uint8_t>(codigos->bits[b] >> 56);
    }
}

int paresPorFlush(const CodigosRapidos& codigos, const FrequencyTable& freq) {
    // The byte counts by code length; a pair is taken as two bytes drawn
    // independently, which is close enough to choose a loop.
    std::array<double, 256> porLen{};
    double total = 0;
    for (int b = 0; b < 256; b++) {
        porLen[codigos.len[b]] += freq[b];
        total += freq[b];
    }
    for (int porFlush = PARES_POR_FLUSH_MAX; porFlush > PARES_POR_FLUSH_MIN; porFlush--) {
        double longos = 0;
        for (uint32_t la = 1; la < 256; la++)
            for (uint32_t lb = 1; lb < 256; lb++)
                if (la + lb > limitePares(porFlush)) longos += porLen[la] * porLen[lb];
        if (longos * PARES_LONGOS_MAX < total * total) return porFlush;
    }
    return PARES_POR_FLUSH_MIN;
}

void preparaPares(TabelaPares* pares, const CodigosRapidos& codigos, int porFlush) {
    assert(porFlush >= PARES_POR_FLUSH_MIN && porFlush <= PARES_POR_FLUSH_MAX);
    pares->porFlush = porFlush;
    for (uint32_t b = 0; b < 256; b++) {
        for (uint32_t a = 0; a < 256; a++) {
            const uint32_t la = codigos.len[a], lb = codigos.len[b];
            const bool cabe = la > 0 && lb > 0 && la + lb <= limitePares(PARES_POR_FLUSH_MIN);
            pares->entrada[a | b << 8] = cabe ? codigos.bits[a] | codigos.bits[b] >> la : 0;
            pares->len[a | b << 8] = static_cast<uint8_t>(cabe ? la + lb : LEN_LENTO);
        }
    }
}

// ------------------------------------------------------------ word coders

namespace {

// The slow branch of the word coders: the codes of `bytes` through a flushed
// writer, whatever their length, which leaves it flushed. Returns false for
// a byte without a code (it puts nothing for it).
bool codificaSeparados(const CodigosRapidos& codigos, const uint8_t* bytes, size_t quantos, BitWriter* w) {
    bool todos = true;
    bwFlush(w);
    for (size_t k = 0; k < quantos; k++) {
        todos &= codigos.len[bytes[k]] > 0;
        bwPutLong(w, codigos.bits[bytes[k]], codigos.len[bytes[k]]);
    }
    return todos;
}

// Groups of `PorFlush` codes go into the word between two flushes. A code
// of at most `Limite` bits is put directly: after a flush at most 7 bits are
// pending, and 7 + PorFlush * Limite stays below 64. A longer code, or a byte
// without a code (`lenRapido` LEN_LENTO for both), takes the slow branch,
// which leaves the writer flushed again.
template <int PorFlush, uint32_t Limite>
bool codificaPalavras(const CodigosRapidos& codigos, const uint8_t* in, size_t size, BitWriter* w) {
    static_assert(7 + PorFlush * Limite <= 63 && Limite < LEN_LENTO);
    const uint64_t* bits = codigos.bits.data();
    const uint8_t* lenRapido = codigos.lenRapido.data();
    uint64_t acc = w->acc;
    uint32_t n = w->n;
    uint8_t* p = w->p;
    bool semCodigo = false;
    auto codifica = [&](uint8_t b) {
        const uint32_t len = lenRapido[b];
        if (len > Limite) [[unlikely]] {
            *w = BitWriter{acc, n, p};
            if (!codificaSeparados(codigos, &b, 1, w)) semCodigo = true;
            acc = w->acc;
            n = w->n;
            p = w->p;
            return;
        }
        acc |= bits[b] >> n;
        n += len;
    };
    auto flush = [&]() { bwFlushPartes(acc, n, p); };
    size_t i = 0;
    for (; i + PorFlush <= size; i += PorFlush) {
        for (int k = 0; k < PorFlush; k++) codifica(in[i + k]);
        flush();
    }
    for (; i < size; i++) {
        codifica(in[i]);
        flush();
    }
    *w = BitWriter{acc, n, p};
    return !semCodigo;
}

// Two bytes per lookup in the table of pairs, `PorFlush` pairs between two
// flushes: at most 7 + PorFlush * limitePares(PorFlush) bits are pending.
// A longer pair (the table holds them up to limitePares(2) bits) goes in
// between two extra flushes, which leave at most 7 + 28 and then 7 bits
// pending; a pair with a byte without a code, or longer still, goes byte by
// byte through bwPutLong. Either way the writer is flushed again after it.
template <int PorFlush>
[[gnu::always_inline]] inline bool codificaPares(const CodigosRapidos& codigos, const uint8_t* in, size_t size,
                                                 BitWriter* w) {
    constexpr uint32_t Limite = limitePares(PorFlush);
    const uint64_t* pares = codigos.pares->entrada.data();
    const uint8_t* lens = codigos.pares->len.data();
    uint64_t acc = w->acc;
    uint32_t n = w->n;
    uint8_t* p = w->p;
    bool semCodigo = false;
    auto separados = [&](const uint8_t* bytes, size_t quantos) {
        *w = BitWriter{acc, n, p};
        if (!codificaSeparados(codigos, bytes, quantos, w)) semCodigo = true;
        acc = w->acc;
        n = w->n;
        p = w->p;
    };
    auto codifica = [&](const uint8_t* par) {
        const uint32_t indice = par[0] | par[1] << 8;
        const uint32_t len = lens[indice];
        if (len > Limite) [[unlikely]] {
            if (len == LEN_LENTO) {
                separados(par, 2);
                return;
            }
            bwFlushPartes(acc, n, p);
            acc |= pares[indice] >> n;
            n += len;
            bwFlushPartes(acc, n, p);
            return;
        }
        acc |= pares[indice] >> n;
        n += len;
    };
    // The loops run on the input pointer alone, so that a round costs no
    // instructions beyond the pairs and the flush.
    const uint8_t* q = in;
    const uint8_t* const fim = in + size;
    const uint8_t* const fimRodadas = in + (size - size % (2 * PorFlush));
    for (; q != fimRodadas; q += 2 * PorFlush) {
        for (int k = 0; k < PorFlush; k++) codifica(q + 2 * k);
        bwFlushPartes(acc, n, p);
    }
    for (; fim - q >= 2; q += 2) {
        codifica(q);
        bwFlushPartes(acc, n, p);
    }
    if (q < fim) separados(q, 1);
    *w = BitWriter{acc, n, p};
    return !semCodigo;
}

[[gnu::always_inline]] inline bool codificaParesLargura(const CodigosRapidos& codigos, const uint8_t* in, size_t size,
                                                        BitWriter* w) {
    switch (codigos.pares->porFlush) {
        case 4:
            return codificaPares<4>(codigos, in, size, w);
        case 3:
            return codificaPares<3>(codigos, in, size, w);
        default:
            return codificaPares<2>(codigos, in, size, w);
    }
}

}  // namespace

bool codificaParesPortavel(const CodigosRapidos& codigos, const uint8_t* in, size_t size, BitWriter* w) {
    return codificaParesLargura(codigos, in, size, w);
}

#ifdef VESPADORA_X86_64
// The same loops with the BMI2 shifts, which take their count in any register.
__attribute__((target("bmi2"))) bool codificaParesBmi2(const CodigosRapidos& codigos, const uint8_t* in, size_t size,
                                                       BitWriter* w) {
    return codificaParesLargura(codigos, in, size, w);
}
#endif

bool codificaRapido(const CodigosRapidos& codigos, const uint8_t* in, size_t size, BitWriter* w) {
    if (codigos.folhaUnica >= 0) {
        // Codes of 0 bits: nothing to write, but every byte must be the leaf's.
        uint8_t diferente = 0;
        for (size_t i = 0; i < size; i++) diferente |= in[i] ^ static_cast<uint8_t>(codigos.folhaUnica);
        return diferente == 0;
    }
    if (codigos.todos8) {
        // Byte for byte, then shifted behind the bits already pending.
        substituiBytes(codigos.codigo8.data(), in, w->p, size);
        if (w->n > 0) deslocaBytes(w->p, w->p, size, w->n, &w->acc);
        w->p += size;
        return true;
    }
    if (codigos.pares) {
        return codificaPares(codigos, in, size, w);
    }
    if (codigos.maxLen <= 7) return codificaPalavras<8, 7>(codigos, in, size, w);
    if (codigos.maxLen == 8) return codificaPalavras<7, 8>(codigos, in, size, w);
    return codificaPalavras<4, 14>(codigos, in, size, w);
}
