#pragma once

#include <QObject>
#include <QSocketNotifier>

// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal on the GUI thread. The handler only writes
// a byte to a socket pair (all a signal handler may safely do); the notifier reads it
// in the event loop, where the program can end the normal way and save its state.
class TSignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit TSignalWatcher(QObject* parent = nullptr);
    ~TSignalWatcher() override;

signals:
    void StopRequested(int signal);

private:
    void ReadSignal();
    QSocketNotifier* Notifier = nullptr;
};
