# The geometry records compute with Eigen.
target_link_libraries(qvrecords PUBLIC Eigen3::Eigen)
