# CPack runs this after it has written the zip, before it copies it out of
# its staging folder. libarchive gives no control over entry order and
# extra fields, so the zip is rewritten by a small script that does.
foreach(PACKAGE IN LISTS CPACK_PACKAGE_FILES)
    execute_process(
        COMMAND ${CPACK_STATIONCLOCK_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/normalize_zip.py ${PACKAGE}
        COMMAND_ERROR_IS_FATAL ANY)
endforeach()
