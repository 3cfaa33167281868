# Run by cmake --install (included from dist/'s install script): writes
# qzvq.service and the service configuration for the prefix of this
# install, which is where CMAKE_INSTALL_PREFIX points here, also when it
# was given as --prefix. Set before: XKS_DIST_SOURCE_DIR, XKS_DIST_BINARY_DIR,
# XKS_BINDIR, XKS_SYSCONFDIR and XKS_UNITDIR as configured.
cmake_policy(PUSH)  # install scripts run without a policy version
cmake_policy(VERSION 3.25)

# A configured directory as an absolute path below the install prefix, as
# install() places files there. The system configuration directory keeps
# GNUInstallDirs' special cases: /etc for the prefixes / and /usr,
# /etc/opt/<name> for /opt/<name>. (The prefix / arrives here empty.)
function(xks_full_dir out dir kind)
  set(prefix "${CMAKE_INSTALL_PREFIX}")
  if(IS_ABSOLUTE "${dir}")
    set(full "${dir}")
  elseif(kind STREQUAL "SYSCONFDIR" AND prefix MATCHES "^(/|/usr/?)?$")
    set(full "/${dir}")
  elseif(kind STREQUAL "SYSCONFDIR" AND prefix MATCHES "^/opt/" AND NOT prefix MATCHES "^/opt/homebrew/")
    set(full "/${dir}${prefix}")
  else()
    set(full "${prefix}/${dir}")
  endif()
  cmake_path(NORMAL_PATH full)
  string(REGEX REPLACE "(.)/$" "\\1" full "${full}")
  set(${out} "${full}" PARENT_SCOPE)
endfunction()

xks_full_dir(CMAKE_INSTALL_FULL_BINDIR "${XKS_BINDIR}" BINDIR)
xks_full_dir(CMAKE_INSTALL_FULL_SYSCONFDIR "${XKS_SYSCONFDIR}" SYSCONFDIR)
xks_full_dir(xks_unit_dir "${XKS_UNITDIR}" UNITDIR)

configure_file("${XKS_DIST_SOURCE_DIR}/qzvq.service.in" "${XKS_DIST_BINARY_DIR}/qzvq.service" @ONLY)
file(INSTALL DESTINATION "${xks_unit_dir}" TYPE FILE FILES "${XKS_DIST_BINARY_DIR}/qzvq.service")

# The configuration is the site's once installed: an existing file is kept,
# and a shipped one that differs from it is put beside it as <name>.dist.
set(xks_etc "${CMAKE_INSTALL_FULL_SYSCONFDIR}/qzvq")
foreach(xks_file "${XKS_DIST_SOURCE_DIR}/qzvq.ini" "${XKS_DIST_SOURCE_DIR}/../examples/equipment.sml")
  cmake_path(GET xks_file FILENAME xks_name)
  set(xks_target "$ENV{DESTDIR}${xks_etc}/${xks_name}")
  if(NOT EXISTS "${xks_target}")
    file(INSTALL DESTINATION "${xks_etc}" TYPE FILE FILES "${xks_file}")
  else()
    file(SHA256 "${xks_target}" xks_have)
    file(SHA256 "${xks_file}" xks_shipped)
    if(xks_have STREQUAL xks_shipped)
      message(STATUS "Up-to-date: ${xks_target}")
    else()
      message(STATUS "Kept: ${xks_target} (the shipped file is ${xks_name}.dist)")
      file(INSTALL DESTINATION "${xks_etc}" TYPE FILE FILES "${xks_file}" RENAME "${xks_name}.dist")
    endif()
  endif()
endforeach()
cmake_policy(POP)
