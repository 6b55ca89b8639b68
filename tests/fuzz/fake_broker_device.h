#pragma once

#include <QByteArray>
#include <QIODevice>

// An in-memory transport standing in for the broker's socket: bytes given to
// feed() become readable and are announced with readyRead(); what the client
// writes is kept in written(). Sequential and unbuffered, like a socket.
class FakeBrokerDevice : public QIODevice {
public:
    FakeBrokerDevice();

    void feed(const QByteArray& bytes);
    // The broker side hangs up: nothing more will arrive.
    void finishReading();
    // Writes fail (as on a reset connection) once `bytes` more have been taken.
    void failWritesAfter(qint64 bytes) { m_writeLimit = m_written.size() + bytes; }

    const QByteArray& written() const { return m_written; }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    QByteArray m_incoming;
    int m_readPos = 0;
    QByteArray m_written;
    qint64 m_writeLimit = -1; // none
};
