# pellorin_win32_window(target main.cpp): the Windows window program (output name Pellorin.exe)
# from the shared window sources, the resource script and the given main file. Used by the
# project's Windows build and by the window's preview build (preview/), which puts a stand-in
# engine behind the window.
set(PELLORIN_WIN32_DIR ${CMAKE_CURRENT_LIST_DIR})
get_filename_component(PELLORIN_WIN32_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

function(pellorin_win32_window target main)
  # Icon 128 from the project's own pixel maps, 32 x 32 and 16 x 16 in 16 colours.
  set(icon ${CMAKE_CURRENT_BINARY_DIR}/${target}-res/Pellorin.ico)
  add_custom_command(
    OUTPUT ${icon}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/${target}-res
    COMMAND ${Python3_EXECUTABLE} ${PELLORIN_WIN32_DIR}/res/xpm2ico.py ${icon}
            ${PELLORIN_WIN32_SOURCE_ROOT}/app/res/pellorin32.xpm
            ${PELLORIN_WIN32_SOURCE_ROOT}/app/res/pellorin16.xpm
    DEPENDS ${PELLORIN_WIN32_DIR}/res/xpm2ico.py
            ${PELLORIN_WIN32_SOURCE_ROOT}/app/res/pellorin32.xpm
            ${PELLORIN_WIN32_SOURCE_ROOT}/app/res/pellorin16.xpm
    COMMENT "Making the window's icon from app/res"
    VERBATIM)
  add_custom_target(${target}_icon DEPENDS ${icon})

  add_executable(${target} WIN32
    ${main}
    ${PELLORIN_WIN32_DIR}/Win32Dialog.cpp
    ${PELLORIN_WIN32_DIR}/Win32Host.cpp
    ${PELLORIN_WIN32_DIR}/res/Pellorin.rc)
  add_dependencies(${target} ${target}_icon)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME Pellorin)
  target_include_directories(${target} PRIVATE ${PELLORIN_WIN32_SOURCE_ROOT}
    ${CMAKE_CURRENT_BINARY_DIR}/${target}-res)
  # The icon and the manifest are found through the include path.
  set_source_files_properties(${PELLORIN_WIN32_DIR}/res/Pellorin.rc PROPERTIES
    OBJECT_DEPENDS "${icon};${PELLORIN_WIN32_DIR}/res/Pellorin.manifest;${PELLORIN_WIN32_DIR}/res/resource.h")
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:RC>:-I${CMAKE_CURRENT_BINARY_DIR}/${target}-res>
    $<$<COMPILE_LANGUAGE:RC>:-I${PELLORIN_WIN32_DIR}/res>)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wshadow>)
  target_compile_features(${target} PRIVATE cxx_std_20)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
    _WIN32_WINNT=0x0A00)
  # One program with no DLL beside it: the C++ runtime and winpthreads linked in.
  target_link_options(${target} PRIVATE -municode -mwindows -static)
  target_link_libraries(${target} PRIVATE pellorin_win32_logic comctl32 comdlg32 ole32 shell32
    uuid winmm)
endfunction()

# pellorin_win32_read_window(): pellorin-read-window.exe, which prints what a running Pellorin
# window shows (fields, selections, bar, buttons, log), for the scripts that drive it under Wine.
function(pellorin_win32_read_window)
  add_executable(pellorin_read_window ${PELLORIN_WIN32_DIR}/tools/ReadWindow.cpp)
  set_target_properties(pellorin_read_window PROPERTIES OUTPUT_NAME pellorin-read-window)
  target_compile_options(pellorin_read_window PRIVATE -Wall -Wextra -Wpedantic -Wshadow)
  target_compile_features(pellorin_read_window PRIVATE cxx_std_20)
  target_compile_definitions(pellorin_read_window PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
  target_link_options(pellorin_read_window PRIVATE -static)
  target_link_libraries(pellorin_read_window PRIVATE comctl32)
endfunction()
