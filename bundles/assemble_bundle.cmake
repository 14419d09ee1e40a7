# Builds one application bundle from scratch.
#   -DKIND=helper|setup -DBUNDLE=<folder> -DVERSION=<x.y>
#   helper: -DEXECUTABLE=<file or empty> -DMODULE=<alert module or empty> -DCODESIGN=<tool>
#           -DCERTS=<folder>
#   setup:  -DEXECUTABLE=<file or empty> -DCODESIGN=<tool> -DTEAM=<team>
#           -DHELPER_BUNDLE=<signed helper folder> -DEXTENSION_ID_FILE=<file>
#   both:   -DPYTHON=<python3> -DBUNDLER=<bundle_libraries.py> -DALLOW_LIST=<file>
#           -DQT_PLATFORM_PLUGIN=<libqxcb.so or empty> -DARCHIVES=<static archives joined by |>
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

# Brings in every library the bundle's programs need beyond the allow-list.
function(make_self_contained)
  set(arguments "${BUNDLE}" --allow-list "${ALLOW_LIST}" ${ARGN})
  if(QT_PLATFORM_PLUGIN AND (MODULE OR (KIND STREQUAL "setup" AND EXECUTABLE)))
    list(APPEND arguments --qt-platform-plugin "${QT_PLATFORM_PLUGIN}")
  endif()
  string(REPLACE "|" ";" archives "${ARCHIVES}")
  foreach(archive IN LISTS archives)
    list(APPEND arguments --archive "${archive}")
  endforeach()
  run("${PYTHON}" "${BUNDLER}" ${arguments})
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
  # Signed last, so the listing covers the bundled libraries too.
  make_self_contained()
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
  get_filename_component(helper_name "${HELPER_BUNDLE}" NAME)
  make_self_contained(--skip Resources/Payload --share-with "${payload}/${helper_name}/Contents/Frameworks")
else()
  message(FATAL_ERROR "KIND must be helper or setup")
endif()
