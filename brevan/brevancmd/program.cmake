# kelvor_program: start-up, the about, agreement and acknowledgement dialogs, the style sheet
# and the Maya shelf installer, with the agreement and library notices compiled in.
add_library(kelvor_program STATIC
  ${CMAKE_CURRENT_LIST_DIR}/aboutdialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/eulawindow.cpp
  ${CMAKE_CURRENT_LIST_DIR}/legalwindow.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mayashelf.cpp
  ${CMAKE_CURRENT_LIST_DIR}/programresources.cpp
  ${CMAKE_CURRENT_LIST_DIR}/startup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/storecheck.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stylesheet.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kelvor_program.qrc)
set_target_properties(kelvor_program PROPERTIES AUTOMOC ON AUTORCC ON)
target_include_directories(kelvor_program PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kelvor_program PUBLIC kelvorcmd_lib Qt5::Widgets)

# The program's folder: Kelvor, a copy of KelvorCmd for the Maya shelf, and the images the
# program and its style sheet read from Resources/.
set(KELVOR_PROGRAM_DIR ${CMAKE_BINARY_DIR}/bin)
set(KELVOR_PROGRAM_DIR ${KELVOR_PROGRAM_DIR} PARENT_SCOPE)

add_executable(Kelvor ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
set_target_properties(Kelvor PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${KELVOR_PROGRAM_DIR})
target_link_libraries(Kelvor PRIVATE kelvor_program kelvor_window)
file(GLOB kelvor_resources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/Resources/*.png)
set(kelvor_folder_files ${KELVOR_PROGRAM_DIR}/KelvorCmd)
add_custom_command(OUTPUT ${KELVOR_PROGRAM_DIR}/KelvorCmd
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:KelvorCmd> ${KELVOR_PROGRAM_DIR}/KelvorCmd
  DEPENDS KelvorCmd
  VERBATIM)
foreach(image ${kelvor_resources})
  get_filename_component(name ${image} NAME)
  add_custom_command(OUTPUT ${KELVOR_PROGRAM_DIR}/Resources/${name}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${image} ${KELVOR_PROGRAM_DIR}/Resources/${name}
    DEPENDS ${image}
    VERBATIM)
  list(APPEND kelvor_folder_files ${KELVOR_PROGRAM_DIR}/Resources/${name})
endforeach()
add_custom_target(kelvor_program_folder ALL DEPENDS ${kelvor_folder_files})
# Started from its folder, Kelvor needs the copy of KelvorCmd and the images beside it.
add_dependencies(Kelvor kelvor_program_folder)
