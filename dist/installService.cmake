# Run by the install (cmake --install, cpack): the service unit and the environment file for the prefix being
# installed to. The configuration folder follows GNUInstallDirs: /etc for the prefix /usr, PREFIX/etc otherwise.
function(quenlar_full_dir AResult ADir)
  if(IS_ABSOLUTE "${ADir}")
    set(${AResult} "${ADir}" PARENT_SCOPE)
  elseif(CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$" AND ADir MATCHES "^etc(/|$)")
    set(${AResult} "/${ADir}" PARENT_SCOPE)
  else()
    set(${AResult} "${CMAKE_INSTALL_PREFIX}/${ADir}" PARENT_SCOPE)
  endif()
endfunction()

quenlar_full_dir(QUENLAR_LIBEXEC "${QUENLAR_LIBEXECDIR}/quenlar")
quenlar_full_dir(QUENLAR_DATAROOT "${QUENLAR_DATAROOTDIR}")
quenlar_full_dir(QUENLAR_CONFIG_FOLDER "${QUENLAR_SYSCONFDIR}/quenlar")
quenlar_full_dir(QUENLAR_UNIT_FOLDER "${QUENLAR_SYSTEMD_UNIT_DIR}")
set(QUENLAR_ENV_FILE "${QUENLAR_CONFIG_FOLDER}/quenlar.env")

configure_file("${QUENLAR_UNIT_TEMPLATE}" "${QUENLAR_STAGE}/quenlar.service" @ONLY)
file(INSTALL DESTINATION "${QUENLAR_UNIT_FOLDER}" TYPE FILE FILES "${QUENLAR_STAGE}/quenlar.service")
# The example holds no secret yet, but is where the password goes: root's only from the start.
file(INSTALL DESTINATION "${QUENLAR_CONFIG_FOLDER}" TYPE FILE
  PERMISSIONS OWNER_READ OWNER_WRITE FILES "${QUENLAR_ENV_TEMPLATE}")
