# 'cpack -G DEB' in the build directory makes a Debian package of what
# cmake/Install.cmake installs, under /usr.

set(CPACK_PACKAGE_NAME ridgetexture)
set(CPACK_PACKAGE_VENDOR "RidgeTexture developers")
set(CPACK_PACKAGE_CONTACT "${RIDGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write a grey diagonal ridge picture as a PPM file")
set(CPACK_PACKAGE_DESCRIPTION "RidgeTexture writes one fixed 256x256 grey picture, a white ridge along the
diagonal falling off quadratically to black 16 pixels away, to the file
RidgeTexture.ppm in the current directory as a raw PPM (P6) image. It has
no options and reads no input, and it reports a file it could not create
or write with a message and exit status 128.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed one component at a time, CPack's staging keeps its records in
# install_manifest_COMPONENT.txt and leaves install_manifest.txt, the list of
# what 'cmake --install' put in place, to the user: it is what the README's
# uninstall command removes. The documentation goes in from its own
# component, at Debian's place for it.
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/"
  "${PROJECT_BINARY_DIR};${PROJECT_NAME};package_docs;/")
set(CPACK_STRIP_FILES ON)
# The mode of the package's directories. CPack's staging still follows the
# builder's umask, so the pre-build script sets it on every directory there.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackageStaging.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends is computed from the binary's shared libraries by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
