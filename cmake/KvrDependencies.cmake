find_package(PkgConfig REQUIRED)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET
  libavformat libavcodec libavfilter libavutil libswresample libswscale)
pkg_check_modules(LIBASS REQUIRED IMPORTED_TARGET libass)
pkg_check_modules(LIBPULSE REQUIRED IMPORTED_TARGET libpulse)
find_package(spdlog REQUIRED)
find_package(fmt REQUIRED)
find_package(Threads REQUIRED)
find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Qml Quick QuickControls2 QuickTemplates2 Network DBus Test
  QuickTest ShaderTools)
find_package(SQLite3 REQUIRED)
find_package(ZLIB REQUIRED)
set(CMAKE_AUTOMOC ON)
