#include "fake_broker_device.h"

#include <cstring>

FakeBrokerDevice::FakeBrokerDevice()
{
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void FakeBrokerDevice::feed(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    m_incoming.remove(0, m_readPos);
    m_readPos = 0;
    m_incoming.append(bytes);
    emit readyRead();
}

void FakeBrokerDevice::finishReading()
{
    emit readChannelFinished();
}

qint64 FakeBrokerDevice::bytesAvailable() const
{
    return (m_incoming.size() - m_readPos) + QIODevice::bytesAvailable();
}

qint64 FakeBrokerDevice::readData(char* data, qint64 maxSize)
{
    const qint64 n = qMin<qint64>(maxSize, m_incoming.size() - m_readPos);
    if (n > 0) {
        std::memcpy(data, m_incoming.constData() + m_readPos, size_t(n));
        m_readPos += int(n);
    }
    return n;
}

qint64 FakeBrokerDevice::writeData(const char* data, qint64 size)
{
    if (m_writeLimit >= 0 && m_written.size() + size > m_writeLimit) {
        setErrorString(QStringLiteral("connection reset by peer"));
        return -1;
    }
    m_written.append(data, int(size));
    return size;
}
