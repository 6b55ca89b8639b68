#include "pem_file.h"

#include <QFile>

namespace {

// The file's bytes, and out.readable; when it cannot be read, out.problem
// says why.
QByteArray read_whole(const QString& path, PemFile& out)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        out.problem = QStringLiteral("cannot be read (") + file.errorString() + QLatin1Char(')');
        return QByteArray();
    }
    out.readable = true;
    return file.readAll();
}

} // namespace

PemFile readPemCertificates(const QString& path)
{
    PemFile out;
    const QByteArray pem = read_whole(path, out);
    if (!out.readable)
        return out;
    for (const QSslCertificate& certificate : QSslCertificate::fromData(pem, QSsl::Pem)) {
        if (!certificate.isNull())
            out.certificates << certificate;
    }
    if (out.certificates.isEmpty())
        out.problem = QStringLiteral("holds no PEM certificate");
    return out;
}

PemFile readPemPrivateKey(const QString& path)
{
    PemFile out;
    const QByteArray pem = read_whole(path, out);
    if (!out.readable)
        return out;
    // The PEM text does not always say the algorithm (PKCS#8): try each.
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        out.key = QSslKey(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!out.key.isNull())
            return out;
    }
    out.problem = QStringLiteral("holds no unencrypted PEM private key");
    return out;
}
