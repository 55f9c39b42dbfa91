// Memory running out at every allocation in turn: the k-th call of
// alocaMemoria or alocaZerada fails, for every k of a compression and of a
// decompression, until a run makes fewer calls than k and must then succeed.
// A failed run must end in std::bad_alloc, with no output file left behind
// and, in the sanitizer build, nothing leaked. The allocation functions below
// take the place of the library's (see bitstream_memoria.cpp).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "vespadora_rapido.h"

#if defined(__SANITIZE_ADDRESS__)
#define COM_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define COM_LSAN 1
#endif
#endif
#ifdef COM_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace {

long chamadas = 0;
long falhaNa = 0;  // the call that fails; 0 for none

void contaChamada() {
    if (++chamadas == falhaNa) throw std::bad_alloc();
}

}  // namespace

void* alocaMemoria(size_t bytes) {
    contaChamada();
    void* p = malloc(bytes == 0 ? 1 : bytes);
    if (!p) throw std::bad_alloc();
    return p;
}

void* alocaZerada(size_t count, size_t size) {
    contaChamada();
    void* p = calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
    if (!p) throw std::bad_alloc();
    return p;
}

namespace {

namespace fs = std::filesystem;

// The drivers' console lines go to the null device while the object lives.
struct SemConsole {
    int salvo;
    SemConsole() {
        fflush(stdout);
        salvo = dup(STDOUT_FILENO);
        const int nulo = open(fs::exists("/dev/null") ? "/dev/null" : "NUL", O_WRONLY);
        dup2(nulo, STDOUT_FILENO);
        close(nulo);
    }
    ~SemConsole() {
        fflush(stdout);
        dup2(salvo, STDOUT_FILENO);
        close(salvo);
    }
    SemConsole(const SemConsole&) = delete;
    SemConsole& operator=(const SemConsole&) = delete;
};

std::vector<std::string> arquivosEm(const fs::path& dir) {
    std::vector<std::string> nomes;
    for (const auto& e : fs::directory_iterator(dir)) nomes.push_back(e.path().filename().string());
    std::sort(nomes.begin(), nomes.end());
    return nomes;
}

void escreve(const fs::path& path, const std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path.string().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    fclose(f);
}

std::vector<uint8_t> conteudo(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// A directory of its own, removed with what is in it.
struct Diretorio {
    fs::path path;
    Diretorio() {
        static int criados = 0;
        path = fs::temp_directory_path() /
               ("vespadora-alloc-" + std::to_string(getpid()) + "-" + std::to_string(criados++));
        fs::remove_all(path);
        fs::create_directory(path);
    }
    ~Diretorio() { fs::remove_all(path); }
    Diretorio(const Diretorio&) = delete;
    Diretorio& operator=(const Diretorio&) = delete;
};

// Runs `driver` from `de` to `para` (in one directory) failing the first
// call, then the second, and so on, until a run succeeds, which makes
// `*feitas` calls.
void falhaCadaAlocacao(int (*driver)(const char*, const char*), const fs::path& de, const fs::path& para,
                       long* feitas) {
    const std::vector<std::string> antes = arquivosEm(de.parent_path());
    for (long k = 1;; k++) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        chamadas = 0;
        falhaNa = k;
        bool semMemoria = false;
        int status = -1;
        {
            SemConsole semConsole;
            try {
                status = driver(de.string().c_str(), para.string().c_str());
            } catch (const std::bad_alloc&) {
                semMemoria = true;
            }
        }
        falhaNa = 0;
#ifdef COM_LSAN
        ASSERT_EQ(__lsan_do_recoverable_leak_check(), 0) << "leaked";
#endif
        if (chamadas < k) {
            ASSERT_FALSE(semMemoria);
            ASSERT_EQ(status, 0);
            *feitas = chamadas;
            return;
        }
        ASSERT_TRUE(semMemoria) << "status " << status;
        ASSERT_EQ(arquivosEm(de.parent_path()), antes) << "an output was left behind";
    }
}

}  // namespace

TEST(AllocationFailure, EveryAllocationOfACompressionAndADecompression) {
    std::string texto;
    while (texto.size() <= MIN_PARES) texto += "linha " + std::to_string(texto.size()) + " de texto comum\n";
    const struct {
        const char* nome;
        std::vector<uint8_t> dados;
    } casos[] = {{"empty", {}}, {"abracadabra", bytesOf("abracadabra")}, {"by pairs", bytesOf(texto)}};
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        Diretorio dir;
        const fs::path original = dir.path / "original", compactado = dir.path / "compactado",
                       restaurado = dir.path / "restaurado";
        escreve(original, c.dados);
        long feitas = 0;
        ASSERT_NO_FATAL_FAILURE(falhaCadaAlocacao(encode, original, compactado, &feitas));
        EXPECT_GE(feitas, 2);
        ASSERT_NO_FATAL_FAILURE(falhaCadaAlocacao(decode, compactado, restaurado, &feitas));
        EXPECT_GE(feitas, 2);
        EXPECT_EQ(conteudo(restaurado), c.dados);
    }
}
