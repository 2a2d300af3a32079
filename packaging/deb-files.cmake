# Run by CPack on the staged tree before it makes the package: what Debian
# asks of a package beyond the install rules. The manual pages are
# compressed and their links renamed to match; the doc folder gets the
# copyright file, made from LICENSE, and the changelog.
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
set(source ${CPACK_TOLMARK_SOURCE_DIR})
set(doc ${root}${CPACK_TOLMARK_DOCDIR})

function(set_readable file)
  file(CHMOD ${file} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()
# -n leaves the name and time out of the header: the same text, the same bytes.
function(gzip_into from to)
  execute_process(COMMAND gzip -9n -c ${from} OUTPUT_FILE ${to} COMMAND_ERROR_IS_FATAL ANY)
  set_readable(${to})
endfunction()

file(GLOB pages LIST_DIRECTORIES false ${root}${CPACK_TOLMARK_MANDIR}/man*/*)
foreach(page ${pages})
  if(IS_SYMLINK ${page})
    file(READ_SYMLINK ${page} target)
    file(CREATE_LINK ${target}.gz ${page}.gz SYMBOLIC)
  else()
    gzip_into(${page} ${page}.gz)
  endif()
  file(REMOVE ${page})
endforeach()

# What the compiler notes of itself in the program is of no use to anyone.
execute_process(COMMAND ${CPACK_TOLMARK_OBJCOPY} --remove-section=.comment
  ${root}${CPACK_TOLMARK_BINDIR}/ztolmark COMMAND_ERROR_IS_FATAL ANY)

file(MAKE_DIRECTORY ${doc})
gzip_into(${source}/packaging/changelog ${doc}/changelog.gz)

# The copyright file in Debian's machine-readable format: LICENSE's notice
# and its terms, each line of them indented, an empty one written " .".
file(READ ${source}/LICENSE licence)
if(NOT licence MATCHES "^Copyright \\(c\\) ([^\n]+)\n\n(.+[^\n])\n*$")
  message(FATAL_ERROR "LICENSE does not start with its copyright line")
endif()
set(holders ${CMAKE_MATCH_1})
string(REPLACE "\n" "\n " terms " ${CMAKE_MATCH_2}")
string(REPLACE "\n \n" "\n .\n" terms "${terms}")
file(WRITE ${doc}/copyright "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}
Upstream-Contact: ${CPACK_DEBIAN_PACKAGE_MAINTAINER}

Files: *
Copyright: ${holders}
License: BSD-2-clause
${terms}
")
set_readable(${doc}/copyright)
