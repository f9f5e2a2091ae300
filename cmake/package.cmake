# The release: `cmake --build <dir> --target package` (or scripts/package.sh) makes
# attview-restore-<version>-win32.zip from a Windows build: the two programs,
# stripped, the users' README (Japanese and English) and the licence.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
install(TARGETS attview-restore adbtool RUNTIME DESTINATION .)

# Windows users read the texts in Notepad: CRLF (the README is UTF-8 with a
# byte-order mark).
file(READ ${PROJECT_SOURCE_DIR}/package/README.txt readme)
string(REPLACE "\n" "\r\n" readme "${readme}")
file(WRITE ${CMAKE_BINARY_DIR}/package/README.txt "${readme}")
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REPLACE "\n" "\r\n" licence "${licence}")
file(WRITE ${CMAKE_BINARY_DIR}/package/LICENSE.txt "${licence}")
install(FILES ${CMAKE_BINARY_DIR}/package/README.txt ${CMAKE_BINARY_DIR}/package/LICENSE.txt
        DESTINATION .)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(package_system win64)
else()
  set(package_system win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME attview-restore)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME attview-restore-${PROJECT_VERSION}-${package_system})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/dist)
include(CPack)

# The test packs this build, unpacks it into a fresh folder and runs it from there.
if(CMAKE_CROSSCOMPILING)
  add_test(NAME package_test
           COMMAND ${PROJECT_SOURCE_DIR}/scripts/package_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
  set_tests_properties(package_test PROPERTIES LABELS unit TIMEOUT 300)
endif()
