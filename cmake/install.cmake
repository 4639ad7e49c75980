# What `cmake --install` lays out on Linux, relocatable under any prefix: the
# library with its soname links, the header, pkg-config and CMake package
# files that find them from where they lie, the monitor as belvor-monitor
# (a bare `monitor` does not belong among a system's commands), the bridge
# with its systemd unit, a sample Belvor.ini and the documents. The Windows
# archives are put together by tools/release.sh.
if(WIN32)
    return()
endif()
include(CMakePackageConfigHelpers)

set(BELVOR_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/belvor)
set(BELVOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Belvor)

install(TARGETS belvor EXPORT BelvorTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/belvor.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(PROGRAMS $<TARGET_FILE:monitor> DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME belvor-monitor)
if(TARGET belvor-bridge)
    install(PROGRAMS $<TARGET_FILE:belvor-bridge> DESTINATION ${CMAKE_INSTALL_BINDIR})
    # The unit where systemd looks under the prefix (the Debian package moves it to /lib).
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/belvor-bridge.service DESTINATION lib/systemd/system)
endif()

install(EXPORT BelvorTargets NAMESPACE Belvor:: DESTINATION ${BELVOR_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/BelvorConfig.cmake.in
    ${PROJECT_BINARY_DIR}/package/BelvorConfig.cmake INSTALL_DESTINATION ${BELVOR_CMAKE_DIR}
    PATH_VARS CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/BelvorConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/BelvorConfig.cmake ${PROJECT_BINARY_DIR}/package/BelvorConfigVersion.cmake
        DESTINATION ${BELVOR_CMAKE_DIR})

# pkg-config: the prefix is found from the .pc file's own place.
file(RELATIVE_PATH BELVOR_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" BELVOR_PC_TO_PREFIX "${BELVOR_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/belvor.pc.in ${PROJECT_BINARY_DIR}/package/belvor.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/belvor.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

configure_file(${PROJECT_SOURCE_DIR}/packaging/README.linux.in ${PROJECT_BINARY_DIR}/package/README @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/README ${PROJECT_SOURCE_DIR}/packaging/Belvor.ini
              ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${BELVOR_DOC_DIR})
# The host kit: the Python binding where Debian's python3 looks for packages
# (under /usr), and the C# and Pascal bindings and the examples laid out as in
# the Windows archives (share/belvor/bindings, share/belvor/examples), so that
# the examples' own build lines work there too; the guide with the documents.
install(FILES ${PROJECT_SOURCE_DIR}/bindings/python/belvor/__init__.py ${PROJECT_SOURCE_DIR}/bindings/python/belvor/_status.py
              ${PROJECT_SOURCE_DIR}/bindings/python/belvor/_scan.py
        DESTINATION lib/python3/dist-packages/belvor)
install(FILES ${PROJECT_SOURCE_DIR}/bindings/csharp/Belvor.cs DESTINATION ${CMAKE_INSTALL_DATADIR}/belvor/bindings/csharp)
install(FILES ${PROJECT_SOURCE_DIR}/bindings/pascal/Belvor.pas DESTINATION ${CMAKE_INSTALL_DATADIR}/belvor/bindings/pascal)
# (Less what only works in the source tree: its CMakeLists.txt and test runner.)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/belvor/examples
        PATTERN CMakeLists.txt EXCLUDE PATTERN run_example.sh EXCLUDE)
install(FILES ${PROJECT_SOURCE_DIR}/docs/hosts.md DESTINATION ${BELVOR_DOC_DIR})

foreach(page belvor-monitor belvor-bridge)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/${page}.1.in ${PROJECT_BINARY_DIR}/package/${page}.1 @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/package/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
