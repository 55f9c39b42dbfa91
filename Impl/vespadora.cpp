#include "vespadora.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "vespadora_saida.h"

#ifdef VESPADORA_X86_64
#include <immintrin.h>
#endif

namespace {

// Size of the blocks in which both drivers read and write their files.
constexpr size_t BLOCO = 256 * 1024;

void estagio(const char* texto) {
    fputs(texto, stdout);
    fflush(stdout);
}

void estagioOk() {
    puts("OK");
    fflush(stdout);
}

// Reports an error on the line that is open and makes the driver fail.
template <typename... Args>
int falha(const char* formato, Args... args) {
    printf(formato, args...);
    fflush(stdout);
    return 1;
}

struct FechaArquivo {
    void operator()(FILE* f) const {
        if (f) fclose(f);
    }
};
using ArquivoPtr = std::unique_ptr<FILE, FechaArquivo>;

struct Libera {
    void operator()(void* p) const { free(p); }
};
using BlocoPtr = std::unique_ptr<uint8_t, Libera>;

BlocoPtr criaBloco(size_t size) { return BlocoPtr(static_cast<uint8_t*>(alocaMemoria(size))); }

struct DestroiArvore {
    void operator()(Arvore* t) const { destroiArvore(t); }
};
struct DestroiHeap {
    void operator()(Heap* h) const { destroiHeap(h); }
};
struct DestroiEncodedInput {
    void operator()(EncodedInput* bsi) const { destroiEncodedInput(bsi); }
};
struct DestroiEncodedOutput {
    void operator()(EncodedOutput* out) const { destroiEncodedOutput(out); }
};

// Opens an input; a stream that cannot be allocated is reported as memory
// running out, like every other failed allocation, not as a missing file.
FILE* abreEntrada(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f && errno == ENOMEM) throw std::bad_alloc();
    return f;
}

// The same for the output.
bool criaSaida(ArquivoSaida* saida, const char* path) {
    if (abreSaida(saida, path)) return true;
    if (errno == ENOMEM) throw std::bad_alloc();
    return false;
}

bool escreveTudo(FILE* f, const void* data, size_t size) { return fwrite(data, 1, size, f) == size; }

// Whether the output path already names the file that is open as input,
// whatever the spelling or the links that lead to it.
bool mesmoArquivo(FILE* entrada, const char* outputPath) {
    struct stat a, b;
    if (fstat(fileno(entrada), &a) != 0 || stat(outputPath, &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

const char* const MSG_ENTRADA_GRANDE = "Erro: arquivo de entrada grande demais (máximo de 4294967295 bytes): %s\n";
const char* const MSG_MESMO_ARQUIVO = "Erro: entrada e saida são o mesmo arquivo: %s\n";
const char* const MSG_LEITURA = "Erro ao ler arquivo de entrada: %s\n";
const char* const MSG_ESCRITA = "Erro ao escrever arquivo de saida: %s\n";
const char* const MSG_TEMPORARIO = "Erro ao criar arquivo temporário para a entrada: %s\n";
const char* const MSG_MUDOU = "Erro: arquivo de entrada mudou durante a compressão: %s\n";
const char* const MSG_CORROMPIDO = "Erro: arquivo compactado corrompido ou truncado: %s\n";

// ---------------------------------------------------------------- compressor

enum class Passagem { Ok, ErroLeitura, Grande, ErroTemporario };

// First pass: counts the byte values of `entrada`. When `copia` is given (an
// input that cannot be read twice), every block also goes to that temporary
// file, which the second pass then reads.
Passagem primeiraPassagem(FILE* entrada, FILE* copia, uint8_t* bloco, ContagemPares* pares, FrequencyTable* freq,
                          uint64_t* total) {
    freq->fill(0);
    *total = 0;
    size_t lidos;
    while ((lidos = fread(bloco, 1, BLOCO, entrada)) > 0) {
        *total += lidos;
        if (*total > MAX_ENTRADA) return Passagem::Grande;
        if (pares) {
            contaPares(bloco, lidos, pares, freq);
        } else {
            contaFrequenciasRapido(bloco, lidos, freq);
        }
        if (copia && !escreveTudo(copia, bloco, lidos)) return Passagem::ErroTemporario;
    }
    if (ferror(entrada)) return Passagem::ErroLeitura;
    if (pares) dobraPares(*pares, freq);
    if (copia && (fflush(copia) != 0 || fseek(copia, 0, SEEK_SET) != 0)) return Passagem::ErroTemporario;
    return Passagem::Ok;
}

Arvore* constroiArvore(const FrequencyTable& freq, uint64_t total) {
    std::unique_ptr<Heap, DestroiHeap> heap(criaHeap(256));
    if (total == 0) {
        // An empty input still gets a tree, a lone leaf, so that the file has
        // the same shape as any other: header 0, then the leaf.
        insere(heap.get(), criaFolha(0), 0);
    }
    for (int b = 0; b < 256; b++) {
        if (freq[b] == 0) continue;
        Arvore* folha = criaFolha(static_cast<uint8_t>(b));
        try {
            insere(heap.get(), folha, freq[b]);
        } catch (...) {
            destroiArvore(folha);
            throw;
        }
    }
    try {
        return huffman(heap.get());
    } catch (...) {
        for (int32_t i = 1; i <= getTamanho(heap.get()); i++) destroiArvore(heap->items[i]->arvore);
        throw;
    }
}

void escreveCabecalho(uint8_t cabecalho[4], uint32_t symbolCount) {
    for (int i = 0; i < 4; i++) cabecalho[i] = static_cast<uint8_t>(symbolCount >> (8 * i));
}

double taxaCompressao(uint64_t written, uint32_t symbolCount) {
    // An empty input has no meaningful ratio; it is shown as 0.00.
    if (symbolCount == 0) return 0.0;
    // The quotient and the product in extended precision, rounded to double
    // once, so that the two decimals shown follow from the exact value.
    const long double quociente = static_cast<long double>(written) / static_cast<long double>(symbolCount);
    return static_cast<double>(quociente * 100.0L);
}

struct SegundaPassagem {
    uint64_t total = 0;
    uint64_t escritos = 0;   // bytes of codes written to the file
    bool semCodigo = false;  // a byte that the first pass did not see
};

// Smallest input counted and coded two bytes at a time.
constexpr uint64_t MIN_PARES = 1 << 20;

// Input bytes coded between two checks of the room left in the output block.
constexpr size_t TRECHO = 32 * 1024;

// Second pass: the codes of every byte, through a word writer that goes on
// from the bits the tree left in `out`. Stops early on a failed write or on
// an input that grew; the caller tells which.
void segundaPassagem(FILE* entrada, uint8_t* bloco, const CodigosRapidos& codigos, EncodedOutput* out,
                     SegundaPassagem* r) {
    const size_t espacoTrecho = espacoCodificacao(codigos, TRECHO);
    const size_t tamanhoSaida = BLOCO + espacoTrecho;
    BlocoPtr saida = criaBloco(tamanhoSaida);
    uint8_t* const inicio = saida.get();
    BitWriter w;
    bwAssume(&w, out, inicio);
    auto descarrega = [&]() {
        const size_t n = static_cast<size_t>(w.p - inicio);
        r->escritos += fwrite(inicio, 1, n, out->file);
        // The pending bits of the last, partial byte are still in `w.acc`.
        w.p = inicio;
        return !ferror(out->file);
    };
    size_t lidos;
    while ((lidos = fread(bloco, 1, BLOCO, entrada)) > 0) {
        r->total += lidos;
        if (r->total > MAX_ENTRADA) return;
        for (size_t i = 0; i < lidos; i += TRECHO) {
            const size_t n = lidos - i < TRECHO ? lidos - i : TRECHO;
            if (static_cast<size_t>(inicio + tamanhoSaida - w.p) < espacoTrecho && !descarrega()) return;
            if (!codificaRapido(codigos, bloco + i, n, &w)) r->semCodigo = true;
        }
    }
    // The last byte is padded with zero bits: they are already there, below
    // the pending bits.
    bwFlush(&w);
    if (w.n > 0) w.p++;
    descarrega();
}

}  // namespace

void contaFrequencias(const uint8_t* data, size_t size, FrequencyTable* freq) {
    for (size_t i = 0; i < size; i++) (*freq)[data[i]]++;
}

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

namespace {

void substituiBytesPortavel(const uint8_t* tabela, const uint8_t* in, uint8_t* out, size_t size) {
    for (size_t i = 0; i < size; i++) out[i] = tabela[in[i]];
}

#ifdef VESPADORA_X86_64
#define VESPADORA_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// 64 bytes at once: two 128-entry permutes, one for each half of the table,
// and the top bit of each byte picks between them.
VESPADORA_VBMI inline __m512i substitui64(const __m512i t[4], __m512i x) {
    const __m512i baixo = _mm512_permutex2var_epi8(t[0], x, t[1]);
    const __m512i alto = _mm512_permutex2var_epi8(t[2], x, t[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), baixo, alto);
}

VESPADORA_VBMI void substituiBytesVbmi(const uint8_t* tabela, const uint8_t* in, uint8_t* out, size_t size) {
    __m512i t[4];
    for (int k = 0; k < 4; k++) t[k] = _mm512_loadu_si512(tabela + 64 * k);
    size_t i = 0;
    for (; i + 64 <= size; i += 64) _mm512_storeu_si512(out + i, substitui64(t, _mm512_loadu_si512(in + i)));
    if (i < size) {
        const __mmask64 m = ~uint64_t{0} >> (64 - (size - i));
        _mm512_mask_storeu_epi8(out + i, m, substitui64(t, _mm512_maskz_loadu_epi8(m, in + i)));
    }
}
#endif

SubstituiBytesFn escolheSubstituiBytes() {
#ifdef VESPADORA_X86_64
    if (recursosCpu().avx512vbmi) return substituiBytesVbmi;
#endif
    return substituiBytesPortavel;
}

const SubstituiBytesFn substituiBytesEscolhida = escolheSubstituiBytes();

}  // namespace

std::vector<Variante<SubstituiBytesFn>> variantesSubstituiBytes() {
    std::vector<Variante<SubstituiBytesFn>> v{{"portable", substituiBytesPortavel}};
#ifdef VESPADORA_X86_64
    if (recursosCpu().avx512vbmi) v.push_back({"avx512vbmi", substituiBytesVbmi});
#endif
    return v;
}

void substituiBytes(const uint8_t* tabela, const uint8_t* in, uint8_t* out, size_t size) {
    substituiBytesEscolhida(tabela, in, out, size);
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

void preparaCodigosRapidos(CodigosRapidos* codigos, const EncodingTable& table, const Arvore* root) {
    codigos->maxLen = 0;
    codigos->folhaUnica = root && !root->esq ? root->simbolo : -1;
    for (int b = 0; b < 256; b++) {
        const uint32_t len = table[b].bits;
        codigos->bits[b] = bsPalavra(&table[b]);
        codigos->len[b] = static_cast<uint8_t>(len);
        codigos->lenRapido[b] = static_cast<uint8_t>(len == 0 || len > BW_MAX_PUT ? 63 : len);
        if (len > codigos->maxLen) codigos->maxLen = len;
    }
    codigos->pares = nullptr;
    codigos->todos8 = true;
    for (int b = 0; b < 256; b++) {
        codigos->todos8 &= codigos->len[b] == 8;
        codigos->codigo8[b] = static_cast<uint8_t>(codigos->bits[b] >> 56);
    }
}

void preparaPares(TabelaPares* pares, const CodigosRapidos& codigos) {
    for (uint32_t b = 0; b < 256; b++) {
        for (uint32_t a = 0; a < 256; a++) {
            const uint32_t la = codigos.len[a], lb = codigos.len[b];
            const bool cabe = la > 0 && lb > 0 && la + lb <= PARES_MAX_BITS;
            pares->entrada[a | b << 8] = cabe ? (codigos.bits[a] | codigos.bits[b] >> la) | (la + lb) : 0;
        }
    }
}

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
// without a code (`lenRapido` 63 for both), takes the slow branch, which
// leaves the writer flushed again.
template <int PorFlush, uint32_t Limite>
bool codificaPalavras(const CodigosRapidos& codigos, const uint8_t* in, size_t size, BitWriter* w) {
    static_assert(7 + PorFlush * Limite <= 63);
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
// flushes. The length in the low byte of an entry is ORed into the word
// along with the code, below every pending bit (at most 7 + PorFlush *
// PARES_MAX_BITS of them); each flush clears it. A pair with length 0 goes
// byte by byte through bwPutLong, which leaves the writer flushed again.
template <int PorFlush>
[[gnu::always_inline]] inline bool codificaPares(const CodigosRapidos& codigos, const uint8_t* in, size_t size,
                                                 BitWriter* w) {
    static_assert(7 + PorFlush * PARES_MAX_BITS <= 64 - 6);
    const uint64_t* pares = codigos.pares->entrada.data();
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
        const uint64_t e = pares[par[0] | par[1] << 8];
        const uint32_t len = static_cast<uint8_t>(e);
        if (len == 0) [[unlikely]] {
            acc &= ~uint64_t{63};
            separados(par, 2);
            return;
        }
        acc |= e >> n;
        n += len;
    };
    auto flush = [&]() {
        acc &= ~uint64_t{63};
        bwFlushPartes(acc, n, p);
    };
    size_t i = 0;
    for (; i + 2 * PorFlush <= size; i += 2 * PorFlush) {
        for (int k = 0; k < PorFlush; k++) codifica(in + i + 2 * k);
        flush();
    }
    for (; i + 2 <= size; i += 2) {
        codifica(in + i);
        flush();
    }
    if (i < size) separados(in + i, 1);
    *w = BitWriter{acc, n, p};
    return !semCodigo;
}

bool codificaParesPortavel(const CodigosRapidos& codigos, const uint8_t* in, size_t size, BitWriter* w) {
    return codificaPares<2>(codigos, in, size, w);
}

#ifdef VESPADORA_X86_64
// The same loop with the BMI2 shifts, which take their count in any register.
__attribute__((target("bmi2"))) bool codificaParesBmi2(const CodigosRapidos& codigos, const uint8_t* in, size_t size,
                                                       BitWriter* w) {
    return codificaPares<2>(codigos, in, size, w);
}
#endif

CodificaParesFn escolheCodificaPares() {
#ifdef VESPADORA_X86_64
    if (recursosCpu().bmi2) return codificaParesBmi2;
#endif
    return codificaParesPortavel;
}

const CodificaParesFn codificaParesEscolhida = escolheCodificaPares();

}  // namespace

std::vector<Variante<CodificaParesFn>> variantesCodificaPares() {
    std::vector<Variante<CodificaParesFn>> v{{"portable", codificaParesPortavel}};
#ifdef VESPADORA_X86_64
    if (recursosCpu().bmi2) v.push_back({"bmi2", codificaParesBmi2});
#endif
    return v;
}

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
        return codificaParesEscolhida(codigos, in, size, w);
    }
    if (codigos.maxLen <= 7) return codificaPalavras<8, 7>(codigos, in, size, w);
    if (codigos.maxLen == 8) return codificaPalavras<7, 8>(codigos, in, size, w);
    return codificaPalavras<4, 14>(codigos, in, size, w);
}

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

// Leaves at least 56 bits in `buf`.
[[gnu::always_inline]] inline void recarrega(Cursor* c) {
    c->buf |= carregaBE64(c->p) >> c->n;
    c->p += (63 - c->n) >> 3;
    c->n |= 56;
}

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
    c->buf <<= e & 63;  // entradaUsados, which is below 64
    c->n -= entradaUsados(e);
    return true;
}

// A refill, then K lookups: at most DECODE_MAX_SIMBOLOS * K symbols.
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

enum class Encontro { Sim, Nao, SemEspaco };

// Output of the second cursor. Half a segment of input decodes to at most
// 4 * SEGMENTO symbols at 1 bit each. Kept off the stack, so that the
// program runs in a small one; the decoder runs on one thread.
uint8_t rascunhoSegundoCursor[4 * SEGMENTO];

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
    uint8_t* const rascunhoFim = rascunho + sizeof rascunhoSegundoCursor;
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

// The fast loops from `a` on, until `reserva` bytes are left in the input:
// two cursors while there is room for them.
void decodificaCursores(const TabelaDecodificacao& tabela, Cursor* a, uint8_t* outFim, const uint8_t* fim,
                        size_t reserva) {
    if (fim - a->p < static_cast<ptrdiff_t>(reserva)) return;
    const uint8_t* const limite = fim - DECODE_MARGEM;
    // After a segment where the cursors never met, a few go by with one.
    uint32_t pausa = 0;
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
            if (e == Encontro::Nao) pausa = 16;
        }
        ultimo = a->out - antes;
    }
    grupos(tabela, a, fim - reserva, outFim);
}

}  // namespace

size_t decodificaRapido(const TabelaDecodificacao& tabela, LeitorBits* r, uint8_t* out, size_t count) {
    const Arvore* raiz = tabela.raiz;
    if (!raiz->esq) {
        memset(out, raiz->simbolo, count);
        return count;
    }
    const uint64_t* entrada = tabela.entrada.data();
    uint64_t buf = r->buf;
    uint32_t n = r->n;
    const uint8_t* p = r->p;
    const uint8_t* const fim = r->fim;
    size_t i = 0;

    // Fast loops: a refill leaves at least 56 bits, enough for K lookups of
    // DECODE_BITS bits. The margin keeps every 8-byte load inside the input,
    // even for the longest code a valid tree holds (255 bits).
    static_assert(DECODE_MARGEM * 8 >= ARVORE_MAX_PROFUNDIDADE + 64 + 8);
    const size_t reserva = r->ultimo ? DECODE_MARGEM : DECODE_RESERVA;
    if (tabela.todos8 && static_cast<size_t>(fim - p) > reserva) {
        // Every symbol is a byte of the stream, cut at the bit where it
        // stands: the whole bytes in `buf` one by one, then the input
        // realigned behind the bits left in `buf` and mapped as a block.
        while (n >= 8 && i < count) {
            out[i++] = tabela.simbolo8[buf >> 56];
            buf <<= 8;
            n -= 8;
        }
        const size_t disponiveis = static_cast<size_t>(fim - p) - reserva;
        const size_t m = count - i < disponiveis ? count - i : disponiveis;
        if (n == 0) {
            substituiBytes(tabela.simbolo8.data(), p, out + i, m);
            buf = 0;
        } else {
            buf &= ~(~uint64_t{0} >> n);
            deslocaBytes(p, out + i, m, n, &buf);
            substituiBytes(tabela.simbolo8.data(), out + i, out + i, m);
        }
        p += m;
        i += m;
    }
    Cursor a{buf, n, p, out + i};
    decodificaCursores(tabela, &a, out + count, fim, reserva);
    buf = a.buf;
    n = a.n;
    p = a.p;
    i = static_cast<size_t>(a.out - out);

    // Plain tail, one symbol at a time, refilled a byte at a time so that
    // the bits past the end of the stream stay zero and are never taken.
    while (i < count) {
        if (!r->ultimo && static_cast<size_t>(fim - p) < DECODE_RESERVA) break;
        while (n <= 56 && p < fim) {
            buf |= static_cast<uint64_t>(*p++) << (56 - n);
            n += 8;
        }
        const uint64_t e = entrada[buf >> (64 - DECODE_BITS)];
        if (entradaQtd(e) == 0) {
            if (n < DECODE_BITS) break;
            const Arvore* no = tabela.longo[buf >> (64 - DECODE_BITS)];
            buf <<= DECODE_BITS;
            n -= DECODE_BITS;
            while (no->esq) {
                while (n <= 56 && p < fim) {
                    buf |= static_cast<uint64_t>(*p++) << (56 - n);
                    n += 8;
                }
                if (n == 0) break;
                no = buf >> 63 ? no->dir : no->esq;
                buf <<= 1;
                n--;
            }
            if (no->esq) break;
            out[i++] = no->simbolo;
        } else {
            const uint32_t len1 = entradaLen1(e);
            if (len1 > n) break;
            out[i++] = static_cast<uint8_t>(entradaSimbolos(e));
            buf <<= len1;
            n -= len1;
        }
    }
    r->truncado = i < count && r->ultimo;
    r->buf = buf;
    r->n = n;
    r->p = p;
    return i;
}

int encode(const char* inputPath, const char* outputPath) {
    estagio("1/4 Calculando frequências...");
    ArquivoPtr entrada(abreEntrada(inputPath));
    if (!entrada) return falha("Erro ao abrir arquivo de entrada: %s\n", inputPath);
    if (mesmoArquivo(entrada.get(), outputPath)) return falha(MSG_MESMO_ARQUIVO, outputPath);

    struct stat st;
    const bool regular = fstat(fileno(entrada.get()), &st) == 0 && S_ISREG(st.st_mode);
    if (regular && static_cast<uint64_t>(st.st_size) > MAX_ENTRADA) return falha(MSG_ENTRADA_GRANDE, inputPath);
    // An input that cannot be read twice (a pipe, a terminal) is copied to a
    // temporary file during the first pass; memory use stays fixed.
    ArquivoPtr copia;
    if (!regular) {
        copia.reset(tmpfile());
        if (!copia) return falha(MSG_TEMPORARIO, inputPath);
    }

    BlocoPtr bloco = criaBloco(BLOCO);
    // Pairs are counted when the input is known to be large; the tables
    // take a fraction of a millisecond to fold.
    std::unique_ptr<ContagemPares, Libera> pares;
    if (regular && static_cast<uint64_t>(st.st_size) >= MIN_PARES)
        pares.reset(static_cast<ContagemPares*>(alocaZerada(1, sizeof(ContagemPares))));
    FrequencyTable freq;
    uint64_t total = 0;
    switch (primeiraPassagem(entrada.get(), copia.get(), bloco.get(), pares.get(), &freq, &total)) {
        case Passagem::Ok:
            break;
        case Passagem::ErroLeitura:
            return falha(MSG_LEITURA, inputPath);
        case Passagem::Grande:
            return falha(MSG_ENTRADA_GRANDE, inputPath);
        case Passagem::ErroTemporario:
            return falha(MSG_TEMPORARIO, inputPath);
    }
    pares.reset();
    FILE* fonte = copia ? copia.get() : entrada.get();
    const uint32_t symbolCount = static_cast<uint32_t>(total);
    estagioOk();

    estagio("2/4 Criando árvore de Huffman...");
    std::unique_ptr<Arvore, DestroiArvore> root(constroiArvore(freq, total));
    estagioOk();

    estagio("3/4 Criando tabela de encodings...");
    std::unique_ptr<EncodingTable, Libera> table(static_cast<EncodingTable*>(alocaZerada(1, sizeof(EncodingTable))));
    BitStream code;
    bsClean(&code);
    preencheEncodingTable2(table.get(), root.get(), code);
    estagioOk();

    estagio("4/4 Escrevendo arquivo compactado...");
    ArquivoSaida saida;
    if (!criaSaida(&saida, outputPath)) return falha("Erro ao abrir arquivo de saida: %s\n", outputPath);
    uint8_t cabecalho[4];
    escreveCabecalho(cabecalho, symbolCount);
    if (!escreveTudo(saida.file, cabecalho, sizeof cabecalho)) return falha(MSG_ESCRITA, outputPath);

    std::unique_ptr<EncodedOutput, DestroiEncodedOutput> out(criaEncodedOutput(saida.file));
    encodedOutputWriteTree(out.get(), root.get());
    if (fseek(fonte, 0, SEEK_SET) != 0) return falha(MSG_LEITURA, inputPath);
    CodigosRapidos codigos;
    preparaCodigosRapidos(&codigos, *table, root.get());
    // The table of pairs takes a fraction of a millisecond to fill: worth it
    // from a megabyte on.
    std::unique_ptr<TabelaPares, Libera> tabelaPares;
    if (total >= MIN_PARES && !codigos.todos8) {
        tabelaPares.reset(static_cast<TabelaPares*>(alocaMemoria(sizeof(TabelaPares))));
        preparaPares(tabelaPares.get(), codigos);
        codigos.pares = tabelaPares.get();
    }
    SegundaPassagem segunda;
    segundaPassagem(fonte, bloco.get(), codigos, out.get(), &segunda);
    if (ferror(saida.file)) return falha(MSG_ESCRITA, outputPath);
    if (ferror(fonte)) return falha(MSG_LEITURA, inputPath);
    if (segunda.total != total || segunda.semCodigo) return falha(MSG_MUDOU, inputPath);
    const uint64_t written = sizeof cabecalho + destroiEncodedOutput(out.release()) + segunda.escritos;
    if (!fechaSaida(&saida)) return falha(MSG_ESCRITA, outputPath);
    entrada.reset();
    estagioOk();

    printf("Bytes processados: %u Bytes escritos: %" PRIu64 " Taxa de compressão: %.2f%%\n", symbolCount, written,
           taxaCompressao(written, symbolCount));
    return 0;
}

// -------------------------------------------------------------- decompressor

uint8_t decodeByte(const Arvore* huff, EncodedInput* bsi) {
    while (huff->esq) huff = bsiPop(bsi) ? huff->dir : huff->esq;
    assert(huff->dir == NULL);
    return huff->simbolo;
}

namespace {

// Whether the stream ends right here, without consuming anything.
bool noFim(FILE* f) {
    const int c = fgetc(f);
    if (c == EOF) return true;
    ungetc(c, f);
    return false;
}

// Length of the shortest code of the tree: 0 for a lone leaf.
uint32_t menorCodigo(const Arvore* t) {
    if (!t->esq) return 0;
    const uint32_t esq = menorCodigo(t->esq), dir = menorCodigo(t->dir);
    return 1 + (esq < dir ? esq : dir);
}

// Whether a regular input holds, after the tree, at least the bits of
// `symbolCount` codes of the shortest length. One that does not can only run
// out of codes, so it is refused before the output is touched; a file of
// another kind given by mistake usually ends here. Bytes past the last code
// are allowed, so there is no upper bound. Other inputs are not checked.
bool cabemCodigos(FILE* entrada, const EncodedInput* bsi, const Arvore* root, uint32_t symbolCount) {
    struct stat st;
    const off_t lidos = ftello(entrada);
    if (fstat(fileno(entrada), &st) != 0 || !S_ISREG(st.st_mode) || lidos < 0 || st.st_size < lidos) return true;
    const uint32_t pos = static_cast<uint32_t>(bsi->pos);
    const uint64_t noBuffer = bsi->buffer.bits > pos ? bsi->buffer.bits - pos : 0;
    const uint64_t bits = 8 * static_cast<uint64_t>(st.st_size - lidos) + noBuffer;
    return static_cast<uint64_t>(symbolCount) * menorCodigo(root) <= bits;
}

enum class Descompressao { Ok, Corrompido, ErroLeitura, ErroEscrita };

// Decodes `symbolCount` symbols, going on from the bits that the tree left
// in `bsi`, reading the rest of its file in blocks.
Descompressao descomprime(const Arvore* root, EncodedInput* bsi, uint32_t symbolCount, FILE* saida) {
    if (symbolCount == 0) return Descompressao::Ok;
    std::unique_ptr<TabelaDecodificacao, Libera> tabela(
        static_cast<TabelaDecodificacao*>(alocaMemoria(sizeof(TabelaDecodificacao))));
    preparaDecodificacao(tabela.get(), root);
    BlocoPtr entrada = criaBloco(BLOCO + DECODE_RESERVA);
    BlocoPtr bloco = criaBloco(BLOCO);
    LeitorBits r{};
    r.buf = bsiRestante(bsi, &r.n);
    r.p = r.fim = entrada.get();
    uint32_t restantes = symbolCount;
    while (restantes > 0) {
        if (!r.ultimo && static_cast<size_t>(r.fim - r.p) < DECODE_RESERVA) {
            const size_t resto = static_cast<size_t>(r.fim - r.p);
            memmove(entrada.get(), r.p, resto);
            const size_t lidos = fread(entrada.get() + resto, 1, BLOCO, bsi->file);
            r.p = entrada.get();
            r.fim = r.p + resto + lidos;
            if (lidos == 0) {
                if (ferror(bsi->file)) return Descompressao::ErroLeitura;
                r.ultimo = true;
            }
            continue;
        }
        const size_t n = decodificaRapido(*tabela, &r, bloco.get(), restantes < BLOCO ? restantes : BLOCO);
        if (r.truncado) return Descompressao::Corrompido;
        if (!escreveTudo(saida, bloco.get(), n)) return Descompressao::ErroEscrita;
        restantes -= static_cast<uint32_t>(n);
    }
    return Descompressao::Ok;
}

}  // namespace

int decode(const char* inputPath, const char* outputPath) {
    ArquivoPtr entrada(abreEntrada(inputPath));
    if (!entrada) return falha("Erro ao abrir arquivo de entrada %s\n", inputPath);
    if (mesmoArquivo(entrada.get(), outputPath)) return falha(MSG_MESMO_ARQUIVO, outputPath);

    // The header, the tree and the length of the codes are checked before
    // the output is created, so that such an input leaves an existing output
    // untouched. The console shows the same lines as if each stage ran in
    // its turn.
    uint8_t cabecalho[4];
    if (fread(cabecalho, 1, sizeof cabecalho, entrada.get()) != sizeof cabecalho)
        return falha(ferror(entrada.get()) ? MSG_LEITURA : MSG_CORROMPIDO, inputPath);
    const uint32_t symbolCount = static_cast<uint32_t>(cabecalho[0]) | static_cast<uint32_t>(cabecalho[1]) << 8 |
                                 static_cast<uint32_t>(cabecalho[2]) << 16 | static_cast<uint32_t>(cabecalho[3]) << 24;
    std::unique_ptr<EncodedInput, DestroiEncodedInput> bsi(criaEncodedInput(entrada.get()));
    std::unique_ptr<Arvore, DestroiArvore> root;
    // An empty file may also be stored as its header alone.
    const bool semArvore = symbolCount == 0 && noFim(entrada.get()) && !ferror(entrada.get());
    if (!semArvore) root.reset(encodedInputReadTree(bsi.get()));
    const bool arvoreOk = semArvore || root;
    const bool codigosCabem = semArvore || (root && cabemCodigos(entrada.get(), bsi.get(), root.get(), symbolCount));

    ArquivoSaida saida;
    if (codigosCabem && !criaSaida(&saida, outputPath))
        return falha("Erro ao criar arquivo de saida: %s\n", outputPath);
    printf("O arquivo compactado tem %u bytes\n", symbolCount);
    estagio("1/2 Lendo árvore de Huffman...");
    if (!arvoreOk) return falha(ferror(entrada.get()) ? MSG_LEITURA : MSG_CORROMPIDO, inputPath);
    estagioOk();

    estagio("2/2 Descomprimindo arquivo...");
    if (!codigosCabem) return falha(MSG_CORROMPIDO, inputPath);
    switch (descomprime(root.get(), bsi.get(), symbolCount, saida.file)) {
        case Descompressao::Ok:
            break;
        case Descompressao::Corrompido:
            return falha(MSG_CORROMPIDO, inputPath);
        case Descompressao::ErroLeitura:
            return falha(MSG_LEITURA, inputPath);
        case Descompressao::ErroEscrita:
            return falha(MSG_ESCRITA, outputPath);
    }
    if (!fechaSaida(&saida)) return falha(MSG_ESCRITA, outputPath);
    estagioOk();
    return 0;
}

void instrucoes() {
    puts("Para usar:\n\tvespadora [c/d] arquivoEntrada arquivoSaida");
    fflush(stdout);
    exit(1);
}
