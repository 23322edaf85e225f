# VANTOREL_SANITIZE=address builds with ASan+UBSan, =thread with TSan.
# Any report aborts the process, so a test that triggers one fails.
if(VANTOREL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(VANTOREL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VANTOREL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VANTOREL_SANITIZE must be empty, 'address' or 'thread'")
endif()
