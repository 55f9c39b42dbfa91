// Scratch files shared by the fuzzing targets: each process works in a
// directory of its own, in /dev/shm where it can, removed at exit.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

inline std::string& diretorioFuzz() {
    static std::string diretorio;
    return diretorio;
}

inline std::vector<std::string>& arquivosFuzz() {
    static std::vector<std::string> arquivos;
    return arquivos;
}

inline void removeDiretorioFuzz() {
    for (const std::string& arquivo : arquivosFuzz()) unlink(arquivo.c_str());
    rmdir(diretorioFuzz().c_str());
}

// Makes the directory; `nome` tells the targets' directories apart.
inline void criaDiretorioFuzz(const char* nome) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : P_tmpdir;
    std::string modelo = std::string(base) + "/vespadora-fuzz-" + nome + "-XXXXXX";
    if (!mkdtemp(modelo.data())) {
        perror("mkdtemp");
        abort();
    }
    diretorioFuzz() = modelo;
    // Both lists exist before the handler is registered, so that they are
    // destroyed after it runs.
    arquivosFuzz().clear();
    atexit(removeDiretorioFuzz);
}

// The path of a file in the directory, removed with it.
inline std::string arquivoFuzz(const char* nome) {
    arquivosFuzz().push_back(diretorioFuzz() + "/" + nome);
    return arquivosFuzz().back();
}

inline bool escreveArquivo(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

inline bool leArquivo(const std::string& path, std::vector<uint8_t>* conteudo) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    conteudo->clear();
    uint8_t bloco[65536];
    size_t lidos;
    while ((lidos = fread(bloco, 1, sizeof bloco, f)) > 0) conteudo->insert(conteudo->end(), bloco, bloco + lidos);
    const bool ok = !ferror(f);
    fclose(f);
    return ok;
}
