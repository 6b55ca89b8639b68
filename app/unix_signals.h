#pragma once

#include <QObject>

class QSocketNotifier;

// Delivers SIGTERM, SIGINT, SIGHUP and SIGUSR1 to the event loop. The handler only
// writes the signal's number to a socket pair; received() is emitted from
// the event loop when the other end is read, where Qt may be used.
class UnixSignals : public QObject {
    Q_OBJECT
public:
    explicit UnixSignals(QObject* parent = nullptr);
    ~UnixSignals() override;

signals:
    void received(int signal);

private:
    void readPending();

    QSocketNotifier* m_notifier = nullptr;
};
