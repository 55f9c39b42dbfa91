// The decompressor's fast path, in the order the data flows: the decoding
// table, the cursors of the fast region, and the plain tail; and the
// bit-by-bit walk they are checked against.
#include <bit>
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

uint64_t entradaDe(const Arvore* root, uint32_t indice, const Arvore** longo) {
    uint64_t simbolos = 0;
    uint64_t usados = 0, len1 = 0, qtd = 0;
    while (qtd < DECODE_MAX_SIMBOLOS) {
        uint32_t passos;
        const Arvore* no = caminha(root, indice, usados, &passos);
        if (no->esq) {
            if (qtd == 0) *longo = no;
            break;
        }
        simbolos |= static_cast<uint64_t>(no->simbolo) << (8 * qtd);
        usados += passos;
        if (qtd == 0) len1 = passos;
        qtd++;
    }
    return simbolos << 32 | usados | len1 << 8 | qtd << 16;
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
    tabela->entrada.fill(0);
    tabela->longo.fill(nullptr);
    tabela->todos8 = false;
    if (!root || !root->esq) return;  // a lone leaf reads no bits
    for (uint32_t i = 0; i < (1u << DECODE_BITS); i++) tabela->entrada[i] = entradaDe(root, i, &tabela->longo[i]);
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

// A decoding position in the fast region, where every 8-byte load and
// every walk of a long code stays inside the input (see DECODE_MARGEM).
struct Cursor {
    uint64_t buf;  // as in LeitorBits
    uint32_t n;
    const uint8_t* p;
    uint8_t* out;
};

// Bits of the stream before the cursor, counted from `base`.
inline int64_t posicao(const Cursor& c, const uint8_t* base) { return 8 * (c.p - base) - c.n; }

[[gnu::always_inline]] inline void recarrega(Cursor* c) { lbRecarregaPalavra(c->buf, c->n, c->p); }

// One table lookup, which needs DECODE_BITS bits in `buf`. Returns false
// after a code longer than that, whose walk may leave fewer.
[[gnu::always_inline]] inline bool consome(const TabelaDecodificacao& tabela, Cursor* c) {
    const uint32_t indice = static_cast<uint32_t>(c->buf >> (64 - DECODE_BITS));
    const uint64_t e = tabela.entrada[indice];
    if (entradaQtd(e) == 0) [[unlikely]] {
        const Arvore* no = tabela.longo[indice];
        c->buf <<= DECODE_BITS;
        c->n -= DECODE_BITS;
        while (no->esq) {
            if (c->n == 0) recarrega(c);
            no = c->buf >> 63 ? no->dir : no->esq;
            c->buf <<= 1;
            c->n--;
        }
        *c->out++ = no->simbolo;
        return false;
    }
    // The first symbol, in the low byte, goes to out[0].
    uint32_t simbolos = entradaSimbolos(e);
    if constexpr (std::endian::native == std::endian::big) simbolos = __builtin_bswap32(simbolos);
    memcpy(c->out, &simbolos, sizeof simbolos);
    c->out += entradaQtd(e);
    c->buf <<= e & 63;  // entradaUsados: at most DECODE_BITS, so the low 6 bits
    c->n -= entradaUsados(e);
    return true;
}

// A refill, then K lookups: a refill leaves at least 56 bits, enough for K
// lookups of DECODE_BITS bits; a group writes at most DECODE_MAX_SIMBOLOS * K
// symbols.
constexpr int K = 56 / DECODE_BITS;
constexpr ptrdiff_t GRUPO = DECODE_MAX_SIMBOLOS * K;

[[gnu::always_inline]] inline void grupo(const TabelaDecodificacao& tabela, Cursor* c) {
    recarrega(c);
    for (int k = 0; k < K; k++)
        if (!consome(tabela, c)) break;
}

// One refill and one lookup: stops at every place where a lookup starts.
[[gnu::always_inline]] inline void passo(const TabelaDecodificacao& tabela, Cursor* c) {
    recarrega(c);
    consome(tabela, c);
}

// Input bytes decoded per segment by two cursors, and lookups of the second
// cursor recorded to find where the first one meets it.
constexpr ptrdiff_t SEGMENTO = 8 * 1024;
constexpr int MARCAS = 64;

// After a segment where the cursors never met, this many go by with one.
constexpr uint32_t SEGMENTOS_SOZINHO = 16;

enum class Encontro { Sim, Nao, SemEspaco };

// Output of the second cursor, which stops before it fills it. Half a
// segment of input, what the second decodes while the first crosses the
// other half, holds at most 8 * SEGMENTO / 2 codes of 1 bit. Kept off the
// stack, so that the program runs in a small one; the decoder runs on one
// thread.
constexpr ptrdiff_t RASCUNHO = 8 * (SEGMENTO / 2);
uint8_t rascunhoSegundoCursor[RASCUNHO];

// A stream of codes is one chain of dependent lookups. To run two chains,
// a second cursor starts half a segment ahead, at a guessed bit, and
// decodes into a scratch buffer; a Huffman code almost always falls back
// into step within a few symbols. When the first cursor reaches a place
// where the second one also started a lookup, everything the second
// decoded from there on is what the first would decode, and the first
// takes that output and the second's place. If they never meet, or the
// output has no room for what the second decoded, the first cursor goes on
// alone; the cursor is exact in every case.
//
// Both cursors live in locals: symbols stored through `out`, a byte
// pointer, could otherwise alias a cursor held in memory and force its
// fields to be reloaded at every lookup.
Encontro segmentoDuplo(const TabelaDecodificacao& tabela, Cursor* cursor, uint8_t* outFim, const uint8_t* limite) {
    Cursor a = *cursor;
    auto devolve = [&](Encontro e) {
        *cursor = a;
        return e;
    };
    uint8_t* const rascunho = rascunhoSegundoCursor;
    uint8_t* const rascunhoFim = rascunho + RASCUNHO;
    const uint8_t* const base = a.p;
    // The second cursor starts on the same bit of a byte as the first, so
    // that codes whose lengths are all even, say, can still meet.
    const uint32_t bit = static_cast<uint32_t>(posicao(a, base)) & 7;
    const uint8_t* const q = a.p + SEGMENTO / 2;
    Cursor b{carregaBE64(q) << bit, 56 - bit, q + 7, rascunho};
    struct Marca {
        int64_t posicao;
        uint8_t* out;
    } marcas[MARCAS];
    for (Marca& m : marcas) {
        m = {posicao(b, base), b.out};
        passo(tabela, &b);
    }
    while (a.p < q && b.p < limite && outFim - a.out >= GRUPO && rascunhoFim - b.out >= GRUPO) {
        grupo(tabela, &a);
        grupo(tabela, &b);
    }
    // The first cursor one lookup at a time, until it meets a recorded
    // lookup of the second or passes the last one.
    int k = 0;
    while (outFim - a.out >= GRUPO && a.p < limite) {
        const int64_t pos = posicao(a, base);
        while (k < MARCAS && marcas[k].posicao < pos) k++;
        if (k == MARCAS) return devolve(Encontro::Nao);
        if (marcas[k].posicao == pos) {
            const size_t resto = static_cast<size_t>(b.out - marcas[k].out);
            if (resto > static_cast<size_t>(outFim - a.out)) return devolve(Encontro::SemEspaco);
            memcpy(a.out, marcas[k].out, resto);
            a = Cursor{b.buf, b.n, b.p, a.out + resto};
            return devolve(Encontro::Sim);
        }
        passo(tabela, &a);
    }
    return devolve(Encontro::SemEspaco);
}

// One cursor until it reaches `ate` or the output has no room for a group;
// in a local for the same reason as above.
void grupos(const TabelaDecodificacao& tabela, Cursor* cursor, const uint8_t* ate, uint8_t* outFim) {
    Cursor a = *cursor;
    while (a.p < ate && outFim - a.out >= GRUPO) grupo(tabela, &a);
    *cursor = a;
}

static_assert(DECODE_RESERVA >= DECODE_MARGEM + 2 * SEGMENTO);

// The fast loops from `a` on, until `reserva` bytes are left in the input
// (see reservaLeitura): two cursors while there is room for them.
void decodificaCursores(const TabelaDecodificacao& tabela, Cursor* a, uint8_t* outFim, const uint8_t* fim,
                        size_t reserva) {
    if (fim - a->p < static_cast<ptrdiff_t>(reserva)) return;
    const uint8_t* const limite = fim - DECODE_MARGEM;
    uint32_t pausa = 0;    // segments left to go with one cursor
    ptrdiff_t ultimo = 0;  // output of the last segment, to leave room for the next
    while (limite - a->p >= 2 * SEGMENTO && fim - a->p >= static_cast<ptrdiff_t>(reserva) &&
           outFim - a->out >= 2 * ultimo + GRUPO) {
        uint8_t* const antes = a->out;
        if (pausa > 0) {
            pausa--;
            grupos(tabela, a, a->p + SEGMENTO, outFim);
        } else {
            const Encontro e = segmentoDuplo(tabela, a, outFim, limite);
            if (e == Encontro::SemEspaco) break;
            if (e == Encontro::Nao) pausa = SEGMENTOS_SOZINHO;
        }
        ultimo = a->out - antes;
    }
    grupos(tabela, a, fim - reserva, outFim);
}

// ------------------------------------------------------------- strategies

// A lone leaf: every symbol is the leaf's, and no bit is read.
size_t decodificaFolhaUnica(const TabelaDecodificacao& tabela, uint8_t* out, size_t count) {
    memset(out, tabela.raiz->simbolo, count);
    return count;
}

// Every code has 8 bits: each symbol is a byte of the stream, cut at the bit
// where it stands. The whole bytes held in `buf` go one by one; then the
// window up to its reserve, realigned behind the bits left in `buf`, is
// mapped as a block.
size_t decodificaBytes(const TabelaDecodificacao& tabela, LeitorBits* r, uint8_t* out, size_t count) {
    const size_t reserva = reservaLeitura(*r);
    if (static_cast<size_t>(r->fim - r->p) <= reserva) return 0;
    size_t i = 0;
    while (r->n >= 8 && i < count) {
        out[i++] = tabela.simbolo8[r->buf >> 56];
        r->buf <<= 8;
        r->n -= 8;
    }
    const size_t disponiveis = static_cast<size_t>(r->fim - r->p) - reserva;
    const size_t m = count - i < disponiveis ? count - i : disponiveis;
    if (r->n == 0) {
        substituiBytes(tabela.simbolo8.data(), r->p, out + i, m);
        r->buf = 0;
    } else {
        r->buf &= ~(~uint64_t{0} >> r->n);
        deslocaBytes(r->p, out + i, m, r->n, &r->buf);
        substituiBytes(tabela.simbolo8.data(), out + i, out + i, m);
    }
    r->p += m;
    return i + m;
}

// The cursors, from where `r` stands up to the reserve of the window.
size_t decodificaRapidos(const TabelaDecodificacao& tabela, LeitorBits* r, uint8_t* out, size_t count) {
    Cursor a{r->buf, r->n, r->p, out};
    decodificaCursores(tabela, &a, out + count, r->fim, reservaLeitura(*r));
    r->buf = a.buf;
    r->n = a.n;
    r->p = a.p;
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
        const uint64_t e = tabela.entrada[r->buf >> (64 - DECODE_BITS)];
        if (entradaQtd(e) == 0) {
            const Arvore* folha = caminhaLongo(tabela, r);
            if (!folha) break;
            out[i++] = folha->simbolo;
        } else {
            const uint32_t len1 = entradaLen1(e);
            if (len1 > r->n) break;
            out[i++] = static_cast<uint8_t>(entradaSimbolos(e));
            r->buf <<= len1;
            r->n -= len1;
        }
    }
    return i;
}

}  // namespace

size_t decodificaRapido(const TabelaDecodificacao& tabela, LeitorBits* r, uint8_t* out, size_t count) {
    if (!tabela.raiz->esq) return decodificaFolhaUnica(tabela, out, count);
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
