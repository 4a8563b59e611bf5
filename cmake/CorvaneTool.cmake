# corvane_add_tool(): the targets of one tool under tools/<name>/.
#
#   corvane_add_tool(<name>
#     [CORE_SOURCES file|pattern ...]   the Qt-free core, in core/
#     [CORE_LIBS lib ...]               what the core and its users link
#     [CORE_PRIVATE_LIBS lib ...]       what only the core links
#     [VIEW_SOURCES file|pattern ...]   the tool tab, in view/ (Qt builds only)
#     [VIEW_LIBS lib ...]               more libraries the view links
#     [PLUGIN_SOURCE file]              the plug-in entry (view/plugin.cpp)
#     [WHOLE_ARCHIVE])                  link the whole view into the plug-in
#
# Makes <name>_core (a static library; corvane-cli links it too), and with Qt
# <name>_view (a static library over the core and the shared tool pieces) and
# <name>, the plug-in the host loads: lib<name>.so in the program folder.
# Paths are relative to the tool's folder; an entry with a '*' is a pattern,
# matched again when files come or go. The plug-in entry is never part of the
# view library.
function(corvane_add_tool name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "WHOLE_ARCHIVE" "PLUGIN_SOURCE"
    "CORE_SOURCES;CORE_LIBS;CORE_PRIVATE_LIBS;VIEW_SOURCES;VIEW_LIBS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "corvane_add_tool(${name}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  set(_dir ${CMAKE_CURRENT_SOURCE_DIR})
  if(NOT arg_PLUGIN_SOURCE)
    set(arg_PLUGIN_SOURCE view/plugin.cpp)
  endif()
  cmake_path(ABSOLUTE_PATH arg_PLUGIN_SOURCE BASE_DIRECTORY ${_dir} NORMALIZE OUTPUT_VARIABLE _plugin)

  _corvane_tool_sources(_core ${_dir} ${arg_CORE_SOURCES})
  if(_core)
    add_library(${name}_core STATIC ${_core})
    target_include_directories(${name}_core PUBLIC ${_dir}/core)
    target_link_libraries(${name}_core PUBLIC ${arg_CORE_LIBS} PRIVATE ${arg_CORE_PRIVATE_LIBS})
    set_property(GLOBAL APPEND PROPERTY CORVANE_CLI_LIBS ${name}_core)
  endif()

  if(NOT CORVANE_QT)
    return()
  endif()
  _corvane_tool_sources(_view ${_dir} ${arg_VIEW_SOURCES})
  list(REMOVE_ITEM _view ${_plugin})
  if(NOT _view)
    return()
  endif()
  add_library(${name}_view STATIC ${_view})
  target_include_directories(${name}_view PUBLIC ${_dir}/view)
  if(TARGET ${name}_core)
    target_link_libraries(${name}_view PUBLIC ${name}_core)
  endif()
  target_link_libraries(${name}_view PUBLIC corvane_toolcommon Qt6::Widgets ${arg_VIEW_LIBS})

  add_library(${name} MODULE ${_plugin})
  set_target_properties(${name} PROPERTIES PREFIX "lib")
  if(arg_WHOLE_ARCHIVE)
    target_link_libraries(${name} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${name}_view>")
  else()
    target_link_libraries(${name} PRIVATE ${name}_view)
  endif()
endfunction()

# The absolute paths of `entries` below `dir`, patterns expanded (sorted).
function(_corvane_tool_sources out dir)
  set(_files "")
  foreach(e ${ARGN})
    if(e MATCHES "[*?]")
      file(GLOB _found CONFIGURE_DEPENDS ${dir}/${e})
      list(SORT _found)
      list(APPEND _files ${_found})
    else()
      cmake_path(ABSOLUTE_PATH e BASE_DIRECTORY ${dir} NORMALIZE OUTPUT_VARIABLE _abs)
      list(APPEND _files ${_abs})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES _files)
  set(${out} ${_files} PARENT_SCOPE)
endfunction()
