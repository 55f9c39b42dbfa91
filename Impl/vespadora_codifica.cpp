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
    // A pair is read as one 16-bit word in the machine's byte order: the
    // fold counts both bytes of every entry, so their order does not matter.
    auto par = [&](size_t i) {
        uint16_t v;
        memcpy(&v, data + i, sizeof v);
        return v;
    };
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
    BitStream code;
    bsClean(&code);
    preencheEncodingTable2(table, huff, code);
}

// ------------------------------------------------------- codes for words

void preparaCodigosRapidos(CodigosRapidos* codigos, const EncodingTable& table, const Arvore* root) {
    codigos->maxLen = 0;
    codigos->folhaUnica = root && !root->esq ? root->simbolo : -1;
    for (int b = 0; b < 256; b++) {
        const uint32_t len = table[b].bits;
        codigos->bits[b] = bsPalavra(&table[b]);
        codigos->len[b] = static_cast<uint8_t>(len);
        codigos->lenRapido[b] = static_cast<uint8_t>(len == 0 || !podeConsumir(len) ? LEN_LENTO : len);
        if (len > codigos->maxLen) codigos->maxLen = len;
    }
    codigos->todos8 = true;
    for (int b = 0; b < 256; b++) {
        codigos->todos8 &= codigos->len[b] == 8;
        codigos->codigo8[b] = static_cast<uint8_t>(codigos->bits[b] >> 56);
    }
}

// ------------------------------------------------------------ word coder

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

// Groups of as many codes of at most `Limite` bits as the word holds go into
// it between two flushes. A longer code, or a byte without a code
// (`lenRapido` LEN_LENTO for both), takes the slow branch, which leaves the
// writer flushed again.
template <uint32_t Limite>
bool codificaPalavras(const CodigosRapidos& codigos, const uint8_t* in, size_t size, BitWriter* w) {
    constexpr int porFlush = CONSUMIVEIS_BITS / Limite;
    static_assert(podeConsumir(porFlush * Limite) && Limite < LEN_LENTO);
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
    for (; i + porFlush <= size; i += porFlush) {
        for (int k = 0; k < porFlush; k++) codifica(in[i + k]);
        flush();
    }
    for (; i < size; i++) {
        codifica(in[i]);
        flush();
    }
    *w = BitWriter{acc, n, p};
    return !semCodigo;
}

}  // namespace

// -------------------------------------------------------------- pair coder

int paresPorFlush(const CodigosRapidos& codigos, const FrequencyTable& freq) {
    // The share of the input in codes of each length, up to a last bucket for
    // everything past a round; pairs and rounds are taken as bytes drawn
    // independently, which is close enough to choose a loop.
    static constexpr size_t LONGO = CONSUMIVEIS_BITS + 1;
    std::array<double, LONGO + 1> porLen{};
    double total = 0;
    for (int b = 0; b < 256; b++) total += freq[b];
    for (int b = 0; b < 256; b++) porLen[std::min<size_t>(codigos.len[b], LONGO)] += freq[b] / total;
    auto soma = [](const auto& x, const auto& y) {
        std::array<double, LONGO + 1> z{};
        for (size_t i = 0; i <= LONGO; i++)
            for (size_t j = 0; j <= LONGO; j++) z[std::min(i + j, LONGO)] += x[i] * y[j];
        return z;
    };
    const auto porPar = soma(porLen, porLen);
    auto rodada = porPar;
    int melhor = PARES_POR_FLUSH_MIN;
    for (int porFlush = 2; porFlush <= PARES_POR_FLUSH_MAX; porFlush++) {
        if (porFlush > 2) rodada = soma(rodada, porPar);
        if (rodada[LONGO] * PARES_RODADAS_LONGAS < 1) melhor = porFlush;
    }
    return melhor;
}

void recomecaPares(CodificadorPares* pares) {
    pares->ritmo.atual = pares->tabela.porFlush;
    pares->ritmo.trechos = 0;
    pares->ritmo.espera.fill(TRECHOS_ATE_SUBIR);
}

void preparaPares(CodificadorPares* pares, const CodigosRapidos& codigos, int porFlush) {
    assert(porFlush >= PARES_POR_FLUSH_MIN && porFlush <= PARES_POR_FLUSH_MAX);
    TabelaPares& t = pares->tabela;
    t.porFlush = porFlush;
    for (uint32_t b = 0; b < 256; b++) {
        for (uint32_t a = 0; a < 256; a++) {
            const uint32_t la = codigos.len[a], lb = codigos.len[b];
            const bool cabe = la > 0 && lb > 0 && podeConsumir(la + lb);
            t.entrada[a | b << 8] = cabe ? codigos.bits[a] | codigos.bits[b] >> la : 0;
            t.len[a | b << 8] = static_cast<uint8_t>(cabe ? la + lb : LEN_LENTO);
        }
    }
    recomecaPares(pares);
}

namespace {

// One pair through a flushed writer, which it leaves flushed: the pairs of
// a round that does not fit in the word, and the last pairs of the input.
// A LEN_LENTO pair goes byte by byte through bwPutLong.
bool codificaPar(const CodigosRapidos& codigos, const TabelaPares& t, const uint8_t* par, BitWriter* w) {
    const uint32_t i = par[0] | par[1] << 8;
    const uint32_t len = t.len[i];
    if (len == LEN_LENTO) return codificaSeparados(codigos, par, 2, w);
    bwPut(w, t.entrada[i], len);
    bwFlush(w);
    return true;
}

// Two bytes per lookup in the table of pairs, `PorFlush` pairs between two
// flushes when the round fits in the word (see TabelaPares); otherwise the
// round goes pair by pair. Runs `rodadas` rounds from `in` and returns how
// many did not fit.
template <int PorFlush>
[[gnu::always_inline]] inline size_t codificaRodadas(const CodigosRapidos& codigos, const TabelaPares& t,
                                                     const uint8_t* in, size_t rodadas, BitWriter* w, bool* semCodigo) {
    const uint64_t* pares = t.entrada.data();
    const uint8_t* lens = t.len.data();
    uint64_t acc = w->acc;
    uint32_t n = w->n;
    uint8_t* p = w->p;
    size_t longas = 0;
    // The loop runs on the input pointer alone, so that a round costs no
    // instructions beyond the pairs and the flush. The loops over a round's
    // pairs are unrolled at every level of optimisation: at -O2, GCC keeps
    // them as loops over arrays on the stack, at half the speed.
    const uint8_t* const fim = in + rodadas * 2 * PorFlush;
    for (const uint8_t* q = in; q != fim; q += 2 * PorFlush) {
        std::array<uint32_t, PorFlush> i, len;
        uint32_t depois = n;
#pragma GCC unroll PARES_POR_FLUSH_MAX
        for (int k = 0; k < PorFlush; k++) {
            i[k] = q[2 * k] | q[2 * k + 1] << 8;
            len[k] = lens[i[k]];
            depois += len[k];
        }
        if (depois > RETIDOS_MAX_BITS) [[unlikely]] {
            *w = BitWriter{acc, n, p};
            for (int k = 0; k < PorFlush; k++)
                if (!codificaPar(codigos, t, q + 2 * k, w)) *semCodigo = true;
            acc = w->acc;
            n = w->n;
            p = w->p;
            longas++;
            continue;
        }
#pragma GCC unroll PARES_POR_FLUSH_MAX
        for (int k = 0; k < PorFlush; k++) {
            acc |= pares[i[k]] >> n;
            n += len[k];
        }
        bwFlushPartes(acc, n, p);
    }
    *w = BitWriter{acc, n, p};
    return longas;
}

// Rounds of `porFlush` pairs; returns how many did not fit.
[[gnu::always_inline]] inline size_t codificaTrecho(const CodigosRapidos& codigos, const TabelaPares& t, int porFlush,
                                                    const uint8_t* in, size_t rodadas, BitWriter* w, bool* semCodigo) {
    switch (porFlush) {
        case 4:
            return codificaRodadas<4>(codigos, t, in, rodadas, w, semCodigo);
        case 3:
            return codificaRodadas<3>(codigos, t, in, rodadas, w, semCodigo);
        default:
            return codificaRodadas<2>(codigos, t, in, rodadas, w, semCodigo);
    }
}

// After a stretch with `longas` of its `rodadas` rounds too long: one pair
// less when that is more than one in TRECHO_LONGAS_MAX, one more when the
// next width has waited its turn. A width that fails again as soon as it is
// tried waits twice as long for the next try.
void ajustaLargura(RitmoPares* r, int porFlush, size_t longas, size_t rodadas) {
    r->trechos++;
    if (r->atual > PARES_POR_FLUSH_MIN && longas * TRECHO_LONGAS_MAX > rodadas) {
        int& espera = r->espera[static_cast<size_t>(r->atual)];
        espera = r->trechos <= 2 ? std::min(2 * espera, TRECHOS_ESPERA_MAX) : TRECHOS_ATE_SUBIR;
        r->atual--;
        r->trechos = 0;
    } else if (r->atual < porFlush && r->trechos >= r->espera[static_cast<size_t>(r->atual + 1)]) {
        r->atual++;
        r->trechos = 0;
    }
}

[[gnu::always_inline]] inline bool codificaParesAdaptando(const CodigosRapidos& codigos, CodificadorPares* pares,
                                                          const uint8_t* in, size_t size, BitWriter* w) {
    bool semCodigo = false;
    const TabelaPares& t = pares->tabela;
    RitmoPares* r = &pares->ritmo;
    while (size >= size_t{2} * static_cast<size_t>(r->atual)) {
        const size_t porRodada = size_t{2} * static_cast<size_t>(r->atual);
        const size_t rodadas = std::min(size / porRodada, RODADAS_POR_TRECHO);
        const size_t longas = codificaTrecho(codigos, t, r->atual, in, rodadas, w, &semCodigo);
        in += rodadas * porRodada;
        size -= rodadas * porRodada;
        ajustaLargura(r, t.porFlush, longas, rodadas);
    }
    for (; size >= 2; in += 2, size -= 2)
        if (!codificaPar(codigos, t, in, w)) semCodigo = true;
    if (size > 0 && !codificaSeparados(codigos, in, 1, w)) semCodigo = true;
    return !semCodigo;
}

// The pair coder compiled for the build's target, and with the BMI2 shifts,
// which take their count in any register, when the target lacks them.
bool codificaParesPortavel(const CodigosRapidos& codigos, CodificadorPares* pares, const uint8_t* in, size_t size,
                           BitWriter* w) {
    return codificaParesAdaptando(codigos, pares, in, size, w);
}

#if defined(VESPADORA_X86_64) && !defined(__BMI2__)
#define VESPADORA_PARES_BMI2 1
__attribute__((target("bmi2"))) bool codificaParesBmi2(const CodigosRapidos& codigos, CodificadorPares* pares,
                                                       const uint8_t* in, size_t size, BitWriter* w) {
    return codificaParesAdaptando(codigos, pares, in, size, w);
}
#endif

}  // namespace

bool codificaPares(const CodigosRapidos& codigos, CodificadorPares* pares, const uint8_t* in, size_t size,
                   BitWriter* w) {
#ifdef VESPADORA_PARES_BMI2
    if (recursosCpu().bmi2) return codificaParesBmi2(codigos, pares, in, size, w);
#endif
    return codificaParesPortavel(codigos, pares, in, size, w);
}

std::vector<Variante<CodificaParesFn>> variantesCodificaPares() {
#ifdef __BMI2__
    // The build targets BMI2 already: its one version has the BMI2 shifts.
    return {{"bmi2", codificaParesPortavel}};
#else
    std::vector<Variante<CodificaParesFn>> v{{"portable", codificaParesPortavel}};
#ifdef VESPADORA_PARES_BMI2
    if (recursosCpu().bmi2) v.push_back({"bmi2", codificaParesBmi2});
#endif
    return v;
#endif
}

// ------------------------------------------------------------ the coder

bool codificaRapido(const CodigosRapidos& codigos, CodificadorPares* pares, const uint8_t* in, size_t size,
                    BitWriter* w, CodificaParesFn porPares) {
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
    if (pares) return porPares(codigos, pares, in, size, w);
    if (codigos.maxLen <= 7) return codificaPalavras<7>(codigos, in, size, w);
    if (codigos.maxLen == 8) return codificaPalavras<8>(codigos, in, size, w);
    return codificaPalavras<14>(codigos, in, size, w);
}
