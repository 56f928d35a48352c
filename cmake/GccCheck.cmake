# The host code is compiled once, by clang (the sanitizer build). The drivers'
# sources are what integrators compile into their firmware, usually with GCC:
# g++ reads them too, with its own front end, so a warning only GCC gives or
# C++ only clang accepts fails the build here. -fsyntax-only: these warnings
# and that reading come from g++'s front end; its code is never linked.
#
# gcc_check(<name> <host targets...>): target <name> (part of all) holds one
# stamp per source of the targets, renewed when the source or a header it
# includes changes.
find_program(BOARD_GXX NAMES g++ REQUIRED)

function(gcc_check NAME)
  set(stamps)
  foreach(target IN LISTS ARGN)
    get_target_property(sources ${target} SOURCES)
    get_target_property(source_dir ${target} SOURCE_DIR)
    set(includes $<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>)
    set(defines $<TARGET_PROPERTY:${target},COMPILE_DEFINITIONS>)
    foreach(src IN LISTS sources)
      get_filename_component(abs ${src} ABSOLUTE BASE_DIR ${source_dir})
      file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${abs})
      string(REPLACE "/" "_" stem ${rel})
      set(stamp ${CMAKE_BINARY_DIR}/gcc-check/${stem}.stamp)
      add_custom_command(
        OUTPUT ${stamp}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/gcc-check
        COMMAND ${BOARD_GXX} -std=c++20 ${BOARD_HOST_WARNINGS} -fsyntax-only
                "$<$<BOOL:${includes}>:-I$<JOIN:${includes},;-I>>"
                "$<$<BOOL:${defines}>:-D$<JOIN:${defines},;-D>>"
                -MD -MF ${stamp}.d -MT ${stamp} ${abs}
        COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
        DEPENDS ${abs} ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
        DEPFILE ${stamp}.d
        COMMENT "g++ reads ${rel}"
        COMMAND_EXPAND_LISTS
        VERBATIM)
      list(APPEND stamps ${stamp})
    endforeach()
  endforeach()
  add_custom_target(${NAME} ALL DEPENDS ${stamps})
endfunction()
