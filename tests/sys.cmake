# Tests of the system services: files and INI files; the crash reporter (which
# runs a copy of a helper program that installs it and faults) and the host name.
add_executable(test_sys_helper test_sys_helper.cpp)
target_compile_options(test_sys_helper PRIVATE -Wall -Wextra -fno-omit-frame-pointer)
target_link_libraries(test_sys_helper PRIVATE vlk2)
vlk_add_test(test_sys_file LABELS sys)
vlk_add_test(test_sys_proc LABELS sys
  SOURCES ${PROJECT_SOURCE_DIR}/libs/vlk2/src/vlk_sys_crash_fmt.cpp
          ${PROJECT_SOURCE_DIR}/libs/vlk2/src/vlk_sys_crash_walk.cpp)
target_compile_definitions(test_sys_proc PRIVATE VLK_SYS_HELPER="$<TARGET_FILE:test_sys_helper>")
add_dependencies(test_sys_proc test_sys_helper)
