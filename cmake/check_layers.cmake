# The include arrows of src/, checked at every build (see CMakeLists.txt):
#   cmake -DVOSK_SOURCE_DIR=<repo> -DVOSK_STAMP=<file> -P check_layers.cmake
# Prints `file:line: forbidden include "X" (layer A may not include layer B)`
# for each include against the arrows below and fails; touches the stamp when
# there is none.
cmake_minimum_required(VERSION 3.25)

set(coreLayers platform provider flows relay policy model packet)
# What a host sees of the provider.
set(providerInterface provider/hosted_provider.hpp provider/constants.hpp)

# Sets `verdict` to the layer the file may not include, or to nothing.
function(judge fileLayer relative include)
  string(REGEX MATCH "^[^/]+" includeLayer "${include}")
  set(verdict "" PARENT_SCOPE)
  if(fileLayer STREQUAL "platform")
    if(NOT includeLayer STREQUAL "platform")
      set(verdict "${includeLayer}" PARENT_SCOPE)
    endif()
  elseif(fileLayer IN_LIST coreLayers)
    # The parsers, the block-list model and the first-flight reassembly sit
    # below the flow objects and the provider.
    if(includeLayer MATCHES "^(linux|config|ctl|dns|notify|control|history)$"
       OR (fileLayer STREQUAL "model" AND includeLayer STREQUAL "policy")
       OR (fileLayer MATCHES "^(model|policy|packet)$" AND includeLayer MATCHES "^(provider|flows|relay)$"))
      set(verdict "${includeLayer}" PARENT_SCOPE)
    # The flow objects see the provider only as their FlowHost.
    elseif(fileLayer MATCHES "^(flows|relay)$" AND include STREQUAL "provider/transparent_proxy_provider.hpp")
      set(verdict "${includeLayer}" PARENT_SCOPE)
    endif()
  elseif(fileLayer MATCHES "^(config|dns|ctl|notify|control|history)$")
    if(includeLayer STREQUAL "linux" OR (includeLayer STREQUAL "provider" AND NOT include IN_LIST providerInterface))
      set(verdict "${includeLayer}" PARENT_SCOPE)
    endif()
  elseif(fileLayer STREQUAL "dashboard")
    # A client of the control API like voskctl: nothing of the filter's inside.
    if(NOT includeLayer MATCHES "^(platform|config|control|ctl|model|dashboard)$")
      set(verdict "${includeLayer}" PARENT_SCOPE)
    endif()
  elseif(fileLayer STREQUAL "linux" OR relative STREQUAL "src/main.cpp")
    if(NOT includeLayer MATCHES "^(platform|config|dns|linux|control|history)$" AND NOT include IN_LIST providerInterface)
      set(verdict "${includeLayer}" PARENT_SCOPE)
    endif()
  endif()
endfunction()

file(GLOB_RECURSE sources RELATIVE "${VOSK_SOURCE_DIR}" "${VOSK_SOURCE_DIR}/src/*.cpp" "${VOSK_SOURCE_DIR}/src/*.hpp")
list(SORT sources)
set(failed FALSE)
foreach(relative IN LISTS sources)
  string(REGEX REPLACE "^src/([^/]+)/.*" "\\1" fileLayer "${relative}")
  # One list element a line: what CMake lists treat specially is blanked first.
  file(READ "${VOSK_SOURCE_DIR}/${relative}" content)
  string(REGEX REPLACE "[][;\\]" "_" content "${content}")
  string(REPLACE "\n" ";" lines "${content}")
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\"")
      continue()
    endif()
    set(include "${CMAKE_MATCH_1}")
    judge("${fileLayer}" "${relative}" "${include}")
    if(verdict)
      message("${relative}:${number}: forbidden include \"${include}\" (layer ${fileLayer} may not include layer ${verdict})")
      set(failed TRUE)
    endif()
  endforeach()
endforeach()

if(failed)
  message(FATAL_ERROR "include layering broken: see the lines above")
endif()
file(TOUCH "${VOSK_STAMP}")
