// SPDX-License-Identifier: MIT
#include "platform/endsignals.h"

// Windows frees a COM port with the process that held it: nothing needs catching.

EndSignals::EndSignals(QObject *parent) : QObject(parent) {}

EndSignals::~EndSignals() = default;

void EndSignals::release() {}

void EndSignals::takeSignal() {}

void endByCaughtSignal() {}
