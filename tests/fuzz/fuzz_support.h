// Scratch files shared by the fuzzing targets: each process works in a
// directory of its own, in /dev/shm where it can, removed at exit.
#pragma once

#include <dirent.h>
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

// An input that starts with this byte stands for a larger one: the rest,
// repeated until it passes `minimo` bytes. Short inputs then reach the paths
// of large files: several read blocks of 256 KiB, and the pair coder from
// 1 MiB on.
constexpr uint8_t MARCA_REPETICAO = 0xA5;

inline std::vector<uint8_t> expande(const uint8_t* data, size_t size, size_t minimo) {
    if (size < 2 || data[0] != MARCA_REPETICAO) return std::vector<uint8_t>(data, data + size);
    std::vector<uint8_t> grande;
    grande.reserve(minimo + size);
    while (grande.size() <= minimo) grande.insert(grande.end(), data + 1, data + size);
    return grande;
}

// Hidden files in the directory: a temporary output that a run left behind.
inline int sobrasNoDiretorio() {
    DIR* d = opendir(diretorioFuzz().c_str());
    if (!d) return -1;
    int sobras = 0;
    while (const dirent* e = readdir(d)) {
        const std::string nome = e->d_name;
        if (nome[0] == '.' && nome != "." && nome != "..") sobras++;
    }
    closedir(d);
    return sobras;
}
