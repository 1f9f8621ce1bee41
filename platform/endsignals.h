// SPDX-License-Identifier: MIT
#ifndef MORVEK_ENDSIGNALS_H
#define MORVEK_ENDSIGNALS_H

#include <QObject>

class QSocketNotifier;

// The signals that ask a process to end (on Linux every signal whose default action ends the
// process, but the ones the kernel sends for a fault of the program itself, each unless the
// process was started with it ignored) are caught from the
// construction of this object on and reported by caught() with the signal's name (SIGTERM),
// from the event loop, so that the run can end as it always does: its ports closed first.
// endProcess() then ends the process by the signal that came, with the signal's own default
// action.
//
// Windows frees a COM port with the process that held it, and takes no lock files:
// nothing is caught there.
class EndSignals : public QObject
{
    Q_OBJECT

public:
    explicit EndSignals(QObject *parent = nullptr);
    ~EndSignals() override;

signals:
    void caught(const QString &signalName);

public slots:
    // The ports are closed: the signals take their own default actions again, so that one
    // that comes while the reading is written (to a reader that does not read) ends the
    // process at once. One caught before still ends it through endProcess().
    void release();

private slots:
    void takeSignal();

private:
    QSocketNotifier *notifier = nullptr;
};

// Ends the process by the end signal that was caught, with its default action; returns
// when none was.
void endByCaughtSignal();

#endif
