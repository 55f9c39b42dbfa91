// The output file of a driver, and the process set-up that keeps it safe.
//
// An output is committed only when it is whole. A regular file, or the
// regular file that a chain of symbolic links leads to, is written as a new
// temporary file in the same directory and renamed onto its name once
// everything is written and closed; an error or a signal before that removes
// the temporary file and leaves an existing file exactly as it was. Where the
// directory refuses new files (it is not writable), or the links lead
// through /proc to an open file only the kernel can name, a regular file is
// written in place, unbuffered, and on failure emptied and then removed if
// its directory allows it; where a temporary file fails for another reason
// (no inode, no descriptor), the output is not opened at all. Devices, FIFOs
// and other special files are written in place and never removed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>

enum class ModoSaida {
    Nenhum,      // nothing open
    Temporario,  // a temporary file, renamed onto `nome` by fechaSaida
    NoLugar,     // a regular file written in place
    Especial,    // a device, FIFO or other special file
};

struct ArquivoSaida {
    FILE* file = nullptr;
    ModoSaida modo = ModoSaida::Nenhum;
    int dirfd = -1;          // Temporario: the directory of both names
    std::string nome;        // Temporario: the output's name in that directory
    std::string temporario;  // Temporario: the temporary file's name there
    bool substitui = false;  // Temporario: an existing file goes when it is renamed
    off_t enviado = 0;       // Temporario: bytes whose writeback has been started
    std::string caminho;     // NoLugar: the file, after any symbolic links
    bool removivel = false;  // NoLugar: the output path names the file itself

    ArquivoSaida() = default;
    ArquivoSaida(const ArquivoSaida&) = delete;
    ArquivoSaida& operator=(const ArquivoSaida&) = delete;
    ~ArquivoSaida();
};

// Opens the output for writing; false when it cannot be created or opened.
bool abreSaida(ArquivoSaida* saida, const char* path);
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
// removed, a regular file written in place emptied and removed. Does nothing
// once the output is committed or abandoned.
void abandonaSaida(ArquivoSaida* saida);

// Called first thing in main. Standard input, output and error that are
// closed are opened on /dev/null, so that no file the program opens takes
// their place. The signals that end a process by default and come from
// outside (SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGALRM, SIGUSR1 and the like)
// then abandon the open output, if any, and end the process by the same
// signal; a signal that was ignored or handled when the program started
// stays so. SIGXFSZ is
// ignored, so that a write past a file-size limit fails with an error the
// driver reports. An exception that cannot be thrown for lack of memory ends
// the run as running out of memory does, without a partial output.
void preparaProcesso();
