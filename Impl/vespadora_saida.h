// The output file of a driver, and the process set-up that keeps it safe.
//
// The output is reached as opening its path would reach it: the kernel
// follows the links and applies its rules (permissions, links and other
// users' files in shared sticky directories), and the program never writes,
// replaces or removes a file that such an open would refuse.
//
// An output is committed only when it is whole. A regular file is written as
// a new temporary file beside the file the path leads to, and renamed onto
// that file's name once everything is written and closed, provided the name
// still leads to the same file; an error or a signal before that removes the
// temporary file and leaves an existing file exactly as it was. A replaced
// file keeps its owner, permission bits, extended attributes and ACLs; a new
// one gets what the directory and the umask give a new file. Where the
// directory refuses new files, the file may not be replaced by another user's
// rename, or its name cannot be found (a deleted file named through /proc),
// it is written in place, unbuffered, and on failure emptied (and removed when
// the run created it). An output that cannot be renamed onto (a mount point)
// gets the temporary file's bytes in place at the end. Where a temporary file
// fails for another reason (no inode, no descriptor), the output is not
// touched at all. Devices, FIFOs and other special files are written in place
// and never removed.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>

enum class ModoSaida {
    Nenhum,      // nothing open for writing
    Temporario,  // a temporary file, renamed onto `nome` by fechaSaida
    NoLugar,     // a regular file written in place
    Especial,    // a device, FIFO or other special file
};

// What opening the output's path found, before anything is written.
enum class Alcance {
    Recusado,   // the kernel refused it; `erro` says why
    Novo,       // no file by that name: a new file `nome` in `dirfd`
    Ligacao,    // a link that leads nowhere yet: opening it creates the file
    Existente,  // the file open as `fdAlvo`
};

struct ArquivoSaida {
    FILE* file = nullptr;
    ModoSaida modo = ModoSaida::Nenhum;
    Alcance alcance = Alcance::Recusado;
    int erro = 0;              // Recusado: errno of the refusal
    std::string caminho;       // the path as given
    int dirfd = -1;            // the directory of `nome`; -1 when none could be opened
    std::string nome;          // the name there of the file reached
    bool nomeConfere = false;  // Existente: `nome` in `dirfd` leads to the file open as `fdAlvo`
    int fdAlvo = -1;           // Existente: the file reached, open for writing, not truncated
    struct stat alvo {};       // Existente: what it was when reached
    bool criado = false;       // the run created the file `fdAlvo` (through a link that led nowhere)
    std::string temporario;    // Temporario: the temporary file's name in `dirfd`
    off_t enviado = 0;         // Temporario: bytes whose writeback has been started

    ArquivoSaida() = default;
    ArquivoSaida(const ArquivoSaida&) = delete;
    ArquivoSaida& operator=(const ArquivoSaida&) = delete;
    ~ArquivoSaida();
};

// Opens the path's directory and, when there is one, the file the path leads
// to, for writing and without truncating it; nothing is created or changed.
// False when the kernel refuses (see `erro`): abreSaida then fails with it.
bool alcancaSaida(ArquivoSaida* saida, const char* path);
// Whether the output reached is the file open as `entrada`.
bool saidaEhEntrada(const ArquivoSaida& saida, FILE* entrada);
// Opens the reached output for writing; false (with errno) when it cannot.
bool abreSaida(ArquivoSaida* saida);
// Asks the file system for room for `bytes` in a temporary output, without
// changing its size, so that it can lay the file out in one piece; a hint
// only, which a full disk or a file system without it may turn down.
void reservaSaida(const ArquivoSaida& saida, uint64_t bytes);
// Starts the writeback of what an output that replaces a file has written
// since the last time, every few MiB; see fechaSaida. Drivers call it after
// each block they write.
void acompanhaSaida(ArquivoSaida* saida);
// Flushes, closes and commits the output; true when every byte reached it.
// Otherwise the output is abandoned, as by abandonaSaida. A file that
// replaces another is sent on its way to the disk before the rename, so that
// a crash just after it is unlikely to leave the name with neither contents:
// ext4 does that itself on such a rename, but not for room reserved up front.
bool fechaSaida(ArquivoSaida* saida);
// Closes the output and takes back what was written: the temporary file is
// removed, a regular file written in place emptied (and removed when the run
// created it). Does nothing once the output is committed or abandoned.
void abandonaSaida(ArquivoSaida* saida);

// Called first thing in main. Standard input, output and error that are
// closed are opened on /dev/null, so that no file the program opens takes
// their place. The signals that end a process by default and come from
// outside (SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGALRM, SIGUSR1 and the like)
// then abandon the open output, if any, and end the process by the same
// signal; a signal that was ignored or handled when the program started
// stays so. SIGXFSZ is ignored, so that a write past a file-size limit fails
// with an error the driver reports. An exception that cannot be thrown for
// lack of memory ends the run as running out of memory does, without a
// partial output.
void preparaProcesso();
