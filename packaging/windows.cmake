# Windows: `cmake --install` puts the three programs in bin\ and the licence
# beside them; the q4m_installer target (scripts/package.sh) turns that tree
# into the NSIS installer windows/installer.nsi describes.
set(programs q4m-updater q4m-updater-demo q4m-updater-cli)
install(TARGETS ${programs} RUNTIME DESTINATION bin)
# Windows readers expect a .txt.
install(FILES copyright DESTINATION . RENAME copyright.txt)

find_program(MAKENSIS makensis)
if(NOT MAKENSIS)
    message(STATUS "makensis not found: no Windows installer (apt-get install nsis)")
    return()
endif()
set(stage ${CMAKE_BINARY_DIR}/installer/stage)
set(Q4M_INSTALLER ${CMAKE_BINARY_DIR}/installer/q4m-updater-${PROJECT_VERSION}-win64-setup.exe
    CACHE INTERNAL "The Windows installer q4m_installer builds")
add_custom_target(q4m_installer
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${stage} --strip
    COMMAND ${MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DSTAGE=${stage}
            -DICON=${PROJECT_SOURCE_DIR}/app/win32/program.ico -DOUTFILE=${Q4M_INSTALLER}
            ${CMAKE_CURRENT_SOURCE_DIR}/windows/installer.nsi
    DEPENDS ${programs} ${CMAKE_CURRENT_SOURCE_DIR}/windows/installer.nsi
    COMMENT "Windows installer ${Q4M_INSTALLER}"
    VERBATIM)
