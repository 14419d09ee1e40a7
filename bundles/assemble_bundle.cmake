# Builds one application bundle from scratch.
#   -DKIND=helper|setup -DBUNDLE=<folder> -DVERSION=<x.y>
#   helper: -DEXECUTABLE=<file or empty> -DMODULE=<alert module or empty> -DCODESIGN=<tool>
#           -DCERTS=<folder>
#   setup:  -DEXECUTABLE=<file or empty> -DCODESIGN=<tool> -DTEAM=<team>
#           -DHELPER_BUNDLE=<signed helper folder> -DEXTENSION_ID_FILE=<file>
cmake_minimum_required(VERSION 3.25)
get_filename_component(here "${CMAKE_SCRIPT_MODE_FILE}" DIRECTORY)
file(REMOVE_RECURSE "${BUNDLE}")
file(MAKE_DIRECTORY "${BUNDLE}/Contents/MacOS")

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGV}")
  endif()
endfunction()

if(KIND STREQUAL "helper")
  configure_file("${here}/helper-Info.plist.in" "${BUNDLE}/Contents/Info.plist" @ONLY)
  if(EXECUTABLE)
    file(COPY_FILE "${EXECUTABLE}" "${BUNDLE}/Contents/MacOS/TavrinoShareHost")
  endif()
  # The helper loads its alert module from beside its own executable.
  if(MODULE)
    get_filename_component(module_name "${MODULE}" NAME)
    file(COPY_FILE "${MODULE}" "${BUNDLE}/Contents/MacOS/${module_name}")
  endif()
  run("${CODESIGN}" --sign --certificate "${CERTS}/team.pem" --key "${CERTS}/team.key"
      --chain "${CERTS}/ca.pem" --identifier net.tavrino.share-companion "${BUNDLE}")
elseif(KIND STREQUAL "setup")
  file(STRINGS "${EXTENSION_ID_FILE}" EXTENSION_ID LIMIT_COUNT 1)
  configure_file("${here}/setup-Info.plist.in" "${BUNDLE}/Contents/Info.plist" @ONLY)
  if(EXECUTABLE)
    file(COPY_FILE "${EXECUTABLE}" "${BUNDLE}/Contents/MacOS/TavrinoSharingSetup")
  endif()
  file(COPY_FILE "${CODESIGN}" "${BUNDLE}/Contents/MacOS/tavrino-codesign")
  set(payload "${BUNDLE}/Contents/Resources/Payload")
  file(MAKE_DIRECTORY "${payload}")
  # Keeps modes and links exactly as signed.
  run(cp -a "${HELPER_BUNDLE}" "${payload}/")
  file(COPY_FILE "${EXTENSION_ID_FILE}" "${payload}/extension-id.txt")
else()
  message(FATAL_ERROR "KIND must be helper or setup")
endif()
