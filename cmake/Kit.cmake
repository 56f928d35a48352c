# Packing EFI images as FFS files, the form a firmware volume holds them in.
# Needs the host tool fwimage (tools/fwimage).
include(${CMAKE_CURRENT_LIST_DIR}/Guids.cmake)
#
# add_ffs(<Name> IMAGE <efi target> TYPE driver|smm GUID <file guid>
#         DEPEX <tokens...> DIRECTORY <dir> [UI <name>] [VERSION <v>])
# Writes <dir>/<Name>.depex (the tokens assembled, END appended) and
# <dir>/<Name>.ffs; defines the target <Name>Ffs, whose FFS_FILE and
# DEPEX_FILE properties name the two files and FILE_GUID holds the GUID.
function(add_ffs NAME)
  cmake_parse_arguments(FFS "" "IMAGE;TYPE;GUID;DIRECTORY;UI;VERSION" "DEPEX" ${ARGN})
  foreach(required IMAGE TYPE GUID DIRECTORY DEPEX)
    if(NOT FFS_${required})
      message(FATAL_ERROR "add_ffs(${NAME}): ${required} is required")
    endif()
  endforeach()
  if(NOT FFS_UI)
    set(FFS_UI ${NAME})
  endif()
  if(NOT FFS_VERSION)
    set(FFS_VERSION 1.0)
  endif()
  get_target_property(efi ${FFS_IMAGE} EFI_IMAGE)
  set(depex ${FFS_DIRECTORY}/${NAME}.depex)
  set(ffs ${FFS_DIRECTORY}/${NAME}.ffs)
  add_custom_command(
    OUTPUT ${depex}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${FFS_DIRECTORY}
    COMMAND $<TARGET_FILE:fwimage> depex --out ${depex} ${FFS_DEPEX}
    DEPENDS fwimage
    COMMENT "Depex ${NAME}.depex"
    VERBATIM)
  add_custom_command(
    OUTPUT ${ffs}
    COMMAND $<TARGET_FILE:fwimage> ffs --type ${FFS_TYPE} --pe ${efi} --depex ${depex}
            --ui ${FFS_UI} --version ${FFS_VERSION} --guid ${FFS_GUID} --out ${ffs}
    DEPENDS fwimage ${FFS_IMAGE} ${efi} ${depex}
    COMMENT "FFS ${NAME}.ffs"
    VERBATIM)
  add_custom_target(${NAME}Ffs ALL DEPENDS ${ffs})
  set_target_properties(${NAME}Ffs PROPERTIES FFS_FILE ${ffs} DEPEX_FILE ${depex} FILE_GUID ${FFS_GUID})
endfunction()

# efi_guid_initializer(<out var> <GUID in registry form>)
# The C++ initializer of an EFI_GUID, so code can name a GUID chosen here
# without writing it a second time.
function(efi_guid_initializer OUT GUID)
  string(REGEX MATCH "^([0-9A-Fa-f]+)-([0-9A-Fa-f]+)-([0-9A-Fa-f]+)-([0-9A-Fa-f][0-9A-Fa-f])([0-9A-Fa-f][0-9A-Fa-f])-([0-9A-Fa-f]+)$"
         matched ${GUID})
  if(NOT matched)
    message(FATAL_ERROR "efi_guid_initializer: not a GUID: ${GUID}")
  endif()
  set(node ${CMAKE_MATCH_6})
  set(bytes "0x${CMAKE_MATCH_4}, 0x${CMAKE_MATCH_5}")
  foreach(i RANGE 0 10 2)
    string(SUBSTRING ${node} ${i} 2 b)
    string(APPEND bytes ", 0x${b}")
  endforeach()
  set(${OUT} "{0x${CMAKE_MATCH_1}, 0x${CMAKE_MATCH_2}, 0x${CMAKE_MATCH_3}, {${bytes}}}" PARENT_SCOPE)
endfunction()
