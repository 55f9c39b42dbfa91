// The decompressor's fast path, in the order the data flows: the decoding
// table and its subtables, the cursors of the fast region, and the plain
// tail; and the bit-by-bit walk they are checked against.
//
// How it works. A stream of codes is one chain of dependent table lookups:
// the DECODE_BITS bits at a cursor index a table that gives the symbols of up
// to four whole codes and the bits they take, and the next lookup starts
// where those end. A longer code goes on through subtables (EntradaLonga):
// one more lookup for the codes of a text, of up to DECODE_BITS +
// SUBTABELA_BITS bits, a few bits a lookup for the 255-bit codes a hostile
// file may hold. To run several chains at once, each segment of the input
// is split among CURSORES cursors: the first starts at the exact bit, the
// others at a guessed bit, and the exact cursor takes each over where it
// falls into step with it, which a Huffman code does within a few symbols.
// Where a cursor is missed, a new segment starts where the exact cursor
// stopped; after failures in a row one cursor goes on alone for 1, 2, 4 ...
// 16 segments before the decoder tries again. Near the ends of the input and
// of the output one cursor goes on alone, then the tail, a symbol at a time
// with every read checked.
//
// What bounds it. The five cursors side by side run about five
// instructions a cycle: they are bound by instruction count (an index, three
// loads, a store, an add and a shift a lookup, a refill every K lookups) and
// by registers, five cursors of three leaving one input pointer on the
// stack. One cursor alone is bound by its chain of lookups; the refill of a
// group starts beside its last lookup, so that neither waits for the other.
// A long code costs a mispredicted branch, which throws away the work of the
// other cursors in flight, and its subtable lookups. Joining the cursors
// copies four fifths of the output from where they wrote it: the price of
// one stream that does not record where the output of each part begins.
// Leaving the copy out (and those bytes unwritten) saves 8 to 12% on text,
// which bounds what the copy costs. Where the output has room, the cursors
// write past the end foreseen for the segment's output, where the next
// segment's will land, rather than in buffers of their own: the copy then
// writes to lines already in the cache (2 to 3% faster).
//
// What it reads. A cursor loads 8 bytes at its `p`. Where each loop stops in
// a window is decided once per call (limitesJanela). Between two checks a
// loop runs a batch whose worst case it knows, a group moving `p` by at most
// AVANCO_MAX bytes and a long code by at most AVANCO_LONGO, and the margin
// left after each bound covers what the batch may read past it.
//
// Why these constants. A 12-bit table keeps its hot columns at 24 KiB, inside
// a 32 KiB L1 cache with room for the input and the output; an 11-bit table
// (five lookups a refill) measured 24 to 42% slower. Subtables of 8 bits hold
// the long codes of texts in one more lookup and stay small. Five cursors
// measured 3.5 to 7.5% faster than four; six, 2 to 4%, out of registers;
// three, 15% slower. Segments of 40 KiB keep the scratch output of the
// guessed cursors in the L2 cache and the cost of joining them (MARCAS
// lookups each, side by side) small.
//
// Tried, and not kept: cursors that keep an absolute bit address instead of
// a sentinel bit (13 to 34% slower); a clang build (about 30% slower than
// GCC); the leftover groups of a segment's cursors run side by side, fewer
// at a time, rather than one cursor after another (within 2%, five more
// copies of the loop); the budget of a long code taken from the table's
// longest code rather than from 255 bits (under 1%); four cursors, which
// fit in registers with the refill beside the last lookup (within 2% of
// five); the whole decoder built for BMI2 (0 to 4%); the branch on a long
// code taken a group late, on a lookup long since loaded, so that a
// misprediction throws away less (the cursor waits a group at its code:
// long codes cost 13% of the time rather than 9%); one branch on the long
// codes of all five cursors' last lookups (9% slower on every input); the
// cursors' parts started in different sets of the L1 cache, the copy's
// destination prefetched while the cursors run, and the copy in 32-byte
// steps (none measurably faster).
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>

#include "vespadora_kernels.h"
#include "vespadora_rapido.h"

// ---------------------------------------------------------- decoding table

namespace {

// Follows the `largura` bits of `indice` (the first at the top) from `no`,
// starting `pulados` bits in, until a leaf or the last bit; returns the node
// reached and sets `passos` to the bits it took.
const Arvore* caminha(const Arvore* no, uint32_t indice, uint32_t largura, uint32_t pulados, uint32_t* passos) {
    uint32_t k = pulados;
    while (no->esq && k < largura) {
        no = (indice >> (largura - 1 - k)) & 1 ? no->dir : no->esq;
        k++;
    }
    *passos = k - pulados;
    return no;
}

// Levels of the tree below `no`: 0 for a leaf.
uint32_t altura(const Arvore* no) { return no->esq ? 1 + std::max(altura(no->esq), altura(no->dir)) : 0; }

// Bits that index the subtable of node `no`: as many as its deepest code has
// left, up to `maxima`.
uint32_t larguraSubtabela(const Arvore* no, uint32_t maxima) { return std::min(altura(no), maxima); }

// Entries of the subtable of `no` and of those below it.
size_t entradasSubtabela(const Arvore* no, uint32_t maxima) {
    const uint32_t largura = larguraSubtabela(no, maxima);
    size_t total = size_t{1} << largura;
    for (uint32_t j = 0; j < (1u << largura); j++) {
        uint32_t passos;
        const Arvore* n = caminha(no, j, largura, 0, &passos);
        if (n->esq) total += entradasSubtabela(n, maxima);
    }
    return total;
}

// Entries of all the subtables: those of the nodes DECODE_BITS below the root.
size_t entradasLongas(const Arvore* no, uint32_t nivel, uint32_t maxima) {
    if (!no->esq) return 0;
    if (nivel == DECODE_BITS) return entradasSubtabela(no, maxima);
    return entradasLongas(no->esq, nivel + 1, maxima) + entradasLongas(no->dir, nivel + 1, maxima);
}

struct Subtabelas {
    TabelaDecodificacao* tabela;
    uint32_t maxima;  // the widest a subtable may be
    size_t livre;     // the first entry of `longos` not taken
};

// Lays out the subtable of node `no`, reached by a link of `bits` bits, and
// those below it; returns that link.
EntradaLonga criaSubtabela(Subtabelas* s, const Arvore* no, uint32_t bits) {
    const uint32_t largura = larguraSubtabela(no, s->maxima);
    const size_t inicio = s->livre;
    s->livre += size_t{1} << largura;
    assert(s->livre <= DECODE_LONGOS);
    for (uint32_t j = 0; j < (1u << largura); j++) {
        uint32_t passos;
        const Arvore* n = caminha(no, j, largura, 0, &passos);
        s->tabela->longos[inicio + j] =
            n->esq ? criaSubtabela(s, n, largura) : EntradaLonga{static_cast<uint8_t>(passos), 0, n->simbolo};
    }
    return {static_cast<uint8_t>(bits), static_cast<uint8_t>(largura), static_cast<uint16_t>(inicio)};
}

// Fills entry `indice` of a table that starts zeroed.
void preencheEntrada(Subtabelas* s, const Arvore* root, uint32_t indice) {
    TabelaDecodificacao* tabela = s->tabela;
    uint32_t usados = 0, qtd = 0;
    while (qtd < DECODE_MAX_SIMBOLOS) {
        uint32_t passos;
        const Arvore* no = caminha(root, indice, DECODE_BITS, usados, &passos);
        if (no->esq) {
            if (qtd == 0) {
                const EntradaLonga enlace = criaSubtabela(s, no, DECODE_BITS);
                memcpy(tabela->simbolos[indice].data(), &enlace, sizeof enlace);
            }
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
    tabela->longos.fill({});
    tabela->todos8 = false;
    if (!root || !root->esq) return;  // a lone leaf reads no bits
    // The widest subtables that fit; one bit wide, they always do.
    Subtabelas s{tabela, SUBTABELA_BITS, 0};
    while (entradasLongas(root, 0, s.maxima) > DECODE_LONGOS) s.maxima--;
    for (uint32_t i = 0; i < DECODE_ENTRADAS; i++) preencheEntrada(&s, root, i);
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
    const size_t i = bits >> (PALAVRA_BITS - DECODE_BITS);
    // Read before the store, which may alias anything.
    const uint32_t usados = t.usados[i], qtd = t.qtd[i];
    memcpy(out, t.simbolos[i].data(), DECODE_MAX_SIMBOLOS);
    out += qtd;
    bits <<= usados % PALAVRA_BITS;
    return usados;
}

// Between its groups and steps a cursor holds at least RETIDOS_MIN bits, as
// a refill leaves it after one lookup. A group is K lookups from those bits,
// the last beside the refill for after it: the refill starts where the last
// lookup starts, so that neither waits for the other, and after the last
// lookup the cursor holds what the refill loaded less that lookup's bits.
constexpr uint32_t RETIDOS_MIN = CONSUMIVEIS_BITS - DECODE_BITS;
constexpr int K = RETIDOS_MIN / DECODE_BITS;
static_assert(K >= 2);
// What a group may write from `out` (the last lookup stores a whole word),
// and how far it may move `p`: to the byte where the last lookup starts, at
// most RETIDOS_MAX_BITS - RETIDOS_MIN + (K - 1) * DECODE_BITS bits on.
constexpr ptrdiff_t GRUPO = DECODE_MAX_SIMBOLOS * K;
constexpr ptrdiff_t AVANCO_MAX = (RETIDOS_MAX_BITS - RETIDOS_MIN + (K - 1) * DECODE_BITS) / 8;

// The last lookup of a group and the refill beside it. Returns the entry's
// `usados`: with DECODE_LONGO, the cursor stands at a long code, refilled.
[[gnu::always_inline]] inline uint32_t ultimaConsulta(const TabelaDecodificacao& t, uint64_t& bits, const uint8_t*& p,
                                                      uint8_t*& out) {
    const uint32_t antes = tomados(bits);
    p += antes / 8;
    const uint64_t carga = carregaBE64(p) | 1;
    const uint32_t usados = consomePartes(t, bits, out);
    bits = carga << (antes % 8 + usados) % PALAVRA_BITS;
    return usados;
}

// Returns the last entry's `usados`, as ultimaConsulta.
[[gnu::always_inline]] inline uint32_t grupoPartes(const TabelaDecodificacao& t, uint64_t& bits, const uint8_t*& p,
                                                   uint8_t*& out) {
    for (int k = 0; k < K - 1; k++) consomePartes(t, bits, out);
    return ultimaConsulta(t, bits, p, out);
}

// The link that the entry `i` of a code longer than DECODE_BITS keeps in its
// symbol bytes.
inline EntradaLonga enlace(const TabelaDecodificacao& tabela, size_t i) {
    EntradaLonga e;
    memcpy(&e, tabela.simbolos[i].data(), sizeof e);
    return e;
}

// Subtable lookups that a long code can take from a cursor refilled at its
// start before the cursor may hold fewer bits than the next index.
constexpr int CONSULTAS_SEM_RECARGA = (CONSUMIVEIS_BITS - DECODE_BITS) / SUBTABELA_BITS;
static_assert(CONSULTAS_SEM_RECARGA >= 2);

// The code longer than DECODE_BITS that the cursor stands at, through the
// subtables. Every caller has refilled the cursor at the code's start, so
// the first CONSULTAS_SEM_RECARGA lookups need no check, and the cursor
// holds at least RETIDOS_MIN bits after the code. A code of one subtable
// lookup, the long code of a text, takes the load for after it beside that
// lookup: the load starts at most BYTE_PARCIAL_BITS before the subtable's
// bits, and the leaf takes at most SUBTABELA_BITS of them. A deeper code goes
// on lookup by lookup and is refilled after.
static_assert(CONSUMIVEIS_BITS - SUBTABELA_BITS >= RETIDOS_MIN);

[[gnu::always_inline]] inline void passaLongoPartes(const TabelaDecodificacao& tabela, uint64_t& bits,
                                                    const uint8_t*& p, uint8_t*& out) {
    EntradaLonga e = enlace(tabela, bits >> (PALAVRA_BITS - DECODE_BITS));
    const uint32_t depois = tomados(bits) + e.bits;
    const uint64_t carga = carregaBE64(p + depois / 8) | 1;
    bits <<= e.bits;
    e = tabela.longos[e.valor + (bits >> (PALAVRA_BITS - e.largura))];
    if (e.largura == 0) [[likely]] {
        p += depois / 8;
        bits = carga << (depois % 8 + e.bits);
        *out++ = static_cast<uint8_t>(e.valor);
        return;
    }
    for (int k = 1; e.largura != 0; k++) {
        bits <<= e.bits;
        if (k >= CONSULTAS_SEM_RECARGA && tomados(bits) > RETIDOS_MAX_BITS - e.largura) [[unlikely]]
            recarregaPartes(bits, p);
        e = tabela.longos[e.valor + (bits >> (PALAVRA_BITS - e.largura))];
    }
    bits <<= e.bits;
    *out++ = static_cast<uint8_t>(e.valor);
    recarregaPartes(bits, p);
}

// The same, kept out of the loops of one cursor: such codes are rare.
[[gnu::noinline]] Cursor passaLongo(const TabelaDecodificacao& tabela, Cursor c) {
    passaLongoPartes(tabela, c.bits, c.p, c.out);
    return c;
}

// How far a long code moves a cursor's `p`, at most: the cursor, refilled at
// the code, stands at most BYTE_PARCIAL_BITS past `p`, and the code takes up
// to ARVORE_MAX_PROFUNDIDADE bits. In groups, it is what the code takes from
// the groups a cursor may still run unchecked.
constexpr ptrdiff_t AVANCO_LONGO = (BYTE_PARCIAL_BITS + ARVORE_MAX_PROFUNDIDADE) / 8;
constexpr ptrdiff_t GRUPOS_LONGO = (AVANCO_LONGO + AVANCO_MAX - 1) / AVANCO_MAX;

// One refill and one symbol: stops at every place where a code starts.
inline void passoSimbolo(const TabelaDecodificacao& tabela, Cursor& c) {
    recarrega(c);
    const size_t i = c.bits >> (PALAVRA_BITS - DECODE_BITS);
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
// SEGMENTO_MIN. Segments shrink near the end of the input or output at hand.
// The exact cursor joins each of the others at one of the first MARCAS
// lookups recorded of it.
constexpr int CURSORES = 5;
constexpr ptrdiff_t SEGMENTO = 40 * 1024;
constexpr ptrdiff_t SEGMENTO_MIN = 2 * 1024;
constexpr ptrdiff_t PARTE_MAX = SEGMENTO / CURSORES;
constexpr int MARCAS = 64;

// Where the loops of one call stop in the window [p, fim) of a LeitorBits,
// decided once per call by limitesJanela; never before `p`. A loop may read
// past where it stops by what it runs unchecked, which the margin after
// each bound covers.
struct Limites {
    // The lone cursor and the byte map stop here: DECODE_MARGEM before the
    // end of the last window, enough for a group or a long code started
    // before it, and DECODE_RESERVA before the end of another, where the
    // driver reads more.
    const uint8_t* fimRapido;
    // Segments of several cursors end here, DECODE_RESERVA before the end of
    // every window: the MARCAS lookups recorded of the last cursor run
    // unchecked past the segment's end, by up to as many long codes.
    const uint8_t* fimSegmentos;
    // The exact cursor, a symbol at a time, joins the next one before here.
    const uint8_t* fimJunta;
};

Limites limitesJanela(const LeitorBits& r) {
    static_assert(DECODE_MARGEM >= AVANCO_LONGO + sizeof(uint64_t));
    static_assert(MARCAS * AVANCO_LONGO + DECODE_MARGEM <= DECODE_RESERVA);
    const size_t janela = static_cast<size_t>(r.fim - r.p);
    const auto antesDoFim = [&](size_t margem) { return r.fim - std::min(margem, janela); };
    return {antesDoFim(r.ultimo ? DECODE_MARGEM : DECODE_RESERVA), antesDoFim(DECODE_RESERVA),
            antesDoFim(DECODE_MARGEM)};
}

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

// Where the cursors after the first start their first MARCAS lookups, one
// lookup at a time each, side by side so that their chains run at once; in
// locals for the reason given at `grupos`.
void marca(const TabelaDecodificacao& tabela, Cursor* cursores, const uint8_t* base, Marca (*marcas)[MARCAS]) {
    constexpr int N = CURSORES - 1;
    uint64_t bits[N];
    const uint8_t* p[N];
    uint8_t* out[N];
    for (int j = 0; j < N; j++) {
        bits[j] = cursores[j + 1].bits;
        p[j] = cursores[j + 1].p;
        out[j] = cursores[j + 1].out;
    }
    for (int k = 0; k < MARCAS; k++) {
#pragma GCC unroll 8
        for (int j = 0; j < N; j++) {
            marcas[j][k] = {8 * (p[j] - base) + tomados(bits[j]), out[j]};
            recarregaPartes(bits[j], p[j]);
            if (consomePartes(tabela, bits[j], out[j]) & DECODE_LONGO) [[unlikely]]
                passaLongoPartes(tabela, bits[j], p[j], out[j]);
        }
    }
    for (int j = 0; j < N; j++) cursores[j + 1] = {bits[j], p[j], out[j]};
}

// Steps the exact cursor a symbol at a time to the first recorded lookup of
// the next cursor, `seguinte`. There, everything `seguinte` decoded on is what
// the exact cursor would decode: it takes that output and `seguinte`'s place.
// A lookup at a time would not do: where every lookup takes four codes, two
// cursors in step on the codes may never start a lookup at the same place.
Encontro junta(const TabelaDecodificacao& tabela, Cursor& exato, const Marca* marcas, const Cursor& seguinte,
               const uint8_t* base, const uint8_t* outFim, const Limites& limites) {
    int k = 0;
    while (outFim - exato.out >= GRUPO && exato.p < limites.fimJunta) {
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
        for (int k = 0; k < K - 1; k++) {
#pragma GCC unroll 8
            for (int j = 0; j < CURSORES; j++) consomePartes(tabela, bits[j], out[j]);
        }
#pragma GCC unroll 8
        for (int j = 0; j < CURSORES; j++) {
            if (ultimaConsulta(tabela, bits[j], p[j], out[j]) & DECODE_LONGO) [[unlikely]] {
                passaLongoPartes(tabela, bits[j], p[j], out[j]);
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
Encontro segmentoMultiplo(const TabelaDecodificacao& tabela, Cursor* cursor, ptrdiff_t parte, ptrdiff_t saidaParte,
                          uint8_t* outFim, const Limites& limites) {
    const uint8_t* const base = cursor->p;
    const uint32_t bit = static_cast<uint32_t>(posicao(*cursor, base)) & 7;
    Cursor c[CURSORES];
    const uint8_t* ate[CURSORES];
    // Cursor j writes below fimSaida[j]; the exact cursor, on its way to
    // join cursor j and after, below limite[j] (limite[CURSORES]: after the
    // last).
    uint8_t* fimSaida[CURSORES];
    uint8_t* limite[CURSORES + 1];
    Marca marcas[CURSORES - 1][MARCAS];
    // The cursors after the first write in the output itself where it has
    // room, each in a stretch of `cada` bytes past where the segment's output
    // is foreseen to end: the next segment's output then lands on lines that
    // are still in the cache, which the copy when they join would otherwise
    // fetch. A cursor that fills its stretch stops early, as the exact one
    // does at the next one's stretch, and the exact cursor goes on from
    // there when it joins it. Elsewhere they write in scratch buffers of
    // their own, where they never run out of room.
    const ptrdiff_t cada = saidaParte + saidaParte / 2 + MARCAS * DECODE_MAX_SIMBOLOS + GRUPO;
    const bool naSaida = outFim - cursor->out >= CURSORES * saidaParte + (CURSORES - 1) * cada;
    uint8_t* const adiante = naSaida ? cursor->out + CURSORES * saidaParte : nullptr;
    c[0] = *cursor;
    for (int j = 1; j < CURSORES; j++) {
        uint8_t* const inicio = naSaida ? adiante + (j - 1) * cada : rascunhoCursores[j - 1];
        c[j] = cursorEm(base + j * parte, bit, inicio);
        fimSaida[j] = naSaida ? inicio + cada : inicio + RASCUNHO;
        limite[j] = naSaida ? inicio : outFim;
    }
    fimSaida[0] = limite[1];
    limite[CURSORES] = outFim;
    marca(tabela, c, base, marcas);
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
    for (int j = 1; j < CURSORES && e == Encontro::Sim; j++) {
        grupos(tabela, &c[0], ate[j - 1], limite[j]);  // where cursor j - 1 stopped early
        e = junta(tabela, c[0], marcas[j - 1], c[j], base, limite[j], limites);
    }
    if (e == Encontro::Sim) grupos(tabela, &c[0], ate[CURSORES - 1], outFim);
    *cursor = c[0];
    // Short of room in a stretch foreseen too small, not in the output: the
    // next segment goes on from where the exact cursor stopped.
    return naSaida && e == Encontro::SemEspaco ? Encontro::Nao : e;
}

// The fast loops from `a` on: CURSORES cursors while there is room for a
// segment, whose output is foreseen from the last one's to fit in what `out`
// has left, then one cursor.
void decodificaCursores(const TabelaDecodificacao& tabela, Cursor* a, uint8_t* outFim, const Limites& limites) {
    uint32_t pausa = 0;   // segments left to go with one cursor
    uint32_t falhas = 0;  // segments in a row where the cursors did not all meet
    // Output bytes per input byte, in sixteenths: at first the most that
    // codes of 1 bit give, then a quarter more than the last segment gave.
    ptrdiff_t razao = 8 * 16;
    for (;;) {
        const ptrdiff_t porSaida = (outFim - a->out - GRUPO) * 16 / razao;
        const ptrdiff_t resto = limites.fimSegmentos - a->p;
        const ptrdiff_t segmento = std::min({SEGMENTO, resto, porSaida}) / CURSORES * CURSORES;
        if (segmento < SEGMENTO_MIN) break;
        const uint8_t* const antesP = a->p;
        uint8_t* const antesOut = a->out;
        if (pausa > 0) {
            pausa--;
            grupos(tabela, a, a->p + segmento, outFim);
        } else {
            const ptrdiff_t parte = segmento / CURSORES;
            const Encontro e = segmentoMultiplo(tabela, a, parte, parte * razao / 16, outFim, limites);
            if (e == Encontro::SemEspaco) break;
            falhas = e == Encontro::Nao ? std::min<uint32_t>(falhas + 1, 8) : 0;
            pausa = segmentosSozinho(falhas);
        }
        const ptrdiff_t lidos = a->p - antesP;
        if (lidos > 0) razao = std::max<ptrdiff_t>(16, (a->out - antesOut) * 20 / lidos + 1);
    }
    grupos(tabela, a, limites.fimRapido, outFim);
}

// ------------------------------------------------------------- strategies

// A lone leaf: every symbol is the leaf's, and no bit is read.
size_t decodificaFolhaUnica(const TabelaDecodificacao& tabela, uint8_t* out, size_t count) {
    memset(out, tabela.raiz->simbolo, count);
    return count;
}

// Every code has 8 bits: each symbol is a byte of the stream, cut at the bit
// where it stands. The window up to where the fast loops stop, realigned
// behind the bits left in `buf` (those of p[-1]), is mapped as a block.
size_t decodificaBytes(const TabelaDecodificacao& tabela, const Limites& limites, LeitorBits* r, uint8_t* out,
                       size_t count) {
    const size_t m = std::min(count, static_cast<size_t>(limites.fimRapido - r->p));
    if (m == 0) return 0;
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
// still in memory) up to where the fast loops stop.
size_t decodificaRapidos(const TabelaDecodificacao& tabela, const Limites& limites, LeitorBits* r, uint8_t* out,
                         size_t count) {
    if (limites.fimRapido == r->p) return 0;
    Cursor a = r->n > 0 ? cursorEm(r->p - 1, 8 - r->n, out) : cursorEm(r->p, 0, out);
    decodificaCursores(tabela, &a, out + count, limites);
    *r = lbEm(a.p, tomados(a.bits), r->fim, r->ultimo);
    return static_cast<size_t>(a.out - out);
}

// The symbol of the code longer than DECODE_BITS where `r` stands, through
// the subtables; -1 when the code needs bits past the end of the stream. The
// bits past the end are zero, so an entry found with them is the code's only
// if it takes no more bits than are held.
int caminhaLongo(const TabelaDecodificacao& tabela, LeitorBits* r) {
    if (r->n < DECODE_BITS) return -1;
    EntradaLonga e = enlace(tabela, r->buf >> (PALAVRA_BITS - DECODE_BITS));
    do {
        r->buf <<= e.bits;
        r->n -= e.bits;
        lbRecarregaBytes(r->buf, r->n, r->p, r->fim);
        e = tabela.longos[e.valor + (r->buf >> (PALAVRA_BITS - e.largura))];
        if (e.bits > r->n) return -1;
    } while (e.largura != 0);
    r->buf <<= e.bits;
    r->n -= e.bits;
    return e.valor;
}

// The plain tail, one symbol at a time, refilled a byte at a time so that
// the bits past the end of the stream stay zero and are never taken. Stops
// when the reader asks for more input or a code needs bits past the end.
size_t decodificaCauda(const TabelaDecodificacao& tabela, LeitorBits* r, uint8_t* out, size_t count) {
    size_t i = 0;
    while (i < count && !leitorPedeMais(*r)) {
        lbRecarregaBytes(r->buf, r->n, r->p, r->fim);
        const size_t indice = r->buf >> (PALAVRA_BITS - DECODE_BITS);
        if (tabela.usados[indice] & DECODE_LONGO) {
            const int simbolo = caminhaLongo(tabela, r);
            if (simbolo < 0) break;
            out[i++] = static_cast<uint8_t>(simbolo);
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
    const Limites limites = limitesJanela(*r);
    size_t i = 0;
    if (tabela.todos8) i += decodificaBytes(tabela, limites, r, out, count);
    i += decodificaRapidos(tabela, limites, r, out + i, count - i);
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
