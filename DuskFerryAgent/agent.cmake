# duskferry-agent: the process (included by DuskFerryAgent/CMakeLists.txt).
add_executable(duskferry-agent ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
df_warnings(duskferry-agent)
target_link_libraries(duskferry-agent PRIVATE
  df_session df_trust df_shell_core df_shell df_shell_views df_input df_display_target df_virtual_display
  df_virtual_display_manager df_platform_linux df_linux_desktop df_linux_qt)
