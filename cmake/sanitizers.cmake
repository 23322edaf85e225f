# VANTOREL_SANITIZE=address builds with ASan+UBSan, =thread with TSan.
# Any report aborts the process, so a test that triggers one fails.
if(VANTOREL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(VANTOREL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  # GCC warns that TSan cannot see the atomic_thread_fence in Asio's handler completions; that
  # is Asio's code, not ours, and must not fail a build made with warnings as errors.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-tsan)
  endif()
elseif(NOT VANTOREL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VANTOREL_SANITIZE must be empty, 'address' or 'thread'")
endif()
