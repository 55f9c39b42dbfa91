#include "heap.h"

#include <gtest/gtest.h>

#include <cctype>

#include "test_support.h"

namespace {

// Trees the heap only carries, told apart by address.
Arvore marcas[300];

// Weights 5, 2, 1, 1, 2 carried by marcas[0..4].
Heap* heapExemplo() {
    Heap* h = criaHeap(8);
    const uint32_t w[] = {5, 2, 1, 1, 2};
    for (int i = 0; i < 5; i++) insere(h, &marcas[i], w[i]);
    return h;
}

std::vector<uint32_t> pesos(const Heap* h) {
    std::vector<uint32_t> w;
    for (int32_t i = 1; i <= h->last; i++) w.push_back(h->items[i]->freq);
    return w;
}

std::string forma(const Arvore* t) {
    if (t->esq) return std::string("(").append(forma(t->esq)).append(",").append(forma(t->dir)).append(")");
    if (isalpha(t->simbolo)) return std::string(1, static_cast<char>(t->simbolo));
    char hex[8];
    snprintf(hex, sizeof hex, "x%02X", t->simbolo);
    return hex;
}

int profundidade(const Arvore* t) { return t->esq ? 1 + std::max(profundidade(t->esq), profundidade(t->dir)) : 0; }

// Degenerate tree of the leaves 0..n-1, each one level below the previous.
ArvorePtr pente(int n) {
    Arvore* t = criaNo(criaFolha(static_cast<uint8_t>(n - 2)), criaFolha(static_cast<uint8_t>(n - 1)));
    for (int i = n - 3; i >= 0; i--) t = criaNo(criaFolha(static_cast<uint8_t>(i)), t);
    return ArvorePtr(t);
}

// The tree alone, as the compressor writes it.
std::vector<uint8_t> serializa(const Arvore* t) { return codificaReferencia(t, {}); }

Contagens todosOsBytes() {
    Contagens counts;
    for (int b = 0; b < 256; b++) counts.emplace_back(static_cast<uint8_t>(b), 1);
    return counts;
}

}  // namespace

// The order in which equal weights leave the heap fixes the tree's shape.
TEST(Heap, EqualWeightsLeaveInAFixedOrder) {
    const struct {
        std::vector<uint32_t> pesos;
        std::vector<int> saida;  // which insertion leaves first, second, ...
    } casos[] = {
        {{5, 2, 1, 1, 2}, {2, 3, 4, 1, 0}},  // the later 2 rose past the earlier one's parent
        {{3, 3}, {0, 1}},
        // Never moved on the way in; each removal then brings the last one up.
        {std::vector<uint32_t>(10, 3), {0, 9, 8, 7, 6, 5, 4, 3, 2, 1}},
    };
    for (const auto& c : casos) {
        Heap* h = criaHeap(16);
        for (size_t i = 0; i < c.pesos.size(); i++) insere(h, &marcas[i], c.pesos[i]);
        std::vector<int> saida;
        while (getTamanho(h) > 0) saida.push_back(static_cast<int>(retiraMenor(h) - marcas));
        EXPECT_EQ(saida, c.saida) << c.pesos.size();
        destroiHeap(h);
    }
}

TEST(Heap, RemovalTakesTheMinimumAndPrefersTheLeftChildOnTies) {
    Heap* h = heapExemplo();
    EXPECT_EQ(retiraMenor(h), &marcas[2]);
    EXPECT_EQ(retiraMenor(h), &marcas[3]);
    EXPECT_EQ(pesos(h), (std::vector<uint32_t>{2, 5, 2}));
    EXPECT_EQ(copiaMenor(h), &marcas[4]);
    EXPECT_EQ(getMenorFreq(h), 2u);
    for (int i : {4, 1, 0}) EXPECT_EQ(retiraMenor(h), &marcas[i]);
    EXPECT_EQ(getTamanho(h), 0);
    EXPECT_EQ(restaUm(h), 1);
    insere(h, &marcas[0], 7);
    EXPECT_EQ(restaUm(h), 1);
    insere(h, &marcas[1], 7);
    EXPECT_EQ(restaUm(h), 0);
    destroiHeap(h);
}

TEST(HeapDeathTest, CapacityOf256TakesExactly256Items) {
    if (const char* motivo = semTestesDeMorte()) GTEST_SKIP() << motivo;
    Heap* h = criaHeap(256);
    for (int i = 0; i < 256; i++) insere(h, &marcas[i], static_cast<uint32_t>(1000 - i));
    EXPECT_EQ(getTamanho(h), 256);
    EXPECT_DEATH(insere(h, &marcas[256], 1), "h->last < h->size");
    for (int i = 255; i >= 0; i--) ASSERT_EQ(retiraMenor(h), &marcas[i]);
    destroiHeap(h);
}

TEST(Huffman, TreeShapeFollowsTheCounts) {
    const struct {
        Contagens counts;
        std::string forma;
    } casos[] = {
        {ABRACADABRA, "(a,(b,(r,(c,d))))"},
        {{{'a', 1}, {'b', 1}}, "(a,b)"},
        {{{'a', 1}, {'b', 1}, {'c', 1}, {'d', 1}}, "((a,d),(c,b))"},
        {{{0x00, 3}, {'m', 1}, {0xFF, 1}}, "((m,xFF),x00)"},
        {{{0xFF, 9}}, "xFF"},
    };
    for (const auto& c : casos) EXPECT_EQ(forma(arvoreDe(c.counts).get()), c.forma);
}

TEST(Huffman, SingleItemIsReturnedWithoutAMerge) {
    Heap* h = criaHeap(256);
    Arvore* folha = criaFolha('x');
    insere(h, folha, 4);
    EXPECT_EQ(huffman(h), folha);
    EXPECT_EQ(getTamanho(h), 1);
    EXPECT_EQ(getMenorFreq(h), 4u);
    destroiHeap(h);
    destroiArvore(folha);
}

TEST(TreeFormat, WritesPreOrderBits) {
    EXPECT_EQ(serializa(arvoreDe(ABRACADABRA).get()), (std::vector<uint8_t>{0x58, 0x56, 0x25, 0xC9, 0x63, 0xB2, 0x00}));
    EXPECT_EQ(serializa(arvoreDe({{'a', 1}, {'b', 1}}).get()), (std::vector<uint8_t>{0x58, 0x6C, 0x40}));
    EXPECT_EQ(serializa(arvoreDe({{'a', 4}}).get()), (std::vector<uint8_t>{0xB0, 0x80}));
}

TEST(TreeFormat, ReadingBackAndWritingAgainGivesTheSameBits) {
    const ArvorePtr casos[] = {arvoreDe(ABRACADABRA), arvoreDe({{0x00, 1}}), arvoreDe({{0x00, 3}, {'m', 1}, {0xFF, 1}}),
                               arvoreDe(todosOsBytes()), pente(256)};
    for (const ArvorePtr& arvore : casos) {
        SCOPED_TRACE(forma(arvore.get()).substr(0, 40));
        const std::vector<uint8_t> bytes = serializa(arvore.get());
        ArvorePtr lida = leArvore(bytes);
        ASSERT_NE(lida, nullptr);
        EXPECT_EQ(forma(lida.get()), forma(arvore.get()));
        EXPECT_EQ(serializa(lida.get()), bytes);
    }
}

TEST(TreeFormat, ReaderAcceptsDepth255AndRejectsDeeper) {
    ArvorePtr comb = leArvore(serializa(pente(256).get()));
    ASSERT_NE(comb, nullptr);
    EXPECT_EQ(profundidade(comb.get()), 255);

    // The same depth down the 0 branches: 255 internal nodes, then 256 leaves.
    std::string bits(255, '0');
    for (int b = 0; b < 256; b++) bits.append("1").append(byteBits(static_cast<uint8_t>(b)));
    ArvorePtr esquerda = leArvore(packBits(bits));
    ASSERT_NE(esquerda, nullptr);
    EXPECT_EQ(profundidade(esquerda.get()), 255);
    EXPECT_EQ(leArvore(packBits("0" + bits)), nullptr);
}

TEST(TreeFormat, ReaderRejectsEveryTruncatedTree) {
    for (const ArvorePtr& t : {arvoreDe(ABRACADABRA), arvoreDe(todosOsBytes()), pente(256)}) {
        const std::vector<uint8_t> bytes = serializa(t.get());
        for (size_t n = 0; n < bytes.size(); n++)
            EXPECT_EQ(leArvore(std::vector<uint8_t>(bytes.begin(), bytes.begin() + n)), nullptr)
                << n << " of " << bytes.size() << " bytes";
    }
}

TEST(TreeFormat, ReaderRejectsAByteValueInTwoLeaves) {
    const std::string a = "101100001", b = "101100010", nul = "100000000";
    EXPECT_NE(leArvore(packBits("0" + a + b)), nullptr);
    EXPECT_EQ(leArvore(packBits("0" + a + a)), nullptr);
    EXPECT_EQ(leArvore(packBits("0" + a + "0" + b + a)), nullptr);
    EXPECT_EQ(leArvore(packBits("00" + a + b + "0" + nul + b)), nullptr);
}

TEST(TreeFormat, LongRunOfZeroBitsIsRejectedEarly) {
    LeituraReferencia l(std::vector<uint8_t>(200000, 0));
    EXPECT_EQ(l.root, nullptr);
    EXPECT_EQ(l.bsi->exhausted, 0);
    EXPECT_LE(ftell(l.arquivo.f), 64);  // gave up within the first blocks
}
