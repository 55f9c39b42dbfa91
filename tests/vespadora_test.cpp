#include "vespadora.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cstdio>
#include <random>

#include "test_support.h"

namespace {

BitStream vazio() {
    BitStream bs;
    bsClean(&bs);
    return bs;
}

EncodingTable tabelaDe(const Arvore* root) {
    EncodingTable table{};
    preencheEncodingTable2(&table, root, vazio());
    return table;
}

// Fibonacci counts over the byte values 3, 10, 17, ..., the largest counts
// on the largest values or on the smallest.
Contagens fibonacci(bool crescente) {
    std::vector<uint8_t> valores;
    for (int i = 0; i < 34; i++) valores.push_back(static_cast<uint8_t>(7 * (crescente ? i : 33 - i) + 3));
    return fibonacciCounts(valores);
}

// The node that the bits of `code` lead to from the root; null when they go
// on past a leaf.
const Arvore* noDoCodigo(const Arvore* no, const BitStream& code) {
    for (uint32_t i = 0; i < code.bits; i++) {
        if (!no->esq) return nullptr;
        no = bsAt(static_cast<int>(i), &code) ? no->dir : no->esq;
    }
    return no;
}

// Writes the tree of `counts` and the code of every byte of `mensagem`, reads
// the tree back and decodes every symbol. Returns the longest code used.
uint32_t idaEVolta(const Contagens& counts, const std::vector<uint8_t>& mensagem) {
    ArvorePtr root = arvoreDe(counts);
    const EncodingTable table = tabelaDe(root.get());
    uint64_t bits = 10 * counts.size() - 1;
    uint32_t maior = 0;
    for (uint8_t b : mensagem) {
        bits += table[b].bits;
        maior = std::max(maior, table[b].bits);
    }
    const std::vector<uint8_t> stream = codificaReferencia(root.get(), mensagem);
    EXPECT_EQ(stream.size(), (bits + 7) / 8);

    LeituraReferencia l(stream);
    EXPECT_NE(l.root, nullptr);
    const std::vector<uint8_t> lidos = l.decodifica(mensagem.size());
    const auto diferenca = std::mismatch(lidos.begin(), lidos.end(), mensagem.begin(), mensagem.end());
    EXPECT_TRUE(diferenca.second == mensagem.end()) << "first wrong symbol: " << diferenca.second - mensagem.begin();
    EXPECT_EQ(l.bsi->exhausted, 0);
    return maior;
}

}  // namespace

TEST(EncodingTable, AbracadabraCodes) {
    const EncodingTable table = tabelaDe(arvoreDe(ABRACADABRA).get());
    const std::pair<uint8_t, const char*> codes[] = {
        {'a', "0"}, {'b', "10"}, {'r', "110"}, {'c', "1110"}, {'d', "1111"}};
    for (const auto& [simbolo, code] : codes) EXPECT_EQ(bitString(table[simbolo]), code) << simbolo;
    EXPECT_EQ(table['c'].data[0], 0xE0);
    EXPECT_EQ(table['c'].bits, 4u);
    std::string comCodigo;
    for (int b = 0; b < 256; b++)
        if (table[b].bits) comCodigo += static_cast<char>(b);
    EXPECT_EQ(comCodigo, "abcdr");
}

TEST(EncodingTable, LoneLeafTwoLeavesAndNoTree) {
    EncodingTable table;
    BitStream marca = vazio();
    marca.bits = 5;  // stands for "never written"
    table.fill(marca);
    preencheEncodingTable(&table, nullptr);
    preencheEncodingTable2(&table, nullptr, vazio());
    preencheEncodingTable2(&table, arvoreDe({{'x', 3}}).get(), vazio());
    EXPECT_EQ(table['x'].bits, 0u);
    EXPECT_EQ(table['y'].bits, 5u);

    const EncodingTable dois = tabelaDe(arvoreDe({{0x00, 1}, {0xFF, 1}}).get());
    EXPECT_EQ(bitString(dois[0x00]), "0");
    EXPECT_EQ(bitString(dois[0xFF]), "1");
}

// Each byte's code leads from the root to its own leaf, whichever front end
// fills the table.
TEST(EncodingTable, BothFrontEndsGiveTheSameTable) {
    Contagens todos;
    for (int b = 0; b < 256; b++) todos.emplace_back(static_cast<uint8_t>(b), static_cast<uint32_t>(b % 13 + 1));
    const Contagens casos[] = {{{'x', 3}}, {{'a', 1}, {'b', 1}}, ABRACADABRA, todos, fibonacci(true), fibonacci(false)};
    for (const Contagens& counts : casos) {
        ArvorePtr root = arvoreDe(counts);
        EncodingTable um{}, dois{};
        preencheEncodingTable(&um, root.get());
        preencheEncodingTable2(&dois, root.get(), vazio());
        std::array<bool, 256> contado{};
        for (const auto& c : counts) contado[c.first] = true;
        for (int b = 0; b < 256; b++) {
            SCOPED_TRACE(std::to_string(counts.size()) + " values, byte " + std::to_string(b));
            EXPECT_EQ(bitString(um[b]), bitString(dois[b]));
            if (!contado[b]) {
                EXPECT_EQ(um[b].bits, 0u);
                continue;
            }
            const Arvore* folha = noDoCodigo(root.get(), um[b]);
            ASSERT_NE(folha, nullptr);
            EXPECT_TRUE(!folha->esq && folha->simbolo == b);
        }
    }
}

TEST(Codec, EncodesToKnownStreams) {
    // Tree bits, then every byte's code, then zero padding.
    const struct {
        std::string entrada;
        std::vector<uint8_t> fluxo;
    } casos[] = {
        {"abracadabra", {0x58, 0x56, 0x25, 0xC9, 0x63, 0xB2, 0x2C, 0xE7, 0xAC}},
        {"ab", {0x58, 0x6C, 0x48}},
        {"aaaa", {0xB0, 0x80}},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.entrada);
        const std::vector<uint8_t> entrada = bytesOf(c.entrada);
        EXPECT_EQ(codificaReferencia(arvoreDe(countsOf(entrada)).get(), entrada), c.fluxo);
    }
}

TEST(Codec, DecodeReadsExactlyTheBitsOfEachCode) {
    // abracadabra's tree (49 bits), the codes of d, a, c, b, r, a (15 bits),
    // then the first bit of b, which the zero padding completes; the rest of
    // the padding decodes as six a.
    const std::string arvore = "0101100001010110001001011100100101100011101100100";
    LeituraReferencia l(packBits(arvore + "1111" + "0" + "1110" + "10" + "110" + "0" + "1"));
    ASSERT_NE(l.root, nullptr);
    EXPECT_EQ(l.decodifica(13), bytesOf("dacbrabaaaaaa"));
    EXPECT_EQ(l.bsi->exhausted, 0);
    l.decodifica(1);
    EXPECT_EQ(l.bsi->exhausted, 1);
}

TEST(Codec, LoneLeafDecodesWithoutReadingBits) {
    // The leaf a, then the bits of 0xC3 that no symbol may take.
    std::string bits = "1";
    bits += byteBits('a');
    bits += byteBits(0xC3);
    LeituraReferencia l(packBits(bits));
    ASSERT_NE(l.root, nullptr);
    EXPECT_EQ(l.decodifica(1000), std::vector<uint8_t>(1000, 'a'));
    EXPECT_EQ(bsiPopByte(l.bsi), 0xC3);
    EXPECT_EQ(l.bsi->exhausted, 0);
}

TEST(Frequencies, CountsEveryByteValueBlockAfterBlock) {
    std::vector<uint8_t> dados = bytesOf("abracadabra");
    for (int b = 0; b < 256; b++) dados.push_back(static_cast<uint8_t>(b));  // 0x00 and 0xFF too
    FrequencyTable freq{};
    contaFrequencias(dados.data(), 0, &freq);
    contaFrequencias(dados.data(), 7, &freq);
    contaFrequencias(dados.data() + 7, dados.size() - 7, &freq);
    for (int b = 0; b < 256; b++) {
        const uint32_t extra = b == 'a' ? 5 : b == 'b' || b == 'r' ? 2 : b == 'c' || b == 'd' ? 1 : 0;
        EXPECT_EQ(freq[b], 1 + extra) << b;
    }
}

TEST(Codec, RoundTripOfRandomSkewedAndFibonacciInputs) {
    const unsigned seed = 0x5EED1234;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::vector<uint8_t> uniforme(20000), enviesado(20000), dois(3000), um(500, 0xFF);
    for (auto& b : uniforme) b = static_cast<uint8_t>(rng());
    // About half the bytes are 0xFF, a quarter 0xFE, ...; now and then a 0x00.
    for (auto& b : enviesado) b = rng() % 97 ? static_cast<uint8_t>(0xFF - std::countl_zero(uint32_t(rng()) | 1)) : 0;
    for (auto& b : dois) b = rng() % 10 ? 0x00 : 0x80;
    for (const auto* m : {&uniforme, &enviesado, &dois, &um}) {
        SCOPED_TRACE(m->size());
        idaEVolta(countsOf(*m), *m);
    }

    for (bool crescente : {true, false}) {
        SCOPED_TRACE(crescente ? "Fibonacci counts ascending" : "Fibonacci counts descending");
        const Contagens counts = fibonacci(crescente);
        std::vector<uint8_t> mensagem(5000);
        for (auto& b : mensagem) b = counts[rng() % counts.size()].first;
        EXPECT_EQ(idaEVolta(counts, mensagem), 33u);
    }
}

// Ratios whose exact value is a decimal tie or next to one, where computing in
// doubles would print the other last digit: the 80-bit steps decide.
TEST(Ratio, TiesPrintAsTheExtendedStepsGive) {
    const struct {
        uint64_t written;
        uint32_t count;
        const char* texto;
    } casos[] = {
        {49, 160, "30.62"},  // abcd 40 times
        {2507, 20000, "12.54"},
        {609, 2400, "25.38"},
        {15014, 40000, "37.53"},
        {724, 640, "113.12"},
        {12084, 16000, "75.53"},
        {59294640, 186022400, "31.88"},
        {443547371, 1413696800, "31.38"},
        {943615368, 1637510400, "57.62"},
        {2595364407, 2362106400, "109.88"},
        {4275423126, 3813086400, "112.12"},
        {6, 0, "0.00"},
    };
    for (const auto& c : casos) {
        for (auto taxa : {taxaCompressao, taxaCompressaoInteira}) {
            char texto[32];
            snprintf(texto, sizeof texto, "%.2f", taxa(c.written, c.count));
            EXPECT_STREQ(texto, c.texto) << c.written << " / " << c.count;
        }
    }
}

// The integer steps against the floating-point ones, double for double, on
// every small pair and on random large ones.
TEST(Ratio, IntegerStepsGiveTheExtendedResult) {
#if LDBL_MANT_DIG != 64
    GTEST_SKIP() << "long double is not the 80-bit format here, so there is nothing to compare with";
#endif
    int erros = 0;
    auto compara = [&](uint64_t written, uint32_t count) {
        const double esperado = taxaCompressao(written, count), obtido = taxaCompressaoInteira(written, count);
        if (esperado != obtido && erros++ < 5)
            ADD_FAILURE() << written << " / " << count << ": " << obtido << " instead of " << esperado;
    };
    for (uint64_t written = 0; written <= 1000; written++)
        for (uint32_t count = 0; count <= 300; count++) compara(written, count);
    const unsigned seed = 0x7A3A;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 300000; i++) {
        const uint32_t count = static_cast<uint32_t>(rng() >> (32 + rng() % 32));
        // Mostly near the count, as compressed sizes are; now and then anything.
        const uint64_t written = i % 4 ? count + count / (1 + rng() % 16) + rng() % 400 : rng() >> (rng() % 64);
        compara(written, count);
    }
    EXPECT_EQ(erros, 0);
}
