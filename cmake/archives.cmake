# tavrino_archive(<name> ARCHIVES <lib>... [LINK <library>...])
# An interface target linking the static archives lib<lib>.a and then what
# they need, so that no bundle has to carry or find these libraries.
function(tavrino_archive name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "ARCHIVES;LINK")
  add_library(${name} INTERFACE)
  foreach(lib IN LISTS arg_ARCHIVES)
    find_library(TAVRINO_ARCHIVE_${lib} NAMES lib${lib}.a REQUIRED)
    target_link_libraries(${name} INTERFACE ${TAVRINO_ARCHIVE_${lib}})
  endforeach()
  target_link_libraries(${name} INTERFACE ${arg_LINK})
endfunction()
