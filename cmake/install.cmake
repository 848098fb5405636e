# cmake --install: the programs in bin, a man page for each in share/man/man1, bash completion
# for each in share/bash-completion/completions, the udev rule. Access to the
# ports (root, setcap, setuid, a device's group) is the installer's choice; see the README.
include(GNUInstallDirs)

foreach(program pullvar pushvar pixdb linkcheck catvar splitvar mkvar picvar pullscreen vti85)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/man/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    # bash-completion looks for a command's completion under the command's own name.
    install(FILES ${PROJECT_SOURCE_DIR}/completion/ti85-link-tools.bash
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${program})
  endif()
endforeach()

# The USB cable's udev rule. udev reads /etc/udev/rules.d and /usr/lib/udev/rules.d, not the
# default prefix /usr/local: see the README.
set(UDEV_RULES_DIR lib/udev/rules.d CACHE STRING
    "Where cmake --install puts the USB cable's udev rule (relative to the prefix, or absolute)")
install(FILES ${PROJECT_SOURCE_DIR}/udev/60-ti-graph-link-usb.rules DESTINATION ${UDEV_RULES_DIR})
