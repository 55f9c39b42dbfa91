// The decompressor's fast path, in the order the data flows: the decoding
// table, the cursors of the fast region, and the plain tail; and the
// bit-by-bit walk they are checked against.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "vespadora_kernels.h"
#include "vespadora_rapido.h"

// ---------------------------------------------------------- decoding table

namespace {

// Follows the bits of `indice` (the first of DECODE_BITS at the top) from
// the root, starting `pulados` bits in, until a leaf or the last bit; returns
// the node reached and sets `passos` to the bits it took.
const Arvore* caminha(const Arvore* root, uint32_t indice, uint32_t pulados, uint32_t* passos) {
    const Arvore* no = root;
    uint32_t k = pulados;
    while (no->esq && k < DECODE_BITS) {
        no = (indice >> (DECODE_BITS - 1 - k)) & 1 ? no->dir : no->esq;
        k++;
    }
    *passos = k - pulados;
    return no;
}

// Fills entry `indice` of a table that starts zeroed.
void preencheEntrada(TabelaDecodificacao* tabela, const Arvore* root, uint32_t indice) {
    uint32_t usados = 0, qtd = 0;
    while (qtd < DECODE_MAX_SIMBOLOS) {
        uint32_t passos;
        const Arvore* no = caminha(root, indice, usados, &passos);
        if (no->esq) {
            if (qtd == 0) tabela->longo[indice] = no;
            break;
        }
        tabela->simbolos[indice][qtd] = no->simbolo;
        if (qtd == 0) tabela->len1[indice] = static_cast<uint8_t>(passos);
        usados += passos;
        qtd++;
    }
    tabela->usados[indice] = static_cast<uint8_t>(qtd == 0 ? DECODE_LONGO : usados);
    tabela->qtd[indice] = static_cast<uint8_t>(qtd);
}

// Depth of every leaf, or -1 in `profundidade` when they differ.
void profundidadeUnica(const Arvore* no, int nivel, int* profundidade) {
    if (no->esq) {
        profundidadeUnica(no->esq, nivel + 1, profundidade);
        profundidadeUnica(no->dir, nivel + 1, profundidade);
    } else if (*profundidade == 0) {
        *profundidade = nivel;
    } else if (*profundidade != nivel) {
        *profundidade = -1;
    }
}

}  // namespace

void preparaDecodificacao(TabelaDecodificacao* tabela, const Arvore* root) {
    tabela->raiz = root;
    tabela->usados.fill(0);
    tabela->qtd.fill(0);
    tabela->len1.fill(0);
    tabela->simbolos.fill({});
    tabela->longo.fill(nullptr);
    tabela->todos8 = false;
    if (!root || !root->esq) return;  // a lone leaf reads no bits
    for (uint32_t i = 0; i < DECODE_ENTRADAS; i++) preencheEntrada(tabela, root, i);
    int profundidade = 0;
    profundidadeUnica(root, 0, &profundidade);
    if (profundidade == 8) {
        tabela->todos8 = true;
        for (uint32_t b = 0; b < 256; b++) {
            const Arvore* no = root;
            for (int k = 7; k >= 0; k--) no = (b >> k) & 1 ? no->dir : no->esq;
            tabela->simbolo8[b] = no->simbolo;
        }
    }
}

// ---------------------------------------------------------------- cursors

namespace {

// A cursor of the fast region, three registers: `bits` holds the stream's
// next bits at the top, then a 1 bit, the sentinel, then zeros. Those bits
// were loaded from `p` on, and the sentinel has moved up one place for every
// bit taken since, so the cursor stands at bit 8 * p + ctz(bits) and holds
// RETIDOS_MAX_BITS - ctz(bits) bits (a load gives RETIDOS_MAX_BITS: its last
// bit makes room for the sentinel). Every load and every walk of a long code
// stays inside the input (see DECODE_MARGEM).
struct Cursor {
    uint64_t bits;
    const uint8_t* p;
    uint8_t* out;
};

// Bits taken since the last load: the sentinel's place. `bits` is never 0.
inline uint32_t tomados(uint64_t bits) { return static_cast<uint32_t>(__builtin_ctzll(bits)); }

// Bits of the stream before the cursor, counted from `base`.
inline int64_t posicao(const Cursor& c, const uint8_t* base) { return 8 * (c.p - base) + tomados(c.bits); }

// A cursor at bit `bit` (0 to 7) of the byte `p`.
inline Cursor cursorEm(const uint8_t* p, uint32_t bit, uint8_t* out) { return {(carregaBE64(p) | 1) << bit, p, out}; }

// Moves `p` past the whole bytes taken and loads again: at most
// BYTE_PARCIAL_BITS of the byte at `p` are taken, so at least
// CONSUMIVEIS_BITS are held after it. The loops work on a cursor's three
// parts, which they keep in locals (see `grupos`).
[[gnu::always_inline]] inline void recarregaPartes(uint64_t& bits, const uint8_t*& p) {
    const uint32_t t = tomados(bits);
    p += t / 8;
    bits = (carregaBE64(p) | 1) << (t % 8);
}

[[gnu::always_inline]] inline void recarrega(Cursor& c) { recarregaPartes(c.bits, c.p); }

// One lookup of DECODE_BITS bits: up to DECODE_MAX_SIMBOLOS symbols, stored
// as one word. Returns the entry's `usados`: with DECODE_LONGO, the cursor
// stands at a code longer than DECODE_BITS, and stays there.
[[gnu::always_inline]] inline uint32_t consomePartes(const TabelaDecodificacao& t, uint64_t& bits, uint8_t*& out) {
    const size_t i = bits >> (64 - DECODE_BITS);
    // Read before the store, which may alias anything.
    const uint32_t usados = t.usados[i], qtd = t.qtd[i];
    memcpy(out, t.simbolos[i].data(), DECODE_MAX_SIMBOLOS);
    out += qtd;
    bits <<= usados % 64;
    return usados;
}

// A refill, then K lookups. Each lookup needs DECODE_BITS bits held and takes
// at most that many, so after a refill (CONSUMIVEIS_BITS at least) K lookups
// can run.
constexpr int K = CONSUMIVEIS_BITS / DECODE_BITS;
static_assert(podeConsumir(K * DECODE_BITS));
// What a group may write from `out` (the last lookup stores a whole word),
// and how far it may move `p`: the refill takes at most BYTE_PARCIAL_BITS +
// K * DECODE_BITS bits, whole bytes of them.
constexpr ptrdiff_t GRUPO = DECODE_MAX_SIMBOLOS * K;
constexpr ptrdiff_t AVANCO_MAX = (BYTE_PARCIAL_BITS + K * DECODE_BITS) / 8;

// Returns the last entry's `usados`: with DECODE_LONGO, the cursor stands at
// a long code.
[[gnu::always_inline]] inline uint32_t grupoPartes(const TabelaDecodificacao& t, uint64_t& bits, const uint8_t*& p,
                                                   uint8_t*& out) {
    recarregaPartes(bits, p);
    uint32_t usados = 0;
    for (int k = 0; k < K; k++) usados = consomePartes(t, bits, out);
    return usados;
}

// The code longer than DECODE_BITS that the cursor stands at, a bit at a time
// from the node the table gives. Kept out of the loops: such codes are rare.
[[gnu::noinline]] Cursor passaLongo(const TabelaDecodificacao& tabela, Cursor c) {
    recarrega(c);
    const Arvore* no = tabela.longo[c.bits >> (64 - DECODE_BITS)];
    c.bits <<= DECODE_BITS;
    while (no->esq) {
        if (tomados(c.bits) == RETIDOS_MAX_BITS) recarrega(c);  // nothing held but the sentinel
        no = c.bits >> 63 ? no->dir : no->esq;
        c.bits <<= 1;
    }
    *c.out++ = no->simbolo;
    return c;
}

// How far a long code moves a cursor's `p`, at most: the refill before the
// walk moves it by up to AVANCO_MAX bytes, then the walk reads up to
// ARVORE_MAX_PROFUNDIDADE bits from at most BYTE_PARCIAL_BITS into a byte.
// In groups, it is what the code takes from the groups a cursor may still
// run unchecked.
constexpr ptrdiff_t AVANCO_LONGO = AVANCO_MAX + (BYTE_PARCIAL_BITS + ARVORE_MAX_PROFUNDIDADE + 7) / 8;
constexpr ptrdiff_t GRUPOS_LONGO = (AVANCO_LONGO + AVANCO_MAX - 1) / AVANCO_MAX;

// One refill and one lookup, with a long code taken at once: stops at every
// place where a lookup starts.
inline void passo(const TabelaDecodificacao& tabela, Cursor& c) {
    recarrega(c);
    if (consomePartes(tabela, c.bits, c.out) & DECODE_LONGO) c = passaLongo(tabela, c);
}

// One refill and one symbol: stops at every place where a code starts.
inline void passoSimbolo(const TabelaDecodificacao& tabela, Cursor& c) {
    recarrega(c);
    const size_t i = c.bits >> (64 - DECODE_BITS);
    if (tabela.usados[i] & DECODE_LONGO) {
        c = passaLongo(tabela, c);
    } else {
        *c.out++ = tabela.simbolos[i][0];
        c.bits <<= tabela.len1[i];
    }
}

// Groups that a cursor can run with no check, reading below `ate` + 8 and
// writing below `outFim`.
inline ptrdiff_t gruposSeguros(const Cursor& c, const uint8_t* ate, const uint8_t* outFim) {
    const ptrdiff_t porEntrada = (ate - c.p) / AVANCO_MAX, porSaida = (outFim - c.out) / GRUPO;
    const ptrdiff_t g = porEntrada < porSaida ? porEntrada : porSaida;
    return g > 0 ? g : 0;
}

// One cursor until it reaches `ate` or the output has no room for a group,
// in batches of unchecked groups. In a local: symbols stored through `out`, a
// byte pointer, could otherwise alias a cursor held in memory and force its
// fields to be reloaded at every lookup.
void grupos(const TabelaDecodificacao& tabela, Cursor* cursor, const uint8_t* ate, uint8_t* outFim) {
    Cursor c = *cursor;
    for (ptrdiff_t g; (g = gruposSeguros(c, ate, outFim)) > 0;) {
        while (g-- > 0) {
            if (grupoPartes(tabela, c.bits, c.p, c.out) & DECODE_LONGO) [[unlikely]] {
                c = passaLongo(tabela, c);
                break;  // the walk may have moved `p` further than a group
            }
        }
    }
    *cursor = c;
}

// Input bytes decoded per segment by CURSORES cursors, at most; at least
// SEGMENTO_MIN. Segments shrink near the end of the input or output at hand,
// and end DECODE_RESERVA bytes before the end of the input even in the last
// window: the MARCAS lookups recorded of the last cursor, unchecked, may run
// past the segment's end by that many long codes.
constexpr int CURSORES = 5;
constexpr ptrdiff_t SEGMENTO = 40 * 1024;
constexpr ptrdiff_t SEGMENTO_MIN = 2 * 1024;
constexpr ptrdiff_t PARTE_MAX = SEGMENTO / CURSORES;
constexpr int MARCAS = 64;
static_assert(MARCAS * AVANCO_LONGO + DECODE_MARGEM <= DECODE_RESERVA);

// Segments that go by with one cursor after `falhas` in a row where the exact
// cursor missed another: none after the first (the next guesses again further
// on), then 1, 2, 4 ... SEGMENTOS_SOZINHO: cursors that never meet cost little.
constexpr uint32_t SEGMENTOS_SOZINHO = 16;
inline uint32_t segmentosSozinho(uint32_t falhas) {
    return falhas <= 1 ? 0 : std::min(SEGMENTOS_SOZINHO, uint32_t{1} << std::min<uint32_t>(falhas - 2, 4));
}

enum class Encontro { Sim, Nao, SemEspaco };

// Output of the cursors after the first, each of which stops before it fills
// its part: a part holds at most 8 * PARTE_MAX codes of 1 bit, and the recorded
// lookups write a group at most beyond. Static, for a small stack (one thread).
constexpr ptrdiff_t RASCUNHO = 8 * PARTE_MAX + MARCAS * DECODE_MAX_SIMBOLOS + GRUPO;
uint8_t rascunhoCursores[CURSORES - 1][RASCUNHO];

struct Marca {
    int64_t posicao;
    uint8_t* out;
};

// Where cursor `c` starts its first MARCAS lookups, one at a time.
void marca(const TabelaDecodificacao& tabela, Cursor& c, const uint8_t* base, Marca* marcas) {
    for (int k = 0; k < MARCAS; k++) {
        marcas[k] = {posicao(c, base), c.out};
        passo(tabela, c);
    }
}

// Steps the exact cursor a symbol at a time to the first recorded lookup of
// the next cursor, `seguinte`. There, everything `seguinte` decoded on is what
// the exact cursor would decode: it takes that output and `seguinte`'s place.
// A lookup at a time would not do: where every lookup takes four codes, two
// cursors in step on the codes may never start a lookup at the same place.
Encontro junta(const TabelaDecodificacao& tabela, Cursor& exato, const Marca* marcas, const Cursor& seguinte,
               const uint8_t* base, const uint8_t* outFim, const uint8_t* limite) {
    int k = 0;
    while (outFim - exato.out >= GRUPO && exato.p < limite) {
        const int64_t pos = posicao(exato, base);
        while (k < MARCAS && marcas[k].posicao < pos) k++;
        if (k == MARCAS) return Encontro::Nao;
        if (marcas[k].posicao == pos) {
            const size_t resto = static_cast<size_t>(seguinte.out - marcas[k].out);
            if (resto + GRUPO > static_cast<size_t>(outFim - exato.out)) return Encontro::SemEspaco;
            memcpy(exato.out, marcas[k].out, resto);
            exato = Cursor{seguinte.bits, seguinte.p, exato.out + resto};
            return Encontro::Sim;
        }
        passoSimbolo(tabela, exato);
    }
    return Encontro::SemEspaco;
}

// The cursors side by side for `g` groups, each a chain of its own. In
// locals for the reason given at `grupos`.
void ladoALado(const TabelaDecodificacao& tabela, Cursor* cursores, ptrdiff_t g) {
    uint64_t bits[CURSORES];
    const uint8_t* p[CURSORES];
    uint8_t* out[CURSORES];
    for (int j = 0; j < CURSORES; j++) {
        bits[j] = cursores[j].bits;
        p[j] = cursores[j].p;
        out[j] = cursores[j].out;
    }
    // Lookup by lookup across the cursors, not group by group: the chains
    // then sit side by side in the processor's window and run at once. A
    // cursor at a long code is seen by its last lookup of the group and takes
    // it there, which costs it GRUPOS_LONGO of the groups left. With fewer
    // left the loop ends after it; the walk still reads inside the window
    // (DECODE_MARGEM), as in `grupos`.
    do {
#pragma GCC unroll 8
        for (int j = 0; j < CURSORES; j++) recarregaPartes(bits[j], p[j]);
#pragma GCC unroll 8
        for (int k = 0; k < K - 1; k++) {
#pragma GCC unroll 8
            for (int j = 0; j < CURSORES; j++) consomePartes(tabela, bits[j], out[j]);
        }
#pragma GCC unroll 8
        for (int j = 0; j < CURSORES; j++) {
            if (consomePartes(tabela, bits[j], out[j]) & DECODE_LONGO) [[unlikely]] {
                const Cursor c = passaLongo(tabela, {bits[j], p[j], out[j]});
                bits[j] = c.bits;
                p[j] = c.p;
                out[j] = c.out;
                g -= GRUPOS_LONGO;
            }
        }
    } while (--g > 0);
    for (int j = 0; j < CURSORES; j++) cursores[j] = {bits[j], p[j], out[j]};
}

// A stream of codes is one chain of dependent lookups. To run CURSORES
// chains, the segment is cut in parts and a cursor starts at each, at a
// guessed bit (the same bit of a byte as the first cursor's, so that codes
// whose lengths are all even, say, can still meet); all but the first
// decode into scratch buffers, and a Huffman code almost always falls back
// into step within a few symbols. Each cursor stops just before the next
// one's start; then the exact cursor, stepping to the next cursor's first
// recorded lookup, takes its output and its place, and so on along the
// segment. Where two never meet, or the output has no room, the exact cursor
// goes on alone; it is exact in every case.
Encontro segmentoMultiplo(const TabelaDecodificacao& tabela, Cursor* cursor, ptrdiff_t parte, uint8_t* outFim,
                          const uint8_t* limite) {
    const uint8_t* const base = cursor->p;
    const uint32_t bit = static_cast<uint32_t>(posicao(*cursor, base)) & 7;
    Cursor c[CURSORES];
    const uint8_t* ate[CURSORES];
    uint8_t* fimSaida[CURSORES];
    Marca marcas[CURSORES - 1][MARCAS];
    c[0] = *cursor;
    fimSaida[0] = outFim;
    for (int j = 1; j < CURSORES; j++) {
        c[j] = cursorEm(base + j * parte, bit, rascunhoCursores[j - 1]);
        fimSaida[j] = rascunhoCursores[j - 1] + RASCUNHO;
        marca(tabela, c[j], base, marcas[j - 1]);
    }
    // Each stops a word before the next one's start, so before its marks.
    for (int j = 0; j < CURSORES; j++) ate[j] = base + (j + 1) * parte - 8;

    for (ptrdiff_t g;;) {
        g = PTRDIFF_MAX;
        for (int j = 0; j < CURSORES; j++) g = std::min(g, gruposSeguros(c[j], ate[j], fimSaida[j]));
        if (g == 0) break;
        ladoALado(tabela, c, g);
    }
    for (int j = 0; j < CURSORES; j++) grupos(tabela, &c[j], ate[j], fimSaida[j]);

    Encontro e = Encontro::Sim;
    for (int j = 1; j < CURSORES && e == Encontro::Sim; j++)
        e = junta(tabela, c[0], marcas[j - 1], c[j], base, outFim, limite);
    *cursor = c[0];
    return e;
}

// The fast loops from `a` on, until `reserva` bytes are left in the input
// (see reservaLeitura): CURSORES cursors while there is room for a segment,
// whose output is foreseen from the last one's to fit in what `out` has left.
void decodificaCursores(const TabelaDecodificacao& tabela, Cursor* a, uint8_t* outFim, const uint8_t* fim,
                        size_t reserva) {
    static_assert(DECODE_RESERVA >= DECODE_MARGEM);
    const uint8_t* const limite = fim - DECODE_MARGEM;
    const uint8_t* const ate = fim - reserva;
    uint32_t pausa = 0;   // segments left to go with one cursor
    uint32_t falhas = 0;  // segments in a row where the cursors did not all meet
    // Output bytes per input byte, in sixteenths: at first the most that
    // codes of 1 bit give, then a quarter more than the last segment gave.
    ptrdiff_t razao = 8 * 16;
    for (;;) {
        const ptrdiff_t porSaida = (outFim - a->out - GRUPO) * 16 / razao;
        const ptrdiff_t resto = fim - a->p - static_cast<ptrdiff_t>(DECODE_RESERVA);
        const ptrdiff_t segmento = std::min({SEGMENTO, resto, porSaida}) / CURSORES * CURSORES;
        if (segmento < SEGMENTO_MIN) break;
        const uint8_t* const antesP = a->p;
        uint8_t* const antesOut = a->out;
        if (pausa > 0) {
            pausa--;
            grupos(tabela, a, a->p + segmento, outFim);
        } else {
            const Encontro e = segmentoMultiplo(tabela, a, segmento / CURSORES, outFim, limite);
            if (e == Encontro::SemEspaco) break;
            falhas = e == Encontro::Nao ? std::min<uint32_t>(falhas + 1, 8) : 0;
            pausa = segmentosSozinho(falhas);
        }
        const ptrdiff_t lidos = a->p - antesP;
        if (lidos > 0) razao = std::max<ptrdiff_t>(16, (a->out - antesOut) * 20 / lidos + 1);
    }
    grupos(tabela, a, ate, outFim);
}

// ------------------------------------------------------------- strategies

// A lone leaf: every symbol is the leaf's, and no bit is read.
size_t decodificaFolhaUnica(const TabelaDecodificacao& tabela, uint8_t* out, size_t count) {
    memset(out, tabela.raiz->simbolo, count);
    return count;
}

// Every code has 8 bits: each symbol is a byte of the stream, cut at the bit
// where it stands. The window up to its reserve, realigned behind the bits
// left in `buf` (those of p[-1]), is mapped as a block.
size_t decodificaBytes(const TabelaDecodificacao& tabela, LeitorBits* r, uint8_t* out, size_t count) {
    const size_t reserva = reservaLeitura(*r);
    if (static_cast<size_t>(r->fim - r->p) <= reserva) return 0;
    const size_t disponiveis = static_cast<size_t>(r->fim - r->p) - reserva;
    const size_t m = count < disponiveis ? count : disponiveis;
    if (r->n == 0) {
        substituiBytes(tabela.simbolo8.data(), r->p, out, m);
    } else {
        deslocaBytes(r->p, out, m, r->n, &r->buf);
        substituiBytes(tabela.simbolo8.data(), out, out, m);
    }
    r->p += m;
    return m;
}

// The cursors, from where `r` stands (the bits it holds are those of p[-1],
// still in memory) up to the reserve of the window.
size_t decodificaRapidos(const TabelaDecodificacao& tabela, LeitorBits* r, uint8_t* out, size_t count) {
    const size_t reserva = reservaLeitura(*r);
    if (static_cast<size_t>(r->fim - r->p) < reserva) return 0;
    Cursor a = r->n > 0 ? cursorEm(r->p - 1, 8 - r->n, out) : cursorEm(r->p, 0, out);
    decodificaCursores(tabela, &a, out + count, r->fim, reserva);
    *r = lbEm(a.p, tomados(a.bits), r->fim, r->ultimo);
    return static_cast<size_t>(a.out - out);
}

// A code longer than DECODE_BITS, on from the node the table gives: the walk
// a bit at a time. Null when the stream ends first.
const Arvore* caminhaLongo(const TabelaDecodificacao& tabela, LeitorBits* r) {
    if (r->n < DECODE_BITS) return nullptr;
    const Arvore* no = tabela.longo[r->buf >> (64 - DECODE_BITS)];
    r->buf <<= DECODE_BITS;
    r->n -= DECODE_BITS;
    while (no->esq) {
        lbRecarregaBytes(r->buf, r->n, r->p, r->fim);
        if (r->n == 0) return nullptr;
        no = r->buf >> 63 ? no->dir : no->esq;
        r->buf <<= 1;
        r->n--;
    }
    return no;
}

// The plain tail, one symbol at a time, refilled a byte at a time so that
// the bits past the end of the stream stay zero and are never taken. Stops
// when the reader asks for more input or a code needs bits past the end.
size_t decodificaCauda(const TabelaDecodificacao& tabela, LeitorBits* r, uint8_t* out, size_t count) {
    size_t i = 0;
    while (i < count && !leitorPedeMais(*r)) {
        lbRecarregaBytes(r->buf, r->n, r->p, r->fim);
        const size_t indice = r->buf >> (64 - DECODE_BITS);
        if (tabela.usados[indice] & DECODE_LONGO) {
            const Arvore* folha = caminhaLongo(tabela, r);
            if (!folha) break;
            out[i++] = folha->simbolo;
        } else {
            const uint32_t len1 = tabela.len1[indice];
            if (len1 > r->n) break;
            out[i++] = tabela.simbolos[indice][0];
            r->buf <<= len1;
            r->n -= len1;
        }
    }
    return i;
}

}  // namespace

size_t decodificaRapido(const TabelaDecodificacao& tabela, LeitorBits* r, uint8_t* out, size_t count) {
    if (!tabela.raiz->esq) return decodificaFolhaUnica(tabela, out, count);
    lbDevolve(r);  // the fast strategies start from a byte address
    size_t i = 0;
    if (tabela.todos8) i += decodificaBytes(tabela, r, out, count);
    i += decodificaRapidos(tabela, r, out + i, count - i);
    i += decodificaCauda(tabela, r, out + i, count - i);
    r->truncado = i < count && r->ultimo;
    lbDevolve(r);
    return i;
}

// -------------------------------------------------------------- reference

uint8_t decodeByte(const Arvore* huff, EncodedInput* bsi) {
    while (huff->esq) huff = bsiPop(bsi) ? huff->dir : huff->esq;
    assert(huff->dir == NULL);
    return huff->simbolo;
}
