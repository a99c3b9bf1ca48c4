if(NOT WIN32)
  # The view draws through curses and terminfo (Debian: libncurses-dev); the
  # Windows build draws on the console itself.
  set(CURSES_NEED_NCURSES TRUE)
  find_package(Curses REQUIRED)
  target_include_directories(tonewell_view SYSTEM PUBLIC ${CURSES_INCLUDE_DIRS})
  target_link_libraries(tonewell_view PUBLIC ${CURSES_LIBRARIES})
endif()
