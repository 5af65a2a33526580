# Finds every system library the project builds with (Debian 12 packages, installed by scripts/install-deps).
# Each dependency becomes an imported target so that areas link what they use and nothing else.

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(Boost 1.74 REQUIRED)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(Eigen3 3.4 REQUIRED NO_MODULE)
find_package(OpenCV 4.6 REQUIRED COMPONENTS core imgproc imgcodecs calib3d)

pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)
pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
pkg_check_modules(MINIZIP REQUIRED IMPORTED_TARGET minizip)
pkg_check_modules(LAPACKE REQUIRED IMPORTED_TARGET lapacke)
pkg_check_modules(PUGIXML IMPORTED_TARGET pugixml)
pkg_check_modules(CURL IMPORTED_TARGET libcurl)

# PCL comes through pkg-config only: its CMake package drags VTK and Qt 5 into the project,
# which clash with Qt 6. Areas that call PCL include it in their .cpp files alone.
pkg_check_modules(PCL REQUIRED IMPORTED_TARGET
  pcl_common pcl_sample_consensus pcl_search pcl_kdtree pcl_filters pcl_features
  pcl_octree pcl_registration pcl_surface pcl_io)

# The GUI is optional at configure time so that the headless parts build on machines without Qt.
find_package(Qt6 COMPONENTS Core Gui Widgets OpenGL OpenGLWidgets QUIET)

if(QUORVEL_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(QUORVEL_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
