# Run by cpack on the staged files, just before it makes a Debian package of
# them: the documents such a package carries, a changelog and a copyright
# file in Debian's formats, and its manual page compressed, as the Debian
# policy asks. Other packages are left as staged.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

# Without dpkg-shlibdeps, cpack would leave the Depends line out and still
# make the package.
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT DPKG_SHLIBDEPS)
  message(FATAL_ERROR "dpkg-shlibdeps (package dpkg-dev) is needed to find what the package depends on")
endif()
find_program(GZIP gzip REQUIRED)

set(raiz "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${raiz}/${CPACK_VESPADORA_DOCDIR}")

# Compressed as dpkg's tools do: the most, with no name or time in the header.
function(comprime arquivo)
  execute_process(COMMAND "${GZIP}" -9nf "${arquivo}" COMMAND_ERROR_IS_FATAL ANY)
endfunction()

comprime("${raiz}/${CPACK_VESPADORA_MANDIR}/man1/vespadora.1")

file(COPY_FILE "${CPACK_VESPADORA_CHANGELOG}" "${doc}/changelog")
comprime("${doc}/changelog")

# The license in the machine-readable format
# (https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/), where
# the MIT license is called Expat: the holders from its notice, then its
# text with each line indented by a space and an empty line written " .".
file(READ "${CPACK_VESPADORA_LICENSE}" licenca)
if(NOT licenca MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.+)$")
  message(FATAL_ERROR "${CPACK_VESPADORA_LICENSE}: no copyright notice followed by the license's text")
endif()
set(titulares "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" texto)
string(REPLACE "\n\n" "\n.\n" texto "${texto}")
string(REPLACE "\n" "\n " texto " ${texto}")
file(REMOVE "${doc}/LICENSE")  # the copyright file holds it
file(WRITE "${doc}/copyright" "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: vespadora

Files: *
Copyright: ${titulares}
License: Expat
${texto}
")
