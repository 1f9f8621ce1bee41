// SPDX-License-Identifier: MIT
#ifndef MORVEK_SETUPAPI_H
#define MORVEK_SETUPAPI_H

// The Windows device installation interface (SetupAPI). On Windows this is the real one;
// elsewhere a stand-in with the same names and documented behaviour, backed by the local
// USB device tree.

#include <QtGlobal>

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX // keep min and max for C++
#endif
// clang-format off
#include <windows.h>
#include <initguid.h>
#include <devpkey.h>
#include <setupapi.h>
#include <usbiodef.h>
// clang-format on
#else
#include "platform/standin/setupapi_standin.h"
#endif

#endif
