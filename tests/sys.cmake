# Tests of the system services: files, INI files, host utilities, the crash reporter.

# A helper program the host and crash tests copy and run: a second instance for
# VlkHasProcess, and a process that installs the crash reporter and faults.
add_executable(test_sys_helper test_sys_helper.cpp)
target_compile_options(test_sys_helper PRIVATE -Wall -Wextra -fno-omit-frame-pointer)
target_link_libraries(test_sys_helper PRIVATE vlk2)

vlk_add_test(test_sys_file LABELS sys)
vlk_add_test(test_sys_ini LABELS sys)
vlk_add_test(test_sys_host LABELS sys threaded)
target_compile_definitions(test_sys_host PRIVATE VLK_SYS_HELPER="$<TARGET_FILE:test_sys_helper>")
add_dependencies(test_sys_host test_sys_helper)
vlk_add_test(test_sys_crash LABELS sys
  SOURCES ${PROJECT_SOURCE_DIR}/libs/vlk2/src/vlk_sys_crash_fmt.cpp
          ${PROJECT_SOURCE_DIR}/libs/vlk2/src/vlk_sys_crash_walk.cpp)
target_compile_definitions(test_sys_crash PRIVATE VLK_SYS_HELPER="$<TARGET_FILE:test_sys_helper>")
add_dependencies(test_sys_crash test_sys_helper)
