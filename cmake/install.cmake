# cmake --install: the programs in bin, a man page for each in share/man/man1. Access to the
# ports (root, setcap, setuid, a device's group) is the installer's choice; see the README.
include(GNUInstallDirs)

foreach(program pullvar pushvar pixdb linkcheck)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/man/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
