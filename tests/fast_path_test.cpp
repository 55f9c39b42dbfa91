// The fast paths against the bit-by-bit functions they replace, kernel by
// kernel: the same counts, the same bytes out of the coders, the same symbols
// and the same end-of-stream verdict out of the decoder. Every variant of a
// CPU-specific kernel that this CPU runs is checked, the portable one always.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <random>

#include "test_support.h"
#include "vespadora_kernels.h"
#include "vespadora_rapido.h"

namespace {

// The tree comes from `contagens` when given (so that a short input can have
// the codes of a long one), else from the input's own counts.
struct Caso {
    const char* nome;
    std::vector<uint8_t> dados;
    Contagens contagens;
};

// The Fibonacci tree, whose longest codes have 33 bits, with an input that
// uses every value, rare ones included, so the long codes are written and read.
Caso fibonacci(std::mt19937* rng, size_t tamanho = 30000) {
    Caso c{"fibonacci", {}, fibonacciCounts()};
    for (size_t i = 0; i < tamanho; i++) c.dados.push_back(static_cast<uint8_t>((*rng)() % 34));
    return c;
}

std::vector<Caso> casos() {
    std::mt19937 rng(20261208);
    std::vector<Caso> c;
    std::vector<uint8_t> aleatorio(100000);
    for (auto& b : aleatorio) b = static_cast<uint8_t>(rng());
    c.push_back({"random", aleatorio, {}});
    std::geometric_distribution<int> geo(0.4);
    std::vector<uint8_t> skew(70001);
    for (auto& b : skew) b = static_cast<uint8_t>(std::min(geo(rng), 255));
    c.push_back({"skewed", skew, {}});
    // Long codes in one cluster, which sends the pair coder to fewer pairs
    // per round and, once it is past, back to more (in the piece from byte
    // 132854 when the pieces grow without bound).
    std::vector<uint8_t> agrupado(140000 + 65536 + 260000);
    for (size_t i = 0; i < agrupado.size(); i++)
        agrupado[i] = static_cast<uint8_t>(i - 140000 < 65536 ? rng() : std::min(geo(rng), 255));
    c.push_back({"clustered", agrupado, {}});
    c.push_back(fibonacci(&rng));
    c.push_back({"two symbols", bytesOf("abbabbbaababab"), {}});
    c.push_back({"one symbol", std::vector<uint8_t>(1000, 'z'), {}});
    c.push_back({"abracadabra", bytesOf("abracadabra"), {}});
    return c;
}

// The same stream with the word writer taking over after the tree, fed in
// pieces of varying size up to `maior` bytes; through the given variant of
// the pair coder when there is one, at most `porFlush` pairs a round.
std::vector<uint8_t> codificaRapidoEmPedacos(const Arvore* root, const EncodingTable& table,
                                             const std::vector<uint8_t>& dados, bool* todos,
                                             CodificaParesFn pares = nullptr, int porFlush = 2, size_t maior = 1001) {
    TempFile f;
    EncodedOutput* out = criaEncodedOutput(f.f);
    encodedOutputWriteTree(out, root);
    CodigosRapidos codigos;
    preparaCodigosRapidos(&codigos, table, root);
    auto codificador = std::make_unique<CodificadorPares>();
    if (pares) preparaPares(codificador.get(), codigos, porFlush);
    // Exactly the room asked for, so that the sanitizer build finds a coder
    // that writes past it: bwAssume may move `p` by a word first.
    std::vector<uint8_t> mem(sizeof(uint64_t) + espacoCodificacao(codigos, dados.size()));
    BitWriter w;
    bwAssume(&w, out, mem.data());
    *todos = true;
    for (size_t i = 0, passo = 1; i < dados.size(); i += passo, passo = passo * 3 % maior + 1) {
        const size_t n = std::min(passo, dados.size() - i);
        *todos &= codificaRapido(codigos, pares ? codificador.get() : nullptr, dados.data() + i, n, &w, pares);
    }
    bwFlush(&w);
    if (w.n > 0) w.p++;
    destroiEncodedOutput(out);
    fwrite(mem.data(), 1, static_cast<size_t>(w.p - mem.data()), f.f);
    return f.bytes();
}

// No pair coder, then every variant of it this CPU runs and the one the
// program chooses, with each limit of pairs a round.
struct ModoDeCodificar {
    std::string nome;
    CodificaParesFn fn;
    int porFlush;
};
std::vector<ModoDeCodificar> modosDeCodificar() {
    std::vector<ModoDeCodificar> modos{{"bytes", nullptr, 0}};
    auto variantes = variantesCodificaPares();
    variantes.push_back({"chosen", codificaPares});
    for (const auto& v : variantes)
        for (int porFlush = PARES_POR_FLUSH_MIN; porFlush <= PARES_POR_FLUSH_MAX; porFlush++)
            modos.push_back({v.nome + std::string(" ") + std::to_string(porFlush), v.fn, porFlush});
    return modos;
}

struct Modelo {
    ArvorePtr root;
    EncodingTable table{};
    explicit Modelo(const std::vector<uint8_t>& dados, const Contagens& contagens = {})
        : root(arvoreDe(contagens.empty() ? countsOf(dados) : contagens)) {
        BitStream vazio;
        bsClean(&vazio);
        preencheEncodingTable2(&table, root.get(), vazio);
    }
};

// Reads the tree back with the bit-by-bit reader, then decodes `count`
// symbols both ways from where it stopped.
struct Decodificacoes {
    std::vector<uint8_t> referencia, rapido;
    bool referenciaEsgotou, rapidoTruncou;
};

Decodificacoes decodificaAmbos(const std::vector<uint8_t>& stream, size_t count) {
    Decodificacoes d{};
    LeituraReferencia referencia(stream);
    d.referencia = referencia.decodifica(count);
    d.referenciaEsgotou = referencia.bsi->exhausted;

    LeituraStream l = leStream(stream);
    if (!l.root) {
        ADD_FAILURE() << "the tree does not read back";
        return d;
    }
    TabelaDecodificacao tabela;
    preparaDecodificacao(&tabela, l.root.get());
    d.rapido.resize(count);
    d.rapido.resize(decodificaRapido(tabela, &l.leitor, d.rapido.data(), count));
    d.rapidoTruncou = l.leitor.truncado;
    return d;
}

}  // namespace

TEST(Counting, FastAndPairCountsMatchThePlainCount) {
    std::mt19937 rng(3);
    std::vector<uint8_t> dados(4099);
    for (auto& b : dados) b = static_cast<uint8_t>(rng() % 7 == 0 ? rng() : 'e');
    for (size_t inicio : {0, 1, 5}) {
        FrequencyTable simples{}, rapido{};
        contaFrequencias(dados.data() + inicio, dados.size() - inicio, &simples);
        contaFrequenciasRapido(dados.data() + inicio, dados.size() - inicio, &rapido);
        EXPECT_EQ(simples, rapido) << inicio;
        // By pairs, in blocks of odd and even sizes, folded once.
        auto contagem = std::make_unique<ContagemPares>();
        FrequencyTable porPares{};
        for (size_t i = inicio, passo = 1; i < dados.size(); i += passo, passo = passo * 5 % 997 + 1)
            contaPares(dados.data() + i, std::min(passo, dados.size() - i), contagem.get(), &porPares);
        dobraPares(*contagem, &porPares);
        EXPECT_EQ(simples, porPares) << inicio;
    }
}

TEST(WordCoder, WritesTheBytesOfTheBitByBitWriter) {
    for (const Caso& c : casos()) {
        Modelo m(c.dados, c.contagens);
        if (c.contagens.size() == 34) {
            ASSERT_EQ(m.table[0].bits, 33u);
        }
        const std::vector<uint8_t> referencia = codificaReferencia(m.root.get(), c.dados);
        for (const auto& modo : modosDeCodificar()) {
            for (size_t maior : {size_t{1001}, size_t{30011}, SIZE_MAX}) {
                bool todos;
                EXPECT_EQ(
                    codificaRapidoEmPedacos(m.root.get(), m.table, c.dados, &todos, modo.fn, modo.porFlush, maior),
                    referencia)
                    << c.nome << " " << modo.nome << " in pieces up to " << maior;
                EXPECT_TRUE(todos) << c.nome;
            }
        }
    }
}

TEST(WordCoder, FlagsBytesWithoutCode) {
    for (const char* texto : {"abracadabra", "aaaa"}) {
        for (const auto& modo : modosDeCodificar()) {
            Modelo m(bytesOf(texto));
            bool todos;
            std::vector<uint8_t> outro = bytesOf(texto);
            outro.insert(outro.begin() + 2, 'z');
            codificaRapidoEmPedacos(m.root.get(), m.table, outro, &todos, modo.fn, modo.porFlush);
            EXPECT_FALSE(todos) << texto << " " << modo.nome;
        }
    }
}

TEST(WordCoder, TakesCodesUpToSixtyFourBits) {
    std::mt19937 rng(7);
    TempFile referencia;
    EncodedOutput* out = criaEncodedOutput(referencia.f);
    std::vector<uint8_t> mem(64 * 200 / 8 + 16);
    BitWriter w{0, 0, mem.data()};
    for (int i = 0; i < 200; i++) {
        BitStream code;
        bsClean(&code);
        const uint32_t len = 1 + rng() % 64;
        for (uint32_t j = 0; j < len; j++) bsPushInPlace(static_cast<int>(rng() & 1), &code);
        encodedOutputWrite(out, &code);
        bwPutLong(&w, bsPalavra(&code), len);
    }
    destroiEncodedOutput(out);
    if (w.n > 0) w.p++;
    EXPECT_EQ(std::vector<uint8_t>(mem.data(), w.p), referencia.bytes());
}

// A copy of `bytes` that starts `desvio` bytes into a 64-byte line of
// `memoria`: the vector kernels go their own way up to the next line.
uint8_t* copiaEmDesvio(const std::vector<uint8_t>& bytes, size_t desvio, std::vector<uint8_t>* memoria) {
    memoria->assign(bytes.size() + 2 * 64, 0);
    uint8_t* p = memoria->data() + (64 - reinterpret_cast<uintptr_t>(memoria->data()) % 64) % 64 + desvio;
    std::copy(bytes.begin(), bytes.end(), p);
    return p;
}

TEST(ByteKernels, MapMatchesAPlainLookupInPlaceOrNot) {
    std::mt19937 rng(11);
    std::array<uint8_t, 256> tabela;
    for (auto& t : tabela) t = static_cast<uint8_t>(rng());
    auto variantes = variantesSubstituiBytes();
    variantes.push_back({"chosen", substituiBytes});
    for (const auto& v : variantes) {
        for (size_t size : {0, 1, 63, 64, 65, 127, 128, 200, 1000}) {
            for (size_t desvio : {0, 1, 16, 63}) {
                std::vector<uint8_t> in(size), memoriaIn, memoriaDentro;
                for (auto& b : in) b = static_cast<uint8_t>(rng());
                std::vector<uint8_t> esperado(size + 8, 0xAA), fora(size + 8, 0xAA);
                for (size_t i = 0; i < size; i++) esperado[i] = tabela[in[i]];
                v.fn(tabela.data(), copiaEmDesvio(in, desvio, &memoriaIn), fora.data(), size);
                uint8_t* dentro = copiaEmDesvio(in, desvio, &memoriaDentro);
                v.fn(tabela.data(), dentro, dentro, size);
                EXPECT_EQ(fora, esperado) << v.nome << " " << size << "+" << desvio;  // past `size` untouched too
                esperado.resize(size);
                EXPECT_EQ(std::vector<uint8_t>(dentro, dentro + size), esperado) << v.nome << " " << size;
            }
        }
    }
}

TEST(ByteKernels, ShiftPutsTheCarriedBitsInFrontAndKeepsTheLastOnes) {
    std::mt19937 rng(12);
    auto variantes = variantesDeslocaBytes();
    variantes.push_back({"chosen", deslocaBytes});
    for (const auto& v : variantes) {
        for (uint32_t k = 1; k <= 7; k++) {
            for (size_t size : {0, 1, 7, 8, 9, 23, 64, 65, 130, 200}) {
                std::vector<uint8_t> de(size), memoria;
                for (auto& b : de) b = static_cast<uint8_t>(rng());
                const size_t desvio = rng() % 64;
                const uint64_t frente = static_cast<uint64_t>(rng()) << 56 & ~(~uint64_t{0} >> k);
                std::vector<int> bits;
                for (uint32_t t = 0; t < k; t++) bits.push_back(static_cast<int>(frente >> (63 - t) & 1));
                for (uint8_t b : de)
                    for (int t = 7; t >= 0; t--) bits.push_back(b >> t & 1);
                std::vector<uint8_t> esperado(size, 0);
                for (size_t t = 0; t < 8 * size; t++) esperado[t / 8] |= static_cast<uint8_t>(bits[t] << (7 - t % 8));
                uint64_t resto = 0;
                for (uint32_t t = 0; t < k; t++) resto |= static_cast<uint64_t>(bits[8 * size + t]) << (63 - t);

                uint64_t r = frente;
                uint8_t* p = copiaEmDesvio(de, desvio, &memoria);
                v.fn(p, p, size, k, &r);
                EXPECT_EQ(std::vector<uint8_t>(p, p + size), esperado) << v.nome << " " << k << " " << size;
                EXPECT_EQ(r, resto) << v.nome << " " << k << " " << size << "+" << desvio;
            }
        }
    }
}

// The symbol and the length that the subtables give for a code longer than
// DECODE_BITS, read from its bits ("0110..."), zeros past its end.
std::pair<int, size_t> pelasSubtabelas(const TabelaDecodificacao& tabela, const std::string& codigo) {
    const auto bitsEm = [&](size_t pos, uint32_t n) {
        uint32_t v = 0;
        for (uint32_t k = 0; k < n; k++) v = v << 1 | (pos + k < codigo.size() && codigo[pos + k] == '1');
        return v;
    };
    EntradaLonga e;
    memcpy(&e, tabela.simbolos[bitsEm(0, DECODE_BITS)].data(), sizeof e);
    size_t pos = 0;
    for (int consultas = 0; consultas < ARVORE_MAX_PROFUNDIDADE; consultas++) {
        pos += e.bits;
        e = tabela.longos.at(e.valor + bitsEm(pos, e.largura));
        if (e.largura == 0) return {e.valor, pos + e.bits};
    }
    return {-1, 0};
}

TEST(DecodeTable, EntriesMatchAWalkOfTheTree) {
    for (const Caso& c : casos()) {
        Modelo m(c.dados, c.contagens);
        if (!m.root->esq) continue;
        TabelaDecodificacao tabela;
        preparaDecodificacao(&tabela, m.root.get());
        // Every long code through the subtables.
        for (int b = 0; b < 256; b++) {
            if (m.table[b].bits <= DECODE_BITS) continue;
            const auto [simbolo, len] = pelasSubtabelas(tabela, bitString(m.table[b]));
            EXPECT_EQ(simbolo, b) << c.nome;
            EXPECT_EQ(len, m.table[b].bits) << c.nome << " " << b;
        }
        for (uint32_t i = 0; i < (1u << DECODE_BITS); i++) {
            const Arvore* no = m.root.get();
            uint32_t len = 0;
            while (no->esq && len < DECODE_BITS) no = (i >> (DECODE_BITS - 1 - len++)) & 1 ? no->dir : no->esq;
            if (no->esq) {
                EXPECT_EQ(tabela.qtd[i], 0u);
                EXPECT_EQ(tabela.usados[i], DECODE_LONGO);
            } else {
                ASSERT_NE(tabela.qtd[i], 0u) << c.nome << " " << i;
                EXPECT_LE(tabela.usados[i], DECODE_BITS);
                EXPECT_EQ(tabela.simbolos[i][0], no->simbolo) << c.nome << " " << i;
                EXPECT_EQ(tabela.len1[i], len) << c.nome << " " << i;
            }
        }
    }
}

TEST(DecodeTable, ByteMapOnlyWhenEveryCodeHasEightBits) {
    int mapas = 0;
    for (const Caso& c : casos()) {
        Modelo m(c.dados, c.contagens);
        TabelaDecodificacao tabela;
        preparaDecodificacao(&tabela, m.root.get());
        bool oito = m.root->esq != nullptr;
        for (int b = 0; b < 256; b++) oito &= m.table[b].bits == 8;
        EXPECT_EQ(tabela.todos8, oito) << c.nome;
        if (!tabela.todos8) continue;
        mapas++;
        // Every byte of the stream, read from the root, is its own symbol.
        for (uint32_t b = 0; b < 256; b++) {
            const Arvore* no = m.root.get();
            for (int k = 7; k >= 0; k--) no = (b >> k) & 1 ? no->dir : no->esq;
            EXPECT_EQ(tabela.simbolo8[b], no->simbolo) << c.nome << " " << b;
        }
    }
    EXPECT_GT(mapas, 0) << "no case reaches the byte map";
}

TEST(FastDecoder, GivesTheSymbolsOfTheTreeWalk) {
    for (const Caso& c : casos()) {
        Modelo m(c.dados, c.contagens);
        const auto d = decodificaAmbos(codificaReferencia(m.root.get(), c.dados), c.dados.size());
        EXPECT_FALSE(d.referenciaEsgotou) << c.nome;
        EXPECT_FALSE(d.rapidoTruncou) << c.nome;
        EXPECT_EQ(d.rapido, c.dados) << c.nome;
        EXPECT_EQ(d.referencia, c.dados) << c.nome;
    }
}

TEST(FastDecoder, FindsEveryTruncationWhereTheTreeWalkDoes) {
    for (const char* texto : {"abracadabra", "ab", "mississippi river banks"}) {
        const std::vector<uint8_t> dados = bytesOf(texto);
        Modelo m(dados);
        const std::vector<uint8_t> stream = codificaReferencia(m.root.get(), dados);
        for (size_t corte = 0; corte < stream.size(); corte++) {
            const std::vector<uint8_t> curto(stream.begin(), stream.begin() + static_cast<long>(corte));
            if (!leArvore(curto)) continue;  // cut inside the tree: the reader's own tests
            const auto d = decodificaAmbos(curto, dados.size());
            EXPECT_TRUE(d.referenciaEsgotou) << texto << " cut at " << corte;
            EXPECT_TRUE(d.rapidoTruncou) << texto << " cut at " << corte;
        }
    }
}

// The last window of a stream whose codes of 255 bits begin where the last
// cursor of a segment starts: the lookups recorded of that cursor stay inside
// the input, which the sanitizer build reads from an allocation of its size.
TEST(FastDecoder, DeepestCodesAtTheEndStayInsideTheInput) {
    std::string bits;
    for (int v = 0; v < 255; v++) bits.append("01").append(byteBits(static_cast<uint8_t>(v)));  // a comb 255 deep
    bits.append("1").append(byteBits(255));
    const size_t janela = 3000, quarta = (janela - DECODE_MARGEM) / 5 * 4;
    bits += std::string(1 + 8 * (quarta - 1), '0') + std::string(8 * (janela - quarta), '1');
    const auto d = decodificaAmbos(packBits(bits), 8 * janela);
    EXPECT_TRUE(d.referenciaEsgotou);
    EXPECT_TRUE(d.rapidoTruncou);
}

TEST(FastDecoder, LongStreamsDecodeInPiecesToTheirInput) {
    std::mt19937 rng(13);
    std::geometric_distribution<int> geo(0.15);
    std::vector<Caso> longos;
    longos.push_back({"text-like", std::vector<uint8_t>(400000), {}});
    for (auto& b : longos.back().dados) b = static_cast<uint8_t>('a' + std::min(geo(rng), 40));
    // Rare values with codes longer than a table lookup, anywhere.
    longos.push_back({"long tail", std::vector<uint8_t>(400000), {}});
    for (auto& b : longos.back().dados) b = static_cast<uint8_t>(std::min(geo(rng), 255));
    longos.push_back({"3-bit codes", std::vector<uint8_t>(300000), {}});
    for (auto& b : longos.back().dados) b = static_cast<uint8_t>(rng() % 8);
    longos.push_back(fibonacci(&rng, 200000));
    // Stretches of 1-bit codes after stretches of 9- to 11-bit ones: a segment
    // gives ten times the output the last one did, more than the cursors
    // foresee, and they run out of room where they write.
    longos.push_back({"density changes", std::vector<uint8_t>(1040000), {}});
    for (size_t i = 0; i < longos.back().dados.size(); i++)
        longos.back().dados[i] = i % 260000 >= 60000 ? 0 : static_cast<uint8_t>(1 + rng() % 200);
    for (const Caso& c : longos) {
        Modelo m(c.dados, c.contagens);
        const std::vector<uint8_t> stream = codificaReferencia(m.root.get(), c.dados);
        for (size_t pedaco : {size_t{65543}, c.dados.size()}) {
            LeituraStream l = leStream(stream);
            ASSERT_TRUE(l.root) << c.nome;
            TabelaDecodificacao tabela;
            preparaDecodificacao(&tabela, l.root.get());
            LeitorBits& r = l.leitor;
            std::vector<uint8_t> saida(c.dados.size());
            size_t feitos = 0;
            while (feitos < saida.size() && !r.truncado) {
                const size_t n =
                    decodificaRapido(tabela, &r, saida.data() + feitos, std::min(pedaco, saida.size() - feitos));
                ASSERT_GT(n, 0u) << c.nome;
                feitos += n;
            }
            EXPECT_FALSE(r.truncado) << c.nome;
            EXPECT_TRUE(saida == c.dados) << c.nome << " in pieces of " << pedaco;
        }
    }
}

// Random trees with codes from 1 to about 20 bits, and inputs long enough for
// every cursor, against the tree walk: catches a lookup that one path reads
// differently from another, wherever the codes fall. Then combs as deep as
// only a hostile file makes them (the compressor's trees are at most about
// 46 deep), whose codes the subtables take a few bits at a time.
TEST(FastDecoder, RandomTreesAndDeepCombsDecodeLikeTheTreeWalk) {
    for (unsigned semente = 1; semente <= 12; semente++) {
        std::mt19937 rng(semente);
        std::vector<double> pesos(256);
        for (auto& p : pesos) p = std::pow(2.0, -static_cast<double>(rng() % 20));
        std::discrete_distribution<int> d(pesos.begin(), pesos.end());
        std::vector<uint8_t> dados(150000);
        for (auto& b : dados) b = static_cast<uint8_t>(d(rng));
        Modelo m(dados);
        const auto r = decodificaAmbos(codificaReferencia(m.root.get(), dados), dados.size());
        EXPECT_FALSE(r.rapidoTruncou) << semente;
        EXPECT_TRUE(r.rapido == dados) << semente;
    }
    std::mt19937 rng(255);
    std::geometric_distribution<int> geo(0.3);
    for (int fundo : {20, 45, 100, ARVORE_MAX_PROFUNDIDADE}) {
        // Leaf v < fundo has the code of v ones and a zero; leaf `fundo` that
        // of `fundo` ones. Most symbols are shallow, one in 50 anywhere.
        std::string bits, codigos;
        for (int v = 0; v <= fundo; v++) bits += (v < fundo ? "01" : "1") + byteBits(static_cast<uint8_t>(v));
        std::vector<uint8_t> dados(60000);
        for (auto& b : dados) {
            b = static_cast<uint8_t>(rng() % 50 == 0 ? rng() % (fundo + 1) : std::min(geo(rng), fundo));
            codigos += std::string(b, '1') + (b < fundo ? "0" : "");
        }
        const auto r = decodificaAmbos(packBits(bits + codigos), dados.size());
        EXPECT_FALSE(r.rapidoTruncou) << fundo;
        EXPECT_TRUE(r.referencia == dados) << fundo;
        EXPECT_TRUE(r.rapido == dados) << fundo;
    }
}
