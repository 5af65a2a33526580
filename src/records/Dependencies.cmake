# Link dependencies of qvrecords beyond the platform.

# The geometry records compute with Eigen.
target_link_libraries(qvrecords PUBLIC Eigen3::Eigen)

# The texture record loads its photos and the twenty-point helpers hand out matrices of OpenCV.
target_include_directories(qvrecords SYSTEM PUBLIC ${OpenCV_INCLUDE_DIRS})
target_link_libraries(qvrecords PUBLIC ${OpenCV_LIBS})

# The calibration record's JSON text form.
target_link_libraries(qvrecords PRIVATE nlohmann_json::nlohmann_json)

# The calibration record converts from the device record of libscancmd. An area list that
# leaves scancmd out still gets it, since records cannot be built without it.
if(NOT TARGET scancmd)
  add_subdirectory("${PROJECT_SOURCE_DIR}/src/scancmd" "${CMAKE_BINARY_DIR}/src/scancmd")
endif()
target_link_libraries(qvrecords PUBLIC scancmd)
