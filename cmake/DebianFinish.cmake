# CPack's post-build hook for the Debian packages: hands every package it
# made to packaging/debian/finish-debs.sh (stripping as Debian does, the
# ldconfig trigger). CPack passes CPACK_PACKAGE_FILES and the CPACK_*
# variables of the configuration, CPACK_DOVREL_SOURCE_DIR among them.
execute_process(COMMAND bash ${CPACK_DOVREL_SOURCE_DIR}/packaging/debian/finish-debs.sh ${CPACK_PACKAGE_FILES}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "finish-debs.sh failed (${status})")
endif()
