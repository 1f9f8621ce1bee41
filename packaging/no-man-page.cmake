# SPDX-License-Identifier: MIT
# Run by cpack before it builds the package, in a build configured without the man page.
message(FATAL_ERROR "The Debian package needs the man page: configure with -DMORVEK_MAN_PAGE=ON "
                    "(needs help2man), or run scripts/package-deb")
