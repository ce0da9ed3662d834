# Build conventions shared by the console's build and the fuzz build.
#
# Every area of src/ has two kinds of targets:
#   dozorix_engine(<name> ...)   the area's engines: QtCore and QtNetwork only;
#   dozorix_windows(<name> ...)  the area's windows (src/<area>/ui/): widgets.
# Both take every .cpp/.h of the calling folder and the libraries to link
# after LINKS (public) and PRIVATE. dozorix_check_engines() fails the
# configuration when an engine reaches Qt Gui or Widgets, whatever the path.
# src/ is the one include root: a header is named with its area,
# `#include "backup/ZipStep.h"`.

set(DOZORIX_INCLUDE_ROOT ${CMAKE_CURRENT_LIST_DIR}/../src)
cmake_path(NORMAL_PATH DOZORIX_INCLUDE_ROOT)

set(DOZORIX_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
    -Woverloaded-virtual -Wno-missing-field-initializers)

function(dozorix_warnings target)
  target_compile_options(${target} PRIVATE ${DOZORIX_WARNINGS})
endfunction()

function(dozorix_library target)
  cmake_parse_arguments(ARG "" "" "LINKS;PRIVATE;SOURCES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  add_library(${target} STATIC ${sources} ${ARG_SOURCES})
  target_include_directories(${target} PUBLIC ${DOZORIX_INCLUDE_ROOT})
  target_link_libraries(${target} PUBLIC ${ARG_LINKS} PRIVATE ${ARG_PRIVATE})
  dozorix_warnings(${target})
endfunction()

function(dozorix_engine target)
  dozorix_library(${target} ${ARGN})
  set_property(GLOBAL APPEND PROPERTY DOZORIX_ENGINES ${target})
endfunction()

function(dozorix_windows target)
  dozorix_library(${target} ${ARGN})
endfunction()

# Everything a target links, directly or through other targets.
function(_dozorix_link_closure target out)
  set(seen)
  set(queue ${target})
  while(queue)
    list(POP_FRONT queue item)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" item "${item}")
    if(item IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${item})
    if(TARGET ${item})
      get_target_property(aliased ${item} ALIASED_TARGET)
      if(aliased)
        list(APPEND queue ${aliased})
      endif()
      get_target_property(type ${item} TYPE)
      if(NOT type STREQUAL "INTERFACE_LIBRARY")
        get_target_property(direct ${item} LINK_LIBRARIES)
        if(direct)
          list(APPEND queue ${direct})
        endif()
      endif()
      get_target_property(iface ${item} INTERFACE_LINK_LIBRARIES)
      if(iface)
        list(APPEND queue ${iface})
      endif()
    endif()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

# Fails the configuration when target reaches, directly or through other
# targets, an item matching pattern; reason ends the message.
function(dozorix_forbid_links target pattern reason)
  _dozorix_link_closure(${target} closure)
  foreach(item ${closure})
    if(item MATCHES "${pattern}")
      message(FATAL_ERROR "Target '${target}' links '${item}': ${reason}")
    endif()
  endforeach()
endfunction()

function(dozorix_check_engines)
  get_property(engines GLOBAL PROPERTY DOZORIX_ENGINES)
  foreach(engine ${engines})
    dozorix_forbid_links(${engine} "^Qt6?::(Gui|Widgets|Charts|OpenGL)|_ui$"
                         "engines take QtCore and QtNetwork only; move the window code to the area's ui/ folder.")
  endforeach()
endfunction()
