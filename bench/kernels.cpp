// Kernels of the two drivers, each fast path next to its bit-by-bit
// reference, on 4 MB inputs: text (C headers), programs (/usr/bin), skewed
// and random bytes, and two texts with a long tail of rare bytes: the
// translated messages of the installed programs, in languages written in
// Latin letters and in Cyrillic.
// Throughput is in input bytes (compression) or output bytes (decompression).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "vespadora_kernels.h"
#include "vespadora_rapido.h"
#ifdef VESPADORA_ZSTD_HUF
#include "huf_zstd.h"
#endif

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

// The translated messages of a gettext catalog (a .mo file), one a line.
void mensagensDoCatalogo(const std::filesystem::path& catalogo, std::vector<uint8_t>* out) {
    std::ifstream f(catalogo, std::ios::binary);
    const std::vector<uint8_t> mo{std::istreambuf_iterator<char>(f), {}};
    if (mo.size() < 20) return;
    uint32_t magico;
    memcpy(&magico, mo.data(), 4);
    const bool troca = magico == 0xde120495;
    if (!troca && magico != 0x950412de) return;
    const auto le32 = [&](size_t em) -> size_t {
        uint32_t v;
        memcpy(&v, mo.data() + em, 4);
        return troca ? __builtin_bswap32(v) : v;
    };
    const size_t quantas = le32(8), tabela = le32(16);
    for (size_t i = 0; i < quantas && tabela + 8 * i + 8 <= mo.size(); i++) {
        const size_t tamanho = le32(tabela + 8 * i), inicio = le32(tabela + 8 * i + 4);
        if (tamanho == 0 || inicio + tamanho > mo.size()) continue;
        out->insert(out->end(), mo.begin() + static_cast<ptrdiff_t>(inicio),
                    mo.begin() + static_cast<ptrdiff_t>(inicio + tamanho));
        std::replace(out->end() - static_cast<ptrdiff_t>(tamanho), out->end(), uint8_t{0}, uint8_t{'\n'});
        out->push_back('\n');
    }
}

// The messages of the catalogs of `linguas` (as named under
// /usr/share/locale, separated by spaces), in that order, repeated up to
// TAMANHO; bench/run.py builds its files of them the same way.
std::vector<uint8_t> mensagens(const char* linguas) {
    std::vector<uint8_t> todas;
    std::istringstream lista(linguas);
    for (std::string lingua; lista >> lingua;) {
        const std::filesystem::path dir = std::filesystem::path("/usr/share/locale") / lingua / "LC_MESSAGES";
        if (!std::filesystem::is_directory(dir)) continue;
        std::vector<std::filesystem::path> catalogos;
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.is_regular_file() && !e.is_symlink() && e.path().extension() == ".mo") catalogos.push_back(e.path());
        std::sort(catalogos.begin(), catalogos.end());
        for (const auto& c : catalogos) mensagensDoCatalogo(c, &todas);
    }
    if (todas.empty()) {
        fprintf(stderr, "no translated messages under /usr/share/locale\n");
        exit(1);
    }
    std::vector<uint8_t> out;
    while (out.size() < TAMANHO) out.insert(out.end(), todas.begin(), todas.end());
    out.resize(TAMANHO);
    return out;
}

std::vector<uint8_t> latinas() {
    return mensagens("de fr es pt pt_BR it nl sv pl cs da ro tr hu sk sl hr fi ca gl eu vi et lt lv");
}

std::vector<uint8_t> cirilicas() { return mensagens("ru be bg"); }

constexpr int ENTRADAS = 6;

const std::vector<uint8_t>& entrada(int qual) {
    static const std::vector<uint8_t> entradas[ENTRADAS] = {texto(),     programas(), geometrico(),
                                                            aleatorio(), latinas(),   cirilicas()};
    return entradas[qual];
}

void nomeia(benchmark::State& state, const char* variante = nullptr) {
    static const char* const nomes[ENTRADAS] = {"text", "programs", "skewed", "random", "messages", "cyrillic"};
    state.SetLabel(variante ? std::string(nomes[state.range(0)]) + " " + variante : nomes[state.range(0)]);
}

// Tree, codes and the compressed stream of one input, built once.
struct Modelo {
    Arvore* root;
    EncodingTable table{};
    CodigosRapidos codigos;
    CodificadorPares pares;  // as the compressor prepares it for a large input
    TabelaDecodificacao decodificacao;
    std::vector<uint8_t> stream;  // the codes alone, from a byte boundary, by the bit-by-bit writer

    explicit Modelo(const std::vector<uint8_t>& dados) {
        FrequencyTable freq{};
        contaFrequencias(dados.data(), dados.size(), &freq);
        root = constroiArvore(freq);
        preencheEncodingTable(&table, root);
        preparaCodigosRapidos(&codigos, table, root);
        preparaPares(&pares, codigos, paresPorFlush(codigos, freq));
        preparaDecodificacao(&decodificacao, root);
        stream = codificaReferencia(root, dados, false);
        stream.resize(stream.size() + 8);  // room for the fast decoder's word loads
    }
    ~Modelo() { destroiArvore(root); }
};

const Modelo& modelo(int qual) {
    static std::unique_ptr<Modelo> modelos[ENTRADAS];
    if (!modelos[qual]) modelos[qual] = std::make_unique<Modelo>(entrada(qual));
    return *modelos[qual];
}

// The input with every byte whose code is longer than DECODE_BITS replaced
// by its most frequent byte, again until no code is: the cost of the long
// codes is what the decoder gains on it.
std::vector<uint8_t> semLongos(std::vector<uint8_t> dados) {
    for (;;) {
        FrequencyTable freq{};
        contaFrequencias(dados.data(), dados.size(), &freq);
        const uint8_t frequente = static_cast<uint8_t>(std::max_element(freq.begin(), freq.end()) - freq.begin());
        const Modelo m(dados);
        bool algum = false;
        for (auto& b : dados)
            if (m.table[b].bits > DECODE_BITS) {
                b = frequente;
                algum = true;
            }
        if (!algum) return dados;
    }
}

const std::vector<uint8_t>& entradaSemLongos(int qual) {
    static std::unique_ptr<std::vector<uint8_t>> entradas[ENTRADAS];
    if (!entradas[qual]) entradas[qual] = std::make_unique<std::vector<uint8_t>>(semLongos(entrada(qual)));
    return *entradas[qual];
}

const Modelo& modeloSemLongos(int qual) {
    static std::unique_ptr<Modelo> modelos[ENTRADAS];
    if (!modelos[qual]) modelos[qual] = std::make_unique<Modelo>(entradaSemLongos(qual));
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

// The word coder, by pairs through `pares` when it is given; every run
// starts the pair coder anew, as the compressor does for a file. The bytes
// are checked against the bit-by-bit writer's.
void codifica(benchmark::State& state, Variante<CodificaParesFn> pares) {
    const auto& dados = entrada(static_cast<int>(state.range(0)));
    const Modelo& m = modelo(static_cast<int>(state.range(0)));
    const CodigosRapidos& codigos = m.codigos;
    const auto codificador = pares.fn ? std::make_unique<CodificadorPares>(m.pares) : nullptr;
    std::vector<uint8_t> saida(espacoCodificacao(codigos, dados.size()));
    BitWriter w{};
    for (auto _ : state) {
        w = BitWriter{0, 0, saida.data()};
        if (codificador) recomecaPares(codificador.get());
        benchmark::DoNotOptimize(codificaRapido(codigos, codificador.get(), dados.data(), dados.size(), &w, pares.fn));
    }
    bwFlush(&w);
    if (w.n > 0) w.p++;
    const size_t escritos = static_cast<size_t>(w.p - saida.data());
    if (escritos != m.stream.size() - 8 || !std::equal(saida.data(), w.p, m.stream.data()))
        state.SkipWithError("coded bytes differ from the bit-by-bit writer's");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dados.size()));
    nomeia(state, pares.fn ? (std::string(pares.nome) + ", " + std::to_string(m.pares.tabela.porFlush) +
                              " pairs a round at most")
                                 .c_str()
                           : nullptr);
}

void BM_EncodeFast(benchmark::State& state) { codifica(state, {nullptr, nullptr}); }

// range(1) picks the variant of the pair coder.
void BM_EncodeFastPairs(benchmark::State& state) {
    const auto variantes = variantesCodificaPares();
    if (static_cast<size_t>(state.range(1)) >= variantes.size()) return state.SkipWithError("not on this CPU");
    codifica(state, variantes[static_cast<size_t>(state.range(1))]);
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

// The share of the fast decoder's table lookups that meet a code longer
// than DECODE_BITS: a lookup takes as many whole codes as fit in
// DECODE_BITS bits, up to DECODE_MAX_SIMBOLOS, and a long code alone.
double consultasLongas(const std::vector<uint8_t>& dados, const EncodingTable& table) {
    size_t consultas = 0, longas = 0;
    for (size_t i = 0; i < dados.size(); consultas++) {
        if (table[dados[i]].bits > DECODE_BITS) {
            longas++;
            i++;
            continue;
        }
        uint32_t usados = 0;
        for (int q = 0; q < DECODE_MAX_SIMBOLOS && i < dados.size() && usados + table[dados[i]].bits <= DECODE_BITS;
             q++)
            usados += table[dados[i++]].bits;
    }
    return consultas ? static_cast<double>(longas) / static_cast<double>(consultas) : 0;
}

// The whole stream, asking the decoder for `porChamada` symbols a call.
void medeDecodificador(benchmark::State& state, const std::vector<uint8_t>& dados, const Modelo& m,
                       size_t porChamada = SIZE_MAX) {
    std::vector<uint8_t> saida(dados.size());
    for (auto _ : state) {
        LeitorBits r{0, 0, m.stream.data(), m.stream.data() + m.stream.size() - 8, true, false};
        for (size_t feitos = 0, n = 1; feitos < saida.size() && n > 0; feitos += n)
            n = decodificaRapido(m.decodificacao, &r, saida.data() + feitos,
                                 std::min(porChamada, saida.size() - feitos));
    }
    if (saida != dados) state.SkipWithError("decoded bytes differ");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dados.size()));
}

void BM_DecodeFast(benchmark::State& state) {
    const int qual = static_cast<int>(state.range(0));
    medeDecodificador(state, entrada(qual), modelo(qual));
    char longas[64];
    snprintf(longas, sizeof longas, "(long codes at %.2f%% of lookups)",
             100 * consultasLongas(entrada(qual), modelo(qual).table));
    nomeia(state, longas);
}

// The same, 4 KiB of output a call: too little for the cursors' segments,
// so one cursor and the tail, as in a small file or at the end of a window.
void BM_DecodeFastOneCursor(benchmark::State& state) {
    const int qual = static_cast<int>(state.range(0));
    medeDecodificador(state, entrada(qual), modelo(qual), 4096);
    nomeia(state);
}

// The decoder on the input, on the same input without long codes (see
// semLongos) and zstd's faster decoder on the same input, in turn within
// each round, the first of the three changing from round to round: the
// machine's drift and what ran before touch all three alike. Reports the
// best round of each and two ratios: the cost of the long codes
// ("long_codes", the input's speed over the one without them) and the
// decoder against zstd's ("vs_huf").
void BM_DecodeCompared(benchmark::State& state) {
    const int qual = static_cast<int>(state.range(0));
    const std::vector<uint8_t>&dados = entrada(qual), &sem = entradaSemLongos(qual);
    const Modelo &m = modelo(qual), &mSem = modeloSemLongos(qual);
    std::vector<uint8_t> saida(dados.size());
    const auto decodifica = [&](const std::vector<uint8_t>& d, const Modelo& mod) {
        LeitorBits r{0, 0, mod.stream.data(), mod.stream.data() + mod.stream.size() - 8, true, false};
        return decodificaRapido(mod.decodificacao, &r, saida.data(), d.size());
    };
#ifdef VESPADORA_ZSTD_HUF
    std::unique_ptr<HufCodificado, void (*)(HufCodificado*)> h(hufCodifica(dados.data(), dados.size()), hufLibera);
    if (h && !hufPreparaDecodificador(h.get(), 1)) h.reset();
#endif
    // Each decodes into `saida` and gives what it should hold.
    const std::function<const std::vector<uint8_t>*()> variantes[] = {
        [&] { return decodifica(dados, m), &dados; },
        [&] { return decodifica(sem, mSem), &sem; },
#ifdef VESPADORA_ZSTD_HUF
        [&] { return h ? (hufDecodifica(h.get(), saida.data()), &dados) : nullptr; },
#endif
    };
    constexpr size_t N = std::size(variantes);
    std::vector<std::array<double, N>> tempos;
    for (auto _ : state) {
        std::array<double, N>& t = tempos.emplace_back();
        for (size_t k = 0; k < N; k++) {
            const size_t v = (tempos.size() + k) % N;
            const auto t0 = std::chrono::steady_clock::now();
            const std::vector<uint8_t>* esperado = variantes[v]();
            const auto t1 = std::chrono::steady_clock::now();
            if (esperado && saida != *esperado) return state.SkipWithError("decoded bytes differ");
            t[v] = std::chrono::duration<double>(t1 - t0).count();
        }
    }
    // Speeds from each variant's best round; ratios as the median of those
    // of each round, whose three runs were a few milliseconds apart.
    const auto mbs = [&](size_t v) {
        double melhor = 1e30;
        for (const auto& t : tempos) melhor = std::min(melhor, t[v]);
        return static_cast<double>(dados.size()) / melhor / 1e6;
    };
    const auto razao = [&](size_t v) {  // variant 0's speed over variant v's
        std::vector<double> r;
        for (const auto& t : tempos) r.push_back(t[v] / t[0]);
        std::nth_element(r.begin(), r.begin() + static_cast<ptrdiff_t>(r.size() / 2), r.end());
        return r[r.size() / 2];
    };
    state.counters["MB/s"] = mbs(0);
    state.counters["no_long_MB/s"] = mbs(1);
    state.counters["long_codes"] = razao(1);
#ifdef VESPADORA_ZSTD_HUF
    if (h) {
        state.counters["huf_MB/s"] = mbs(2);
        state.counters["vs_huf"] = razao(2);
    }
#endif
    nomeia(state);
}

// zstd's four-stream decoder on the same bytes, with the table of one symbol
// a lookup (range(1) 0) or of up to two (1); its codes have at most 11 bits.
void BM_DecodeHuf(benchmark::State& state) {
#ifdef VESPADORA_ZSTD_HUF
    const auto& dados = entrada(static_cast<int>(state.range(0)));
    const bool duplo = state.range(1) == 1;
    std::unique_ptr<HufCodificado, void (*)(HufCodificado*)> h(hufCodifica(dados.data(), dados.size()), hufLibera);
    if (!h) return state.SkipWithError("zstd does not code this input");
    if (!hufPreparaDecodificador(h.get(), duplo)) return state.SkipWithError("zstd's decoder does not take the table");
    std::vector<uint8_t> saida(dados.size());
    for (auto _ : state) benchmark::DoNotOptimize(hufDecodifica(h.get(), saida.data()));
    if (saida != dados) state.SkipWithError("decoded bytes differ");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dados.size()));
    nomeia(state, duplo ? "zstd huf, 4 streams, up to 2 symbols a lookup" : "zstd huf, 4 streams, 1 symbol a lookup");
#else
    state.SkipWithError("no zstd: configure with -DVESPADORA_ZSTD_SOURCE=<zstd source tree>");
#endif
}

}  // namespace

BENCHMARK(BM_HistogramReference)->DenseRange(0, ENTRADAS - 1);
BENCHMARK(BM_HistogramFast)->DenseRange(0, ENTRADAS - 1);
BENCHMARK(BM_HistogramFastPairs)->DenseRange(0, ENTRADAS - 1);
BENCHMARK(BM_EncodeReference)->DenseRange(0, ENTRADAS - 1);
BENCHMARK(BM_EncodeFast)->DenseRange(0, ENTRADAS - 1);
BENCHMARK(BM_EncodeFastPairs)->ArgsProduct({benchmark::CreateDenseRange(0, ENTRADAS - 1, 1), {0, 1}});
BENCHMARK(BM_DecodeReference)->DenseRange(0, ENTRADAS - 1);
BENCHMARK(BM_DecodeFast)->DenseRange(0, ENTRADAS - 1);
BENCHMARK(BM_DecodeFastOneCursor)->DenseRange(0, ENTRADAS - 1);
BENCHMARK(BM_DecodeCompared)->DenseRange(0, ENTRADAS - 1);
BENCHMARK(BM_DecodeHuf)->ArgsProduct({benchmark::CreateDenseRange(0, ENTRADAS - 1, 1), {0, 1}});

BENCHMARK_MAIN();
