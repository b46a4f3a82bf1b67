# The Debian package: `cpack -G DEB` in a Release build directory makes
# img-util_<version>_<arch>.deb with the command-line tool, the Python module, the manual page
# and the bash completion.

# The manual page is compressed as Debian installs manual pages (-n: no name or time stamp in
# it, so equal sources give equal packages).
set(IMG_UTIL_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/img_util.1.gz)
add_custom_command(
  OUTPUT ${IMG_UTIL_MAN_PAGE}
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/man/img_util.1 > ${IMG_UTIL_MAN_PAGE}
  DEPENDS ${PROJECT_SOURCE_DIR}/man/img_util.1
  VERBATIM)
add_custom_target(img_util_man ALL DEPENDS ${IMG_UTIL_MAN_PAGE})
install(FILES ${IMG_UTIL_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/completion/img_util.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME img_util)
install(FILES ${PROJECT_SOURCE_DIR}/examples/sample-config.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/img-util/examples)

set(CPACK_PACKAGE_NAME img-util)
set(CPACK_PACKAGE_VENDOR "img_util developers")
set(CPACK_PACKAGE_CONTACT "img_util developers <img-util@localhost>" CACHE STRING
    "Maintainer named in the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "compress and watermark the images of a folder on a web server")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
     "img_util walks a folder, backs up the images that qualify into zip archives,"
     "downscales and re-encodes them towards a target size, stamps a text or a logo"
     "watermark, and logs each run. It comes as the command img_util and as the Python"
     "module img_util for a plugin host.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # img-util_0.1.0_amd64.deb
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_STRIP_FILES ON)

# Dependencies: the shared libraries the binaries link, as dpkg-shlibdeps finds their packages
# (dpkg-dev; CPack picks the binaries out with `file`); without them, the libraries of Debian 12
# by name. The Python module is built for one interpreter version, which python3 must be.
find_program(IMG_UTIL_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(IMG_UTIL_FILE file)
if(IMG_UTIL_DPKG_SHLIBDEPS AND IMG_UTIL_FILE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(depends "")
else()
  set(depends
      "libc6, libstdc++6, libgcc-s1, libjpeg62-turbo, libpng16-16, libgif7, libfreetype6, \
libharfbuzz0b, libfribidi0, libarchive13, zlib1g, libsqlite3-0, libwebp7, libpcre2-8-0, libtiff6")
endif()
if(TARGET img_util_python)
  math(EXPR next_minor "${Python3_VERSION_MINOR} + 1")
  string(APPEND depends ", python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), \
python3 (<< ${Python3_VERSION_MAJOR}.${next_minor})")
  string(REGEX REPLACE "^, " "" depends "${depends}")
elseif(IMG_UTIL_PYTHON)
  message(WARNING "pybind11 or the Python headers were not found: a package made from this "
                  "build will have no Python module")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${depends}")
# gifsicle is run for the lossy GIF pass only; a font for the text watermark is the user's choice.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS gifsicle)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS fonts-dejavu-core)

include(CPack)
