# Installs the build into PREFIX and checks that exactly the programs and
# their manual pages arrive, and that the installed programs run.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()

set(expected "${BINDIR}/installer" "${BINDIR}/qpk" "${MANDIR}/man1/installer.1"
             "${MANDIR}/man1/qpk.1")
file(GLOB_RECURSE found LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "installed: ${found}\nexpected: ${expected}")
endif()

# Both run from their new place (on the emulated board the installer does
# nothing).
execute_process(COMMAND "${PREFIX}/${BINDIR}/qpk" --help RESULT_VARIABLE qpk OUTPUT_QUIET)
execute_process(COMMAND "${CMAKE_COMMAND}" -E env board=qemu_p9 "${PREFIX}/${BINDIR}/installer"
                RESULT_VARIABLE installer)
if(NOT qpk EQUAL 0 OR NOT installer EQUAL 0)
  message(FATAL_ERROR "installed programs: qpk --help ${qpk}, installer ${installer}")
endif()
file(STRINGS "${PREFIX}/${MANDIR}/man1/qpk.1" title REGEX "^\\.TH QPK 1 ")
if(NOT title)
  message(FATAL_ERROR "qpk.1 has no .TH line")
endif()
file(REMOVE_RECURSE "${PREFIX}")
