# Freestanding PE32+ images: clang for the Windows x64 target (the UEFI
# calling convention and object format), lld-link for the PE file.
# No C runtime, no exceptions, no RTTI; /Brepro makes the bytes reproducible.

find_program(EFI_CXX NAMES clang++ clang++-14 REQUIRED)
find_program(EFI_LINK NAMES lld-link lld-link-14 REQUIRED)

set(EFI_CXX_FLAGS
    --target=x86_64-unknown-windows -std=c++20 -O2
    -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -mno-red-zone -mno-stack-arg-probe -mno-sse -mno-mmx -fshort-wchar -nostdlib
    -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
    -ffunction-sections -fdata-sections
    -Wall -Wextra -Werror
    -I${PROJECT_SOURCE_DIR}/Include)

# Compiles SOURCES for the images into <binary dir>/<name>.objs; the object
# paths go to OUT. UNITY: the sources as one translation unit, one object
# (the bench's application: a third of its compile time; the drivers' images
# keep one object a source).
function(_efi_compile NAME OUT)
  cmake_parse_arguments(C "UNITY" "" "SOURCES;INCLUDES;DEPENDS" ${ARGN})
  set(objects)
  set(extra_includes)
  foreach(dir IN LISTS C_INCLUDES)
    list(APPEND extra_includes -I${dir})
  endforeach()
  if(C_UNITY)
    set(text)
    foreach(src IN LISTS C_SOURCES)
      get_filename_component(abs ${src} ABSOLUTE)
      string(APPEND text "#include \"${abs}\"\n")
    endforeach()
    # Rewritten only when the list changes.
    file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${NAME}.unity/${NAME}.cpp CONTENT "${text}")
    set(C_SOURCES ${CMAKE_CURRENT_BINARY_DIR}/${NAME}.unity/${NAME}.cpp)
  endif()
  foreach(src IN LISTS C_SOURCES)
    get_filename_component(abs ${src} ABSOLUTE)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${abs})
    string(REPLACE "/" "_" objname ${rel})
    if(C_UNITY)
      set(objname ${NAME}.cpp)
    endif()
    set(obj ${CMAKE_CURRENT_BINARY_DIR}/${NAME}.objs/${objname}.obj)
    add_custom_command(
      OUTPUT ${obj}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/${NAME}.objs
      COMMAND ${EFI_CXX} ${EFI_CXX_FLAGS} ${extra_includes} -MD -MF ${obj}.d -c ${abs} -o ${obj}
      # The flags live in this file: a change to them rebuilds every object.
      DEPENDS ${abs} ${C_DEPENDS} ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
      DEPFILE ${obj}.d
      COMMENT "EFI compile ${rel}"
      VERBATIM)
    list(APPEND objects ${obj})
  endforeach()
  set(${OUT} ${objects} PARENT_SCOPE)
endfunction()

# add_efi_library(<name> SOURCES <files...> [INCLUDES <dirs...>] [DEPENDS <files...>])
# Compiles code several images share once, into <name>.lib; an image links
# only the members it uses. Defines a target <name> (property EFI_LIBRARY).
function(add_efi_library NAME)
  cmake_parse_arguments(LIB "" "" "SOURCES;INCLUDES;DEPENDS" ${ARGN})
  _efi_compile(${NAME} objects SOURCES ${LIB_SOURCES} INCLUDES ${LIB_INCLUDES}
               DEPENDS ${LIB_DEPENDS})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${NAME}.lib)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${out}
    COMMAND ${EFI_LINK} /lib /nologo /out:${out} ${objects}
    DEPENDS ${objects} ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
    COMMENT "EFI library ${NAME}.lib"
    VERBATIM)
  add_custom_target(${NAME} DEPENDS ${out})
  set_target_properties(${NAME} PROPERTIES EFI_LIBRARY ${out})
endfunction()

# add_efi_image(<name> [UNITY] ENTRY <symbol> SUBSYSTEM <lld-link subsystem>
#               SOURCES <files...> [INCLUDES <dirs...>] [DEPENDS <files...>]
#               [LIBRARIES <add_efi_library targets...>])
# Builds <name>.efi in the current binary directory and a target <name>.
function(add_efi_image NAME)
  cmake_parse_arguments(IMG "UNITY" "ENTRY;SUBSYSTEM" "SOURCES;INCLUDES;DEPENDS;LIBRARIES" ${ARGN})
  set(unity)
  if(IMG_UNITY)
    set(unity UNITY)
  endif()
  _efi_compile(${NAME} objects ${unity} SOURCES ${IMG_SOURCES} INCLUDES ${IMG_INCLUDES}
               DEPENDS ${IMG_DEPENDS})
  set(libraries)
  foreach(lib IN LISTS IMG_LIBRARIES)
    list(APPEND libraries $<TARGET_PROPERTY:${lib},EFI_LIBRARY>)
  endforeach()
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${NAME}.efi)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${EFI_LINK} /nologo /nodefaultlib /dll /subsystem:${IMG_SUBSYSTEM}
            /entry:${IMG_ENTRY} /Brepro /opt:ref /opt:icf /filealign:32
            /out:${out} ${objects} ${libraries}
    DEPENDS ${objects} ${libraries} ${IMG_LIBRARIES} ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
    COMMENT "EFI link ${NAME}.efi"
    VERBATIM)
  add_custom_target(${NAME} ALL DEPENDS ${out})
  set_target_properties(${NAME} PROPERTIES EFI_IMAGE ${out})
endfunction()
