// The two drivers, `encode` and `decode`, with their console stages and the
// files they read and write. The fast paths they run are in
// vespadora_codifica.cpp and vespadora_decodifica.cpp.
#include "vespadora.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

#include "vespadora_plataforma.h"
#include "vespadora_rapido.h"

namespace {

// ----------------------------------------------------------------- console

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

const char* const MSG_ENTRADA_GRANDE = "Erro: arquivo de entrada grande demais (máximo de 4294967295 bytes): %s\n";
const char* const MSG_MESMO_ARQUIVO = "Erro: entrada e saida são o mesmo arquivo: %s\n";
const char* const MSG_LEITURA = "Erro ao ler arquivo de entrada: %s\n";
const char* const MSG_ESCRITA = "Erro ao escrever arquivo de saida: %s\n";
const char* const MSG_TEMPORARIO = "Erro ao criar arquivo temporário para a entrada: %s\n";
const char* const MSG_MUDOU = "Erro: arquivo de entrada mudou durante a compressão: %s\n";
const char* const MSG_CORROMPIDO = "Erro: arquivo compactado corrompido ou truncado: %s\n";

// ------------------------------------------------------------------- files

// Size of the blocks in which both drivers read and write their files.
constexpr size_t BLOCO = 256 * 1024;

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

template <typename T>
std::unique_ptr<T, Libera> criaRegistro() {
    return std::unique_ptr<T, Libera>(static_cast<T*>(alocaZerada(1, sizeof(T))));
}

struct DestroiEncodedInput {
    void operator()(EncodedInput* bsi) const { destroiEncodedInput(bsi); }
};
struct DestroiEncodedOutput {
    void operator()(EncodedOutput* out) const { destroiEncodedOutput(out); }
};

// Opens an input; a stream that cannot be allocated is reported as memory
// running out, like every other failed allocation, not as a missing file.
FILE* abreEntrada(const char* path) {
    FILE* f = abreLeitura(path);
    if (!f && errno == ENOMEM) throw std::bad_alloc();
    return f;
}

// The same for the output, once reached (see saidaMesmoArquivo).
bool criaSaida(ArquivoSaida* saida) {
    if (abreSaida(saida)) return true;
    if (errno == ENOMEM) throw std::bad_alloc();
    return false;
}

// Reaches the output as opening its path would, without changing anything,
// and tells whether it is the file open as `entrada`, whatever the spelling
// or the links that lead to it. A refusal is reported when the output is
// opened.
bool saidaMesmoArquivo(ArquivoSaida* saida, const char* outputPath, FILE* entrada) {
    return alcancaSaida(saida, outputPath) && saidaEhEntrada(*saida, entrada);
}

bool escreveTudo(FILE* f, const void* data, size_t size) { return fwrite(data, 1, size, f) == size; }

// -------------------------------------------------------------- compressor

// The input of a compression and what its first reading found.
struct Entrada {
    ArquivoPtr arquivo;
    ArquivoPtr copia;  // the copy that an input that cannot be read twice leaves
    FILE* fonte;       // what the second reading reads: the input or its copy
    FrequencyTable freq;
    uint64_t total;
};

enum class Passagem { Ok, ErroLeitura, Grande, ErroTemporario };

// First pass: counts the byte values of the input, by pairs when it is
// large: by the size of a regular file (`tamanho`), or from the block where
// an input of unknown size passes MIN_PARES. When there is a copy, every
// block also goes to it.
Passagem primeiraPassagem(Entrada* e, uint8_t* bloco, uint64_t tamanho) {
    std::unique_ptr<ContagemPares, Libera> pares;
    e->freq.fill(0);
    e->total = 0;
    size_t lidos;
    while ((lidos = fread(bloco, 1, BLOCO, e->arquivo.get())) > 0) {
        e->total += lidos;
        if (e->total > MAX_ENTRADA) return Passagem::Grande;
        if (!pares && std::max(tamanho, e->total) >= MIN_PARES) pares = criaRegistro<ContagemPares>();
        if (pares) {
            contaPares(bloco, lidos, pares.get(), &e->freq);
        } else {
            contaFrequenciasRapido(bloco, lidos, &e->freq);
        }
        if (e->copia && !escreveTudo(e->copia.get(), bloco, lidos)) return Passagem::ErroTemporario;
    }
    if (ferror(e->arquivo.get())) return Passagem::ErroLeitura;
    if (pares) dobraPares(*pares, &e->freq);
    if (e->copia && (fflush(e->copia.get()) != 0 || fseeko(e->copia.get(), 0, SEEK_SET) != 0))
        return Passagem::ErroTemporario;
    return Passagem::Ok;
}

// Stage 1: opens and counts the input. Returns 0, or the driver's failure.
int contaEntrada(const char* inputPath, const char* outputPath, Entrada* e, uint8_t* bloco, ArquivoSaida* saida) {
    e->arquivo.reset(abreEntrada(inputPath));
    if (!e->arquivo) return falha("Erro ao abrir arquivo de entrada: %s\n", inputPath);
    if (saidaMesmoArquivo(saida, outputPath, e->arquivo.get())) return falha(MSG_MESMO_ARQUIVO, outputPath);
    uint64_t tamanho = 0;
    const bool regular = tamanhoRegular(e->arquivo.get(), &tamanho);
    if (regular && tamanho > MAX_ENTRADA) return falha(MSG_ENTRADA_GRANDE, inputPath);
    // An input that cannot be read twice (a pipe, a terminal) is copied to a
    // temporary file during the first pass; memory use stays fixed.
    if (!regular) {
        e->copia.reset(criaTemporarioAnonimo());
        if (!e->copia) return falha(MSG_TEMPORARIO, inputPath);
    }
    e->fonte = regular ? e->arquivo.get() : e->copia.get();
    switch (primeiraPassagem(e, bloco, regular ? tamanho : 0)) {
        case Passagem::Ok:
            return 0;
        case Passagem::ErroLeitura:
            return falha(MSG_LEITURA, inputPath);
        case Passagem::Grande:
            return falha(MSG_ENTRADA_GRANDE, inputPath);
        case Passagem::ErroTemporario:
            return falha(MSG_TEMPORARIO, inputPath);
    }
    return 0;
}

}  // namespace

// ------------------------------------------------------------------- ratio

namespace {

// A positive number m * 2^e whose significand m has its top bit set, as in
// the 80-bit extended format.
struct Estendido {
    uint64_t m;
    int e;
};

// m plus one when the bits dropped below it weigh more than half its last
// bit, or exactly half with m odd: to nearest, ties to even. `meio` is the
// first bit dropped, `abaixo` whether any after it is set.
uint64_t arredondaPar(uint64_t m, bool meio, bool abaixo) { return m + (meio && (abaixo || (m & 1))); }

// A significand that rounding carried past 64 bits.
Estendido normaliza(uint64_t m, int e) { return m != 0 ? Estendido{m, e} : Estendido{uint64_t{1} << 63, e + 1}; }

// a / b rounded to 64 significant bits, by long division a bit at a time: the
// remainder stays below b < 2^32, so no step overflows.
Estendido divideEstendido(uint64_t a, uint32_t b) {
    assert(a > 0 && b > 0);
    uint64_t m = 0, r = 0;
    int peso = 63;  // the power of two of the quotient bit being made
    for (int bits = 0; bits < 64; peso--) {
        r = 2 * r + (peso >= 0 ? (a >> peso) & 1 : 0);
        const bool bit = r >= b;
        if (bit) r -= b;
        if (bits > 0 || bit) {
            m = 2 * m + bit;
            bits++;
        }
    }
    // The first quotient bit weighs at most 2^63, so every bit of a is used.
    assert(peso < 0);
    r *= 2;
    const bool meio = r >= b;
    if (meio) r -= b;
    return normaliza(arredondaPar(m, meio, r != 0), peso + 1);
}

// x * 100 rounded to 64 significant bits.
Estendido vezesCem(Estendido x) {
    // The product has 70 or 71 bits, as x.m >= 2^63: `alto` holds the top 6
    // or 7 of them.
    const uint64_t baixo32 = (x.m & 0xFFFFFFFF) * 100, alto32 = (x.m >> 32) * 100;
    const uint64_t baixo = baixo32 + (alto32 << 32);
    const uint64_t alto = (alto32 >> 32) + (baixo < baixo32);
    const int k = alto >= 64 ? 7 : 6;  // bits below the significand
    const uint64_t m = (alto << (64 - k)) | (baixo >> k);
    const bool meio = (baixo >> (k - 1)) & 1;
    const bool abaixo = (baixo & ((uint64_t{1} << (k - 1)) - 1)) != 0;
    return normaliza(arredondaPar(m, meio, abaixo), x.e + k);
}

// x rounded to the 53 significant bits of a double.
double paraDouble(Estendido x) {
    const uint64_t m = arredondaPar(x.m >> 11, (x.m >> 10) & 1, (x.m & 0x3FF) != 0);
    return std::ldexp(static_cast<double>(m), x.e + 11);  // m <= 2^53: both exact
}

}  // namespace

double taxaCompressaoInteira(uint64_t written, uint32_t symbolCount) {
    if (symbolCount == 0 || written == 0) return 0.0;
    return paraDouble(vezesCem(divideEstendido(written, symbolCount)));
}

double taxaCompressao(uint64_t written, uint32_t symbolCount) {
    // An empty input has no meaningful ratio; it is shown as 0.00.
    if (symbolCount == 0) return 0.0;
#if LDBL_MANT_DIG == 64
    const long double quociente = static_cast<long double>(written) / static_cast<long double>(symbolCount);
    return static_cast<double>(quociente * 100.0L);
#else
    // long double is not the 80-bit format here (it is a double, or has 113
    // bits): the same roundings made with integers.
    return taxaCompressaoInteira(written, symbolCount);
#endif
}

namespace {

// Input bytes coded between two checks of the room left in the output block.
constexpr size_t TRECHO = 32 * 1024;

// The compressed file after its header: the tree writer's bits, handed over
// once to a word writer over a block, which goes to the file whenever the
// next piece of input might not fit. `escritos` counts every byte of the
// file, header included.
struct SaidaCodigos {
    ArquivoSaida* saida;
    BlocoPtr bloco;
    size_t tamanho;
    size_t espacoTrecho;  // room the codes of one piece may need
    BitWriter w;
    uint64_t escritos;
};

using EncodedOutputPtr = std::unique_ptr<EncodedOutput, DestroiEncodedOutput>;

void assumeArvore(SaidaCodigos* s, ArquivoSaida* saida, const CodigosRapidos& codigos, EncodedOutputPtr arvore) {
    s->saida = saida;
    s->espacoTrecho = espacoCodificacao(codigos, TRECHO);
    s->tamanho = BLOCO + s->espacoTrecho;
    s->bloco = criaBloco(s->tamanho);
    bwAssume(&s->w, arvore.get(), s->bloco.get());
    s->escritos = CABECALHO_BYTES + destroiEncodedOutput(arvore.release());
}

// Writes the whole bytes of the block; the pending bits stay in `w.acc`.
bool descarrega(SaidaCodigos* s) {
    const size_t n = static_cast<size_t>(s->w.p - s->bloco.get());
    s->escritos += fwrite(s->bloco.get(), 1, n, s->saida->file);
    s->w.p = s->bloco.get();
    acompanhaSaida(s->saida);
    return !ferror(s->saida->file);
}

struct SegundaPassagem {
    uint64_t total = 0;
    bool semCodigo = false;  // a byte that the first pass did not see
};

// Second pass: the codes of every byte, then the last byte padded with the
// zero bits already below the pending ones. Stops early on a failed write or
// on an input that grew; the caller tells which.
void segundaPassagem(FILE* fonte, uint8_t* bloco, const CodigosRapidos& codigos, CodificadorPares* pares,
                     SaidaCodigos* s, SegundaPassagem* r) {
    size_t lidos;
    while ((lidos = fread(bloco, 1, BLOCO, fonte)) > 0) {
        r->total += lidos;
        if (r->total > MAX_ENTRADA) return;
        for (size_t i = 0; i < lidos; i += TRECHO) {
            const size_t n = lidos - i < TRECHO ? lidos - i : TRECHO;
            const size_t espaco = static_cast<size_t>(s->bloco.get() + s->tamanho - s->w.p);
            if (espaco < s->espacoTrecho && !descarrega(s)) return;
            if (!codificaRapido(codigos, pares, bloco + i, n, &s->w)) r->semCodigo = true;
        }
    }
    bwFlush(&s->w);
    if (s->w.n > 0) s->w.p++;
    descarrega(s);
}

// The codes of the tree laid out for words, with the pair coder for a large
// input that is not a byte map.
void preparaCodigos(CodigosRapidos* codigos, std::unique_ptr<CodificadorPares, Libera>* pares, const Arvore* root,
                    const FrequencyTable& freq, uint64_t total) {
    auto table = criaRegistro<EncodingTable>();
    preencheEncodingTable(table.get(), root);
    preparaCodigosRapidos(codigos, *table, root);
    if (total >= MIN_PARES && !codigos->todos8) {
        *pares = criaRegistro<CodificadorPares>();
        preparaPares(pares->get(), *codigos, paresPorFlush(*codigos, freq));
    }
}

// Exact size of the compressed file: the header, the tree (9 bits a leaf, 1
// a node) and the codes of every byte, padded to a whole byte.
uint64_t tamanhoComprimido(const CodigosRapidos& codigos, const FrequencyTable& freq) {
    uint64_t folhas = 0, bits = 0;
    for (int b = 0; b < 256; b++) {
        folhas += freq[b] != 0;
        bits += static_cast<uint64_t>(freq[b]) * codigos.len[b];
    }
    bits += 10 * std::max<uint64_t>(folhas, 1) - 1;
    return CABECALHO_BYTES + (bits + 7) / 8;
}

}  // namespace

int encode(const char* inputPath, const char* outputPath) {
    estagio("1/4 Calculando frequências...");
    Entrada e;
    ArquivoSaida saida;
    BlocoPtr bloco = criaBloco(BLOCO);
    if (const int erro = contaEntrada(inputPath, outputPath, &e, bloco.get(), &saida)) return erro;
    const uint32_t symbolCount = static_cast<uint32_t>(e.total);
    estagioOk();

    estagio("2/4 Criando árvore de Huffman...");
    ArvorePtr root(constroiArvore(e.freq));
    estagioOk();

    estagio("3/4 Criando tabela de encodings...");
    CodigosRapidos codigos;
    std::unique_ptr<CodificadorPares, Libera> pares;
    preparaCodigos(&codigos, &pares, root.get(), e.freq, e.total);
    estagioOk();

    estagio("4/4 Escrevendo arquivo compactado...");
    if (!criaSaida(&saida)) return falha("Erro ao abrir arquivo de saida: %s\n", outputPath);
    reservaSaida(saida, tamanhoComprimido(codigos, e.freq));
    uint8_t cabecalho[CABECALHO_BYTES];
    escreveCabecalho(symbolCount, cabecalho);
    if (!escreveTudo(saida.file, cabecalho, sizeof cabecalho)) return falha(MSG_ESCRITA, outputPath);
    EncodedOutputPtr arvore(criaEncodedOutput(saida.file));
    encodedOutputWriteTree(arvore.get(), root.get());
    SaidaCodigos s;
    assumeArvore(&s, &saida, codigos, std::move(arvore));
    if (fseeko(e.fonte, 0, SEEK_SET) != 0) return falha(MSG_LEITURA, inputPath);
    SegundaPassagem segunda;
    segundaPassagem(e.fonte, bloco.get(), codigos, pares.get(), &s, &segunda);
    if (ferror(saida.file)) return falha(MSG_ESCRITA, outputPath);
    if (ferror(e.fonte)) return falha(MSG_LEITURA, inputPath);
    if (segunda.total != e.total || segunda.semCodigo) return falha(MSG_MUDOU, inputPath);
    if (!fechaSaida(&saida)) return falha(MSG_ESCRITA, outputPath);
    e.arquivo.reset();
    estagioOk();

    printf("Bytes processados: %u Bytes escritos: %" PRIu64 " Taxa de compressão: %.2f%%\n", symbolCount, s.escritos,
           taxaCompressao(s.escritos, symbolCount));
    return 0;
}

// ------------------------------------------------------------ decompressor

namespace {

// Whether the stream ends right here, without consuming anything.
bool noFim(FILE* f) {
    const int c = fgetc(f);
    if (c == EOF) return true;
    ungetc(c, f);
    return false;
}

bool arquivoRegular(FILE* f) {
    uint64_t tamanho;
    return tamanhoRegular(f, &tamanho);
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
    uint64_t tamanho, lidos;
    if (!tamanhoRegular(entrada, &tamanho) || !posicaoLeitura(entrada, &lidos) || tamanho < lidos) return true;
    const uint32_t pos = static_cast<uint32_t>(bsi->pos);
    const uint64_t noBuffer = bsi->buffer.bits > pos ? bsi->buffer.bits - pos : 0;
    const uint64_t bits = 8 * (tamanho - lidos) + noBuffer;
    return static_cast<uint64_t>(symbolCount) * menorCodigo(root) <= bits;
}

// Moves what is left of the window, with the byte before it that the reader
// may hold bits of, to the front of `janela`, and reads a block behind it;
// the window then holds at most 1 + BLOCO + DECODE_RESERVA bytes. False on a
// read error.
bool leMais(LeitorBits* r, uint8_t* janela, FILE* file) {
    const uint8_t* desde = r->p - (r->n > 0 ? 1 : 0);
    const size_t resto = static_cast<size_t>(r->fim - desde);
    memmove(janela, desde, resto);
    const size_t lidos = fread(janela + resto, 1, BLOCO, file);
    r->p = janela + (r->n > 0 ? 1 : 0);
    r->fim = janela + resto + lidos;
    if (lidos == 0) {
        if (ferror(file)) return false;
        r->ultimo = true;
    }
    return true;
}

enum class Descompressao { Ok, Corrompido, ErroLeitura, ErroEscrita };

// Decodes `symbolCount` symbols, going on from the bits that the tree left
// in `bsi`, reading the rest of its file in blocks.
Descompressao descomprime(const Arvore* root, EncodedInput* bsi, uint32_t symbolCount, ArquivoSaida* saida) {
    if (symbolCount == 0) return Descompressao::Ok;
    auto tabela = criaRegistro<TabelaDecodificacao>();
    preparaDecodificacao(tabela.get(), root);
    BlocoPtr janela = criaBloco(1 + BLOCO + DECODE_RESERVA);
    BlocoPtr bloco = criaBloco(BLOCO);
    // The bits the tree left in `bsi` go first in the window, as the bytes
    // they came from.
    uint32_t pulados;
    const size_t iniciais = bsiRestante(bsi, janela.get(), &pulados);
    LeitorBits r = lbEm(janela.get(), pulados, janela.get() + iniciais, false);
    uint32_t restantes = symbolCount;
    while (restantes > 0) {
        if (leitorPedeMais(r)) {
            if (!leMais(&r, janela.get(), bsi->file)) return Descompressao::ErroLeitura;
            continue;
        }
        const size_t n = decodificaRapido(*tabela, &r, bloco.get(), restantes < BLOCO ? restantes : BLOCO);
        if (r.truncado) return Descompressao::Corrompido;
        if (!escreveTudo(saida->file, bloco.get(), n)) return Descompressao::ErroEscrita;
        acompanhaSaida(saida);
        restantes -= static_cast<uint32_t>(n);
    }
    return Descompressao::Ok;
}

}  // namespace

int decode(const char* inputPath, const char* outputPath) {
    ArquivoPtr entrada(abreEntrada(inputPath));
    if (!entrada) return falha("Erro ao abrir arquivo de entrada %s\n", inputPath);
    ArquivoSaida saida;
    if (saidaMesmoArquivo(&saida, outputPath, entrada.get())) return falha(MSG_MESMO_ARQUIVO, outputPath);

    // The header, the tree and the length of the codes are checked before
    // the output is created, so that such an input leaves an existing output
    // untouched. The console shows the same lines as if each stage ran in
    // its turn.
    uint8_t cabecalho[CABECALHO_BYTES];
    if (fread(cabecalho, 1, sizeof cabecalho, entrada.get()) != sizeof cabecalho)
        return falha(ferror(entrada.get()) ? MSG_LEITURA : MSG_CORROMPIDO, inputPath);
    const uint32_t symbolCount = leCabecalho(cabecalho);
    std::unique_ptr<EncodedInput, DestroiEncodedInput> bsi(criaEncodedInput(entrada.get()));
    ArvorePtr root;
    // An empty file may also be stored as its header alone.
    const bool semArvore = symbolCount == 0 && noFim(entrada.get()) && !ferror(entrada.get());
    if (!semArvore) root.reset(encodedInputReadTree(bsi.get()));
    const bool arvoreOk = semArvore || root;
    const bool codigosCabem = semArvore || (root && cabemCodigos(entrada.get(), bsi.get(), root.get(), symbolCount));

    if (codigosCabem && !criaSaida(&saida)) return falha("Erro ao criar arquivo de saida: %s\n", outputPath);
    // Room for the restored file, asked for up front only when the input is
    // a regular file, whose size has backed the count (cabemCodigos): from a
    // pipe, a few bytes could claim 4 GiB of the disk while the run lasts.
    if (codigosCabem && arquivoRegular(entrada.get())) reservaSaida(saida, symbolCount);
    printf("O arquivo compactado tem %u bytes\n", symbolCount);
    estagio("1/2 Lendo árvore de Huffman...");
    if (!arvoreOk) return falha(ferror(entrada.get()) ? MSG_LEITURA : MSG_CORROMPIDO, inputPath);
    estagioOk();

    estagio("2/2 Descomprimindo arquivo...");
    if (!codigosCabem) return falha(MSG_CORROMPIDO, inputPath);
    switch (descomprime(root.get(), bsi.get(), symbolCount, &saida)) {
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
