#include "vespadora.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstring>
#include <memory>

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

// The output file of a driver. Unless the driver marks it complete, the
// destructor removes what was written: the file itself when the path named
// a regular file, its contents when the path is a link to one. Devices and
// other special files (/dev/null, /dev/full, a FIFO) are never touched.
struct ArquivoSaida {
    const char* path = nullptr;
    FILE* file = nullptr;
    bool regular = false;    // the opened file is a regular file
    bool removivel = false;  // and the path names it directly, not through a link
    bool completo = false;

    ArquivoSaida() = default;
    ArquivoSaida(const ArquivoSaida&) = delete;
    ArquivoSaida& operator=(const ArquivoSaida&) = delete;
    ~ArquivoSaida() {
        if (completo) return;
        if (file) {
            if (regular && !removivel && ftruncate(fileno(file), 0) != 0) {
                // Nothing more can be done for a link whose target cannot be emptied.
            }
            fclose(file);
        }
        if (removivel) remove(path);
    }
};

bool abreSaida(ArquivoSaida* saida, const char* path) {
    saida->path = path;
    saida->file = fopen(path, "wb");
    if (!saida->file) return false;
    struct stat aberto, caminho;
    saida->regular = fstat(fileno(saida->file), &aberto) == 0 && S_ISREG(aberto.st_mode);
    saida->removivel = saida->regular && lstat(path, &caminho) == 0 && S_ISREG(caminho.st_mode) &&
                       caminho.st_dev == aberto.st_dev && caminho.st_ino == aberto.st_ino;
    return true;
}

// Flushes and closes the output; true when every byte reached the file.
bool fechaSaida(ArquivoSaida* saida) {
    bool ok = fflush(saida->file) == 0 && !ferror(saida->file);
    FILE* f = saida->file;
    saida->file = nullptr;
    if (fclose(f) != 0) ok = false;
    if (ok) saida->completo = true;
    return ok;
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
Passagem primeiraPassagem(FILE* entrada, FILE* copia, uint8_t* bloco, FrequencyTable* freq, uint64_t* total) {
    freq->fill(0);
    *total = 0;
    size_t lidos;
    while ((lidos = fread(bloco, 1, BLOCO, entrada)) > 0) {
        *total += lidos;
        if (*total > MAX_ENTRADA) return Passagem::Grande;
        contaFrequencias(bloco, lidos, freq);
        if (copia && !escreveTudo(copia, bloco, lidos)) return Passagem::ErroTemporario;
    }
    if (ferror(entrada)) return Passagem::ErroLeitura;
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
    bool semCodigo = false;  // a byte that the first pass did not see
};

// Second pass: every byte's code through the bit writer. Stops early on a
// failed write or on an input that grew; the caller tells which.
void segundaPassagem(FILE* entrada, uint8_t* bloco, const EncodingTable& table, const FrequencyTable& freq,
                     EncodedOutput* out, SegundaPassagem* r) {
    size_t lidos;
    while ((lidos = fread(bloco, 1, BLOCO, entrada)) > 0) {
        r->total += lidos;
        if (r->total > MAX_ENTRADA) return;
        for (size_t i = 0; i < lidos; i++) {
            if (freq[bloco[i]] == 0) r->semCodigo = true;
            encodedOutputWrite(out, &table[bloco[i]]);
        }
        if (ferror(out->file)) return;
    }
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

int encode(const char* inputPath, const char* outputPath) {
    estagio("1/4 Calculando frequências...");
    ArquivoPtr entrada(fopen(inputPath, "rb"));
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
    FrequencyTable freq;
    uint64_t total = 0;
    switch (primeiraPassagem(entrada.get(), copia.get(), bloco.get(), &freq, &total)) {
        case Passagem::Ok:
            break;
        case Passagem::ErroLeitura:
            return falha(MSG_LEITURA, inputPath);
        case Passagem::Grande:
            return falha(MSG_ENTRADA_GRANDE, inputPath);
        case Passagem::ErroTemporario:
            return falha(MSG_TEMPORARIO, inputPath);
    }
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
    if (!abreSaida(&saida, outputPath)) return falha("Erro ao abrir arquivo de saida: %s\n", outputPath);
    uint8_t cabecalho[4];
    escreveCabecalho(cabecalho, symbolCount);
    if (!escreveTudo(saida.file, cabecalho, sizeof cabecalho)) return falha(MSG_ESCRITA, outputPath);

    std::unique_ptr<EncodedOutput, DestroiEncodedOutput> out(criaEncodedOutput(saida.file));
    encodedOutputWriteTree(out.get(), root.get());
    if (fseek(fonte, 0, SEEK_SET) != 0) return falha(MSG_MUDOU, inputPath);
    SegundaPassagem segunda;
    segundaPassagem(fonte, bloco.get(), *table, freq, out.get(), &segunda);
    if (ferror(saida.file)) return falha(MSG_ESCRITA, outputPath);
    if (ferror(fonte)) return falha(MSG_LEITURA, inputPath);
    if (segunda.total != total || segunda.semCodigo) return falha(MSG_MUDOU, inputPath);
    const uint64_t written = destroiEncodedOutput(out.release()) + sizeof cabecalho;
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

enum class Descompressao { Ok, Corrompido, ErroLeitura, ErroEscrita };

Descompressao descomprime(const Arvore* root, EncodedInput* bsi, uint32_t symbolCount, FILE* saida, uint8_t* bloco) {
    uint32_t restantes = symbolCount;
    while (restantes > 0) {
        const size_t n = restantes < BLOCO ? restantes : BLOCO;
        for (size_t i = 0; i < n; i++) bloco[i] = decodeByte(root, bsi);
        if (bsi->exhausted) return ferror(bsi->file) ? Descompressao::ErroLeitura : Descompressao::Corrompido;
        if (!escreveTudo(saida, bloco, n)) return Descompressao::ErroEscrita;
        restantes -= static_cast<uint32_t>(n);
    }
    return Descompressao::Ok;
}

}  // namespace

int decode(const char* inputPath, const char* outputPath) {
    ArquivoPtr entrada(fopen(inputPath, "rb"));
    if (!entrada) return falha("Erro ao abrir arquivo de entrada %s\n", inputPath);
    if (mesmoArquivo(entrada.get(), outputPath)) return falha(MSG_MESMO_ARQUIVO, outputPath);
    ArquivoSaida saida;
    if (!abreSaida(&saida, outputPath)) return falha("Erro ao criar arquivo de saida: %s\n", outputPath);

    uint8_t cabecalho[4];
    if (fread(cabecalho, 1, sizeof cabecalho, entrada.get()) != sizeof cabecalho)
        return falha(ferror(entrada.get()) ? MSG_LEITURA : MSG_CORROMPIDO, inputPath);
    const uint32_t symbolCount = static_cast<uint32_t>(cabecalho[0]) | static_cast<uint32_t>(cabecalho[1]) << 8 |
                                 static_cast<uint32_t>(cabecalho[2]) << 16 | static_cast<uint32_t>(cabecalho[3]) << 24;
    printf("O arquivo compactado tem %u bytes\n", symbolCount);

    std::unique_ptr<EncodedInput, DestroiEncodedInput> bsi(criaEncodedInput(entrada.get()));
    estagio("1/2 Lendo árvore de Huffman...");
    std::unique_ptr<Arvore, DestroiArvore> root;
    // An empty file may also be stored as its header alone.
    const bool semArvore = symbolCount == 0 && noFim(entrada.get()) && !ferror(entrada.get());
    if (!semArvore) {
        root.reset(encodedInputReadTree(bsi.get()));
        if (!root) return falha(ferror(entrada.get()) ? MSG_LEITURA : MSG_CORROMPIDO, inputPath);
    }
    estagioOk();

    estagio("2/2 Descomprimindo arquivo...");
    BlocoPtr bloco = criaBloco(BLOCO);
    switch (descomprime(root.get(), bsi.get(), symbolCount, saida.file, bloco.get())) {
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
