// SPDX-License-Identifier: MIT
#include "platform/endsignals.h"

#include <QList>
#include <QSocketNotifier>
#include <QString>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

struct EndSignal {
    int number;
    const char *name;
};
// Every signal whose default action ends the process, so that none of them leaves the lock
// files behind; but not those the kernel sends for a fault of the program itself (SIGSEGV,
// SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS): a handler that returns from one of those runs the
// faulting instruction again. The real-time signals end it too (endSignalNumbers()).
const EndSignal endSignalList[] = {
    {SIGHUP, "SIGHUP"},       {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"}, {SIGABRT, "SIGABRT"},
    {SIGUSR1, "SIGUSR1"},     {SIGUSR2, "SIGUSR2"}, {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"},
    {SIGTERM, "SIGTERM"},     {SIGXCPU, "SIGXCPU"}, {SIGXFSZ, "SIGXFSZ"}, {SIGVTALRM, "SIGVTALRM"},
    {SIGPROF, "SIGPROF"},     {SIGIO, "SIGIO"},
#ifdef SIGPWR
    {SIGPWR, "SIGPWR"},
#endif
#ifdef SIGSTKFLT
    {SIGSTKFLT, "SIGSTKFLT"},
#endif
};

QList<int> endSignalNumbers()
{
    QList<int> numbers;
    for (const EndSignal &endSignal : endSignalList)
        numbers << endSignal.number;
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number)
        numbers << number;
    return numbers;
}

QString endSignalName(int number)
{
    for (const EndSignal &endSignal : endSignalList) {
        if (endSignal.number == number)
            return QString::fromLatin1(endSignal.name);
    }
    return QStringLiteral("SIGRTMIN+%1").arg(number - SIGRTMIN);
}

// What the handler may touch: the first signal caught, and the pipe that wakes the event
// loop. A handler can reach nothing else.
volatile sig_atomic_t caughtSignal = 0;
int wakeUp[2] = {-1, -1};
// The signals this process catches, for release().
QList<int> caughtNumbers;

void onEndSignal(int signalNumber)
{
    const int savedErrno = errno;
    if (caughtSignal == 0)
        caughtSignal = signalNumber;
    const char byte = 1;
    // Non-blocking: a full pipe already has a wake-up in it.
    if (write(wakeUp[1], &byte, 1) < 0) {
    }
    errno = savedErrno;
}

} // namespace

EndSignals::EndSignals(QObject *parent) : QObject(parent)
{
    if (wakeUp[0] < 0 && pipe2(wakeUp, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier = new QSocketNotifier(wakeUp[0], QSocketNotifier::Read, this);
    // By member: the notifier's signal has different arguments in Qt 5 and Qt 6.
    connect(notifier, &QSocketNotifier::activated, this, &EndSignals::takeSignal);
    for (const int signalNumber : endSignalNumbers()) {
        struct sigaction action = {};
        // A signal that the caller had ignored (nohup, a background job, a pipeline that
        // ignores SIGPIPE) stays ignored.
        if (sigaction(signalNumber, nullptr, &action) != 0 || action.sa_handler == SIG_IGN)
            continue;
        action = {};
        action.sa_handler = onEndSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (sigaction(signalNumber, &action, nullptr) == 0)
            caughtNumbers << signalNumber;
    }
    // One that came before the notifier was watching is still in the pipe.
}

EndSignals::~EndSignals() = default;

void EndSignals::release()
{
    for (const int signalNumber : std::as_const(caughtNumbers))
        signal(signalNumber, SIG_DFL);
    caughtNumbers.clear();
}

void EndSignals::takeSignal()
{
    char bytes[16];
    while (read(wakeUp[0], bytes, sizeof bytes) > 0) {
    }
    if (caughtSignal != 0)
        emit caught(endSignalName(caughtSignal));
}

void endByCaughtSignal()
{
    const int signalNumber = caughtSignal;
    if (signalNumber == 0)
        return;
    signal(signalNumber, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signalNumber);
    // Not reached for any of these signals; the shell's form of the status all the same.
    _exit(128 + signalNumber);
}
