# Part of the install script: when cpack installs for the Debian package
# (TI85_DEBIAN_PACKAGE, set by cmake/package.cmake), adds what a Debian package holds beyond
# cmake --install. Man pages and the changelog are compressed as Debian does (gzip -9n: no name
# or time stamp inside, so the same sources give the same package).
if(NOT TI85_DEBIAN_PACKAGE)
  return()
endif()
# file(INSTALL) puts DESTDIR in front of its destination by itself; other commands need it.
set(docs "${CMAKE_INSTALL_PREFIX}/share/doc/${ti85_package}")
set(staged "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(debian "${ti85_source}/cmake/debian")

# The changelog's newest entry names the version being packed: a release adds an entry.
file(STRINGS "${debian}/changelog" newest LIMIT_COUNT 1)
if(NOT newest MATCHES "^${ti85_package} \\(${ti85_version}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog starts with '${newest}': add an entry for "
                      "version ${ti85_version}")
endif()

file(INSTALL "${ti85_source}/README.md" "${debian}/copyright" "${debian}/changelog"
     DESTINATION "${docs}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(GLOB pages "${staged}/share/man/man*/*.[1-9]")
foreach(file IN LISTS pages ITEMS "$ENV{DESTDIR}${docs}/README.md" "$ENV{DESTDIR}${docs}/changelog")
  execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
