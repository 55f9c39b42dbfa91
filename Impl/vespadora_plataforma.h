// What the drivers need of the operating system beyond the C and C++
// libraries: the facts of the input, the output file committed only when
// whole, and the set-up of the process that keeps it safe. Paths are UTF-8.
//
// One implementation serves POSIX systems (vespadora_plataforma_posix.cpp,
// with the extras of Linux and macOS where a check at configure time finds
// them, and POSIX fallbacks that keep the same guarantees) and one Windows
// (vespadora_plataforma_windows.cpp).
//
// The output is reached as opening its path would reach it: the system
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

#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>

// ------------------------------------------------------------------ process

// Called first thing in main. Standard input, output and error that are
// closed are opened on the null device, so that no file the program opens
// takes their place, and the console shows the messages' UTF-8. The signals
// that end a process by default and come from outside (SIGINT, SIGTERM,
// SIGHUP, SIGPIPE, SIGALRM, SIGUSR1 and the like; Ctrl-C, Ctrl-Break and
// closing the console on Windows) then abandon the open output, if any, and
// end the process by the same signal; a signal that was ignored or handled
// when the program started stays so. SIGXFSZ is ignored, so that a write past
// a file-size limit fails with an error the driver reports. An exception that
// cannot be thrown for lack of memory ends the run as running out of memory
// does, without a partial output.
void preparaProcesso();

// For the implementations' terminate handlers: whether the run ends for lack
// of memory (a std::bad_alloc, or an exception that could not be made).
inline bool faltouMemoria() {
    const std::exception_ptr e = std::current_exception();
    if (!e) return true;
    try {
        std::rethrow_exception(e);
    } catch (const std::bad_alloc&) {
        return true;
    } catch (...) {
        return false;
    }
}

// The command-line arguments in UTF-8: `argv` itself where the system hands
// them over so.
char** argumentosUtf8(int argc, char** argv);

// -------------------------------------------------------------------- input

// Every stream below is unbuffered: the drivers read and write in blocks of
// their own, which then go to the system in one call each, with no copy.

// Opens a file for reading, in binary; null (with errno) when it cannot.
FILE* abreLeitura(const char* path);
// Whether `f` is a regular file, which can be read twice and has a known
// size, and that size.
bool tamanhoRegular(FILE* f, uint64_t* tamanho);
// The position of `f` in its file, as ftello gives it.
bool posicaoLeitura(FILE* f, uint64_t* posicao);
// A new temporary file open for reading and writing, gone once closed.
FILE* criaTemporarioAnonimo();

// ------------------------------------------------------------------- output

struct EstadoSaida;  // the implementation's own record

struct ArquivoSaida {
    FILE* file = nullptr;  // open between abreSaida and fechaSaida
    EstadoSaida* estado = nullptr;

    ArquivoSaida() = default;
    ArquivoSaida(const ArquivoSaida&) = delete;
    ArquivoSaida& operator=(const ArquivoSaida&) = delete;
    ~ArquivoSaida();  // abandons the output, as abandonaSaida
};

// Opens the path's directory and, when there is one, the file the path leads
// to, for writing and without truncating it; nothing is created or changed.
// False when the system refuses: abreSaida then fails with that error.
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
