# scripts/bench's yardsticks, built with the project's warnings: the least client of the
# protocol natively, and the address-space probe as a Windows program (large-address-aware on
# 32-bit, like the .exe; bench clears the flag on a copy). Neither is a test.
if(NOT WIN32)
  add_executable(floor_client bench/floor_client.cpp)
  target_compile_options(floor_client PRIVATE ${TAMBER_WARNINGS})
else()
  add_executable(address_probe bench/address_probe.cpp)
  target_compile_options(address_probe PRIVATE ${TAMBER_WARNINGS})
  target_link_options(address_probe PRIVATE -static)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(address_probe PRIVATE -Wl,--large-address-aware)
  endif()
endif()
