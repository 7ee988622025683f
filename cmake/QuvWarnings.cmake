# One interface target carries the warning level and Qt's strictness switches;
# every target of the project links it.
add_library(quv_build_options INTERFACE)
target_compile_options(quv_build_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Woverloaded-virtual -Wformat=2)
target_compile_definitions(quv_build_options INTERFACE
  QT_NO_CONTEXTLESS_CONNECT
  QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
  QT_NO_URL_CAST_FROM_STRING
  QT_USE_QSTRINGBUILDER)
if(QUV_SANITIZE)
  # Tests that measure memory or cap it know the sanitizers change both.
  target_compile_definitions(quv_build_options INTERFACE QUV_SANITIZED)
  target_compile_options(quv_build_options INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(quv_build_options INTERFACE -fsanitize=address,undefined)
endif()
