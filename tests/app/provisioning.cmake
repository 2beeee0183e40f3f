quarn_add_test(test_provisioning SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_provisioning.cpp LIBS quarn_app LABELS app)
# The tests run the real executable as a child process.
add_dependencies(test_provisioning quarn-mail)
target_compile_definitions(test_provisioning PRIVATE QUARN_MAIL_EXECUTABLE="$<TARGET_FILE:quarn-mail>")
