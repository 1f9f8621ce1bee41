// SPDX-License-Identifier: MIT
#ifndef MORVEK_SMALLFILE_H
#define MORVEK_SMALLFILE_H

#include <QByteArray>

#include <optional>

// At most `limit` bytes of a regular file; nothing when the path is not one. Opened without
// blocking, never through a symbolic link and read only when it is a regular file, so that a
// FIFO in its place is not waited for and a link cannot make us open some device.
std::optional<QByteArray> readSmallFile(const QByteArray &path, int limit);

#endif
