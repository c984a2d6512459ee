# The helpers of the end-to-end programs. Included by tests/e2e, tests/faults and by the
# measurement programs under bench/, which are built with or without the
# tests; whichever folder comes first defines the libraries.
if(NOT TARGET sondrel_e2e_support)
  add_library(sondrel_e2e_support STATIC
    ${CMAKE_CURRENT_LIST_DIR}/child_process.cpp
    ${CMAKE_CURRENT_LIST_DIR}/pcap_totals.cpp
    ${CMAKE_CURRENT_LIST_DIR}/monitor_harness.cpp
    ${CMAKE_CURRENT_LIST_DIR}/probe_checks.cpp
  )
  target_link_libraries(sondrel_e2e_support PUBLIC sondrel_in_process)
  target_compile_definitions(sondrel_e2e_support PUBLIC SONDREL_CAPTURE_HELPER="$<TARGET_FILE:sondrel-probe>")
endif()

# The small C traffic programs: arguments, handshake lines, sockets, pacing.
if(NOT TARGET sondrel_net_tools)
  add_library(sondrel_net_tools STATIC
    ${CMAKE_CURRENT_LIST_DIR}/net_args.c
    ${CMAKE_CURRENT_LIST_DIR}/net_sockets.c
    ${CMAKE_CURRENT_LIST_DIR}/pacing_clock.c
  )
  target_include_directories(sondrel_net_tools PUBLIC ${PROJECT_SOURCE_DIR})
  # sendmmsg and struct mmsghdr in pacing_clock.h.
  target_compile_definitions(sondrel_net_tools PUBLIC _GNU_SOURCE)
endif()
