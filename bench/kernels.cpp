// Kernels of the two drivers, each fast path next to its bit-by-bit
// reference, on 4 MB inputs: text (C headers), programs (/usr/bin), skewed
// and random bytes.
// Throughput is in input bytes (compression) or output bytes (decompression).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <vector>

#include "vespadora.h"

namespace {

constexpr size_t TAMANHO = 4 << 20;

std::vector<uint8_t> texto() {
    std::vector<std::filesystem::path> headers;
    for (const auto& e : std::filesystem::recursive_directory_iterator("/usr/include"))
        if (e.is_regular_file() && e.path().extension() == ".h") headers.push_back(e.path());
    std::sort(headers.begin(), headers.end());
    std::vector<uint8_t> out;
    for (const auto& h : headers) {
        std::ifstream f(h, std::ios::binary);
        out.insert(out.end(), std::istreambuf_iterator<char>(f), {});
        if (out.size() >= TAMANHO) break;
    }
    out.resize(TAMANHO);
    return out;
}

std::vector<uint8_t> programas() {
    std::vector<std::filesystem::path> arquivos;
    for (const auto& e : std::filesystem::directory_iterator("/usr/bin"))
        if (e.is_regular_file() && !e.is_symlink()) arquivos.push_back(e.path());
    std::sort(arquivos.begin(), arquivos.end());
    std::vector<uint8_t> out;
    for (const auto& a : arquivos) {
        std::ifstream f(a, std::ios::binary);
        out.insert(out.end(), std::istreambuf_iterator<char>(f), {});
        if (out.size() >= TAMANHO) break;
    }
    out.resize(TAMANHO);
    return out;
}

std::vector<uint8_t> geometrico() {
    std::mt19937 rng(1);
    std::geometric_distribution<int> d(0.5);
    std::vector<uint8_t> out(TAMANHO);
    for (auto& b : out) b = static_cast<uint8_t>(std::min(d(rng), 15));
    return out;
}

std::vector<uint8_t> aleatorio() {
    std::mt19937_64 rng(2);
    std::vector<uint8_t> out(TAMANHO);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

const std::vector<uint8_t>& entrada(int qual) {
    static const std::vector<uint8_t> entradas[] = {texto(), programas(), geometrico(), aleatorio()};
    return entradas[qual];
}

void nomeia(benchmark::State& state) {
    static const char* const nomes[] = {"text", "programs", "skewed", "random"};
    state.SetLabel(nomes[state.range(0)]);
}

// Tree, codes and the compressed stream of one input, built once.
struct Modelo {
    Arvore* root;
    EncodingTable table{};
    CodigosRapidos codigos;
    CodigosRapidos codigosPares;  // the same, with the table of pairs
    TabelaPares pares;
    TabelaDecodificacao decodificacao;
    std::vector<uint8_t> stream;  // the codes alone, from a byte boundary

    explicit Modelo(const std::vector<uint8_t>& dados) {
        FrequencyTable freq{};
        contaFrequencias(dados.data(), dados.size(), &freq);
        Heap* h = criaHeap(256);
        for (int b = 0; b < 256; b++)
            if (freq[b]) insere(h, criaFolha(static_cast<uint8_t>(b)), freq[b]);
        root = huffman(h);
        destroiHeap(h);
        preencheEncodingTable(&table, root);
        preparaCodigosRapidos(&codigos, table, root);
        codigosPares = codigos;
        preparaPares(&pares, codigos);
        codigosPares.pares = &pares;
        preparaDecodificacao(&decodificacao, root);
        stream.resize(espacoCodificacao(codigos, dados.size()));
        BitWriter w{0, 0, stream.data()};
        codificaRapido(codigos, dados.data(), dados.size(), &w);
        bwFlush(&w);
        stream.resize(static_cast<size_t>(w.p - stream.data()) + 1);
    }
    ~Modelo() { destroiArvore(root); }
};

const Modelo& modelo(int qual) {
    static const std::unique_ptr<Modelo> modelos[] = {
        std::make_unique<Modelo>(entrada(0)), std::make_unique<Modelo>(entrada(1)),
        std::make_unique<Modelo>(entrada(2)), std::make_unique<Modelo>(entrada(3))};
    return *modelos[qual];
}

void BM_HistogramReference(benchmark::State& state) {
    const auto& dados = entrada(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        FrequencyTable freq{};
        contaFrequencias(dados.data(), dados.size(), &freq);
        benchmark::DoNotOptimize(freq);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dados.size()));
    nomeia(state);
}

void BM_HistogramFast(benchmark::State& state) {
    const auto& dados = entrada(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        FrequencyTable freq{};
        contaFrequenciasRapido(dados.data(), dados.size(), &freq);
        benchmark::DoNotOptimize(freq);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dados.size()));
    nomeia(state);
}

void BM_HistogramFastPairs(benchmark::State& state) {
    const auto& dados = entrada(static_cast<int>(state.range(0)));
    auto pares = std::make_unique<ContagemPares>();
    for (auto _ : state) {
        *pares = ContagemPares{};
        FrequencyTable freq{};
        contaPares(dados.data(), dados.size(), pares.get(), &freq);
        dobraPares(*pares, &freq);
        benchmark::DoNotOptimize(freq);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dados.size()));
    nomeia(state);
}

void BM_EncodeReference(benchmark::State& state) {
    const auto& dados = entrada(static_cast<int>(state.range(0)));
    const Modelo& m = modelo(static_cast<int>(state.range(0)));
    FILE* nulo = fopen("/dev/null", "wb");
    for (auto _ : state) {
        EncodedOutput* out = criaEncodedOutput(nulo);
        for (uint8_t b : dados) encodedOutputWrite(out, &m.table[b]);
        benchmark::DoNotOptimize(destroiEncodedOutput(out));
    }
    fclose(nulo);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dados.size()));
    nomeia(state);
}

void BM_EncodeFast(benchmark::State& state) {
    const auto& dados = entrada(static_cast<int>(state.range(0)));
    const Modelo& m = modelo(static_cast<int>(state.range(0)));
    std::vector<uint8_t> saida(espacoCodificacao(m.codigos, dados.size()));
    for (auto _ : state) {
        BitWriter w{0, 0, saida.data()};
        benchmark::DoNotOptimize(codificaRapido(m.codigos, dados.data(), dados.size(), &w));
        benchmark::DoNotOptimize(w.p);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dados.size()));
    nomeia(state);
}

void BM_EncodeFastPairs(benchmark::State& state) {
    const auto& dados = entrada(static_cast<int>(state.range(0)));
    const Modelo& m = modelo(static_cast<int>(state.range(0)));
    std::vector<uint8_t> saida(espacoCodificacao(m.codigos, dados.size()));
    for (auto _ : state) {
        BitWriter w{0, 0, saida.data()};
        benchmark::DoNotOptimize(codificaRapido(m.codigosPares, dados.data(), dados.size(), &w));
        benchmark::DoNotOptimize(w.p);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dados.size()));
    nomeia(state);
}

void BM_DecodeReference(benchmark::State& state) {
    const auto& dados = entrada(static_cast<int>(state.range(0)));
    const Modelo& m = modelo(static_cast<int>(state.range(0)));
    std::vector<uint8_t> saida(dados.size());
    for (auto _ : state) {
        FILE* f = fmemopen(const_cast<uint8_t*>(m.stream.data()), m.stream.size(), "rb");
        EncodedInput* bsi = criaEncodedInput(f);
        for (auto& b : saida) b = decodeByte(m.root, bsi);
        destroiEncodedInput(bsi);
        fclose(f);
    }
    if (saida != dados) state.SkipWithError("decoded bytes differ");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dados.size()));
    nomeia(state);
}

void BM_DecodeFast(benchmark::State& state) {
    const auto& dados = entrada(static_cast<int>(state.range(0)));
    const Modelo& m = modelo(static_cast<int>(state.range(0)));
    std::vector<uint8_t> saida(dados.size());
    for (auto _ : state) {
        LeitorBits r{0, 0, m.stream.data(), m.stream.data() + m.stream.size(), true, false};
        benchmark::DoNotOptimize(decodificaRapido(m.decodificacao, &r, saida.data(), saida.size()));
    }
    if (saida != dados) state.SkipWithError("decoded bytes differ");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dados.size()));
    nomeia(state);
}

}  // namespace

BENCHMARK(BM_HistogramReference)->DenseRange(0, 3);
BENCHMARK(BM_HistogramFast)->DenseRange(0, 3);
BENCHMARK(BM_HistogramFastPairs)->DenseRange(0, 3);
BENCHMARK(BM_EncodeReference)->DenseRange(0, 3);
BENCHMARK(BM_EncodeFast)->DenseRange(0, 3);
BENCHMARK(BM_EncodeFastPairs)->DenseRange(0, 3);
BENCHMARK(BM_DecodeReference)->DenseRange(0, 3);
BENCHMARK(BM_DecodeFast)->DenseRange(0, 3);

BENCHMARK_MAIN();
